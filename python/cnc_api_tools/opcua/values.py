"""What one poll of a machine shows on the OPC UA server, as a flat tuple of plain values.

The poller threads turn the records into a tuple in the order of `VARIABLES`; the server's
loop writes the entries that changed. Nothing here touches the server, so a poll costs no
server objects and no locks.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import cnc_api_client_core as cnc

from ..codes import CompileState, State, code_name, condition

__all__ = ["AXES", "NOT_ON_MACHINE", "SYSTEM", "VARIABLES", "Variable", "system_values", "values_of"]

AXES = "XYZABC"

# A position of an axis the machine does not have: shown with a bad status, not as 0.0.
NOT_ON_MACHINE = object()

_INT32 = (-(2**31), 2**31 - 1)
MAX_TEXT = 4096


@dataclass(frozen=True)
class Variable:
    """One variable of a machine object: where it sits in the tree and its data type."""

    path: tuple[str, ...]  # browse names below the machine object
    kind: str  # "String", "Int32", "Double" or "Boolean"
    description: str


def _v(path: str, kind: str, description: str) -> Variable:
    return Variable(tuple(path.split("/")), kind, description)


# Identification read once per connection: (browse name, field of the system info, description).
SYSTEM = (
    ("ControlSoftware", "cnc_control_software", "Name of the control software."),
    ("SoftwareRevision", "cnc_core_version", "Version of the control's core."),
    ("FirmwareRevision", "firmware_version", "Version of the control's firmware."),
    ("HardwareRevision", "hardware_version", "Version of the control's hardware."),
    ("SerialNumber", "serial_number", "Serial number of the control."),
    ("ProductCode", "order_code", "Order code of the control."),
)

VARIABLES: tuple[Variable, ...] = (
    *(_v(f"Identification/{name}", "String", text) for name, _, text in SYSTEM),
    _v("Monitoring/Channel/State", "String", "State of the control's state machine (IDLE, RUN, PAUSE, ALARM...)."),
    _v("Monitoring/Channel/StateCode", "Int32", "The state as its code."),
    _v("Monitoring/Channel/Alarm", "Boolean", "True while the machine is in alarm."),
    _v("Monitoring/Channel/FeedProgrammed", "Double", "Feed rate the program asks for."),
    _v("Monitoring/Channel/FeedTarget", "Double", "Feed rate the control aims at, overrides applied."),
    _v("Monitoring/Channel/FeedActual", "Double", "Feed rate now."),
    _v("Monitoring/Channel/FeedOverride", "Int32", "Feed override, percent."),
    _v("Monitoring/Channel/RapidOverride", "Int32", "Rapid (fast) moves override, percent."),
    _v("Monitoring/Channel/ToolNumber", "Int32", "Number of the tool in use."),
    *(_v(f"Monitoring/Channel/Positions/{a}", "Double", f"Position of {a} in work coordinates.") for a in AXES),
    *(
        _v(f"Monitoring/Channel/MachinePositions/{a}", "Double", f"Position of {a} in machine coordinates.")
        for a in AXES
    ),
    _v("Monitoring/Spindle/SpeedProgrammed", "Double", "Spindle speed the program asks for."),
    _v("Monitoring/Spindle/SpeedTarget", "Double", "Spindle speed the control aims at, overrides applied."),
    _v("Monitoring/Spindle/SpeedActual", "Double", "Spindle speed measured now."),
    _v("Monitoring/Spindle/SpeedOverride", "Int32", "Spindle speed override, percent."),
    _v("Monitoring/Spindle/Load", "Double", "Spindle load."),
    _v("Production/ActiveProgram/Name", "String", "File of the program loaded, as the control names it."),
    _v("Production/ActiveProgram/Line", "Int32", "Program line in execution."),
    _v("Production/ActiveProgram/CompileState", "String", "State of the program's analysis (READY, ERROR...)."),
    _v("Production/ActiveProgram/EstimatedTime", "String", "Estimated machining time of the program."),
    _v("Production/ActiveProgram/ElapsedTime", "String", "Time worked, as the control reports it."),
)

INDEX = {"/".join(v.path): i for i, v in enumerate(VARIABLES)}
STATE_NAME = INDEX["Monitoring/Channel/State"]
COMPILE_STATE = INDEX["Production/ActiveProgram/CompileState"]
PROGRAM = INDEX["Production/ActiveProgram/Name"]
ALARM = INDEX["Monitoring/Channel/Alarm"]


def _int32(value: Any) -> int | None:
    if isinstance(value, bool) or not isinstance(value, int):
        return None
    return value if _INT32[0] <= value <= _INT32[1] else None


def _double(value: Any) -> float | None:
    if isinstance(value, bool) or not isinstance(value, int | float):
        return None
    try:
        f = float(value)
    except OverflowError:
        return None
    return f if math.isfinite(f) else None


def _text(value: Any) -> str | None:
    # A control's text is cut, so one odd reply cannot swell every notification and read.
    return value[:MAX_TEXT] if isinstance(value, str) else None


def _positions(info: cnc.APICncInfo, axes: cnc.APIAxesInfo | None, frame: str) -> list[Any]:
    mask = info.axes_mask if isinstance(info.axes_mask, int) else 0
    found = getattr(axes, frame) if axes is not None else None
    values = found if isinstance(found, list) else []
    out: list[Any] = []
    for n in range(len(AXES)):
        if not mask >> n & 1:
            out.append(NOT_ON_MACHINE)
        else:
            out.append(_double(values[n]) if n < len(values) else None)
    return out


def system_values(system: cnc.APISystemInfo) -> tuple[str | None, ...]:
    """The identification values of `SYSTEM` from the system info."""
    return tuple(_text(getattr(system, field)) if system.has_data else None for _, field, _ in SYSTEM)


def values_of(
    info: cnc.APICncInfo,
    axes: cnc.APIAxesInfo | None,
    compiled: cnc.APICompileInfo | None,
    estimated: str | None,
    system: tuple[str | None, ...],
) -> tuple[Any, ...]:
    """The values of `VARIABLES` from one poll; None where a record or a field brought nothing usable."""
    state = info.state_machine
    program = compiled.file_name if compiled is not None else None
    compile_state = code_name(CompileState, compiled.state) if compiled is not None else None
    return (
        *system,
        code_name(State, state),
        _int32(state),
        condition(state) == "alarm",
        _double(info.feed_programmed),
        _double(info.feed_target),
        _double(info.feed_reference),
        _int32(info.override_feed),
        _int32(info.override_fast),
        _int32(info.tool_id),
        *_positions(info, axes, "program_position"),
        *_positions(info, axes, "machine_position"),
        _double(info.spindle_programmed),
        _double(info.spindle_target),
        _double(info.spindle_actual),
        _int32(info.override_spindle),
        _double(info.spindle_load),
        _text(program),
        _int32(info.gcode_line),
        compile_state,
        _text(estimated),
        _text(info.worked_time),
    )
