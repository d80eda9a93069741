"""What the clients of one simulator may make it hold, together and each."""

from __future__ import annotations

import errno
import threading

MAX_CONNECTIONS = 256  # clients served at once; one more is told no and closed
IDLE_TIMEOUT = 3600.0  # seconds a client may send nothing before it is closed; 0 keeps it forever
MEMORY_BUDGET = 256 * 1024 * 1024  # bytes of request buffers all connections may hold beyond a first slice each
ACCEPT_BACKOFF = 0.1  # seconds without accepting after the system ran out of descriptors or memory

# accept() failures that the next attempt would only repeat until some client goes
OUT_OF_RESOURCES = frozenset({errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM})


class OverBudget(OSError):
    """A connection would take more buffer memory than the clients together may hold."""


class Budget:
    """Bytes that all connections together may hold in their receive buffers."""

    def __init__(self, total: int = MEMORY_BUDGET) -> None:
        self.total = total
        self.used = 0
        self._lock = threading.Lock()

    def take(self, size: int, force: bool = False) -> bool:
        with self._lock:
            if self.used + size > self.total and not force:
                return False
            self.used += size
            return True

    def give(self, size: int) -> None:
        with self._lock:
            self.used -= size
