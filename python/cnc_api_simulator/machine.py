"""The simulated machine: state machine, motion, program, overrides and status reports.

Time is advanced lazily: every request first calls `advance()`, which moves the
simulation forward by the wall-clock time since the last request times `speed`.
All public methods expect the caller to hold `lock`. Programs are analysed on a
background thread; a request never waits for more than `INLINE_WAIT` of analysis work
or `INLINE_LONGEST` of wall time, and a large program is stored as it arrived and made
whole there too (see `text`).
"""

from __future__ import annotations

import logging
import math
import threading
import time
from collections.abc import Callable
from typing import Any

from . import storage
from .analysis import Analyzer, Job
from .codes import (
    ANALYSIS_MODES,
    AXIS_COUNT,
    AXIS_NAMES,
    CS_ERROR,
    CS_FIRST_STEP,
    CS_FIRST_STEP_RUNNING,
    CS_INIT,
    CS_READY,
    JC_LAST,
    SM_ALARM,
    SM_HOMING,
    SM_IDLE,
    SM_JOG,
    SM_PAUSE,
    SM_RUN,
    SS_CCW,
    SS_CW,
    SS_OFF,
    TT_GENERIC,
)
from .compiled import Compiled, Key, hms, machining_info
from .config import MachineConfig
from .errors import loggable
from .program import DWELL, PAUSE, RAPID, Modal
from .state import State
from .tables import TOOLS, Tables
from .text import Pending, ProgramFile, ProgramText

_log = logging.getLogger(__name__)

JOG_RATE = 3000.0  # mm/min (deg/min for rotary axes) at 100 % jog override
HOMING_TIME = 0.5  # seconds
TRAVEL = 10000.0  # jog stops at +/- this machine position
SPINDLE_MAX = 24000
LUBE_AXIS_PERIOD = 3600.0  # seconds of running between axis lubrication cycles
LUBE_SPINDLE_PERIOD = 1800.0  # seconds of spindle rotation between spindle lubrication cycles
INLINE_WAIT = 0.04  # seconds of analysis a request waits for before it replies anyway
INLINE_LONGEST = 0.09  # and seconds of wall time, on a machine too busy to give it the CPU
WORK_POLL = 0.005  # seconds between looks at the analysis' CPU time while waiting
SAVE_WAIT = 4.0  # seconds a save waits for a large program's text to be made (the client waits 5)
LOAD_NOW = 1 << 16  # bytes of a program file read on the request's path; a larger one later

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

_EMPTY_INFO = machining_info(None)


def _r(value: float) -> float:
    return round(value, 6) + 0.0


class Wait:
    """A reply that first waits, without the machine lock, for `event` (at most `timeout`).

    With `work`, the analysis' CPU seconds so far (None where unknown), the wait is for
    `timeout` seconds of analysis rather than of wall time, up to `longest`: a busy
    machine that leaves the analysis thread little CPU gives a short program the same
    answer as a quiet one, and a long analysis still replies after `timeout`.
    """

    def __init__(
        self,
        event: threading.Event,
        timeout: float,
        then: Callable[[], object],
        work: Callable[[], float | None] | None = None,
        longest: float = 0.0,
    ) -> None:
        self.event = event
        self.timeout = timeout
        self.then = then
        self.work = work
        self.longest = max(longest, timeout)

    def wait(self) -> None:
        if self.work is None:
            self.event.wait(self.timeout)
            return
        begun = time.monotonic()
        first = self.work()
        while not self.event.wait(WORK_POLL):
            waited = time.monotonic() - begun
            if waited >= self.longest:
                return
            spent = self.work()
            if first is None:
                first = spent
            if (waited if spent is None or first is None else spent - first) >= self.timeout:
                return


class Deferred:
    """A reply whose work runs after the machine lock is let go (a file write, which may
    take long): `run` takes the lock itself where it needs it."""

    def __init__(self, run: Callable[[], object]) -> None:
        self.run = run


class Approach:
    """A straight rapid to where a run begins or resumes."""

    def __init__(self, start: list[float], end: list[float], seconds: float) -> None:
        self.start = start
        self.end = end
        self.seconds = seconds


class _Run:
    """A program or MDI run: which segment, and how far through it (0 to 1)."""

    def __init__(
        self, program: Compiled, index: int, frac: float, approach: Approach | None, from_program: bool
    ) -> None:
        self.program = program
        self.index = index
        self.frac = frac
        self.approach = approach
        self.from_program = from_program


