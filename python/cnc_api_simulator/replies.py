"""Replies that are made after the machine lock is let go: a wait for the analysis, or a file write."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable

WORK_POLL = 0.005  # seconds between looks at the analysis' CPU time while waiting


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
