"""Numbered and named parameters: the program's own and the control's system parameters."""

from __future__ import annotations

from typing import TYPE_CHECKING

from .codes import SS_CCW, SS_CW, SS_OFF
from .errors import ERR_FLOW, ERR_VALUE, GCodeError
from .expr import Node, ParamRef, Value
from .state import AXIS_COUNT, WCS_COUNT
from .words import AXES

if TYPE_CHECKING:
    from .flow import Frame
    from .state import Modes, State


class Parameters:
    """The interpreter's parameters (a part of Interpreter)."""

    if TYPE_CHECKING:  # what the rest of the interpreter holds
        state: State
        m: Modes
        pos: list[float]
        off: tuple[float, ...]
        probe: list[float]
        tool: int
        line: int
        frames: list[Frame]

        @property
        def macro_style(self) -> bool: ...

        def _update_offset(self) -> None: ...

    def get(self, index: float) -> Value:
        k = int(index)
        if k != index or k < 0:
            raise GCodeError(f"parameter number {index:g} is not a whole number", f"#{index:g}", ERR_VALUE)
        if k == 0:
            return None  # #0 is always vacant
        st = self.state
        v = st.params.get(k)
        if v is not None:
            return v
        sysv = self._system_param(k)
        if sysv is not None:
            return sysv
        return None if self.macro_style else 0.0

    def _system_param(self, k: int) -> float | None:
        st = self.state
        if 5061 <= k <= 5066:
            return self.probe[k - 5061]
        if 5161 <= k <= 5166:
            return st.g28[k - 5161]
        if 5181 <= k <= 5186:
            return st.g30[k - 5181]
        if 5211 <= k <= 5216:
            return st.g92[k - 5211]
        if k == 5220:
            return float(st.active_wcs)
        if 5221 <= k < 5221 + 20 * WCS_COUNT:
            n, axis = divmod(k - 5221, 20)
            return st.wcs[n][axis] if axis < AXIS_COUNT else 0.0
        if k == 5400:
            return float(self.tool)
        if 5401 <= k <= 5406:
            return st.tlo[k - 5401]
        if 5420 <= k <= 5425:
            return self.pos[k - 5420] - self.off[k - 5420]
        if 5426 <= k <= 5428:
            return 0.0  # U V W: no axes of their own
        if 5001 <= k <= 5006:  # a program-number control's block end position
            return self.pos[k - 5001] - self.off[k - 5001]
        if 5021 <= k <= 5026:  # ... machine position
            return self.pos[k - 5021]
        if 5041 <= k <= 5046:  # ... work position
            return self.pos[k - 5041] - self.off[k - 5041]
        if k == 4001:
            return self.m.motion
        if k == 4003:
            return 90.0 if self.m.absolute else 91.0
        if k == 4006:
            return 20.0 if self.m.imperial else 21.0
        if k == 4109:
            return self.m.feed
        if k == 4119:
            return self.m.speed
        if k == 4120:
            return float(self.tool)
        return None

    def set(self, ref: ParamRef, value: Value) -> None:
        if ref.name is not None:
            self._set_named(ref.name, value)
            return
        index = ref.index
        raw = index if isinstance(index, float) else (index(self) if index is not None else None)
        if raw is None:
            raise GCodeError("parameter number is vacant", "#", ERR_VALUE)
        k = int(raw)
        if k != raw or k <= 0:
            raise GCodeError(f"cannot set parameter {raw:g}", f"#{raw:g}", ERR_VALUE)
        st = self.state
        if k == 3000:
            raise GCodeError(
                f"alarm {value:g} raised by the program" if value is not None else "alarm raised", "#3000", ERR_FLOW
            )
        if value is None:
            st.params.pop(k, None)
            return
        if 5221 <= k < 5221 + 20 * WCS_COUNT and (k - 5221) % 20 < AXIS_COUNT:
            n, axis = divmod(k - 5221, 20)
            st.wcs[n][axis] = value
            self._update_offset()
            return
        if 5161 <= k <= 5166:
            st.g28[k - 5161] = value
            return
        if 5181 <= k <= 5186:
            st.g30[k - 5181] = value
            return
        st.params[k] = value

    def _set_named(self, name: str, value: Value) -> None:
        v = 0.0 if value is None else value
        if name.startswith("_") or not self.frames:
            self.state.named[name] = v
        else:
            self.frames[-1].named[name] = v

    def get_named(self, name: str) -> Value:
        if self.frames and not name.startswith("_"):
            v = self.frames[-1].named.get(name)
            if v is not None:
                return v
        v = self.state.named.get(name)
        if v is not None:
            return v
        if name.startswith(("_HAL[", "_INI[")):
            # pins and settings of a control's configuration: vacant here, so a word such as
            # F#<_hal[cut-feed-rate]> is left out and 0 stands in for them in arithmetic
            return None
        sysv = self._system_named(name)
        if sysv is None:
            raise GCodeError("named parameter is not defined", f"#<{name.lower()}>", ERR_VALUE)
        return sysv

    def exists(self, name: str) -> bool:
        if self.frames and self.frames[-1].named.get(name) is not None:
            return True
        return name in self.state.named or self._system_named(name) is not None

    def _system_named(self, name: str) -> float | None:
        m = self.m
        if len(name) == 2 and name[0] == "_" and name[1] in AXES:
            i = AXES.index(name[1])
            return self.pos[i] - self.off[i]
        if len(name) == 6 and name.startswith("_ABS_") and name[5] in AXES:
            return self.pos[AXES.index(name[5])]
        if name in ("_U", "_V", "_W", "_ABS_U", "_ABS_V", "_ABS_W"):
            return 0.0  # no axes of their own here
        state = self.state
        table: dict[str, float] = {
            "_METRIC": float(not m.imperial),
            "_IMPERIAL": float(m.imperial),
            "_ABSOLUTE": float(m.absolute),
            "_INCREMENTAL": float(not m.absolute),
            "_INVERSE_TIME": float(m.feed_mode == 93),
            "_UNITS_PER_MINUTE": float(m.feed_mode == 94),
            "_UNITS_PER_REV": float(m.feed_mode == 95),
            "_IJK_ABSOLUTE_MODE": float(m.arc_absolute),
            "_LATHE_DIAMETER_MODE": float(m.diameter),
            "_LATHE_RADIUS_MODE": float(not m.diameter),
            "_SPINDLE_RPM_MODE": float(not m.css),
            "_SPINDLE_CSS_MODE": float(m.css),
            "_FEED": m.feed,
            "_RPM": m.speed,
            "_CURRENT_TOOL": float(self.tool),
            "_SELECTED_TOOL": float(m.next_tool),
            "_CURRENT_POCKET": float(self.tool),
            "_SELECTED_POCKET": float(m.next_tool),
            "_LINE": float(self.line),
            "_MOTION_MODE": m.motion * 10.0,
            "_PLANE": m.plane * 10.0,
            "_CCOMP": float(m.cutter_comp),
            "_COORD_SYSTEM": float(_wcs_code(state.active_wcs)),
            "_TOOL_OFFSET": float(any(state.tlo)),
            "_RETRACT_R": float(m.retract_to_r),
            "_RETRACT_OLD": float(not m.retract_to_r),
            "_SPINDLE_ON": float(m.spindle != SS_OFF),
            "_SPINDLE_CW": float(m.spindle == SS_CW),
            "_SPINDLE_CCW": float(m.spindle == SS_CCW),
            "_MIST": float(m.mist),
            "_FLOOD": float(m.flood),
            "_SPEED_OVERRIDE": 1.0,
            "_FEED_OVERRIDE": 1.0,
            "_ADAPTIVE_FEED": 0.0,
            "_FEED_HOLD": 0.0,
            "_TASK": 1.0,
            "_CALL_LEVEL": float(len(self.frames)),
            "_REMAP_LEVEL": 0.0,
            "_VALUE": state.named.get("_VALUE", 0.0),
            "_VALUE_RETURNED": state.named.get("_VALUE_RETURNED", 0.0),
        }
        return table.get(name)

    def _eval(self, node: Node) -> Value:
        return node if isinstance(node, float) else node(self)


def _wcs_code(n: int) -> int:
    return 540 + 10 * (n - 1) if n <= 6 else 590 + (n - 6)