class Machine:
    def __init__(
        self,
        programs_dir: str | None,
        speed: float = 1.0,
        clock: Callable[[], float] = time.monotonic,
        config: MachineConfig | None = None,
    ) -> None:
        if not 0 < speed < math.inf:
            raise ValueError("speed must be a positive number")
        self.lock = threading.Lock()
        self.programs_dir = programs_dir
        self.speed = float(speed)
        self.config = config or MachineConfig()
        self._clock = clock
        self._last = clock()

        self.state = SM_IDLE
        self.cnc = State()  # position, offsets, tools and modes the control keeps
        for tool, (_, diameter, length, *_rest) in TOOLS.items():
            self.cnc.tool_lengths[tool] = length
            self.cnc.tool_diameters[tool] = diameter
        self.version = 0  # counts changes of what an analysis starts from
        self.offset: tuple[float, ...] = self.cnc.offset()
        self.modal = Modal()
        self.velocity = [0.0] * AXIS_COUNT
        self.homed_mask = 0
        self.gcode_line = 0
        self.worked = 0.0
        self.spindle_time = 0.0
        self.overrides = {name: list(v) for name, v in OVERRIDES.items()}

        self._run: _Run | None = None
        self._resume: tuple[_Run, list[float]] | None = None  # left by a stop, for cnc.resume
        self._jog: tuple[int, float] | None = None
        self._homing: tuple[int, list[float], float] | None = None
        self._pending_start = False  # a start waits for the analysis
        # An alarm holds the machine until a stop resets it; an emergency stop also holds
        # it through stops, until released. `alarm_at_line` fires on entering that line.
        self.alarm: tuple[int, str] | None = None
        self.alarm_at_line: tuple[int, int, str] | None = None
        self.emergency = False

        self.tables = Tables()
        self.text = ProgramText.of("")
        self.file_name = ""
        self.compiled: Compiled | None = None
        self.job: Job | None = None
        self.analyzer = Analyzer(self.config, programs_dir, self._analysed)
        # An MDI line may loop as long as a program: it is analysed beside the program's
        # analysis (which it leaves alone), off the lock, under the same limits.
        self.mdi_job: Job | None = None
        self.mdi_analyzer = Analyzer(self.config, programs_dir, self._mdi_analysed)

    def close(self) -> None:
        self.analyzer.close()
        self.mdi_analyzer.close()

    @property
    def clock(self) -> Callable[[], float]:
        return self._clock

    @property
    def position(self) -> list[float]:
        return self.cnc.position

    @property
    def has_text(self) -> bool:
        """Anything but blanks in the program (a large one is taken to until it is made)."""
        return self.text.has_text

    # ----- time -------------------------------------------------------------------------------

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

    def _enter(self, i: int, run: _Run) -> None:
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

    # ----- analysis ---------------------------------------------------------------------------

    def _key(self) -> Key:
        return (tuple(self.cnc.position), self.version)

    def _analyse(self) -> Job:
        """Start analysing the program from where the machine stands now."""
        job = Job(self.text, self.cnc.copy(), self._key(), self.file_name)
        self.job = job
        self.compiled = None
        self.analyzer.submit(job)
        return job

    def _inline(self, job: Job, then: Callable[[], object]) -> Wait:
        """The reply waits a moment for the analysis, so a short program answers as analysed."""
        return Wait(job.done, INLINE_WAIT, then, self.analyzer.work_seconds, INLINE_LONGEST)

    def _analysed(self, job: Job) -> None:
        """Called on the analysis thread when a job is through."""
        with self.lock:
            if job is not self.job:
                return
            self.advance()
            self.job = None
            self.compiled = job.compiled  # None for a program that turned out blank
            if self._pending_start:
                self._pending_start = False
                compiled = self.compiled
                if self.state in (SM_RUN, SM_PAUSE) and compiled is not None and not compiled.error:
                    self._begin(compiled, 0, 0.0, None, True)
                elif self.state in (SM_RUN, SM_PAUSE):
                    self.state = SM_IDLE

    @property
    def compile_state(self) -> int:
        if not self.has_text:
            return CS_INIT
        if self.job is not None:
            return CS_FIRST_STEP_RUNNING if self._pending_start else CS_FIRST_STEP
        if self.compiled is None:
            return CS_INIT
        return CS_ERROR if self.compiled.error else CS_READY

    @property
    def _free(self) -> bool:
        return self.state == SM_IDLE

    @property
    def _startable(self) -> bool:
        """Idle with a program that has no error (ready, or still being analysed)."""
        return self._free and self.compile_state in (CS_READY, CS_FIRST_STEP, CS_INIT) and self.has_text

    def _ready(self) -> Compiled | None:
        c = self.compiled
        return c if self._free and self.job is None and c is not None and not c.error else None

    # ----- program ----------------------------------------------------------------------------

    def program_new(self) -> object:
        return self._edit(ProgramText.of(""), "")

    def program_clear(self) -> object:
        return self._edit(ProgramText.of(""), self.file_name)

    def program_set_text(self, text: object) -> object:
        """`text` is a str, or for a large request the raw text still to be decoded. A new text
        is no longer the file it replaces."""
        return isinstance(text, (str, Pending)) and self._edit(ProgramText.of(text), "")

    def program_add_text(self, text: object) -> object:
        return isinstance(text, (str, Pending)) and self._edit(self.text.add(text), self.file_name)

    def _edit(self, text: ProgramText, file_name: str) -> object:
        if not self._free:
            return False
        self.text = text
        self.file_name = file_name
        self._resume = None
        if not text.has_text:
            self.analyzer.cancel()
            self.job = None
            self.compiled = None
            return True
        job = self._analyse()
        if not text.ready.is_set():
            return True  # a large program: made whole and analysed in the background
        return self._inline(job, lambda: True)

    def program_load(self, name: object) -> object:
        path = storage.resolve(self.programs_dir, name) if self.programs_dir else None
        size = storage.size(path) if path else None
        if size is None or path is None or not isinstance(name, str):
            return False
        if size > LOAD_NOW:
            return self._edit(ProgramText.of(ProgramFile(path, name, size)), name)
        text = storage.read(path)
        return text is not None and self._edit(ProgramText.of(text), name)

    def program_save(self, name: object) -> object:
        path = storage.resolve(self.programs_dir, name) if self.programs_dir else None
        if not path or not self._free or not isinstance(name, str):
            return False
        text = self.text
        if text.ready.is_set():
            return self._save(text, path, name)
        text.start()
        return Wait(text.ready, SAVE_WAIT, lambda: self._free and self._save(text, path, name))

    def _save(self, text: ProgramText, path: str, name: str) -> object:
        if not text.ready.is_set() or text.error is not None:
            return False
        whole = text.value()
        if whole is None:
            return False
        return Deferred(lambda: self._write(text, whole, path, name))

    def _write(self, text: ProgramText, whole: str, path: str, name: str) -> bool:
        """Outside the lock: every other request goes on while the file is written."""
        if not storage.write(path, whole):
            return False
        with self.lock:
            if text is self.text:
                self.file_name = name
        return True

    def program_analysis(self, mode: object) -> object:
        if mode not in ANALYSIS_MODES or not self._startable:
            return False
        if self.job is not None:
            return True
        c = self.compiled
        if c is not None and c.key == self._key():
            return True
        job = self._analyse()
        return self._inline(job, lambda: self.compile_state != CS_ERROR)

    def program_analysis_abort(self) -> bool:
        if self.job is None or self._pending_start:
            return False
        self.analyzer.cancel()
        self.job = None
        self.compiled = None
        return True

    # ----- machine commands -------------------------------------------------------------------

    def program_position(self) -> list[float]:
        return [p - o for p, o in zip(self.cnc.position, self.offset, strict=True)]

    def _begin(
        self, program: Compiled, index: int, frac: float, approach_to: list[float] | None, from_program: bool
    ) -> bool:
        here = list(self.cnc.position)
        approach = None
        if approach_to is not None and any(abs(a - b) > 1e-9 for a, b in zip(here, approach_to, strict=True)):
            rapid = self.config.rapid
            seconds = max(abs(b - a) / (r / 60.0) for a, b, r in zip(here, approach_to, rapid, strict=True))
            approach = Approach(here, list(approach_to), seconds)
        self._run = _Run(program, index, frac, approach, from_program)
        self._resume = None
        self.state = SM_RUN
        if program.count and index < program.count:
            self._enter(index, self._run)
        self._step_run(0.0)
        return True

    def start(self) -> object:
        if not self._startable:
            return False
        c = self.compiled
        if c is not None and self.job is None and c.key == self._key() and not c.error:
            return self._begin(c, 0, 0.0, None, True)
        job = self.job if self.job is not None and self.job.key == self._key() else self._analyse()
        self._pending_start = True
        self.state = SM_RUN
        self.gcode_line = 0
        return self._inline(job, lambda: self.compile_state != CS_ERROR)

    def start_from_line(self, line: int) -> bool:
        c = self._ready()
        if c is None or not 1 <= line <= c.line_count:
            return False
        index = c.first_at_line(line)
        target = c.start_of(index) if index < c.count else list(self.cnc.position)
        return self._begin(c, index, 0.0, target, True)

    def start_from_point(self, point: int) -> bool:
        c = self._ready()
        index = c.motion_index(point) if c is not None else None
        if c is None or index is None:
            return False
        return self._begin(c, index + 1, 0.0, c.end_of(index), True)

    def resume(self, line: int | None = None) -> object:
        if line is not None:
            return self.start_from_line(line)
        if self.state == SM_PAUSE:
            return self.cnc_continue()
        if self._resume is None or not self._free:
            return False
        run, stopped_at = self._resume
        return self._begin(run.program, run.index, run.frac, stopped_at, run.from_program)

    def pause(self) -> bool:
        if self.state != SM_RUN:
            return False
        self.state = SM_PAUSE
        return True

    def cnc_continue(self) -> bool:
        if self.state != SM_PAUSE:
            return False
        self.state = SM_RUN
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

    def stop(self) -> bool:
        run = self._run
        if run is not None and run.index < run.program.count:
            self._resume = (run, list(self.cnc.position))
            position = list(self.cnc.position)
            self._adopt(run.program, run.index)
            self.cnc.position = position
            m = self.modal
            self.modal = Modal(m.units, m.feed, m.speed, SS_OFF, False, False, m.tool, m.wcs, m.offset)
        if self.mdi_job is not None:
            self.mdi_analyzer.cancel()
            self.mdi_job = None
        self._run = None
        self._jog = None
        self._homing = None
        self._pending_start = False
        self.state = SM_ALARM if self.emergency else SM_IDLE
        if not self.emergency:
            self.alarm = None  # the stop resets the alarm
        return True

    def homing(self, mask: int) -> bool:
        mask &= self.config.axes_mask
        if not mask or not self._free:
            return False
        self._homing = (mask, list(self.cnc.position), 0.0)
        self.state = SM_HOMING
        return True

    def jog(self, command: int) -> bool:
        if not 0 <= command <= JC_LAST or not (self._free or self.state == SM_JOG):
            return False
        if command and not self.config.axes_mask >> (command - 1) // 2 & 1:
            return False  # an axis this machine does not have
        if command == 0:
            self._jog = None
            self.state = SM_IDLE
        else:
            self._jog = ((command - 1) // 2, 1.0 if command % 2 == 0 else -1.0)
            self.state = SM_JOG
        return True

    def mdi(self, command: object) -> object:
        """Run one MDI line. The machine is busy (SM_RUN) from the request on; the reply waits
        for the analysis as a program's does, and is false for a line found faulty by then.
        A line still analysed then is accepted, and runs, or leaves the machine idle, when its
        analysis is through."""
        if not isinstance(command, str) or not command.strip() or not self._free:
            return False
        job = Job(ProgramText.of(command), self.cnc.copy(), self._key(), "", keep_modes=True)
        self.mdi_job = job
        self.state = SM_RUN
        self.mdi_analyzer.submit(job)
        return Wait(job.done, INLINE_WAIT, lambda: self._mdi_reply(job), self.mdi_analyzer.work_seconds, INLINE_LONGEST)

    def _mdi_reply(self, job: Job) -> bool:
        if not job.done.is_set():
            return True  # accepted; it runs when its analysis is through
        return not job.cancelled and (job.compiled is None or job.compiled.error is None)

    def _mdi_analysed(self, job: Job) -> None:
        """Called on the MDI analysis thread when a line is through."""
        with self.lock:
            if job is not self.mdi_job:
                return
            self.advance()
            self.mdi_job = None
            compiled = job.compiled
            if self.state not in (SM_RUN, SM_PAUSE):
                return
            if compiled is not None and compiled.error is not None:
                _log.warning("MDI line refused: %s", loggable(compiled.error.describe()))
                self.state = SM_IDLE
            elif compiled is None or not compiled.count:
                if compiled is not None:
                    self._adopt(compiled)
                self.state = SM_IDLE
            else:
                self._begin(compiled, 0, 0.0, None, False)

    def set_override(self, name: str, value: int) -> bool:
        entry = self.overrides.get(name)
        if entry is None:
            return False
        entry[0] = min(entry[2], max(entry[1], value))
        return True

    def set_program_position(self, data: dict[str, float]) -> bool:
        if not self._free:
            return False
        st = self.cnc
        table = st.wcs[st.active_wcs - 1]
        for axis, value in data.items():
            i = AXIS_NAMES.index(axis)
            table[i] = st.position[i] - st.g92[i] - st.tlo[i] - value
        self.offset = st.offset()
        self.modal = self.modal._replace(offset=self.offset)
        self._resume = None
        self.version += 1
        return True

    # ----- queries ----------------------------------------------------------------------------

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
