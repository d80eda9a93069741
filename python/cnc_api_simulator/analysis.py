"""Background analysis: one worker thread compiles the latest program while the server answers.

A large program is analysed in a child process (see `worker`), so the server's threads
keep the interpreter lock and a core to themselves; the child also decodes the text of
a large request, or reads the program file, that the server stored as it came. A small
program is made whole and analysed right on the worker thread, where it is done before
a child process could even start.
"""

from __future__ import annotations

import logging
import threading
import time
from collections.abc import Callable

from .compiled import Compiled, Key
from .config import MachineConfig
from .errors import GCodeError
from .interp import Interpreter, Result
from .program import Builder
from .state import State
from .text import Part, ProgramText
from .worker import Child

_log = logging.getLogger(__name__)


class Job:
    """One text to analyse; `keep_modes` for an MDI line, which goes on in the modes the
    machine is in rather than in those a program begins with."""

    def __init__(self, text: ProgramText, state: State, key: Key, file_name: str, keep_modes: bool = False) -> None:
        self.text = text
        self.state = state
        self.key = key
        self.file_name = file_name
        self.keep_modes = keep_modes
        self.cancelled = False
        self.done = threading.Event()
        self.compiled: Compiled | None = None  # stays None for a text that turns out blank

    def is_cancelled(self) -> bool:
        return self.cancelled


class Analyzer:
    """Runs one job at a time; a new job cancels the one in progress."""

    def __init__(
        self,
        config: MachineConfig,
        programs_dir: str | None,
        finished: Callable[[Job], None],
    ) -> None:
        self._config = config
        self._programs_dir = programs_dir
        self._finished = finished
        self._threshold = config.child_threshold
        self._cond = threading.Condition()
        self._next: Job | None = None
        self._current: Job | None = None
        self._child: Child | None = None
        self._thread: threading.Thread | None = None
        self._clock: int | None = None  # the worker thread's CPU clock, where the system has one
        self._closed = False

    def submit(self, job: Job) -> None:
        with self._cond:
            self._cancel_locked()
            self._next = job
            if self._thread is None:
                self._thread = threading.Thread(target=self._work, name="cnc_api_simulator analysis", daemon=True)
                self._thread.start()
                try:
                    self._clock = time.pthread_getcpuclockid(self._thread.ident or 0)
                except (AttributeError, OSError):
                    self._clock = None
            self._cond.notify()

    def close(self) -> None:
        with self._cond:
            self._closed = True
            self._cancel_locked()
            self._cond.notify()
        if self._thread is not None:
            self._thread.join(5.0)

    def work_seconds(self) -> float | None:
        """CPU seconds the worker thread has spent; None when that says nothing of the
        analysis (no such clock, or the analysis runs in a child process)."""
        with self._cond:
            if self._clock is None or self._child is not None:
                return None
            clock = self._clock
        try:
            return time.clock_gettime(clock)
        except OSError:
            return None

    def cancel(self) -> None:
        with self._cond:
            self._cancel_locked()
            self._next = None

    def _cancel_locked(self) -> None:
        for old in (self._next, self._current):
            if old is not None:
                old.cancelled = True
        if self._next is not None:
            self._next.done.set()
        if self._child is not None:
            self._child.signal()

    def _work(self) -> None:
        while True:
            with self._cond:
                while self._next is None and not self._closed:
                    self._cond.wait()
                if self._closed:
                    return
                job = self._current = self._next
                self._next = None
            assert job is not None
            if not job.cancelled:
                self._run(job)
            with self._cond:
                self._current = None
            job.done.set()

    def _run(self, job: Job) -> None:
        source = job.text
        if not source.ready.is_set() and source.portable and source.size() >= self._threshold:
            # still as it came (a raw request, a file): the analysis process makes it whole
            outcome = self._in_child(job, source.parts())
            if job.cancelled:
                return
            if outcome is not None:
                made, blank = outcome
                if blank:
                    source.found_blank()
                self._done(job, None if blank else made)
                return
        result: Result | None = None
        try:
            text = source.value(job.is_cancelled)
        except GCodeError as exc:  # the text itself is faulty: that is the program's error
            result = Result(Builder(self._config, job.state.position), job.state, exc, 0, False)
        else:
            if text is None:
                return  # cancelled
            if source.has_text:  # else blank after all: finished with nothing compiled
                result = self._analyse(job, text)
                if result is None:
                    return
        self._done(job, result)

    def _done(self, job: Job, result: Result | None) -> None:
        if not job.cancelled:
            job.compiled = None if result is None else Compiled(result, job.key, job.file_name)
            self._finished(job)

    def _analyse(self, job: Job, text: str) -> Result | None:
        if len(text) < self._threshold:
            # Here first; a short program that runs long (a loop of many passes) goes on to a
            # child process after a moment of this thread's CPU time (not wall time, which a
            # busy machine stretches), so it never shares the interpreter for long.
            deadline = time.thread_time() + self._config.thread_seconds
            moved = False

            def stop() -> bool:
                nonlocal moved
                if job.cancelled:
                    return True
                moved = time.thread_time() > deadline
                return moved

            here = self._here(job, text, job.state.copy(), stop)
            if not moved or job.cancelled:
                return here
        outcome = self._in_child(job, [text])
        if outcome is not None or job.cancelled:
            return None if outcome is None else outcome[0]
        return self._here(job, text, job.state, job.is_cancelled)

    def _here(self, job: Job, text: str, state: State, stop: Callable[[], bool]) -> Result:
        return Interpreter(
            text,
            state,
            self._config,
            file_name=job.file_name,
            programs_dir=self._programs_dir,
            cancelled=stop,
            keep_modes=job.keep_modes,
        ).run()

    def _in_child(self, job: Job, parts: list[Part]) -> tuple[Result, bool] | None:
        """The analysis in a child process, and whether the text was only blanks; None when
        none could run it."""
        try:
            child = Child()
        except OSError as exc:  # out of processes or descriptors: one line, not a traceback per program
            _log.error("no child process for the analysis (%s); analysing in the server", exc)
            return None
        with self._cond:
            self._child = child
            if job.cancelled:
                child.signal()
        result = child.run(parts, job.state, self._config, job.file_name, self._programs_dir, job.keep_modes)
        with self._cond:
            self._child = None
        child.kill()
        if result is None:
            if not job.cancelled:
                _log.error("the analysis process failed; analysing in the server")
            return None
        return result, child.blank
