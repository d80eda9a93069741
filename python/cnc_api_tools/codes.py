"""Names for the integer codes the control reports and accepts.

Every family is an `IntEnum` whose values come from the extension module, so a
record field compares equal to a member and `State(info.state_machine).name`
gives its name. A value a newer control may send that no member carries still
converts: it becomes a pseudo-member named ``UNKNOWN_<value>`` instead of
raising.
"""

from __future__ import annotations

import enum
from typing import Any, Self

import cnc_api_client_core as cnc

__all__ = [
    "AnalysisMode",
    "Axis",
    "CompileState",
    "JogCommand",
    "SpindleStatus",
    "State",
    "ToolType",
    "UnitsMode",
    "FINAL_COMPILE_STATES",
    "UNDER_WAY",
    "axes_from_letters",
    "axis_letters",
    "code_name",
    "condition",
]


class _Code(enum.IntEnum):
    """An integer code family that tolerates values it has no member for."""

    @classmethod
    def _missing_(cls, value: object) -> Self | None:
        if isinstance(value, bool) or not isinstance(value, int | float):
            return None
        if isinstance(value, float) and not value.is_integer():  # fractions, nan, infinities
            return None
        number = int(value)
        member = int.__new__(cls, number)
        member._name_ = f"UNKNOWN_{number}" if number >= 0 else f"UNKNOWN_MINUS_{-number}"
        member._value_ = number
        return member

    @property
    def known(self) -> bool:
        """False for a pseudo-member made for an unknown value."""
        return self._name_ in type(self).__members__


class State(_Code):
    """State of the control's state machine (`APICncInfo.state_machine`)."""

    DISCONNECTED = cnc.SM_DISCONNECTED
    SIMULATOR = cnc.SM_SIMULATOR
    INIT = cnc.SM_INIT
    INIT_FIELD_BUS = cnc.SM_INIT_FIELD_BUS
    ALARM = cnc.SM_ALARM
    IDLE = cnc.SM_IDLE
    HOMING = cnc.SM_HOMING
    JOG = cnc.SM_JOG
    RUN = cnc.SM_RUN
    PAUSE = cnc.SM_PAUSE
    LIMIT = cnc.SM_LIMIT
    MEASURE_TOOL = cnc.SM_MEASURE_TOOL
    SCAN_3D = cnc.SM_SCAN_3D
    SAFETY_IDLE = cnc.SM_SAFETY_IDLE
    CHANGE_TOOL = cnc.SM_CHANGE_TOOL
    SAFETY = cnc.SM_SAFETY
    WAIT_MAIN_POWER = cnc.SM_WAIT_MAIN_POWER
    RETRACT = cnc.SM_RETRACT


class CompileState(_Code):
    """State of the program's compilation (`APICompileInfo.state`)."""

    INIT = cnc.CS_INIT
    READY = cnc.CS_READY
    ERROR = cnc.CS_ERROR
    FIRST_STEP = cnc.CS_FIRST_STEP
    FIRST_STEP_RUNNING = cnc.CS_FIRST_STEP_RUNNING
    WAITING_FOR_DATA = cnc.CS_WAITING_FOR_DATA
    WAITING_FOR_DATA_RUNNING = cnc.CS_WAITING_FOR_DATA_RUNNING
    FINISHED = cnc.CS_FINISHED


class JogCommand(_Code):
    """Argument of `cnc_jog_command`: backward (BW) and forward (FW) per axis."""

    NONE = cnc.JC_NONE
    X_BW = cnc.JC_X_BW
    X_FW = cnc.JC_X_FW
    Y_BW = cnc.JC_Y_BW
    Y_FW = cnc.JC_Y_FW
    Z_BW = cnc.JC_Z_BW
    Z_FW = cnc.JC_Z_FW
    A_BW = cnc.JC_A_BW
    A_FW = cnc.JC_A_FW
    B_BW = cnc.JC_B_BW
    B_FW = cnc.JC_B_FW
    C_BW = cnc.JC_C_BW
    C_FW = cnc.JC_C_FW


class SpindleStatus(_Code):
    """`APICncInfo.spindle_status`; 0 (no member) is what an unfilled record holds."""

    OFF = cnc.SS_OFF
    CW = cnc.SS_CW
    CCW = cnc.SS_CCW


