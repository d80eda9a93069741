"""Status reports: positions, modes, enabled commands, analysis results and I/O, as the API gives them."""

from __future__ import annotations

import math
from typing import Any

from .codes import AXIS_COUNT, SM_JOG, SM_PAUSE, SM_RUN, SS_CCW, SS_CW, SS_OFF, TT_GENERIC
from .compiled import Compiled, hms, machining_info
from .core import MachineCore
from .tables import TOOLS

SPINDLE_MAX = 24000
LUBE_AXIS_PERIOD = 3600.0  # seconds of running between axis lubrication cycles
LUBE_SPINDLE_PERIOD = 1800.0  # seconds of spindle rotation between spindle lubrication cycles

_EMPTY_INFO = machining_info(None)


def _r(value: float) -> float:
    return round(value, 6) + 0.0


class Reports(MachineCore):
    def program_position(self) -> list[float]:
        return [p - o for p, o in zip(self.cnc.position, self.offset, strict=True)]

    def axes_info(self) -> dict[str, Any]:
        machine = [_r(v) for v in self.cnc.position]
        program = [_r(v) for v in self.program_position()]
        run = self._run
        if run is not None and run.approach is not None:
            end = run.approach.end
            machine_target = [_r(v) for v in end]
            program_target = [_r(v - o) for v, o in zip(end, self.offset, strict=True)]
        elif run is not None and run.index < run.program.count:
            end = run.program.end_of(run.index)
            machine_target = [_r(v) for v in end]
            program_target = [_r(v - o) for v, o in zip(end, self.offset, strict=True)]
        else:
            program_target, machine_target = program, machine
        return {
            "joint.position": machine,
            "machine.position": machine,
            "program.position": program,
            "machine.target.position": machine_target,
            "program.target.position": program_target,
            "actual.velocity": [int(round(v)) for v in self.velocity],
            "working.wcs": self.modal.wcs,
            "working.offset": [_r(v) for v in self.offset],
            "dynamic.offset": [0.0, 0.0, 0.0],
            "homing.done": int(self.homed_mask == self.config.axes_mask),
            "homing.done.mask": self.homed_mask,
        }

    def cnc_info(self) -> dict[str, Any]:
        m = self.modal
        moving = self.state == SM_RUN and any(self.velocity)
        feed = m.feed * (25.4 if m.units else 1.0)
        feed_target = int(round(feed * self.overrides["feed"][0] / 100.0))
        spindle_actual = self._spindle_actual()
        tool = TOOLS.get(m.tool, (TT_GENERIC, 0.0, 0.0, 0.0, 0.0, 0.0))
        override: dict[str, Any] = {}
        for name, (value, low, high) in self.overrides.items():
            override.update(
                {name: value, f"{name}.min": low, f"{name}.max": high, f"{name}.enabled": True, f"{name}.locked": False}
            )
        return {
            "units.mode": m.units,
            "axes.mask": self.config.axes_mask,
            "state.machine": self.state,
            "gcode.line": self.gcode_line,
            "worked.time": hms(self.worked),
            "coolant": {"mist": m.mist, "flood": m.flood},
            "lube": {
                "axis.cycles.made": int(self.worked // LUBE_AXIS_PERIOD),
                "axis.time.to.next.cycle": int(LUBE_AXIS_PERIOD - self.worked % LUBE_AXIS_PERIOD),
                "spindle.cycles.made": int(self.spindle_time // LUBE_SPINDLE_PERIOD),
                "spindle.time.to.next.cycle": int(LUBE_SPINDLE_PERIOD - self.spindle_time % LUBE_SPINDLE_PERIOD),
            },
            "feed": {
                "programmed": int(round(feed)),
                "target": feed_target,
                "reference": int(round(math.hypot(*self.velocity[:3]))) if moving else 0,
            },
            "spindle": {
                "programmed": int(round(m.speed)),
                "target": spindle_actual,
                "actual": spindle_actual,
                "load": 12 if spindle_actual else 0,
                "torque": 8 if spindle_actual else 0,
                "status": m.spindle,
            },
            "override": override,
            "tool": {
                "id": m.tool,
                "slot": m.tool in TOOLS,
                "type": tool[0],
                "diameter": tool[1],
                "offset.x": 0.0,
                "offset.y": 0.0,
                "offset.z": tool[2],
                "param.1": tool[3],
                "param.2": tool[4],
                "param.3": tool[5],
            },
        }

    def alarm_info(self, info: dict[str, Any]) -> dict[str, Any]:
        """`info` with the alarm's code and text while one is raised (members the client skips)."""
        if self.alarm is not None:
            info["alarm.code"], info["alarm.message"] = self.alarm
        return info

    def _spindle_actual(self) -> int:
        if self.modal.spindle == SS_OFF:
            return 0
        return min(SPINDLE_MAX, int(round(self.modal.speed * self.overrides["spindle"][0] / 100.0)))

    def enabled_commands(self) -> dict[str, Any]:
        free, startable = self._free, self._startable
        ready = self._ready() is not None
        has_points = ready and self.compiled is not None and self.compiled.count > 0
        paused = self.state == SM_PAUSE
        return {
            "cnc.continue": paused,
            "cnc.homing": self.config.axes_mask if free else 0,
            "cnc.jog.command": self.config.axes_mask if free or self.state == SM_JOG else 0,
            "cnc.mdi.command": free,
            "cnc.parameters": True,
            "cnc.pause": self.state == SM_RUN,
            "cnc.resume": paused or (free and self._resume is not None),
            "cnc.resume.from.line": ready,
            "cnc.resume.from.point": has_points,
            "cnc.start": startable,
            "cnc.start.from.line": ready,
            "cnc.start.from.point": has_points,
            "cnc.stop": True,
            "program.analysis": startable,
            "program.analysis.abort": self.job is not None and not self._pending_start,
            "program.gcode.add.text": free,
            "program.gcode.clear": free,
            "program.gcode.set.text": free,
            "program.load": free,
            "program.new": free,
            "program.save": free,
            "set.program.position": self.config.axes_mask if free else 0,
        }

    def compile_info(self) -> dict[str, Any]:
        c = self.compiled if self.job is None else None
        error = c.error if c is not None else None
        return {
            "code": error.code if error else 0,
            "code.line": error.line if error else 0,
            "file.line": error.line if error else 0,
            "file.name": (error.file or self.file_name) if error else self.file_name,
            "message": error.describe() if error else "",
            "state": self.compile_state,
        }

    def machining_info(self) -> dict[str, Any]:
        c = self.compiled if self.job is None else None
        return c.info if c is not None else _EMPTY_INFO

    def programmed_points(self) -> Compiled | None:
        """The program whose points to send (the reply is made outside the lock)."""
        return self.compiled if self.job is None and self.compiled is not None and not self.compiled.error else None

    def digital_inputs(self) -> dict[str, Any]:
        values = [0] * 128
        values[0] = int(not self.emergency)  # emergency chain closed
        for i in range(AXIS_COUNT):
            values[1 + i] = self.homed_mask >> i & 1
        return {"value": values}

    def digital_outputs(self) -> dict[str, Any]:
        m = self.modal
        values = [0] * 128
        values[0] = int(m.spindle == SS_CW)
        values[1] = int(m.spindle == SS_CCW)
        values[2] = int(m.mist)
        values[3] = int(m.flood)
        values[4] = int(self.state == SM_RUN)
        return {"value": values}

    def analog_inputs(self) -> dict[str, Any]:
        values = [0.0] * 16
        values[0] = 24.0  # supply voltage
        return {"value": values}

    def analog_outputs(self) -> dict[str, Any]:
        values = [0.0] * 16
        values[0] = _r(10.0 * self._spindle_actual() / SPINDLE_MAX)  # 0-10 V speed reference
        return {"value": values}
