"""Wire trace: every request and reply line of a client, timestamped, with each exchange's duration.

The client talks through whatever object sits in its ``ipc`` attribute; anything
but a plain socket makes it take its generic path of method calls, so a proxy
around the socket sees every byte without any change to the native code::

    client = trace(CncAPIClientCore(), "wire.log")
    client.connect("127.0.0.1", 8000)

A line looks like::

    2025-03-01T10:15:02.118263 127.0.0.1:8000 -> {"get":"cnc.info"}
    2025-03-01T10:15:02.118901 127.0.0.1:8000 <- {"res":{...}} (0.638 ms)

Tracing costs a Python call per reply byte: use it to look, not in production polling.
"""

from __future__ import annotations

import atexit
import datetime
import os
import re
import socket
import sys
import threading
import time
from typing import IO, Any

import cnc_api_client_core as cnc

__all__ = ["ENV_VAR", "TracingSocket", "trace", "trace_from_env", "untrace"]

ENV_VAR = "CNC_API_TRACE"

_UNPRINTABLE = re.compile("[^\x20-\x7e]")


def _show(data: bytes) -> str:
    """Bytes as text, every byte outside printable ASCII as \\xNN so the exact bytes stay visible."""
    return _UNPRINTABLE.sub(lambda m: f"\\x{ord(m.group()):02x}", data.decode("latin-1"))


class _Sink:
    """One output shared by every client tracing into it; whole lines, flushed at once."""

    def __init__(self, stream: IO[str], owned: bool) -> None:
        self.stream = stream
        self.owned = owned
        self._lock = threading.Lock()

    def write(self, label: str, text: str) -> None:
        stamp = datetime.datetime.now().isoformat(timespec="microseconds")
        line = f"{stamp} {label} {text}\n"
        with self._lock:
            try:
                self.stream.write(line)
                self.stream.flush()
            except (OSError, ValueError):
                pass  # a closed or broken trace output must not break the client


_files: dict[str, _Sink] = {}
_files_lock = threading.Lock()


def _sink_for(file: str | os.PathLike[str] | IO[str] | None) -> _Sink:
    if file is None:
        return _Sink(sys.stderr, owned=False)
    if isinstance(file, str | os.PathLike):
        path = os.path.abspath(os.fspath(file))
        with _files_lock:
            sink = _files.get(path)
            if sink is None or sink.stream.closed:
                sink = _files[path] = _Sink(open(path, "a", encoding="ascii", buffering=1), owned=True)  # noqa: SIM115
            return sink
    return _Sink(file, owned=False)


@atexit.register
def _close_files() -> None:
    with _files_lock:
        for sink in _files.values():
            try:
                sink.stream.close()
            except OSError:
                pass  # the last lines could not be written (a full disk): exiting goes on
        _files.clear()