class ToolType(_Code):
    """`APICncInfo.tool_type`."""

    GENERIC = cnc.TT_GENERIC
    FLAT_END_MILL = cnc.TT_FLAT_END_MILL
    BALL_NOSE_END_MILL = cnc.TT_BALL_NOSE_END_MILL
    DRILL = cnc.TT_DRILL
    PROBE = cnc.TT_PROBE
    SAW = cnc.TT_SAW
    PLASMA = cnc.TT_PLASMA
    DRAG_KNIFE = cnc.TT_DRAG_KNIFE
    LATHE = cnc.TT_LATHE
    LASER = cnc.TT_LASER
    WATER_JET = cnc.TT_WATER_JET


class UnitsMode(_Code):
    """`APICncInfo.units_mode`."""

    METRIC = cnc.UM_METRIC
    IMPERIAL = cnc.UM_IMPERIAL


class Axis(enum.IntFlag):
    """Axis bit masks (`cnc_homing`, `APICncInfo.axes_mask`, `APIAxesInfo.homing_done_mask`)."""

    X = cnc.X_AXIS_MASK
    Y = cnc.Y_AXIS_MASK
    Z = cnc.Z_AXIS_MASK
    A = cnc.A_AXIS_MASK
    B = cnc.B_AXIS_MASK
    C = cnc.C_AXIS_MASK
    U = cnc.U_AXIS_MASK
    V = cnc.V_AXIS_MASK
    W = cnc.W_AXIS_MASK


class AnalysisMode(enum.StrEnum):
    """Argument of `program_analysis`."""

    MT = cnc.ANALYSIS_MT
    RT = cnc.ANALYSIS_RT
    RF = cnc.ANALYSIS_RF
    RV = cnc.ANALYSIS_RV
    RZ = cnc.ANALYSIS_RZ


# Compile states after which the result is known; the others mean "still working".
FINAL_COMPILE_STATES = frozenset({CompileState.READY, CompileState.FINISHED, CompileState.ERROR})

# States in which a started program is still under way.
UNDER_WAY = frozenset({State.RUN, State.PAUSE, State.CHANGE_TOOL, State.MEASURE_TOOL, State.RETRACT})

_CONDITIONS = {
    State.ALARM: "alarm",
    State.LIMIT: "alarm",
    State.SAFETY: "alarm",
    State.IDLE: "idle",
    State.SAFETY_IDLE: "idle",
    State.SIMULATOR: "idle",
    State.RUN: "run",
    State.HOMING: "run",
    State.JOG: "run",
    State.MEASURE_TOOL: "run",
    State.SCAN_3D: "run",
    State.CHANGE_TOOL: "run",
    State.RETRACT: "run",
    State.PAUSE: "pause",
    State.INIT: "starting",
    State.INIT_FIELD_BUS: "starting",
    State.WAIT_MAIN_POWER: "starting",
    State.DISCONNECTED: "offline",
}


def condition(state: Any) -> str:
    """One word for a state-machine value: alarm, idle, run, pause, starting, offline or unknown."""
    try:
        return _CONDITIONS.get(State(state), "unknown")
    except (ValueError, TypeError):
        return "unknown"


def code_name(family: type[enum.Enum], value: Any) -> str:
    """The member name of `value` in `family`, or its repr when it is no code at all; never raises."""
    try:
        return str(family(value).name)
    except (ValueError, TypeError):
        return repr(value)


_LETTERS = "XYZABCUVW"


def axes_from_letters(text: str) -> Axis:
    """``"XYZ"``, ``"x,z"`` or ``"X Y"`` as an axis mask; raises ValueError on another letter."""
    mask = Axis(0)
    for ch in text.upper():
        if ch in ", ":
            continue
        if ch not in _LETTERS:
            raise ValueError(f"unknown axis {ch!r} (axes are {', '.join(_LETTERS)})")
        mask |= Axis[ch]
    return mask


def axis_letters(mask: int) -> str:
    """The letters of the axes set in `mask`, in X..W order."""
    return "".join(ch for i, ch in enumerate(_LETTERS) if int(mask) >> i & 1)
