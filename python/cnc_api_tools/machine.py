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
from .linkcore import LinkCore, NotConnected, Snapshot, Step, read_snapshot

__all__ = ["Machine", "NotConnected", "Snapshot", "read_snapshot"]

_T = TypeVar("_T")


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
        self._core: LinkCore[cnc.CncAPIClientCore] = LinkCore(host, port, name, backoff)
        self.connect_timeout = connect_timeout
        self._prepare = prepare
        self._lock = threading.RLock()
        self._wake = threading.Event()  # set by close: ends a wait for the back-off

    # ----- state ------------------------------------------------------------------------------

    @property
    def host(self) -> str:
        return self._core.host

    @property
    def port(self) -> int:
        return self._core.port

    @property
    def name(self) -> str:
        return self._core.name

    @property
    def status(self) -> LinkStatus:
        return self._core.status

    @property
    def state(self) -> Link:
        return self._core.status.state

    @property
    def connected(self) -> bool:
        return self._core.connected

    @property
    def client(self) -> cnc.CncAPIClientCore | None:
        """The current client (None while down); use it under `use()` when other threads share the handle."""
        return self._core.connection

    def add_listener(self, listener: Listener) -> Callable[[], None]:
        """Call `listener(status)` on each connection state change (on the changing thread)."""
        return self._core.status.add_listener(listener)

    # ----- connecting -------------------------------------------------------------------------

    def connect(self) -> bool:
        """Try to connect now, back-off or not; True when connected afterwards."""
        with self._lock:
            go, previous = self._core.start_connect()
            _close(previous)
            if not go:
                return self._core.connected
            client, reason = connect_client(self.host, self.port, self.connect_timeout, self._prepare)
            if client is None:
                self._core.connect_failed(reason)
                return False
            if not self._core.connect_succeeded(client):  # closed while connecting
                client.close()
                return False
            return True

    def ensure_connected(self) -> bool:
        """Connected, or connect when the back-off allows; never waits for the back-off."""
        if self._core.connected:
            return True
        if self._core.connection is not None:
            with self._lock:
                _close(self._core.check())
        step = self._core.next_step()  # a handle backing off answers without waiting for the lock
        if step is Step.CONNECT:
            return self.connect()
        return step is Step.READY

    def wait_connected(self, timeout: float | None = None) -> bool:
        """Keep trying, waiting out the back-off, until connected, closed or `timeout` seconds passed."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._core.closed:
            if self.ensure_connected():
                return True
            pause = self._core.pause(deadline, time.monotonic())
            if pause is None:
                return False
            self._wake.wait(pause)
        return False

    # ----- using ------------------------------------------------------------------------------

    @contextmanager
    def use(self) -> Iterator[cnc.CncAPIClientCore]:
        """The connected client, held for this thread; connects first when the back-off allows.

        Raises NotConnected when down. A client that drops during the block
        marks the machine down, and the next use makes a new one.
        """
        with self._lock:
            client = self._core.connection if self.ensure_connected() else None
            if client is None:
                raise self._core.not_connected()
            try:
                yield client
            finally:
                if not client.is_connected and self._core.connection is client:
                    _close(self._core.lost())

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
            client = self._core.connection
            if client is None:
                return None
            result = read(client, *args) if client.is_connected else None
            if not client.is_connected:
                _close(self._core.lost())
            return result

    # ----- closing ----------------------------------------------------------------------------

    def close(self) -> None:
        """Close the connection for good; waits for a use in progress on another thread to end."""
        self._core.begin_close()
        self._wake.set()
        with self._lock:
            _close(self._core.close())
            self._core.closed_done()

    def __enter__(self) -> Self:
        self.connect()
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<Machine {self.name} {self.state.value}>"


def _close(client: cnc.CncAPIClientCore | None) -> None:
    if client is not None:
        client.close()
