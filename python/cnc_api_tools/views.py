"""A machine's state as plain data (for --json and the exporter) and as rich renderables."""

from __future__ import annotations

from typing import Any

import cnc_api_client_core as cnc
from rich.table import Table
from rich.text import Text

from .codes import CompileState, SpindleStatus, State, ToolType, UnitsMode, axis_letters, code_name, condition
from .safe import literal

__all__ = ["OVERRIDES", "STATE_STYLES", "position_axes", "status_dict", "status_table"]

# Override name on the command line and in JSON -> record field prefix.
OVERRIDES = {
    "feed": "override_feed",
    "spindle": "override_spindle",
    "fast": "override_fast",
    "jog": "override_jog",
    "feed-custom-1": "override_feed_custom_1",
    "feed-custom-2": "override_feed_custom_2",
    "plasma-power": "plasma_power",
    "plasma-voltage": "plasma_voltage",
}

STATE_STYLES = {
    "alarm": "bold white on red",
    "run": "bold green",
    "pause": "bold yellow",
    "idle": "cyan",
    "starting": "magenta",
    "offline": "dim",
    "unknown": "bold magenta",
}

_AXES6 = "XYZABC"


def position_axes(info: cnc.APICncInfo | None) -> str:
    """Letters of the machine's axes among X..C (X, Y, Z when it does not say)."""
    mask = info.axes_mask if info is not None and isinstance(info.axes_mask, int) else 0
    return axis_letters(mask & 0b111111) or "XYZ"


def _axes(values: Any, letters: str) -> dict[str, Any]:
    if not isinstance(values, list):
        return {}
    return {ch.lower(): values[_AXES6.index(ch)] for ch in letters if _AXES6.index(ch) < len(values)}


def status_dict(
    name: str,
    info: cnc.APICncInfo,
    axes: cnc.APIAxesInfo | None,
    compiled: cnc.APICompileInfo | None,
) -> dict[str, Any]:
    """Everything `status` shows, as JSON-ready data."""
    letters = position_axes(info)
    data: dict[str, Any] = {
        "machine": name,
        "state": code_name(State, info.state_machine),
        "state_code": info.state_machine,
        "condition": condition(info.state_machine),
        "gcode_line": info.gcode_line,
        "units": code_name(UnitsMode, info.units_mode),
        "worked_time": info.worked_time,
        "feed": {"programmed": info.feed_programmed, "target": info.feed_target, "actual": info.feed_reference},
        "spindle": {
            "programmed": info.spindle_programmed,
            "target": info.spindle_target,
            "actual": info.spindle_actual,
            "load": info.spindle_load,
            "status": code_name(SpindleStatus, info.spindle_status),
        },
        "overrides": {
            key: {
                "value": getattr(info, field),
                "min": getattr(info, f"{field}_min"),
                "max": getattr(info, f"{field}_max"),
                "enabled": getattr(info, f"{field}_enabled"),
                "locked": getattr(info, f"{field}_locked"),
            }
            for key, field in OVERRIDES.items()
        },
        "tool": {
            "id": info.tool_id,
            "type": code_name(ToolType, info.tool_type),
            "diameter": info.tool_diameter,
        },
        "coolant": {"mist": info.coolant_mist, "flood": info.coolant_flood},
    }
    if axes is not None:
        data["position"] = {
            "program": _axes(axes.program_position, letters),
            "machine": _axes(axes.machine_position, letters),
        }
        data["homed"] = axis_letters(axes.homing_done_mask) if isinstance(axes.homing_done_mask, int) else None
    if compiled is not None:
        data["compile"] = {
            "state": code_name(CompileState, compiled.state),
            "code": compiled.code,
            "message": compiled.message,
            "file_name": compiled.file_name,
            "file_line": compiled.file_line,
        }
    return data


def _num(value: Any, digits: int = 3) -> str:
    return f"{value:.{digits}f}" if isinstance(value, float) else str(value)


def state_text(info: cnc.APICncInfo | None) -> Text:
    if info is None:
        return Text("-")
    word = condition(info.state_machine)
    return literal(code_name(State, info.state_machine), STATE_STYLES[word])


def status_table(data: dict[str, Any]) -> Table:
    """`status` for a person: one label and value per line, every value literal text."""
    grid = Table.grid(padding=(0, 2))
    grid.add_column(style="bold")
    grid.add_column()
    word = data["condition"]

    def row(label: str, value: object, style: str = "") -> None:
        grid.add_row(label, literal(value, style))

    row("machine", data["machine"])
    row("state", f"{data['state']} ({word})", STATE_STYLES.get(word, ""))
    row("line", data["gcode_line"])
    for frame in ("program", "machine"):
        values = data.get("position", {}).get(frame)
        if values:
            row(f"{frame} position", "  ".join(f"{k.upper()} {_num(v)}" for k, v in values.items()))
    feed, spindle = data["feed"], data["spindle"]
    row("feed", f"{feed['actual']} (target {feed['target']}, programmed {feed['programmed']})")
    row(
        "spindle",
        f"{spindle['actual']} {spindle['status']} (target {spindle['target']}, programmed {spindle['programmed']})",
    )
    ovr = data["overrides"]
    row("overrides", "  ".join(f"{k} {ovr[k]['value']}%" for k in ("feed", "spindle", "fast", "jog")))
    compiled = data.get("compile")
    if compiled is not None:
        text = compiled["state"]
        if compiled["state"] == "ERROR":
            text += f": {compiled['message']} at {compiled['file_name'] or '<program>'}:{compiled['file_line']}"
        row("compile", text, "red" if compiled["state"] == "ERROR" else "")
    tool = data["tool"]
    row("tool", f"T{tool['id']} {tool['type']} diameter {_num(tool['diameter'])}")
    row("worked time", data["worked_time"])
    return grid
