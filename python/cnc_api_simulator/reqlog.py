"""The request log: one JSON line per exchange (request, reply, time taken, fault applied).

Lines go to a file, to stderr (`-`), or only to memory, where a test reads the latest ones.
A request of a large program is cut short in the log: the log is for reading, not replay.
"""

from __future__ import annotations

import collections
import json
import sys
import threading
import time
from typing import IO, Any

from .text import Line

TEXT_LIMIT = 4096  # characters of a request or reply kept in one log line
KEEP = 10_000  # entries held in memory
_ENCODER = json.JSONEncoder(separators=(",", ":"))  # made once, not per line


def clip(data: Line | None) -> str | None:
    """Up to TEXT_LIMIT characters of a line, without its line feed, undecodable bytes escaped."""
    if data is None:
        return None
    head = bytes(data[: TEXT_LIMIT + 1])
    text = head.decode("utf-8", "backslashreplace").rstrip("\r\n")
    if len(data) > TEXT_LIMIT:
        text = text[:TEXT_LIMIT] + f"...({len(data)} bytes)"
    return text


class RequestLog:
    """Thread-safe writer of log entries; `entries()` gives the latest ones held in memory."""

    def __init__(self, path: str | None = None, keep: int = KEEP) -> None:
        self._lock = threading.Lock()
        self._memory: collections.deque[dict[str, Any]] = collections.deque(maxlen=keep)
        self._stream: IO[str] | None = None
        self._own = False
        if path == "-":
            self._stream = sys.stderr
        elif path is not None:
            self._stream = open(path, "a", encoding="utf-8")  # noqa: SIM115 - closed by close()
            self._own = True

    def write(
        self,
        machine: str,
        peer: str | None,
        request: str | None,
        reply: str | None,
        duration: float,
        fault: dict[str, Any] | None,
    ) -> None:
        entry = {
            "time": round(time.time(), 6),
            "machine": machine,
            "peer": peer,
            "request": request,
            "reply": reply,
            "duration": round(duration, 6),
            "fault": fault,
        }
        line = _ENCODER.encode(entry) + "\n"
        with self._lock:
            self._memory.append(entry)
            if self._stream is not None:
                try:
                    self._stream.write(line)
                    self._stream.flush()
                except (OSError, ValueError):
                    pass  # a full disk or a closed stderr must not take the machine down

    def entries(self, machine: str | None = None) -> list[dict[str, Any]]:
        with self._lock:
            return [e for e in self._memory if machine is None or e["machine"] == machine]

    def clear(self) -> None:
        with self._lock:
            self._memory.clear()

    def close(self) -> None:
        with self._lock:
            if self._own and self._stream is not None:
                self._stream.close()
            self._stream = None
