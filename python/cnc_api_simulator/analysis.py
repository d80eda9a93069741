"""Background analysis: one worker thread compiles the latest program while the server answers.

A large program is analysed in a child process (see `worker`), so the server's threads
keep the interpreter lock and a core to themselves; a small one right on the worker
thread, where it is done before a child process could even start.
"""

from __future__ import annotations

import logging
import threading
import time
from collections.abc import Callable

from .compiled import Compiled, Key
from .config import MachineConfig
from .interp import Interpreter, Result
from .state import State
from .worker import Child

_log = logging.getLogger(__name__)


class Job:
    def __init__(self, text: str, state: State, key: Key, file_name: str) -> None:
        self.text = text
        self.state = state
        self.key = key
        self.file_name = file_name
        self.cancelled = False
        self.done = threading.Event()
        self.compiled: Compiled | None = None

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
        self._closed = False

    def submit(self, job: Job) -> None:
        with self._cond:
            self._cancel_locked()
            self._next = job
            if self._thread is None:
                self._thread = threading.Thread(target=self._work, name="cnc_api_simulator analysis", daemon=True)
                self._thread.start()
            self._cond.notify()

    def close(self) -> None:
        with self._cond:
            self._closed = True
            self._cancel_locked()
            self._cond.notify()
        if self._thread is not None:
            self._thread.join(5.0)

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
            self._child.kill()

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
                result = self._analyse(job)
                if result is not None and not job.cancelled:
                    job.compiled = Compiled(result, job.key, job.file_name)
                    self._finished(job)
            with self._cond:
                self._current = None
            job.done.set()

    def _analyse(self, job: Job) -> Result | None:
        if len(job.text) < self._threshold:
            # Here first; a short program that runs long (a loop of many passes) goes on to a
            # child process after a moment, so it never shares the interpreter for long.
            deadline = time.monotonic() + self._config.thread_seconds
            moved = False

            def stop() -> bool:
                nonlocal moved
                if job.cancelled:
                    return True
                moved = time.monotonic() > deadline
                return moved

            here = self._here(job, job.state.copy(), stop)
            if not moved or job.cancelled:
                return here
        result = self._in_child(job)
        if result is not None or job.cancelled:
            return result
        return self._here(job, job.state, job.is_cancelled)

    def _here(self, job: Job, state: State, stop: Callable[[], bool]) -> Result:
        return Interpreter(
            job.text, state, self._config, file_name=job.file_name, programs_dir=self._programs_dir, cancelled=stop
        ).run()

    def _in_child(self, job: Job) -> Result | None:
        """The analysis in a child process; None when none could run it."""
        try:
            child = Child()
        except OSError:
            _log.exception("no child process for the analysis; analysing in the server")
            return None
        with self._cond:
            self._child = child
            if job.cancelled:
                child.kill()
        result = child.run(job.text, job.state, self._config, job.file_name, self._programs_dir)
        with self._cond:
            self._child = None
        child.kill()
        if result is None and not job.cancelled:
            _log.error("the analysis process failed; analysing in the server")
        return result
