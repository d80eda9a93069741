"""A machine handle for long-running services: connects with a time-out, reconnects with back-off.

    with Machine("10.0.0.5", 8000, connect_timeout=2.0) as m:
        snap = m.poll()                  # None while the machine is down
        with m.use() as client:          # the connected client, for anything else
            client.cnc_pause()

A client that drops cannot reconnect, so the handle makes a new one each time.
One thread at a time uses the client: the handle holds a lock around every use.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from types import TracebackType
from typing import Any, Self, TypeVar

import cnc_api_client_core as cnc

from .link import DEFAULT_PORT, Backoff, Link, LinkStatus, Listener, connect_client

__all__ = ["Machine", "NotConnected", "Snapshot", "read_snapshot"]

_T = TypeVar("_T")


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


TracePrepare = Callable[[cnc.CncAPIClientCore], object]


class Machine:
    """One machine's connection, remade with back-off whenever it drops."""

    def __init__(
        self,
        host: str,
        port: int = DEFAULT_PORT,
        *,
        connect_timeout: float = 3.0,
        backoff: Backoff | None = None,
        name: str | None = None,
        prepare: TracePrepare | None = None,
    ) -> None:
        self.host = host
        self.port = port
        self.connect_timeout = connect_timeout
        self.name = name or f"{host}:{port}"
        self.status = LinkStatus(self.name, backoff or Backoff())
        self._prepare = prepare
        self._client: cnc.CncAPIClientCore | None = None
        self._lock = threading.RLock()
        self._closed = threading.Event()

    # ----- state ------------------------------------------------------------------------------

    @property
    def state(self) -> Link:
        return self.status.state

    @property
    def connected(self) -> bool:
        client = self._client
        return client is not None and client.is_connected

    @property
    def client(self) -> cnc.CncAPIClientCore | None:
        """The current client (None while down); use it under `use()` when other threads share the handle."""
        return self._client

    def add_listener(self, listener: Listener) -> Callable[[], None]:
        """Call `listener(status)` on each connection state change (on the changing thread)."""
        return self.status.add_listener(listener)

    # ----- connecting -------------------------------------------------------------------------

    def connect(self) -> bool:
        """Try to connect now, back-off or not; True when connected afterwards."""
        with self._lock:
            if self._closed.is_set():
                return False
            if self.connected:
                return True
            self._discard()
            self.status.connecting()
            client, reason = connect_client(self.host, self.port, self.connect_timeout, self._prepare)
            if client is None:
                self.status.down(reason or "connect failed", connect_failed=True)
                return False
            if self._closed.is_set():  # closed while connecting
                client.close()
                return False
            self._client = client
            self.status.connected()
            return True

    def ensure_connected(self) -> bool:
        """Connected, or connect when the back-off allows; never waits for the back-off."""
        if self.connected:
            return True
        if self._client is not None:
            self._dropped("connection lost")
        if self._closed.is_set() or self.status.retry_in() > 0:
            return False
        return self.connect()

    def wait_connected(self, timeout: float | None = None) -> bool:
        """Keep trying, waiting out the back-off, until connected, closed or `timeout` seconds passed."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._closed.is_set():
            if self.ensure_connected():
                return True
            pause = self.status.retry_in()
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                pause = min(pause, left)
            self._closed.wait(max(pause, 0.001))
        return False

    def _discard(self) -> None:
        if self._client is not None:
            self._client.close()
            self._client = None

    def _dropped(self, reason: str) -> None:
        with self._lock:
            self._discard()
            if not self._closed.is_set():
                self.status.down(reason, connect_failed=False)

    # ----- using ------------------------------------------------------------------------------

    @contextmanager
    def use(self) -> Iterator[cnc.CncAPIClientCore]:
        """The connected client, held for this thread; connects first when the back-off allows.

        Raises NotConnected when down. A client that drops during the block
        marks the machine down, and the next use makes a new one.
        """
        with self._lock:
            if not self.ensure_connected() or self._client is None:
                raise NotConnected(self.name, self.status.last_error, self.status.retry_in())
            client = self._client
            try:
                yield client
            finally:
                if not client.is_connected and self._client is client:
                    self._dropped("connection lost")

    def poll(self, axes: bool = True, compile: bool = False) -> Snapshot | None:
        """One snapshot of the machine's state, or None when down (or it dropped while reading)."""
        try:
            with self.use() as client:
                return read_snapshot(client, axes, compile)
        except NotConnected:
            return None

    def poll_if_connected(self, axes: bool = True, compile: bool = False) -> Snapshot | None:
        """A snapshot when connected, else None at once: never connects, so it never waits on a connect."""
        return self.read_if_connected(read_snapshot, axes, compile)

    def read_if_connected(self, read: Callable[..., _T], /, *args: Any) -> _T | None:
        """`read(client, *args)` under the handle's lock when connected, else None at once.

        Never connects. A client found dropped afterwards marks the machine down. This is
        the pollers' path: one call, no context manager, no snapshot unless `read` makes one.
        """
        with self._lock:
            client = self._client
            if client is None:
                return None
            result = read(client, *args) if client.is_connected else None
            if not client.is_connected:
                self._dropped("connection lost")
            return result

    # ----- closing ----------------------------------------------------------------------------

    def close(self) -> None:
        """Close the connection for good; waits for a use in progress on another thread to end."""
        self._closed.set()
        with self._lock:
            self._discard()
            self.status.closed()

    def __enter__(self) -> Self:
        self.connect()
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<Machine {self.name} {self.state.value}>"
