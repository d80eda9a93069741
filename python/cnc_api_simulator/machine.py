"""The simulated machine: state machine, motion, program, overrides and status reports.

Time is advanced lazily: every request first calls `advance()`, which moves the
simulation forward by the wall-clock time since the last request times `speed`.
All public methods expect the caller to hold `lock`.
"""

import math
import threading
import time

from . import storage
from .codes import (
    ANALYSIS_MODES, AXES_MASK, AXIS_COUNT, AXIS_NAMES, CS_ERROR, CS_INIT, CS_READY, JC_LAST,
    SM_HOMING, SM_IDLE, SM_JOG, SM_PAUSE, SM_RUN, SS_CCW, SS_CW, SS_OFF, TT_GENERIC,
)
from .gcode import Modal, Segment, parse, path_length
from .machining import hms, machining_info
from .tables import TOOLS, Tables

RAPID_RATE = 12000.0  # mm/min at 100 % fast override
JOG_RATE = 3000.0  # mm/min (deg/min for rotary axes) at 100 % jog override
HOMING_TIME = 0.5  # seconds
ANALYSIS_TIME = 0.2  # seconds
TRAVEL = 10000.0  # jog stops at +/- this machine position
SPINDLE_MAX = 24000
LUBE_AXIS_PERIOD = 3600.0  # seconds of running between axis lubrication cycles
LUBE_SPINDLE_PERIOD = 1800.0  # seconds of spindle rotation between spindle lubrication cycles

# name: (value, min, max)
OVERRIDES = {
    "jog": (100, 0, 100),
    "spindle": (100, 50, 120),
    "fast": (100, 0, 100),
    "feed": (100, 0, 200),
    "feed.custom.1": (100, 0, 200),
    "feed.custom.2": (100, 0, 200),
    "plasma.power": (100, 0, 100),
    "plasma.voltage": (100, 50, 150),
}

def _r(value):
    return round(value, 6) + 0.0


class _Run:
    """A program or MDI run: the segments and how far along them the machine is."""

    def __init__(self, segments, final, from_program):
        self.segments = segments
        self.final = final  # modal state once the run is through
        self.index = 0
        self.progress = 0.0  # mm along (or seconds into) the current segment
        self.from_program = from_program