class TracingSocket:
    """Stands in a client's ``ipc``: forwards to the real socket and writes what passes."""

    def __init__(self, sock: socket.socket, sink: _Sink, label: str | None = None) -> None:
        self.socket = sock
        self._sink = sink
        self._fixed_label = label
        self._label = label
        self._reply = bytearray()
        self._request = bytearray()  # the pieces of a request line handed over so far
        self._sent_at: float | None = None

    @property
    def label(self) -> str:
        if self._label is None:
            try:
                host, port = self.socket.getpeername()[:2]
                self._label = f"{host}:{port}"
            except OSError:
                return "-"
        return self._label

    def _write(self, text: str) -> None:
        self._sink.write(self.label, text)

    def _elapsed(self) -> str:
        if self._sent_at is None:
            return ""
        return f" ({(time.perf_counter() - self._sent_at) * 1000:.3f} ms)"

    # The calls the module's generic exchange path makes.

    def connect(self, address: Any) -> None:
        try:
            self.socket.connect(address)
        except BaseException as exc:
            self._sink.write(_address(address), f"connect failed: {_reason(exc)}")
            raise
        self._label = self._fixed_label  # the peer's address, unless a label was given
        self._write("connected")

    def close(self) -> None:
        if self.socket.fileno() >= 0:
            self._write("closed")
        self.socket.close()

    def settimeout(self, value: float | None) -> None:
        self.socket.settimeout(value)

    def gettimeout(self) -> float | None:
        return self.socket.gettimeout()

    def fileno(self) -> int:
        return self.socket.fileno()

    def sendall(self, data: bytes) -> None:
        # A large request comes in pieces: its line is written once it is whole.
        if not self._request:
            if self._reply:
                self._write(f"<- (abandoned) {_show(bytes(self._reply))}")
            self._reply.clear()
        self._request += data
        if data.endswith(b"\n"):
            self._write(f"-> {_show(bytes(self._request[:-1]))}")
            self._request.clear()
            self._sent_at = time.perf_counter()
        try:
            self.socket.sendall(data)
        except BaseException as exc:
            if self._request:
                self._write(f"-> {_show(bytes(self._request))} (unfinished)")
                self._request.clear()
            self._write(f"send failed: {_reason(exc)}")
            raise

    def recv(self, size: int, *flags: int) -> bytes:
        if size != 1:  # the flush of stale bytes before a request
            if self._request:  # the last request was abandoned half-way
                self._write(f"-> {_show(bytes(self._request))} (unfinished)")
                self._request.clear()
            data = self.socket.recv(size, *flags)
            if data:
                self._write(f"discarded {len(data)} stale bytes: {_show(data)}")
            return data
        try:
            data = self.socket.recv(1, *flags)
        except BaseException as exc:
            got = f" after {len(self._reply)} reply bytes {_show(bytes(self._reply))}" if self._reply else ""
            self._write(f"<- no reply: {_reason(exc)}{got}{self._elapsed()}")
            self._reply.clear()
            self._sent_at = None
            raise
        if not data:
            self._write(f"<- connection closed by the server{self._elapsed()}")
        elif data == b"\n":
            self._write(f"<- {_show(bytes(self._reply))}{self._elapsed()}")
            self._reply.clear()
            self._sent_at = None
        else:
            self._reply += data
        return data

    def __getattr__(self, name: str) -> Any:
        return getattr(self.socket, name)

    def __repr__(self) -> str:
        return f"<TracingSocket {self.socket!r}>"


def _address(address: Any) -> str:
    if isinstance(address, tuple) and len(address) >= 2:
        return f"{address[0]}:{address[1]}"
    return str(address)


def _reason(exc: BaseException) -> str:
    if isinstance(exc, TimeoutError | socket.timeout):
        return "timed out"
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return type(exc).__name__ + (f": {exc}" if str(exc) else "")


def trace(
    client: cnc.CncAPIClientCore,
    file: str | os.PathLike[str] | IO[str] | None = None,
    *,
    label: str | None = None,
) -> cnc.CncAPIClientCore:
    """Write every exchange of `client` to `file` (a path, appended to; a text stream; None for stderr).

    Works before or after `connect`. Returns the client. Lines of many clients
    may share one file: each line carries the server's address (or `label`).
    """
    ipc: Any = client.ipc
    sock = ipc.socket if isinstance(ipc, TracingSocket) else ipc
    client.ipc = TracingSocket(sock, _sink_for(file), label)  # type: ignore[assignment]
    return client


def untrace(client: cnc.CncAPIClientCore) -> cnc.CncAPIClientCore:
    """Put the client's own socket back (and with it the native exchange path)."""
    ipc: Any = client.ipc
    if isinstance(ipc, TracingSocket):
        client.ipc = ipc.socket
    return client


def trace_from_env(client: cnc.CncAPIClientCore, environ: dict[str, str] | None = None) -> cnc.CncAPIClientCore:
    """Trace `client` when ``CNC_API_TRACE`` is set: ``-`` or ``stderr`` for stderr, else a file path.

    For one's own scripts: ``client = trace_from_env(CncAPIClientCore())``
    costs nothing while the variable is unset.
    """
    value = (os.environ if environ is None else environ).get(ENV_VAR, "").strip()
    if not value:
        return client
    return trace(client, None if value in ("-", "stderr") else value)
