"""The G and M codes the simulator runs, one row each, keyed by their text.

A new code is a row in the file of its family: motion, offsets (and units), cycles, tool
(and spindle) or flow, with the handler that runs it at its step of the block.
"""

from __future__ import annotations

from . import cycles, flow, motion, offsets, tool
from .table import AXES, MODES, MOTION, WORDS, Code

FAMILIES = {
    "motion": motion.CODES,
    "offsets and units": offsets.CODES,
    "cycles": cycles.CODES,
    "tool and spindle": tool.CODES,
    "program flow": flow.CODES,
}

TABLE: dict[str, Code] = {code.text: code for codes in FAMILIES.values() for code in codes}
G_CODES: dict[int, Code] = {code.key: code for code in TABLE.values() if code.letter == "G"}
G_GROUPS: dict[int, str] = {key: code.group for key, code in G_CODES.items()}
M_ROWS: dict[int, Code] = {code.key: code for code in TABLE.values() if code.letter == "M"}

# groups by the step of the block their handlers run in, in the order they run: modes set
# before the block's F, S and T words, modes set after its spindle, coolant and tool-change
# codes, then the codes that take the block's axis words (a G53 of the nonmodal group waits
# for the motion step, where the interpreter runs the motion mode or cycle in force)
_BY_ORDER = sorted(G_CODES.values(), key=lambda c: c.order)
SETTING_GROUPS: tuple[str, ...] = tuple(dict.fromkeys(c.group for c in _BY_ORDER if c.order < WORDS))
MODE_GROUPS: tuple[str, ...] = tuple(dict.fromkeys(c.group for c in _BY_ORDER if MODES <= c.order < AXES))
AXES_GROUPS: tuple[str, ...] = tuple(dict.fromkeys(c.group for c in _BY_ORDER if AXES <= c.order < MOTION))


def markdown() -> str:
    """The documentation's list of codes, a table per family (between the markers of
    docs/simulator.md; a test keeps the two the same)."""
    out: list[str] = []
    for family, codes in FAMILIES.items():
        out += [f"**{family.capitalize()}**", "", "| code | words | what it does |", "|---|---|---|"]
        for code in sorted(codes, key=_sort_key):
            words = " ".join(code.words.replace(" ", ""))
            out.append(f"| {code.text} | {words} | {code.summary} |")
        out.append("")
    return "\n".join(out)


def _sort_key(code: Code) -> tuple[str, float, str]:
    number = code.text[1:].split(" ", 1)[0]
    return code.letter, float(number), code.text


__all__ = [
    "AXES_GROUPS",
    "FAMILIES",
    "G_CODES",
    "G_GROUPS",
    "MODE_GROUPS",
    "M_ROWS",
    "SETTING_GROUPS",
    "TABLE",
    "Code",
    "markdown",
]