class Machine:
    def __init__(self, programs_dir, speed=1.0, clock=time.monotonic):
        if not 0 < speed < math.inf:
            raise ValueError("speed must be a positive number")
        self.lock = threading.Lock()
        self.programs_dir = programs_dir
        self.speed = float(speed)
        self._clock = clock
        self._last = clock()

        self.state = SM_IDLE
        self.position = [0.0] * AXIS_COUNT  # machine coordinates
        self.offset = [0.0] * AXIS_COUNT  # program = machine - offset
        self.velocity = [0.0] * AXIS_COUNT  # mm/min
        self.homed_mask = 0
        self.modal = Modal()
        self.gcode_line = 0
        self.worked = 0.0
        self.spindle_time = 0.0
        self.overrides = {name: list(v) for name, v in OVERRIDES.items()}

        self._run = None
        self._resume = None  # (run, machine position) left by a stop, for cnc.resume
        self._jog = None  # (axis, direction)
        self._homing = None  # (mask, start positions, elapsed)
        self._analysis_left = 0.0

        self.tables = Tables()
        self._set_program("", "")

    # ----- time -------------------------------------------------------------------------------

    def advance(self):
        now = self._clock()
        dt, self._last = max(0.0, now - self._last) * self.speed, now
        self.step(dt)

    def step(self, dt):
        """Move the simulation forward by `dt` seconds of machine time."""
        self._analysis_left = max(0.0, self._analysis_left - dt)
        if self.modal.spindle_dir != SS_OFF:
            self.spindle_time += dt
        self.velocity = [0.0] * AXIS_COUNT
        if self.state == SM_RUN:
            self.worked += dt
            self._step_run(dt)
        elif self.state == SM_JOG:
            self._step_jog(dt)
        elif self.state == SM_HOMING:
            self._step_homing(dt)

    def _step_run(self, dt):
        run = self._run
        rate = 0.0
        while run.index < len(run.segments):
            seg = run.segments[run.index]
            self._enter(seg, run)
            if seg.kind == "pause":  # M0: wait for cnc.continue
                run.index += 1
                self.state = SM_PAUSE
                self._place(seg, 0.0)
                return
            if seg.kind == "dwell":
                left, rate = seg.duration - run.progress, 0.0
                if dt < left:
                    run.progress += dt
                    break
                dt -= left
            else:
                rate = self._rate(seg) / 60.0
                left = seg.length - run.progress
                if rate <= 0.0:
                    break  # override at 0 %: the machine waits
                if dt * rate < left:
                    run.progress += dt * rate
                    break
                dt -= left / rate
            run.index += 1
            run.progress = 0.0
        if run.index >= len(run.segments):
            self._finish_run()
            return
        seg = run.segments[run.index]
        self._place(seg, run.progress)
        if seg.length > 0.0 and rate > 0.0:
            self.velocity = [(e - s) / seg.length * rate * 60.0 for s, e in zip(seg.start, seg.end)]

    def _enter(self, seg, run):
        self.modal = seg.modal
        if run.from_program:
            self.gcode_line = seg.line

    def _place(self, seg, progress):
        f = progress / seg.length if seg.length > 0.0 else 0.0
        self.position = [s + (e - s) * f + o for s, e, o in zip(seg.start, seg.end, self.offset)]

    def _finish_run(self):
        run = self._run
        if run.segments:
            self.position = [e + o for e, o in zip(run.segments[-1].end, self.offset)]
        self.modal = run.final
        self._run = None
        self._resume = None
        self.state = SM_IDLE

    def _rate(self, seg):
        if seg.kind == "rapid":
            return RAPID_RATE * self.overrides["fast"][0] / 100.0
        return seg.modal.feed * self.overrides["feed"][0] / 100.0

    def _step_jog(self, dt):
        axis, direction = self._jog
        rate = JOG_RATE * self.overrides["jog"][0] / 100.0
        pos = self.position[axis] + direction * rate / 60.0 * dt
        self.position[axis] = min(TRAVEL, max(-TRAVEL, pos))
        if abs(self.position[axis]) < TRAVEL:
            self.velocity[axis] = direction * rate

    def _step_homing(self, dt):
        mask, start, elapsed = self._homing
        elapsed += dt
        f = min(1.0, elapsed / HOMING_TIME)
        for i in range(AXIS_COUNT):
            if mask >> i & 1:
                self.position[i] = start[i] * (1.0 - f)
        self._homing = (mask, start, elapsed)
        if f >= 1.0:
            self.homed_mask |= mask
            self._homing = None
            self.state = SM_IDLE

    # ----- program ----------------------------------------------------------------------------

    def _set_program(self, text, file_name):
        self.text = text
        self.file_name = file_name
        self.program = parse(text)
        self._machining = machining_info(self.program, RAPID_RATE)
        self._resume = None
        self._analysis_left = 0.0

    @property
    def compile_state(self):
        if self.program.error:
            return CS_ERROR
        return CS_READY if self.text.strip() else CS_INIT

    @property
    def _free(self):
        return self.state == SM_IDLE and self._analysis_left <= 0.0

    @property
    def _can_start(self):
        return self._free and self.compile_state == CS_READY

    def program_new(self):
        return self._edit("", "")

    def program_clear(self):
        return self._edit("", self.file_name)

    def program_set_text(self, text):
        return isinstance(text, str) and self._edit(text, self.file_name)

    def program_add_text(self, text):
        if not isinstance(text, str):
            return False
        joined = self.text + ("\n" if self.text and not self.text.endswith("\n") else "") + text
        return self._edit(joined, self.file_name)

    def _edit(self, text, file_name):
        if not self._free:
            return False
        self._set_program(text, file_name)
        return True

    def program_load(self, name):
        path = storage.resolve(self.programs_dir, name) if self.programs_dir else None
        text = storage.read(path) if path else None
        return text is not None and self._edit(text, name)

    def program_save(self, name):
        path = storage.resolve(self.programs_dir, name) if self.programs_dir else None
        if not path or not self._free or not storage.write(path, self.text):
            return False
        self.file_name = name
        return True

    def program_analysis(self, mode):
        if mode not in ANALYSIS_MODES or not self._can_start:
            return False
        self._analysis_left = ANALYSIS_TIME
        return True

    def program_analysis_abort(self):
        if self._analysis_left <= 0.0:
            return False
        self._analysis_left = 0.0
        return True

    # ----- machine commands -------------------------------------------------------------------

    def program_position(self):
        return [p - o for p, o in zip(self.position, self.offset)]

    def _start(self, segments, index, approach_to, final, from_program=True):
        """Run segments[index:], reaching `approach_to` (program coordinates) by a rapid first."""
        here = tuple(self.program_position())
        approach_to = tuple(approach_to)
        head = []
        if path_length(here, approach_to) > 1e-9:
            line = segments[index].line if index < len(segments) else 0
            head = [Segment("rapid", here, approach_to, path_length(here, approach_to), line, -1, self.modal)]
        self._run = _Run(head + segments[index:], final, from_program)
        self._resume = None
        self.state = SM_RUN
        self._step_run(0.0)
        return True

    def _compiled_run(self):
        """The program compiled from the machine's present program position."""
        program = parse(self.text, start=self.program_position())
        return None if program.error else program

    def start(self):
        program = self._can_start and self._compiled_run()
        if not program:
            return False
        here = self.program_position()
        return self._start(program.segments, 0, here, program.modal)

    def start_from_line(self, line):
        program = self._can_start and self._compiled_run()
        if not program or not 1 <= line <= len(self.text.splitlines()):
            return False
        segs = program.segments
        index = next((i for i, s in enumerate(segs) if s.line >= line), len(segs))
        target = segs[index].start if index < len(segs) else self.program_position()
        return self._start(segs, index, target, program.modal)

    def start_from_point(self, point):
        program = self._can_start and self._compiled_run()
        if not program or not 0 <= point < len(program.points):
            return False
        segs = program.segments
        last = max(i for i, s in enumerate(segs) if s.move == point)
        return self._start(segs, last + 1, segs[last].end, program.modal)

    def resume(self, line=None):
        if line is not None:
            return self.start_from_line(line)
        if self.state == SM_PAUSE:
            return self.cnc_continue()
        if self._resume is None or not self._can_start:
            return False
        run, stopped_at = self._resume
        seg = run.segments[run.index]
        target = [p - o for p, o in zip(stopped_at, self.offset)]
        remaining = Segment(seg.kind, tuple(target), seg.end, path_length(target, seg.end), seg.line,
                            seg.move, seg.modal, max(0.0, seg.duration - run.progress))
        return self._start([remaining] + run.segments[run.index + 1:], 0, target, run.final,
                           run.from_program)

    def pause(self):
        if self.state != SM_RUN:
            return False
        self.state = SM_PAUSE
        return True

    def cnc_continue(self):
        if self.state != SM_PAUSE:
            return False
        self.state = SM_RUN
        return True

    def stop(self):
        if self._run is not None and self._run.index < len(self._run.segments):
            self._resume = (self._run, list(self.position))
        self._run = None
        self._jog = None
        self._homing = None
        if self.state in (SM_RUN, SM_PAUSE):
            self.modal = Modal(feed=self.modal.feed, tool=self.modal.tool, units=self.modal.units,
                               wcs=self.modal.wcs)
        self.state = SM_IDLE
        return True

    def homing(self, mask):
        mask &= AXES_MASK
        if not mask or not self._free:
            return False
        self._homing = (mask, list(self.position), 0.0)
        self.state = SM_HOMING
        return True

    def jog(self, command):
        if not 0 <= command <= JC_LAST or not (self._free or self.state == SM_JOG):
            return False
        if command == 0:
            self._jog = None
            self.state = SM_IDLE
        else:
            self._jog = ((command - 1) // 2, 1.0 if command % 2 == 0 else -1.0)
            self.state = SM_JOG
        return True

    def mdi(self, command):
        if not isinstance(command, str) or not command.strip() or not self._free:
            return False
        program = parse(command, start=self.program_position(), modal=self.modal)
        if program.error:
            return False
        if not program.segments:
            self.modal = program.modal
            return True
        segs = program.segments
        return self._start(segs, 0, segs[0].start, program.modal, from_program=False)

    def set_override(self, name, value):
        entry = self.overrides.get(name)
        if entry is None:
            return False
        entry[0] = min(entry[2], max(entry[1], value))
        return True

    def set_program_position(self, data):
        if not self._free:
            return False
        for axis, value in data.items():
            i = AXIS_NAMES.index(axis)
            self.offset[i] = self.position[i] - value
        self._resume = None
        return True

    # ----- queries ----------------------------------------------------------------------------

    def axes_info(self):
        machine = [_r(v) for v in self.position]
        program = [_r(v) for v in self.program_position()]
        if self._run is not None and self._run.index < len(self._run.segments):
            end = self._run.segments[self._run.index].end
            program_target = [_r(v) for v in end]
            machine_target = [_r(v + o) for v, o in zip(end, self.offset)]
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
            "homing.done": int(self.homed_mask == AXES_MASK),
            "homing.done.mask": self.homed_mask,
        }

    def cnc_info(self):
        m = self.modal
        moving = self.state == SM_RUN and any(self.velocity)
        feed_target = int(round(m.feed * self.overrides["feed"][0] / 100.0))
        spindle_actual = self._spindle_actual()
        tool = TOOLS.get(m.tool, (TT_GENERIC, 0.0, 0.0, 0.0, 0.0, 0.0))
        override = {}
        for name, (value, low, high) in self.overrides.items():
            override.update({name: value, f"{name}.min": low, f"{name}.max": high,
                             f"{name}.enabled": True, f"{name}.locked": False})
        return {
            "units.mode": m.units,
            "axes.mask": AXES_MASK,
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
                "programmed": int(round(m.feed)),
                "target": feed_target,
                "reference": int(round(math.hypot(*self.velocity[:3]))) if moving else 0,
            },
            "spindle": {
                "programmed": m.spindle_speed,
                "target": spindle_actual,
                "actual": spindle_actual,
                "load": 12 if spindle_actual else 0,
                "torque": 8 if spindle_actual else 0,
                "status": m.spindle_dir,
            },
            "override": override,
            "tool": {
                "id": m.tool, "slot": m.tool in TOOLS, "type": tool[0], "diameter": tool[1],
                "offset.x": 0.0, "offset.y": 0.0, "offset.z": tool[2],
                "param.1": tool[3], "param.2": tool[4], "param.3": tool[5],
            },
        }

    def _spindle_actual(self):
        if self.modal.spindle_dir == SS_OFF:
            return 0
        return min(SPINDLE_MAX, int(round(self.modal.spindle_speed * self.overrides["spindle"][0] / 100.0)))

    def enabled_commands(self):
        free, can_start = self._free, self._can_start
        has_points = can_start and bool(self.program.points)
        paused = self.state == SM_PAUSE
        return {
            "cnc.continue": paused,
            "cnc.homing": AXES_MASK if free else 0,
            "cnc.jog.command": AXES_MASK if free or self.state == SM_JOG else 0,
            "cnc.mdi.command": free,
            "cnc.parameters": True,
            "cnc.pause": self.state == SM_RUN,
            "cnc.resume": paused or (can_start and self._resume is not None),
            "cnc.resume.from.line": can_start,
            "cnc.resume.from.point": has_points,
            "cnc.start": can_start,
            "cnc.start.from.line": can_start,
            "cnc.start.from.point": has_points,
            "cnc.stop": True,
            "program.analysis": can_start,
            "program.analysis.abort": self._analysis_left > 0.0,
            "program.gcode.add.text": free,
            "program.gcode.clear": free,
            "program.gcode.set.text": free,
            "program.load": free,
            "program.new": free,
            "program.save": free,
            "set.program.position": AXES_MASK if free else 0,
        }

    def compile_info(self):
        error = self.program.error
        return {
            "code": error.code if error else 0,
            "code.line": error.line if error else 0,
            "file.line": error.line if error else 0,
            "file.name": self.file_name,
            "message": error.message if error else "",
            "state": self.compile_state,
        }

    def machining_info(self):
        return self._machining

    def programmed_points(self):
        return {"points": [[_r(v) for v in p] for p in self.program.points]}

    def digital_inputs(self):
        values = [0] * 128
        values[0] = 1  # emergency chain closed
        for i in range(AXIS_COUNT):
            values[1 + i] = self.homed_mask >> i & 1
        return {"value": values}

    def digital_outputs(self):
        m = self.modal
        values = [0] * 128
        values[0] = int(m.spindle_dir == SS_CW)
        values[1] = int(m.spindle_dir == SS_CCW)
        values[2] = int(m.mist)
        values[3] = int(m.flood)
        values[4] = int(self.state == SM_RUN)
        return {"value": values}

    def analog_inputs(self):
        values = [0.0] * 16
        values[0] = 24.0  # supply voltage
        return {"value": values}

    def analog_outputs(self):
        values = [0.0] * 16
        values[0] = _r(10.0 * self._spindle_actual() / SPINDLE_MAX)  # 0-10 V speed reference
        return {"value": values}
