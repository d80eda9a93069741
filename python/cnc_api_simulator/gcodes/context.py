"""What a code's handler may use of the interpreter: the modes, the offsets and the tool."""

from __future__ import annotations

from typing import Protocol

from ..config import MachineConfig
from ..state import Modes, State


class Context(Protocol):
    config: MachineConfig
    state: State  # offsets, tool tables and parameters

    @property
    def modes(self) -> Modes: ...

    def scale(self) -> float:
        """Millimetres per program unit: 25.4 under G20."""
        ...

    def modes_changed(self) -> None:
        """The status that moves report from here on differs (units, spindle, tool...)."""
        ...

    def select_wcs(self, number: int) -> None:
        """Work offset 1 (G54) to 9 (G59.3), or beyond for G54.1 P."""
        ...

    def set_blending(self, exact_stop: bool, tolerance: float) -> None: ...

    def set_polar(self, on: bool) -> None: ...

    def set_rotation(self, key: int, w: dict[str, float]) -> None: ...

    def set_comp(self, key: int, w: dict[str, float]) -> None: ...

    def tool_length(self, key: int, w: dict[str, float]) -> None: ...

    def dwell(self, seconds: float) -> None: ...

    def set_tool(self, tool: int) -> None:
        """The tool in the spindle from here on."""
        ...

    def stop_blending(self) -> None:
        """The next move starts from standstill."""
        ...

    def save_modes(self, code: int) -> None:
        """M70 to M73."""
        ...

    def pause(self) -> None: ...

    def end_program(self) -> None: ...

    def subprogram_end(self) -> None:
        """Back to the caller; the end of a main program."""
        ...

    def call_program(self, number: int, repeat: int, word: str, args: dict[str, float] | None = None) -> None:
        """M98, or with `args` (the parameters #1 to #26) G65."""
        ...

    def call_line(self, number: int, repeat: int) -> None: ...

    @property
    def position(self) -> list[float]:
        """Where the machine stands, machine coordinates."""
        ...

    def target(self, w: dict[str, float], machine: bool) -> list[float]:
        """Where the block's axis words go, in machine coordinates."""
        ...

    def rapid(self, t: list[float]) -> None: ...

    def offsets_changed(self) -> None:
        """A work offset, G92, or tool length offset changed."""
        ...

    # moves: the block's axis words in the motion mode in force
    def straight(self, w: dict[str, float], machine: bool = False) -> None:
        """G0 or G1, as the motion mode in force; `machine`: the axis words in machine coordinates."""
        ...

    def arc(self, clockwise: bool, w: dict[str, float]) -> None: ...

    def spline(self, cubic: bool, w: dict[str, float]) -> None: ...

    def synced(self, w: dict[str, float]) -> None: ...

    def probe_move(self, w: dict[str, float]) -> None: ...

    def threading_cycle(self, w: dict[str, float]) -> None: ...

    def drilling_cycle(self, w: dict[str, float]) -> None: ...

    def lathe_cycle(self, key: int, w: dict[str, float]) -> None: ...

    def feed_to(self, t: list[float], rate: float) -> None:
        """A feed move to machine position `t` at `rate` mm/min."""
        ...

    def spindle_rpm(self) -> float:
        """Revolutions a minute now (under G96, at the current diameter)."""
        ...
