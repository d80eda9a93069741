"""What a machine handle decides, without input or output: `Machine` drives it from threads, `AsyncMachine`
from an event loop.

The core keeps the connection's state, back-off and listeners (through `LinkStatus`) and the current
connection, and says what comes next: connect now, wait, or give up. The handles make the connects, the
waits and the closes it asks for, each in its own way, so both follow the same rules.
"""

from __future__ import annotations

import enum
import time
from typing import Generic, Protocol, TypeVar

import cnc_api_client_core as cnc

from .link import Backoff, LinkStatus

__all__ = ["LinkCore", "NotConnected", "Snapshot", "Step", "read_snapshot"]


class Connection(Protocol):
    @property
    def is_connected(self) -> bool: ...


C = TypeVar("C", bound=Connection)


class NotConnected(ConnectionError):
    """The machine is down (or closed); `retry_in` tells when the next connect is allowed."""

    def __init__(self, name: str, reason: str | None, retry_in: float = 0.0) -> None:
        text = f"{name}: not connected" + (f" ({reason})" if reason else "")
        super().__init__(text)
        self.reason = reason
        self.retry_in = retry_in


class Snapshot:
    """What one poll read; records whose query failed are None."""

    __slots__ = ("time", "duration", "cnc_info", "axes_info", "compile_info", "requests")

    def __init__(
        self,
        time: float,
        duration: float,
        cnc_info: cnc.APICncInfo | None = None,
        axes_info: cnc.APIAxesInfo | None = None,
        compile_info: cnc.APICompileInfo | None = None,
        requests: list[float] | None = None,
    ) -> None:
        self.time = time  # wall clock, seconds since the epoch
        self.duration = duration  # seconds the queries took
        self.cnc_info = cnc_info
        self.axes_info = axes_info
        self.compile_info = compile_info
        self.requests: list[float] = requests if requests is not None else []  # seconds each query took

    @property
    def complete(self) -> bool:
        return self.cnc_info is not None

    def __repr__(self) -> str:
        return f"<Snapshot {self.time:.3f} {self.duration * 1000:.3f} ms>"


def read_snapshot(client: cnc.CncAPIClientCore, axes: bool = True, compile: bool = False) -> Snapshot | None:
    """Read cnc info (and axes and compile info) from a connected client; None when the cnc info fails."""
    clock = time.perf_counter
    now = time.time()
    t0 = clock()
    info = client.get_cnc_info()
    t1 = clock()
    if not info.has_data:
        return None
    snap = Snapshot(now, 0.0, info, requests=[t1 - t0])
    if axes:
        a = client.get_axes_info()
        t2 = clock()
        snap.requests.append(t2 - t1)
        snap.axes_info = a if a.has_data else None
        t1 = t2
    if compile:
        c = client.get_compile_info()
        t2 = clock()
        snap.requests.append(t2 - t1)
        snap.compile_info = c if c.has_data else None
        t1 = t2
    snap.duration = t1 - t0
    return snap


class Step(enum.Enum):
    """What a handle that wants a connection does next."""

    READY = "ready"  # connected: use it
    CONNECT = "connect"  # the back-off allows a connect now
    WAIT = "wait"  # down, and the back-off has not passed yet
    CLOSED = "closed"  # closed for good


class LinkCore(Generic[C]):
    """One machine's connection rules. Not thread-safe on its own: each handle serialises its calls (a lock,
    or the event loop). Methods that give back a connection hand it over for closing."""

    def __init__(self, host: str, port: int, name: str | None, backoff: Backoff | None) -> None:
        self.host = host
        self.port = port
        self.name = name or f"{host}:{port}"
        self.status = LinkStatus(self.name, backoff or Backoff())
        self.connection: C | None = None
        self.closed = False

    @property
    def connected(self) -> bool:
        connection = self.connection
        return connection is not None and connection.is_connected

    def next_step(self) -> Step:
        """After `check()`: connected, connect now, wait for the back-off, or closed."""
        if self.connected:
            return Step.READY
        if self.closed:
            return Step.CLOSED
        return Step.WAIT if self.status.retry_in() > 0 else Step.CONNECT

    def pause(self, deadline: float | None, now: float) -> float | None:
        """How long a handle waiting to connect sleeps next; None when its `deadline` passed."""
        pause = self.status.retry_in()
        if deadline is not None:
            left = deadline - now
            if left <= 0:
                return None
            pause = min(pause, left)
        return max(pause, 0.001)

    def start_connect(self) -> tuple[bool, C | None]:
        """Before a connect: whether to make it, and a previous connection to close."""
        if self.closed or self.connected:
            return False, None
        previous, self.connection = self.connection, None
        self.status.connecting()
        return True, previous

    def connect_failed(self, reason: str | None) -> None:
        self.status.down(reason or "connect failed", connect_failed=True)

    def connect_succeeded(self, connection: C) -> bool:
        """After a connect that succeeded: False when the handle was closed meanwhile (close the connection)."""
        if self.closed:
            return False
        self.connection = connection
        self.status.connected()
        return True

    def lost(self, reason: str = "connection lost") -> C | None:
        """The connection went down: the state turns down (unless closed); gives the connection back."""
        connection, self.connection = self.connection, None
        if not self.closed:
            self.status.down(reason, connect_failed=False)
        return connection

    def check(self) -> C | None:
        """Notices a connection that dropped since it was last used; gives it back for closing."""
        if self.connection is not None and not self.connection.is_connected:
            return self.lost()
        return None

    def not_connected(self) -> NotConnected:
        return NotConnected(self.name, self.status.last_error, self.status.retry_in())

    def begin_close(self) -> None:
        """Closed for good from now on: a connect under way gives up (safe from any thread)."""
        self.closed = True

    def close(self) -> C | None:
        """Closed for good; gives the connection back (then call `closed_done`)."""
        self.closed = True
        connection, self.connection = self.connection, None
        return connection

    def closed_done(self) -> None:
        self.status.closed()
