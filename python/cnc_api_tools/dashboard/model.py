"""What the pages show, as plain JSON values made from the records a poll read.

Records hold reply values as the control sent them, unchecked: a field typed
as a number may hold text, null or a non-finite number. Everything here turns
such a value into a finite number, a short text or None, so one odd reply can
neither break the page's JSON nor show as a plausible value.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from typing import Any

import cnc_api_client_core as cnc

from ..codes import FINAL_COMPILE_STATES, UNDER_WAY, CompileState, SpindleStatus, State, axis_letters, condition

__all__ = ["Latest", "RunClock", "compile_json", "enabled_json", "machining_json", "number", "parse_duration", "text"]

MAX_TEXT = 300


def number(value: Any) -> int | float | None:
    """A finite int or float, or None for anything else (booleans included)."""
    if isinstance(value, bool) or not isinstance(value, int | float):
        return None
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, int) and abs(value) > 2**53:  # beyond what a browser's number holds exactly
        return None
    return value


def integer(value: Any) -> int | None:
    n = number(value)
    if n is None or (isinstance(n, float) and not n.is_integer()):
        return None
    return int(n)


def text(value: Any) -> str | None:
    return value[:MAX_TEXT] if isinstance(value, str) else None


def flag(value: Any) -> bool | None:
    return value if isinstance(value, bool) else None


def numbers(values: Any, limit: int = 9) -> list[int | float | None]:
    return [number(v) for v in values[:limit]] if isinstance(values, list) else []


_DURATION = re.compile(r"^\s*(?:(\d+)[.d ]\s*)?(?:(\d+):)?(\d+):(\d+(?:\.\d*)?)\s*$")


def parse_duration(value: Any) -> float | None:
    """Seconds of a duration as a control writes it ("HH:MM:SS", "MM:SS", "D.HH:MM:SS" or a number)."""
    n = number(value)
    if n is not None:
        return float(n) if n >= 0 else None
    if not isinstance(value, str):
        return None
    match = _DURATION.match(value)
    if not match:
        return None
    days, hours, minutes, seconds = match.groups()
    total = float(seconds) + 60.0 * int(minutes) + 3600.0 * int(hours or 0) + 86400.0 * int(days or 0)
    return total if math.isfinite(total) else None


def state_of(info: cnc.APICncInfo | None) -> State | None:
    if info is None:
        return None
    code = integer(info.state_machine)
    return None if code is None else State(code)


@dataclass
class RunClock:
    """How long the program under way has run (pauses excluded), as the dashboard saw it.

    The control reports no time per program, only a running total, so the
    dashboard starts its own clock when a program gets under way.
    """

    active: bool = False
    started: float | None = None  # wall-clock time the run was first seen
    running: float = 0.0  # seconds in a running state since then
    _last: float | None = field(default=None, repr=False)

    def update(self, state: State | None, now: float) -> bool:
        """Account for one poll; True when a run has just begun."""
        under_way = state in UNDER_WAY
        began = under_way and not self.active
        if began:
            self.started, self.running = now, 0.0
        elif under_way and state is not State.PAUSE and self._last is not None:
            self.running += max(0.0, now - self._last)
        self.active = under_way
        self._last = now
        return began


@dataclass
class Latest:
    """The records of the last poll that read them (None until then)."""

    info: cnc.APICncInfo | None = None
    axes: cnc.APIAxesInfo | None = None
    compiled: cnc.APICompileInfo | None = None
    enabled: cnc.APIEnabledCommands | None = None
    machining: cnc.APIMachiningInfo | None = None
    read_at: float | None = None


def state_json(state: State | None) -> dict[str, Any] | None:
    if state is None:
        return None
    return {"code": int(state), "name": state.name, "condition": condition(state)}


def compile_json(compiled: cnc.APICompileInfo | None) -> dict[str, Any] | None:
    if compiled is None:
        return None
    code = integer(compiled.state)
    state = None if code is None else CompileState(code)
    error = None
    if state is CompileState.ERROR:
        error = {
            "code": integer(compiled.code),
            "message": text(compiled.message) or "",
            "file": text(compiled.file_name) or "",
            "line": integer(compiled.file_line),
            "code_line": integer(compiled.code_line),
        }
    return {
        "state": None if state is None else state.name,
        "final": state in FINAL_COMPILE_STATES,
        "file": text(compiled.file_name) or "",
        "error": error,
    }


def enabled_json(enabled: cnc.APIEnabledCommands | None) -> dict[str, bool]:
    if enabled is None:
        return {"start": False, "pause": False, "continue": False, "stop": False}
    return {
        "start": enabled.cnc_start is True,
        "pause": enabled.cnc_pause is True,
        "continue": enabled.cnc_continue is True,
        "stop": enabled.cnc_stop is True,
    }


def machining_json(machining: cnc.APIMachiningInfo | None) -> dict[str, Any] | None:
    if machining is None:
        return None
    tools = []
    used = machining.used_tool if isinstance(machining.used_tool, list) else []
    for tool in used[:64]:
        tools.append(
            {
                "tool_id": integer(getattr(tool, "tool_id", None)),
                "in_fast": number(getattr(tool, "in_fast", None)),
                "in_feed": number(getattr(tool, "in_feed", None)),
            }
        )
    extents = {}
    for kind in ("fast", "feed"):
        extents[kind] = {
            "min": [number(getattr(machining, f"tcp_extents_in_{kind}_min_{a}")) for a in "xyz"],
            "max": [number(getattr(machining, f"tcp_extents_in_{kind}_max_{a}")) for a in "xyz"],
        }
    return {
        "estimated_time": text(machining.estimated_time),
        "estimated_seconds": parse_duration(machining.estimated_time),
        "total_path": number(machining.total_path),
        "in_fast": number(machining.tool_path_in_fast),
        "in_feed": number(machining.tool_path_in_feed),
        "used_tools": tools,
        "extents": extents,
    }


def live_json(latest: Latest) -> dict[str, Any]:
    """State, line, feed, spindle, overrides, tool and position: the fields that change while running."""
    info, axes = latest.info, latest.axes
    state = state_of(info)
    out: dict[str, Any] = {
        "state": state_json(state),
        "alarm": state is not None and condition(state) == "alarm",
        "line": None,
        "feed": None,
        "spindle": None,
        "overrides": None,
        "tool": None,
        "units": None,
        "worked_time": None,
        "position": None,
        "axes": "",
    }
    if info is not None:
        status = integer(info.spindle_status)
        out.update(
            line=integer(info.gcode_line),
            feed={
                "programmed": number(info.feed_programmed),
                "target": number(info.feed_target),
                "actual": number(info.feed_reference),
            },
            spindle={
                "programmed": number(info.spindle_programmed),
                "target": number(info.spindle_target),
                "actual": number(info.spindle_actual),
                "load": number(info.spindle_load),
                "status": None if status is None else SpindleStatus(status).name,
            },
            overrides={
                "feed": number(info.override_feed),
                "spindle": number(info.override_spindle),
                "fast": number(info.override_fast),
                "jog": number(info.override_jog),
            },
            tool=integer(info.tool_id),
            units="inch" if integer(info.units_mode) == cnc.UM_IMPERIAL else "mm",
            worked_time=text(info.worked_time),
            axes=axis_letters(integer(info.axes_mask) or 0),
        )
    if axes is not None:
        out["position"] = numbers(axes.program_position)
        out["machine_position"] = numbers(axes.machine_position)
    return out
