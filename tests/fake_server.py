"""Scriptable fake API server for tests: 127.0.0.1, one connection at a time.

The server reads request lines and answers each one with the next scripted
action, or with `default` when the script is empty::

    with FakeServer() as server:
        server.script(reply({"res": False}), delay(6.0), reply(b"late"), reset())
        ...
        assert server.requests == [b'{"cmd":"cnc.start"}', ...]

Actions make up the answer to one request. `delay` is not an answer on its own:
it runs before the next scripted action. `a + b` joins actions into one answer,
e.g. `raw(b'{"res"') + close()`.
"""

from __future__ import annotations

import json
import socket
import struct
import threading
from collections import deque

LF = b"\n"
DEFAULT_LINE = b'{"res":true}'


def _bytes(data) -> bytes:
    """Bytes as they are, text as UTF-8, dicts and lists as compact JSON."""
    if isinstance(data, (dict, list)):
        return json.dumps(data, separators=(",", ":")).encode()
    if isinstance(data, str):
        return data.encode()
    return bytes(data)


class Action:
    """Steps the server runs for one request; `final` ends the answer."""

    def __init__(self, name, steps, final=True):
        self.name, self.steps, self.final = name, tuple(steps), final

    def __add__(self, other: Action) -> Action:
        return Action(f"{self.name} + {other.name}", self.steps + other.steps, other.final)

    def __repr__(self):
        return self.name


def reply(line=DEFAULT_LINE) -> Action:
    """Send one line (bytes, text or JSON-able dict/list) and its line feed."""
    data = _bytes(line) + LF
    return Action(f"reply({data!r})", [lambda conn: conn.send(data)])


def raw(data) -> Action:
    """Send bytes exactly as given, no line feed added."""
    data = _bytes(data)
    return Action(f"raw({data!r})", [lambda conn: conn.send(data)])


def respond(make) -> Action:
    """Reply with the line `make(request_bytes)` returns (plus a line feed)."""
    return Action("respond", [lambda conn: conn.send(_bytes(make(conn.request)) + LF)])


def drip(line, interval=0.1, lf=True) -> Action:
    """Send the line one byte at a time, `interval` seconds between bytes."""
    data = _bytes(line) + (LF if lf else b"")

    def run(conn):
        for i in range(len(data)):
            if (i and not conn.wait(interval)) or not conn.send(data[i : i + 1]):
                return

    return Action(f"drip({data!r}, {interval})", [run])


def delay(seconds) -> Action:
    """Wait before the next action (not an answer by itself)."""
    return Action(f"delay({seconds})", [lambda conn: conn.wait(seconds)], final=False)


def silence() -> Action:
    """Never answer this request; keep reading the next ones."""
    return Action("silence()", [])


def close() -> Action:
    """Close the connection in an orderly way (the client reads end of stream)."""
    return Action("close()", [lambda conn: conn.close()])


def reset() -> Action:
    """Abort the connection so the client sees a reset."""
    return Action("reset()", [lambda conn: conn.close(reset=True)])


class _Connection:
    def __init__(self, server: FakeServer, sock: socket.socket):
        self.server, self.sock = server, sock
        self.closed = False
        self.request = b""  # the request being answered

    def send(self, data: bytes) -> bool:
        if self.closed:
            return False
        try:
            with self.server._send_lock:
                self.sock.sendall(data)
            return True
        except OSError:
            self.close()
            return False

    def wait(self, seconds) -> bool:
        """Sleep; False when the server is shutting down."""
        return not self.server._stop.wait(seconds)

    def close(self, reset=False):
        if self.closed:
            return
        self.closed = True
        try:
            if reset:
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        self.sock.close()


class FakeServer:
    host = "127.0.0.1"

    def __init__(self, default: Action | bytes = DEFAULT_LINE):
        self.default = default if isinstance(default, Action) else reply(default)
        self._script: deque[Action] = deque()
        self._requests: list[bytes] = []
        self._received = bytearray()
        self._cond = threading.Condition()
        self._send_lock = threading.Lock()
        self._stop = threading.Event()
        self._conn: _Connection | None = None
        self.connections = 0  # accepted so far
        self.disconnections = 0  # ended so far
        self._listener = socket.create_server((self.host, 0))
        self._listener.settimeout(0.05)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._run, name=f"fake-server:{self.port}", daemon=True)
        self._thread.start()

    @property
    def address(self):
        return (self.host, self.port)

    @property
    def requests(self) -> list[bytes]:
        """Request lines received so far, without their line feeds."""
        with self._cond:
            return list(self._requests)

    @property
    def received(self) -> bytes:
        """Every byte received, over all connections."""
        with self._cond:
            return bytes(self._received)

    def script(self, *actions: Action) -> FakeServer:
        """Queue actions for the next requests, first in first out."""
        with self._cond:
            self._script.extend(actions)
        return self

    def push(self, data, timeout=2.0):
        """Send unsolicited bytes now on the current connection."""
        conn = self._wait(lambda: self._conn, timeout, "a connection")
        if not conn.send(_bytes(data)):
            raise ConnectionError("push failed: connection closed")

    def wait_requests(self, n, timeout=5.0) -> list[bytes]:
        self._wait(lambda: len(self._requests) >= n, timeout, f"{n} request(s)")
        return self.requests

    def wait_connection(self, timeout=2.0):
        self._wait(lambda: self._conn, timeout, "a connection")

    def wait_closed(self, count=1, timeout=5.0):
        """Wait until `count` connections in total have ended."""
        self._wait(lambda: self.disconnections >= count, timeout, f"{count} closed connection(s)")

    def _wait(self, predicate, timeout, what):
        with self._cond:
            if not self._cond.wait_for(predicate, timeout):
                raise TimeoutError(f"fake server: no {what} within {timeout} s (requests={self._requests!r})")
            return predicate()

    def _run(self):
        while not self._stop.is_set():
            try:
                sock, _ = self._listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            self._serve(sock)

    def _serve(self, sock: socket.socket):
        sock.settimeout(None)
        conn = _Connection(self, sock)
        with self._cond:
            self._conn = conn
            self.connections += 1
            self._cond.notify_all()
        pending, scanned = bytearray(), 0
        try:
            while not conn.closed and not self._stop.is_set():
                try:
                    chunk = sock.recv(1 << 16)
                except OSError:
                    break
                if not chunk:
                    break
                with self._cond:
                    self._received += chunk
                    self._cond.notify_all()
                pending += chunk
                while not conn.closed:
                    end = pending.find(LF, scanned)
                    if end < 0:
                        scanned = len(pending)
                        break
                    conn.request = bytes(pending[:end])
                    del pending[: end + 1]
                    scanned = 0
                    with self._cond:
                        self._requests.append(conn.request)
                        self._cond.notify_all()
                    self._answer(conn)
        finally:
            conn.close()
            with self._cond:
                self._conn = None
                self.disconnections += 1
                self._cond.notify_all()

    def _answer(self, conn: _Connection):
        steps = []
        with self._cond:
            while True:
                action = self._script.popleft() if self._script else self.default
                steps += action.steps
                if action.final:
                    break
        for step in steps:
            if conn.closed or self._stop.is_set():
                return
            step(conn)

    def close(self):
        self._stop.set()
        conn = self._conn
        if conn is not None:
            try:
                conn.sock.shutdown(socket.SHUT_RDWR)  # wakes the serving thread
            except OSError:
                pass
        self._thread.join(5.0)
        self._listener.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return f"<FakeServer {self.host}:{self.port} requests={len(self._requests)}>"
