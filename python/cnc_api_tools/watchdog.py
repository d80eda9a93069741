"""Every exchange of a command bounded by --timeout.

The module waits seconds of its own for a reply; a command must not. A watchdog
thread shuts the client's socket when an exchange overruns its time, which ends
the pending call at once as a transport failure (the client is then dropped).
"""

from __future__ import annotations

import atexit
import itertools
import json
import math
import socket
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, TypeVar, cast

import cnc_api_client_core as cnc

from .errors import EXIT_UNREACHABLE, CliError
from .machine import Machine
from .trace import _show

__all__ = ["BoundedMachine", "allowing", "peek_reply"]

_T = TypeVar("_T")


class _Watchdog:
    """One thread for the whole process: armed exchanges by token, each with its deadline."""

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self._armed: dict[int, tuple[float, cnc.CncAPIClientCore]] = {}
        self._fired: set[int] = set()
        self._tokens = itertools.count()
        self._thread: threading.Thread | None = None
        self._wake_at = math.inf  # when the thread looks next
        self._stopping = False

    def arm(self, client: cnc.CncAPIClientCore, seconds: float) -> int:
        with self._cond:
            token = next(self._tokens)
            deadline = time.monotonic() + seconds
            self._armed[token] = (deadline, client)
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="cnc-api-watchdog", daemon=True)
                self._thread.start()
                # Ended before the interpreter finalises: a daemon thread still waiting then
                # leaves its frame's objects behind as leaks.
                atexit.register(self.stop)
            # Most exchanges end long before the thread looks again: wake it only for an earlier deadline,
            # so a busy poller costs no thread switch per exchange.
            if deadline < self._wake_at:
                self._cond.notify()
            return token

    def disarm(self, token: int) -> bool:
        """True when the exchange overran and its socket was shut."""
        with self._cond:
            self._armed.pop(token, None)
            if token in self._fired:
                self._fired.discard(token)
                return True
            return False

    def stop(self) -> None:
        with self._cond:
            self._stopping = True
            self._cond.notify()
            thread = self._thread
        if thread is not None:
            thread.join(1.0)

    def _run(self) -> None:
        with self._cond:
            while not self._stopping:
                if not self._armed:
                    self._wake_at = math.inf
                    self._cond.wait()
                    continue
                token, (deadline, client) = min(self._armed.items(), key=lambda item: item[1][0])
                left = deadline - time.monotonic()
                if left > 0:
                    self._wake_at = deadline
                    self._cond.wait(left)
                    continue
                del self._armed[token]
                self._fired.add(token)
                try:
                    client.ipc.shutdown(socket.SHUT_RDWR)
                except (OSError, AttributeError, ValueError):
                    pass  # already closed: the call ends on its own


_watchdog = _Watchdog()


class _BoundedClient:
    """Stands in for a client: each method call is one exchange with its own deadline."""

    _UNBOUNDED = frozenset({"close", "connect"})

    def __init__(self, client: cnc.CncAPIClientCore, seconds: float, name: str, raises: bool) -> None:
        self._client = client
        self._seconds = seconds
        self._name = name
        self._raises = raises

    def __getattr__(self, attr: str) -> Any:
        value = getattr(self._client, attr)
        if not callable(value) or attr in self._UNBOUNDED or attr.startswith("_"):
            return value

        def call(*args: Any, **kwargs: Any) -> Any:
            token = _watchdog.arm(self._client, self._seconds)
            try:
                result = value(*args, **kwargs)
            finally:
                overran = _watchdog.disarm(token)
            if overran and self._raises:
                raise CliError(f"no reply from {self._name} within {_seconds(self._seconds)} s", EXIT_UNREACHABLE)
            return result

        return call

    def __setattr__(self, attr: str, value: Any) -> None:
        if attr.startswith("_"):
            object.__setattr__(self, attr, value)
        else:
            setattr(self._client, attr, value)


def allowing(client: cnc.CncAPIClientCore, seconds: float) -> cnc.CncAPIClientCore:
    """The same client with `seconds` more for each exchange (a large upload takes its time on the wire)."""
    if isinstance(client, _BoundedClient):
        bounded = _BoundedClient(client._client, client._seconds + seconds, client._name, client._raises)
        return cast(cnc.CncAPIClientCore, bounded)
    return client


class BoundedMachine(Machine):
    """A machine handle whose clients bound every exchange by `exchange_timeout` seconds.

    Under `use()` an overrun ends the command ("no reply within"); the pollers'
    path only drops the connection, which then reconnects with back-off.
    """

    def __init__(self, *args: Any, exchange_timeout: float, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.exchange_timeout = exchange_timeout

    def bounded(self, client: cnc.CncAPIClientCore, raises: bool = True) -> cnc.CncAPIClientCore:
        return cast(cnc.CncAPIClientCore, _BoundedClient(client, self.exchange_timeout, self.name, raises))

    @contextmanager
    def use(self) -> Iterator[cnc.CncAPIClientCore]:
        with super().use() as client:
            yield self.bounded(client)

    def read_if_connected(self, read: Callable[..., _T], /, *args: Any) -> _T | None:
        return super().read_if_connected(lambda client, *a: read(self.bounded(client, raises=False), *a), *args)


def _seconds(value: float) -> str:
    """A time-out as people write it: 1 rather than the 1.00178 a grown upload time-out is."""
    return f"{round(value, 2) if value >= 0.01 else value:g}"


def peek_reply(host: str, port: int, timeout: float) -> str | None:
    """What a server that does not speak this API answers a status query, said in a few words.

    None when it answers as this API does (or cannot be reached again to ask).
    """
    try:
        with socket.create_connection((host, port), timeout=timeout) as sock:
            sock.sendall(b'{"get":"cnc.info"}\n')
            data = b""
            deadline = time.monotonic() + timeout
            while b"\n" not in data and len(data) < 4096:
                sock.settimeout(max(0.001, deadline - time.monotonic()))
                chunk = sock.recv(4096)
                if not chunk:
                    break
                data += chunk
    except TimeoutError:
        return f"no reply within {timeout:g} s"
    except OSError:
        return None
    if not data:
        return "it closed the connection without a reply"
    line = data.split(b"\n", 1)[0].rstrip(b"\r")
    try:
        if isinstance(json.loads(line), dict):
            return None
    except (ValueError, RecursionError):
        pass
    shown = _show(line[:60]) + (" ..." if len(line) > 60 else "")
    return f'it answered "{shown}", which is not this API'
