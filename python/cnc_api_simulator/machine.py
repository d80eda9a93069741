"""The simulated machine: state machine, motion, program, overrides and status reports.

Time is advanced lazily: every request first calls `advance()`, which moves the
simulation forward by the wall-clock time since the last request times `speed`.
All public methods expect the caller to hold `lock`. Programs are analysed on a
background thread; a request never waits for more than `INLINE_WAIT` of analysis work
or `INLINE_LONGEST` of wall time, and a large program is stored as it arrived and made
whole there too (see `text`). The parts live beside this module: `core` (the state and its
predicates), `running` (machine time), `reports` (status replies) and `replies`.
"""

from __future__ import annotations

import logging
import time
from collections.abc import Callable

from . import storage
from .analysis import Analyzer, Job
from .codes import (
    ANALYSIS_MODES,
    AXIS_NAMES,
    CS_ERROR,
    JC_LAST,
    SM_ALARM,
    SM_HOMING,
    SM_IDLE,
    SM_JOG,
    SM_PAUSE,
    SM_RUN,
    SS_OFF,
)
from .config import MachineConfig
from .core import OVERRIDES, Approach, MachineCore, Run
from .errors import loggable
from .program import Modal
from .replies import Deferred, Wait
from .reports import Reports
from .running import Running
from .text import Pending, ProgramFile, ProgramText

__all__ = ["OVERRIDES", "Approach", "Deferred", "Machine", "MachineCore", "Run", "Wait"]

_log = logging.getLogger(__name__)

INLINE_WAIT = 0.04  # seconds of analysis a request waits for before it replies anyway
INLINE_LONGEST = 0.09  # and seconds of wall time, on a machine too busy to give it the CPU
SAVE_WAIT = 4.0  # seconds a save waits for a large program's text to be made (the client waits 5)
LOAD_NOW = 1 << 16  # bytes of a program file read on the request's path; a larger one later


class Machine(Running, Reports):
    def __init__(
        self,
        programs_dir: str | None,
        speed: float = 1.0,
        clock: Callable[[], float] = time.monotonic,
        config: MachineConfig | None = None,
    ) -> None:
        super().__init__(programs_dir, speed, clock, config)
        self.analyzer = Analyzer(self.config, programs_dir, self._analysed)
        # An MDI line may loop as long as a program: it is analysed beside the program's
        # analysis (which it leaves alone), off the lock, under the same limits.
        self.mdi_analyzer = Analyzer(self.config, programs_dir, self._mdi_analysed)

    def close(self) -> None:
        self.analyzer.close()
        self.mdi_analyzer.close()

    # ----- analysis ---------------------------------------------------------------------------

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
