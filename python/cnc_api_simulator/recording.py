"""What the interpreter records beside its segments: the status a move reports (units, feed,
spindle, tool, work offset) and the state a stop leaves (a part of Interpreter)."""

from __future__ import annotations

import copy
from typing import TYPE_CHECKING

from .codes import UM_IMPERIAL, UM_METRIC
from .program import Modal
from .state import State

if TYPE_CHECKING:
    from .program import Builder
    from .state import Modes


class Recording:
    if TYPE_CHECKING:  # what the rest of the interpreter holds
        m: Modes
        state: State
        b: Builder
        tool: int
        off: tuple[float, ...]
        _offsets_version: int
        _modal: int
        _modal_dirty: bool
        _changed: bool

    def _update_offset(self) -> None:
        self.off = self.state.offset()
        self._offsets_version += 1
        self._modal_dirty = self._changed = True

    def _modal_index(self) -> int:
        if self._modal_dirty:
            m = self.m
            if self._changed:
                self.b.snapshot(self._state_key(), self._snapshot)
                self._changed = False
            self._modal = self.b.modal(
                Modal(
                    UM_IMPERIAL if m.imperial else UM_METRIC,
                    m.feed,
                    m.speed,
                    m.spindle,
                    m.mist,
                    m.flood,
                    self.tool,
                    self.state.active_wcs,
                    self.off,
                )
            )
            self._modal_dirty = False
        return self._modal

    def _state_key(self) -> tuple[object, ...]:
        """What a snapshot holds, as a value: equal states are recorded once. Offsets and
        tables count by their version, the modes by value (G90/G91 back and forth is two states)."""
        return (self._offsets_version, self.tool, tuple(vars(self.m).values()))

    def _snapshot(self) -> State:
        """Modes, offsets and tool in force from the next segment on, for a stop there; the
        parameters are left out (a stopped machine keeps those of the whole run)."""
        st = self.state
        return State(
            position=[],
            wcs=[list(w) for w in st.wcs],
            active_wcs=st.active_wcs,
            g92=list(st.g92),
            g92_saved=list(st.g92_saved),
            g28=list(st.g28),
            g30=list(st.g30),
            tlo=list(st.tlo),
            tool=self.tool,
            tool_lengths=dict(st.tool_lengths),
            tool_diameters=dict(st.tool_diameters),
            modes=copy.copy(self.m),
        )
