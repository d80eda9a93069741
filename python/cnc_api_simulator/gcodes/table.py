"""One row per G and M code: its modal group, the words it reads, when it runs in a block
and its handler."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .context import Context

# ctx, the code's key (its number times ten), the block's words, the block's G codes by
# group; True when it took the block's axis words (no motion with them then)
Handler = Callable[["Context", int, dict[str, float], dict[str, int]], bool | None]

# When a code runs in its block, after the block's words have been read (the RS274/NGC
# order of execution). Codes of one step run in the order of their `order`.
SETTINGS = 100  # modes that F, S and T depend on: units, feed mode, retract mode, constant surface speed
WORDS = 200  # F, S, T, then M6, M61, spindle and coolant codes
MODES = 300  # dwell, plane, lathe diameters, cutter and tool-length compensation, work offsets, ...
AXES = 400  # codes that take the block's axis words: G10, G28, G92, the turning cycles
MOTION = 500  # the motion modes and canned cycles, then G65
STOPS = 600  # M0, M2, M30, M98, M99 and the other codes after the motion


def accepted(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    """A code the simulator accepts and that changes nothing it shows (an output, a look-ahead setting)."""


@dataclass(frozen=True)
class Code:
    text: str  # "G92.1"; a code that means another thing by its words has its own row ("G73 turning")
    key: int  # the number times ten (G92.1 -> 921), or the key of its meaning for a variant
    group: str  # modal group: two codes of one group on a line are an error
    words: str  # letters it reads besides the axis words
    order: int
    summary: str  # for the documentation's list
    handler: Handler  # sets its modes, or makes its moves or call, when its step of the block comes

    @property
    def letter(self) -> str:
        return self.text[0]


def g(text: str, group: str, words: str, order: int, summary: str, handler: Handler) -> Code:
    number = text[1:].split(" ", 1)[0]
    return Code(text, round(float(number) * 10), group, words, order, summary, handler)


def variant(text: str, key: int, group: str, words: str, order: int, summary: str, handler: Handler) -> Code:
    return Code(text, key, group, words, order, summary, handler)


def m(text: str, words: str, order: int, summary: str, handler: Handler) -> Code:
    return Code(text, int(text[1:]), "m", words, order, summary, handler)
