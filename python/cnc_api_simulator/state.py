"""What the control remembers between programs: offsets, tools, parameters, modes."""

from __future__ import annotations

import copy
from dataclasses import dataclass, field

from .codes import SS_OFF

AXIS_COUNT = 6
WCS_COUNT = 9  # G54 to G59, G59.1 to G59.3


def _zeros() -> list[float]:
    return [0.0] * AXIS_COUNT


@dataclass
class Modes:
    """Modal settings of the interpreter; a program starts from these defaults."""

    imperial: bool = False
    absolute: bool = True
    arc_absolute: bool = False
    plane: int = 17
    motion: float = 0.0  # G0 G1 G2 G3 G33 G38.x G76
    cycle: int = 0  # 73, 81 to 89; 0 when none
    feed_mode: int = 94
    feed: float = 0.0  # F as programmed
    feed_given: bool = False
    speed: float = 0.0  # S as programmed
    spindle: int = SS_OFF
    mist: bool = False
    flood: bool = False
    exact_stop: bool = False
    tolerance: float = 0.0  # G64 P; 0 for the machine's default
    retract_to_r: bool = False  # G99
    css: bool = False  # G96
    css_max: float = 0.0
    diameter: bool = False  # G7: X words are diameters
    diameter_set: bool = False  # G7 or G8 given, so the reading of X is not guessed
    cutter_comp: int = 40
    next_tool: int = -1


@dataclass
class State:
    position: list[float] = field(default_factory=_zeros)  # machine coordinates
    wcs: list[list[float]] = field(default_factory=lambda: [_zeros() for _ in range(WCS_COUNT)])
    active_wcs: int = 1
    g92: list[float] = field(default_factory=_zeros)
    g92_saved: list[float] = field(default_factory=_zeros)
    g28: list[float] = field(default_factory=_zeros)
    g30: list[float] = field(default_factory=_zeros)
    tlo: list[float] = field(default_factory=_zeros)
    tool: int = 0
    tool_lengths: dict[int, float] = field(default_factory=dict)
    tool_diameters: dict[int, float] = field(default_factory=dict)
    params: dict[int, float] = field(default_factory=dict)
    named: dict[str, float] = field(default_factory=dict)
    modes: Modes = field(default_factory=Modes)

    def copy(self) -> State:
        return copy.deepcopy(self)

    def offset(self) -> tuple[float, ...]:
        """Program coordinates = machine coordinates - this."""
        w = self.wcs[self.active_wcs - 1]
        return tuple(w[i] + self.g92[i] + self.tlo[i] for i in range(AXIS_COUNT))

    def program_position(self) -> list[float]:
        off = self.offset()
        return [p - o for p, o in zip(self.position, off, strict=True)]
