"""Text from a machine or a file, made safe to show: never markup, never a terminal control sequence."""

from __future__ import annotations

import re

from rich.text import Text

__all__ = ["literal", "printable"]

# C0 and C1 controls (escape sequences, bells, carriage returns) and the bidirectional overrides
# that can make a terminal show text other than what it holds.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069]")


def printable(value: object) -> str:
    """`value` as text with every control character shown as \\xNN (or \\uNNNN) instead."""
    return _CONTROL.sub(
        lambda m: f"\\x{ord(m.group()):02x}" if ord(m.group()) < 256 else f"\\u{ord(m.group()):04x}", str(value)
    )


def literal(value: object, style: str = "") -> Text:
    """A rich Text that shows `value` as it is: brackets stay brackets, never markup."""
    return Text(printable(value), style=style)
