"""Machine time: a program or MDI run stepping through its segments, jogging, homing, alarms.

All methods expect the caller to hold `lock`.
"""

from __future__ import annotations

from .codes import AXIS_COUNT, SM_ALARM, SM_HOMING, SM_IDLE, SM_JOG, SM_PAUSE, SM_RUN, SS_OFF
from .compiled import Compiled
from .core import Approach, MachineCore, Run
from .program import DWELL, PAUSE, RAPID, Modal

JOG_RATE = 3000.0  # mm/min (deg/min for rotary axes) at 100 % jog override
HOMING_TIME = 0.5  # seconds
TRAVEL = 10000.0  # jog stops at +/- this machine position


class Running(MachineCore):
    def advance(self, until: float | None = None) -> None:
        """Move on to the clock's present, or to `until` on the clock when that is not past."""
        now = self._clock() if until is None else until
        if now < self._last:
            return
        dt, self._last = (now - self._last) * self.speed, now
        self.step(dt)

    def step(self, dt: float) -> None:
        """Move the simulation forward by `dt` seconds of machine time."""
        if self.modal.spindle != SS_OFF:
            self.spindle_time += dt
        self.velocity = [0.0] * AXIS_COUNT
        if self.state == SM_RUN:
            self.worked += dt
            if self._run is not None:
                self._step_run(dt)
        elif self.state == SM_JOG:
            self._step_jog(dt)
        elif self.state == SM_HOMING:
            self._step_homing(dt)

    def _factor(self, rapid: bool) -> float:
        return self.overrides["fast" if rapid else "feed"][0] / 100.0

    def _step_run(self, dt: float) -> None:
        run = self._run
        assert run is not None
        prog = run.program
        ap = run.approach
        if ap is not None:
            f = self._factor(True)
            if f <= 0.0:
                return
            need = (1.0 - run.frac) * ap.seconds / f
            if dt < need and ap.seconds > 0.0:
                run.frac += dt * f / ap.seconds
                self.cnc.position = [a + (b - a) * run.frac for a, b in zip(ap.start, ap.end, strict=True)]
                self.velocity = [(b - a) / ap.seconds * f * 60.0 for a, b in zip(ap.start, ap.end, strict=True)]
                return
            dt -= max(0.0, need)
            run.approach = None
            run.frac = 0.0
            self.cnc.position = list(ap.end)
        kinds, durations = prog.b.kinds, prog.b.durations
        n = prog.count
        while run.index < n:
            i = run.index
            kind = kinds[i]
            self._enter(i, run)
            if self.state != SM_RUN:  # an alarm on entering this line: halted at its start
                self.cnc.position = list(prog.start_of(i))
                return
            if kind == PAUSE:  # M0: wait for cnc.continue, where the move before it ended
                self.cnc.position = prog.end_of(i)
                run.index += 1
                run.frac = 0.0
                self.state = SM_PAUSE
                return
            seconds = durations[i]
            f = 1.0 if kind == DWELL else self._factor(kind == RAPID)
            if seconds > 0.0:
                if f <= 0.0:  # override at 0 %: the machine waits where it is on this move
                    self.cnc.position = prog.at(i, run.frac)
                    break
                seg_time = seconds / f
                need = (1.0 - run.frac) * seg_time
                if dt < need:
                    run.frac += dt / seg_time
                    self.cnc.position = prog.at(i, run.frac)
                    if kind != DWELL:
                        p, t = prog.start_of(i), prog.end_of(i)
                        self.velocity = [(b - a) / seg_time * 60.0 for a, b in zip(p, t, strict=True)]
                    return
                dt -= need
            run.index += 1
            run.frac = 0.0
        if run.index >= n:
            self._finish_run()

    def _enter(self, i: int, run: Run) -> None:
        prog = run.program
        modal = prog.modal(i)
        if modal is not self.modal:
            self.modal = modal
            self.offset = modal.offset
        if run.from_program:
            self.gcode_line = prog.b.lines[i]
            watch = self.alarm_at_line
            if watch is not None and self.gcode_line >= watch[0]:
                self.alarm_at_line = None
                self.raise_alarm(watch[1], watch[2])

    def _finish_run(self) -> None:
        run = self._run
        assert run is not None
        self._adopt(run.program)
        self._run = None
        self._resume = None
        self.state = SM_IDLE

    def _adopt(self, prog: Compiled, stopped_in: int | None = None) -> None:
        """Take over the offsets, tools and modes that the program leaves behind, or that are
        in force in the segment it was stopped in."""
        final = prog.final.copy() if stopped_in is None else prog.state_at(stopped_in)
        final.position = list(prog.end_of(prog.count - 1)) if prog.count else list(self.cnc.position)
        self.cnc = final
        self.offset = final.offset()
        m = final.modes
        self.modal = Modal(
            1 if m.imperial else 0,
            m.feed,
            m.speed,
            m.spindle,
            m.mist,
            m.flood,
            final.tool,
            final.active_wcs,
            self.offset,
        )
        self.version += 1

    def _step_jog(self, dt: float) -> None:
        assert self._jog is not None
        axis, direction = self._jog
        rate = JOG_RATE * self.overrides["jog"][0] / 100.0
        pos = self.cnc.position[axis] + direction * rate / 60.0 * dt
        low, high = self.config.travel.get(axis, (-TRAVEL, TRAVEL))
        self.cnc.position[axis] = min(high, max(low, pos))
        if low < self.cnc.position[axis] < high:
            self.velocity[axis] = direction * rate

    def _step_homing(self, dt: float) -> None:
        assert self._homing is not None
        mask, start, elapsed = self._homing
        elapsed += dt
        f = min(1.0, elapsed / HOMING_TIME)
        for i in range(AXIS_COUNT):
            if mask >> i & 1:
                self.cnc.position[i] = start[i] * (1.0 - f)
        self._homing = (mask, start, elapsed)
        if f >= 1.0:
            self.homed_mask |= mask
            self._homing = None
            self.state = SM_IDLE

    def _begin(
        self, program: Compiled, index: int, frac: float, approach_to: list[float] | None, from_program: bool
    ) -> bool:
        here = list(self.cnc.position)
        approach = None
        if approach_to is not None and any(abs(a - b) > 1e-9 for a, b in zip(here, approach_to, strict=True)):
            rapid = self.config.rapid
            seconds = max(abs(b - a) / (r / 60.0) for a, b, r in zip(here, approach_to, rapid, strict=True))
            approach = Approach(here, list(approach_to), seconds)
        self._run = Run(program, index, frac, approach, from_program)
        self._resume = None
        self.state = SM_RUN
        if program.count and index < program.count:
            self._enter(index, self._run)
        self._step_run(0.0)
        return True

    def raise_alarm(self, code: int, message: str) -> None:
        """Halt where the machine stands: motion freezes (a stop later keeps a resume point)."""
        self.alarm = (code, message)
        self._jog = None
        self._homing = None
        self._pending_start = False
        self.velocity = [0.0] * AXIS_COUNT
        self.modal = self.modal._replace(spindle=SS_OFF, mist=False, flood=False)
        self.state = SM_ALARM
