"""Connecting with a time-out, connection states and reconnect back-off, shared by the machine handles."""

from __future__ import annotations

import enum
import random
import socket
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass

import cnc_api_client_core as cnc

__all__ = ["Backoff", "Link", "LinkStatus", "connect_client", "parse_endpoint", "DEFAULT_PORT"]

DEFAULT_PORT = 8000


class Link(enum.Enum):
    """Connection state of a machine handle."""

    NEW = "new"  # not tried yet
    CONNECTING = "connecting"
    CONNECTED = "connected"
    DOWN = "down"  # lost or never reached; reconnects after the back-off
    CLOSED = "closed"  # closed by its owner; final


@dataclass(frozen=True)
class Backoff:
    """Delay before reconnect attempt n (1, 2, ...): initial * factor**(n-1), at most `maximum`, ± jitter."""

    initial: float = 0.5
    factor: float = 2.0
    maximum: float = 30.0
    jitter: float = 0.1

    def delay(self, failures: int) -> float:
        if failures <= 0:
            return 0.0
        base = min(self.maximum, self.initial * self.factor ** min(failures - 1, 64))
        # Jitter keeps many machines that dropped together from retrying in step.
        return max(0.0, base * (1.0 + random.uniform(-self.jitter, self.jitter)))


def parse_endpoint(text: str, default_port: int = DEFAULT_PORT, *, no_host: str | None = None) -> tuple[str, int]:
    """``host``, ``host:port`` or ``[v6]:port`` as (host, port); raises ValueError (`no_host`: its
    message when the host is missing)."""
    text = text.strip()
    if text.startswith("["):
        host, closed, rest = text[1:].partition("]")
        if not closed or (rest and not rest.startswith(":")):
            raise ValueError(f"bad address {text!r} (an IPv6 address is written [ADDRESS] or [ADDRESS]:PORT)")
        port_text = rest[1:]
    elif text.count(":") == 1:
        host, _, port_text = text.partition(":")
    else:
        host, port_text = text, ""
    if not host:
        raise ValueError(no_host or f"no host in {text!r}")
    if not port_text:
        return host, default_port
    if not port_text.isdigit() or not 0 <= int(port_text) < 65536:
        raise ValueError(f"bad port in {text!r}")
    return host, int(port_text)


def _why_not(host: str, port: int, timeout: float, elapsed: float) -> str:
    """A reason for a failed connect: the module reports only False, so ask the socket layer once."""
    if timeout > 0 and elapsed >= timeout * 0.9:
        return f"no answer within {timeout:g} s"
    try:
        probe = socket.create_connection((host, port), timeout=max(timeout, 0.1))
    except (OSError, OverflowError, ValueError, TypeError) as exc:
        if isinstance(exc, TimeoutError):
            return f"no answer within {timeout:g} s"
        if isinstance(exc, socket.gaierror):
            return f"unknown host ({exc.strerror})"
        text = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        return text[:1].lower() + text[1:]
    probe.close()
    return "connect failed"


def connect_client(
    host: str,
    port: int,
    timeout: float,
    prepare: Callable[[cnc.CncAPIClientCore], object] | None = None,
) -> tuple[cnc.CncAPIClientCore | None, str | None]:
    """A new client connected within `timeout` seconds, or (None, reason).

    `prepare` runs on the new client before it connects (to trace it, say).
    The time-out covers the connect only; the exchanges keep the module's own.
    """
    client = cnc.CncAPIClientCore()
    if prepare is not None:
        prepare(client)
    client.ipc.settimeout(timeout if timeout > 0 else None)
    started = time.monotonic()
    if client.connect(host, port):
        return client, None
    reason = _why_not(host, port, timeout, time.monotonic() - started)
    client.close()
    return None, reason


Listener = Callable[["LinkStatus"], None]


class LinkStatus:
    """Connection bookkeeping of one machine: state, failures, back-off and listeners.

    Thread-safe; listeners run on the thread that made the change and must not block.
    """

    def __init__(self, name: str, backoff: Backoff) -> None:
        self.name = name
        self.backoff = backoff
        self.state = Link.NEW
        self.failures = 0  # consecutive failed connects since the last success
        self.connects = 0  # successful connects so far
        self.last_error: str | None = None
        self.connected_since: float | None = None  # wall-clock time of the current connection
        self.retry_at = 0.0  # monotonic time of the next attempt allowed
        self._listeners: list[Listener] = []
        self._lock = threading.Lock()

    def add_listener(self, listener: Listener) -> Callable[[], None]:
        """Call `listener(status)` on every state change; returns a function that removes it."""
        with self._lock:
            self._listeners.append(listener)

        def remove() -> None:
            with self._lock:
                if listener in self._listeners:
                    self._listeners.remove(listener)

        return remove

    def retry_in(self) -> float:
        """Seconds until the back-off allows the next attempt (0 when it does now)."""
        return max(0.0, self.retry_at - time.monotonic())

    def _set(self, state: Link) -> None:
        with self._lock:
            changed = state is not self.state
            self.state = state
            listeners = list(self._listeners) if changed else []
        for listener in listeners:
            try:
                listener(self)
            except Exception:  # a faulty listener must not break the connection logic
                pass

    def connecting(self) -> None:
        self._set(Link.CONNECTING)

    def connected(self) -> None:
        self.failures = 0
        self.connects += 1
        self.last_error = None
        self.connected_since = time.time()
        self._set(Link.CONNECTED)

    def down(self, reason: str, connect_failed: bool) -> None:
        if connect_failed:
            self.failures += 1
        else:
            self.failures = 0
        self.last_error = reason
        self.connected_since = None
        self.retry_at = time.monotonic() + self.backoff.delay(self.failures)
        self._set(Link.DOWN)

    def closed(self) -> None:
        self.connected_since = None
        self._set(Link.CLOSED)

    def as_dict(self) -> dict[str, object]:
        return {
            "name": self.name,
            "state": self.state.value,
            "failures": self.failures,
            "connects": self.connects,
            "last_error": self.last_error,
            "connected_since": self.connected_since,
            "retry_in": round(self.retry_in(), 3) if self.state is Link.DOWN else None,
        }
