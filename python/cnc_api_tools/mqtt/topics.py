"""The topic tree and the JSON values a poll publishes.

PREFIX/SITE/CELL/MACHINE/availability   "online" | "offline"          retained
PREFIX/SITE/CELL/MACHINE/state          {"state": "RUN", ...}          retained, on change
PREFIX/SITE/CELL/MACHINE/program        {"name": ..., "line": ...}     retained, on change
... feed, spindle, overrides, tool, position
PREFIX/SITE/CELL/MACHINE/cmd/COMMAND    commands to the machine (with --allow-control)
PREFIX/SITE/CELL/MACHINE/reply          their results
PREFIX/_bridge/CLIENT_ID/status         "online" | "offline" (the last will)   retained
PREFIX/_bridge/CLIENT_ID/heartbeat      {"ts": ..., "machines": N, "up": M}
"""

from __future__ import annotations

import re
from typing import Any

import cnc_api_client_core as cnc

from ..codes import CompileState, State, axis_letters, code_name, condition
from ..fleetfile import FleetMachine
from ..views import OVERRIDES

__all__ = ["VALUE_TOPICS", "base_topic", "bridge_topic", "level", "machine_values"]

# Value topics under a machine, in the order a poll publishes them.
VALUE_TOPICS = ("state", "program", "feed", "spindle", "overrides", "tool", "position")
UNSET = "_"  # the level of a label a machine does not have

_BAD_LEVEL = re.compile(r"[/+#\x00-\x1f\x7f]")
_AXES = "XYZABC"


def level(text: str) -> str:
    """`text` as one topic level: no separators or wildcards, never empty."""
    cleaned = _BAD_LEVEL.sub("_", text.strip())
    return cleaned or UNSET


def base_topic(prefix: str, machine: FleetMachine) -> str:
    """PREFIX/SITE/CELL/MACHINE for a machine."""
    site = machine.labels.get("site", UNSET)
    cell = machine.labels.get("cell", UNSET)
    return "/".join((prefix, level(site), level(cell), level(machine.name)))


def bridge_topic(prefix: str, client_id: str, leaf: str) -> str:
    return f"{prefix}/_bridge/{level(client_id)}/{leaf}"


def _positions(values: object, letters: str) -> dict[str, float]:
    if not isinstance(values, list):
        return {}
    return {ch: values[i] for i, ch in enumerate(_AXES) if ch in letters and i < len(values)}


def _letters(mask: int) -> str:
    return axis_letters(mask & 0b111111) or "XYZ"


def machine_values(
    info: cnc.APICncInfo, axes: cnc.APIAxesInfo | None, compiled: cnc.APICompileInfo | None
) -> dict[str, dict[str, Any]]:
    """The value of each value topic, from one poll's records (without the time stamp)."""
    state = info.state_machine
    program: dict[str, Any] = {"line": info.gcode_line, "name": None, "compile": None}
    if compiled is not None:
        program["name"] = compiled.file_name or None
        program["compile"] = code_name(CompileState, compiled.state)
        if compiled.state == CompileState.ERROR:
            program["error"] = {"line": compiled.file_line, "message": compiled.message}
    values: dict[str, dict[str, Any]] = {
        "state": {"state": code_name(State, state), "code": state, "condition": condition(state)},
        "program": program,
        "feed": {"programmed": info.feed_programmed, "target": info.feed_target, "actual": info.feed_reference},
        "spindle": {
            "programmed": info.spindle_programmed,
            "target": info.spindle_target,
            "actual": info.spindle_actual,
            "load": info.spindle_load,
        },
        "overrides": {key: getattr(info, field) for key, field in OVERRIDES.items()},
        "tool": {"id": info.tool_id, "slot": info.tool_slot, "type": info.tool_type, "diameter": info.tool_diameter},
    }
    if axes is not None:
        letters = _letters(info.axes_mask if isinstance(info.axes_mask, int) else 0)
        values["position"] = {
            "machine": _positions(axes.machine_position, letters),
            "program": _positions(axes.program_position, letters),
        }
    return values
