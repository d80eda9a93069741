"""The interpreter as the codes' handlers see it (gcodes.context.Context): modes, offsets,
tool, stops and calls, each a small public method."""

from __future__ import annotations

import copy
from typing import TYPE_CHECKING

from .config import DEFAULT_BLEND_TOLERANCE
from .errors import ERR_FLOW, ERR_VALUE, GCodeError
from .program import LINE as FEED
from .program import RAPID
from .state import AXIS_COUNT
from .words import num

if TYPE_CHECKING:
    from .comp import CutterComp
    from .expr import Value
    from .flow import Frame
    from .program import Builder
    from .state import Modes, State


class Handlers:
    """What the handlers of the code table call (a part of Interpreter)."""

    if TYPE_CHECKING:  # what the rest of the interpreter holds
        m: Modes
        state: State
        b: Builder
        comp: CutterComp | None
        frames: list[Frame]
        modal_stack: list[Modes]
        pos: list[float]
        tool: int
        pauses: bool
        polar: bool
        polar_last: list[float]
        rot: tuple[float, float, float, float] | None
        transformed: bool
        _modal_dirty: bool
        _changed: bool

        def _call_program(self, number: int, repeat: int, args: dict[str, float] | None, word: str) -> None: ...

        def _end_program(self) -> None: ...

        def _line(self, kind: int, t: list[float], rate: float = 0.0, seconds: float = 0.0) -> None: ...

        def _modal_index(self) -> int: ...

        def _report_line(self) -> int: ...

        def _return(self, value: Value) -> None: ...

        def _target(self, w: dict[str, float], machine: bool) -> list[float]: ...

        def _update_offset(self) -> None: ...

        def _straight(self, w: dict[str, float], machine: bool) -> None: ...

        def _arc(self, clockwise: bool, w: dict[str, float]) -> None: ...

        def _spline(self, cubic: bool, w: dict[str, float]) -> None: ...

        def _synced(self, w: dict[str, float]) -> None: ...

        def _probe(self, w: dict[str, float]) -> None: ...

        def _rpm(self) -> float: ...

    @property
    def modes(self) -> Modes:
        return self.m

    def modes_changed(self) -> None:
        self._modal_dirty = True

    def select_wcs(self, number: int) -> None:
        if number != self.state.active_wcs:
            self.state.active_wcs = number
            self._update_offset()

    def set_blending(self, exact_stop: bool, tolerance: float) -> None:
        self.b.set_blending(exact_stop, tolerance)

    def set_polar(self, on: bool) -> None:
        self.polar = on
        if on:
            self.polar_last = [0.0, 0.0]
        self.transformed = self.polar or self.rot is not None

    @property
    def position(self) -> list[float]:
        return self.pos

    def target(self, w: dict[str, float], machine: bool) -> list[float]:
        return self._target(w, machine)

    def rapid(self, t: list[float]) -> None:
        self._line(RAPID, t)

    def offsets_changed(self) -> None:
        self._update_offset()

    def set_tool(self, tool: int) -> None:
        self._set_tool(tool)

    def stop_blending(self) -> None:
        self.b.stop_blending()

    def save_modes(self, code: int) -> None:
        self._modal_save(code)

    def pause(self) -> None:
        if self.comp is not None:
            self.comp.pause(self._report_line(), self._modal_index())
        else:
            self.b.pause(self.pos, self._report_line(), self._modal_index())
        self.pauses = True

    def end_program(self) -> None:
        self._end_program()

    def subprogram_end(self) -> None:
        if self.frames:
            self._return(None)
        else:
            self._end_program()  # a main program's M99 would repeat it for ever

    def call_program(self, number: int, repeat: int, word: str, args: dict[str, float] | None = None) -> None:
        self._call_program(number, repeat, args, word)

    def dwell(self, seconds: float) -> None:
        if self.comp is not None:
            self.comp.dwell(seconds, self._report_line(), self._modal_index())
        else:
            self.b.dwell(self.pos, seconds, self._report_line(), self._modal_index())
        self._modal_dirty = self._changed = True  # what the rest of the block sets is in force after it

    def _modal_save(self, code: int) -> None:

        if code in (70, 73):
            self.modal_stack.append(copy.copy(self.m))
        elif code == 71:
            if self.modal_stack:
                self.modal_stack.pop()
        elif code == 72:
            if not self.modal_stack:
                raise GCodeError("M72 without a state saved by M70", "M72", ERR_FLOW)
            saved = self.modal_stack.pop()
            saved.motion = self.m.motion
            self.m = saved
            self.b.set_blending(saved.exact_stop, saved.tolerance or DEFAULT_BLEND_TOLERANCE)
            self._modal_dirty = True

    def _set_tool(self, tool: int) -> None:
        if tool != self.tool:
            self.tool = tool
            self._modal_dirty = self._changed = True

    def scale(self) -> float:
        return 25.4 if self.m.imperial else 1.0

    def _feed(self, f: float) -> None:
        if f < 0:
            raise GCodeError("feed rate must not be negative", f"F{num(f)}", ERR_VALUE)
        self.m.feed_given = True
        if f != self.m.feed:
            self.m.feed = f
            self._modal_dirty = True

    def tool_length(self, key: int, w: dict[str, float]) -> None:
        st = self.state
        if key == 490:
            st.tlo = [0.0] * AXIS_COUNT
        elif key == 431:
            st.tlo = [0.0] * AXIS_COUNT
            for i, a in enumerate("XYZ"):
                if a in w:
                    st.tlo[i] = w[a] * self.scale()
        else:
            h = int(w.get("H", self.tool))
            length = st.tool_lengths.get(h, 0.0)
            if key in (430, 434, 435):
                st.tlo = [0.0, 0.0, length, 0.0, 0.0, 0.0]
            else:
                st.tlo[2] += length
        self._update_offset()

    # ----- moves -----------------------------------------------------------------------------------

    def straight(self, w: dict[str, float], machine: bool = False) -> None:
        self._straight(w, machine)

    def arc(self, clockwise: bool, w: dict[str, float]) -> None:
        self._arc(clockwise, w)

    def spline(self, cubic: bool, w: dict[str, float]) -> None:
        self._spline(cubic, w)

    def synced(self, w: dict[str, float]) -> None:
        self._synced(w)

    def probe_move(self, w: dict[str, float]) -> None:
        self._probe(w)

    def feed_to(self, t: list[float], rate: float) -> None:
        self._line(FEED, t, rate)

    def spindle_rpm(self) -> float:
        return self._rpm()
