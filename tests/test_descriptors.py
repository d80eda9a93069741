"""An exchange works only on the connection of the `ipc` it started on.

Closing a client's socket from another thread is the usual way to cancel a
stuck call. The descriptor number it frees is soon handed to the next socket
anyone opens; the pending call must neither send to nor read from that new
connection, and must end as a transport failure.
"""

from __future__ import annotations

import socket
import threading
import time

import cnc_api_client_core as cnc
import pytest
from conftest import PlainSocket, send

PATHS = ["native", "generic"]
PROGRAM = "G1 X1 Y2\n" * 200_000  # about 2 MB as a JSON string


class Listener:
    """Accepts connections; greets each with one line unless `greeting` is
    None; keeps what each sends. `serve(sock)` overrides the greeting."""

    def __init__(self, greeting: bytes | None = None, serve=None) -> None:
        self.greeting, self.serve = greeting, serve
        self.received: list[bytearray] = []
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.address = self.sock.getsockname()
        self.conns: list[socket.socket] = []
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self) -> None:
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.conns.append(conn)
            data = bytearray()
            self.received.append(data)
            self.threads.append(threading.Thread(target=self._run, args=(conn, data), daemon=True))
            self.threads[-1].start()

    def _run(self, conn: socket.socket, data: bytearray) -> None:
        try:
            if self.serve:
                return self.serve(conn, data)
            if self.greeting is not None:
                conn.sendall(self.greeting)
            while chunk := conn.recv(65536):
                data += chunk
        except OSError:
            pass

    def close(self) -> None:
        """Wakes and ends every thread: closing alone wakes no blocked accept or recv."""
        for s in [self.sock, *self.conns]:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()
        for thread in self.threads:
            thread.join(5)


def answer_after(pause: float, sip: bool):
    """Serves one request: reads it (slowly at first when `sip`), then answers
    `pause` seconds after it arrived whole."""

    def serve(conn: socket.socket, data: bytearray) -> None:
        if sip:
            time.sleep(pause)
        while not data.endswith(b"\n"):
            chunk = conn.recv(65536)
            if not chunk:
                return
            data += chunk
        if not sip:
            time.sleep(pause)
        conn.sendall(b'{"res":true}\n')
        conn.recv(1)  # until the client goes

    return serve


def new_client(path: str, address) -> cnc.CncAPIClientCore:
    client = cnc.CncAPIClientCore()
    if path == "generic":
        client.ipc.close()
        client.ipc = PlainSocket(socket.AF_INET, socket.SOCK_STREAM)
    assert client.connect(*address)
    return client


def sockets_until_number(number: int, address, limit: int = 64) -> list[socket.socket]:
    """Opens connections to `address` until one gets descriptor `number`."""
    opened = []
    for _ in range(limit):
        s = socket.create_connection(address)
        opened.append(s)
        if s.fileno() == number:
            break
    return opened


@pytest.mark.parametrize("phase", ["waiting", "sending"])
@pytest.mark.parametrize("path", PATHS)
def test_close_from_another_thread_spares_the_next_connection(path, phase):
    first = Listener(serve=answer_after(0.6, sip=phase == "sending"))
    other = Listener(greeting=b"greeting\n")
    client = new_client(path, first.address)
    if phase == "sending":
        client.ipc.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 32768)
    number = client.ipc.fileno()
    result: list[object] = []
    call = (lambda: client.program_gcode_set_text(PROGRAM)) if phase == "sending" else (lambda: send(client, "{}"))
    caller = threading.Thread(target=lambda: result.append(call()))
    try:
        caller.start()
        time.sleep(0.2)  # the call is under way: sending, or waiting for its reply
        client.ipc.close()
        opened = sockets_until_number(number, other.address)
        caller.join(10)
        assert not caller.is_alive()
        assert result == ([False] if phase == "sending" else [""])
        assert client.is_connected is False
        for s in opened:  # each new connection gets its own greeting, untouched
            s.settimeout(2)
            assert s.recv(64) == b"greeting\n"
            s.close()
        time.sleep(0.05)
        assert all(data == b"" for data in other.received)  # nothing of the call reached them
    finally:
        first.close()
        other.close()


def test_close_from_another_thread_during_a_query(core):
    """A query cancelled this way returns its failure record."""
    first = Listener(serve=answer_after(0.6, sip=False))
    other = Listener(greeting=b'{"res":{"state.machine":8}}\n')
    client = new_client("native", first.address)
    number = client.ipc.fileno()
    result: list[object] = []
    caller = threading.Thread(target=lambda: result.append(client.get_cnc_info()))
    try:
        caller.start()
        time.sleep(0.2)
        client.ipc.close()
        opened = sockets_until_number(number, other.address)
        caller.join(10)
        assert result[0].has_data is False and client.is_connected is False
        for s in opened:
            s.close()
    finally:
        first.close()
        other.close()


@pytest.mark.parametrize("high", [2**32, 2**31, 2**63 - 2**20, 2**64], ids=["2**32", "2**31", "long", "beyond-long"])
@pytest.mark.parametrize("path", PATHS)
def test_descriptor_number_beyond_int_is_never_truncated(path, high, monkeypatch):
    """fileno() reporting `high + n` must not make the exchange use descriptor n,
    here another live connection."""
    mine = Listener(serve=answer_after(0.0, sip=False))
    other = Listener()
    client = new_client(path, mine.address)
    bystander = socket.create_connection(other.address)
    real = socket.socket.fileno
    monkeypatch.setattr(socket.socket, "fileno", lambda s: high + bystander.fileno() if s is client.ipc else real(s))
    try:
        assert send(client, '{"cmd":"cnc.start"}') == '{"res":true}'
        assert client.is_connected is True
        monkeypatch.undo()
        time.sleep(0.05)
        assert other.received == [bytearray()]
        assert mine.received == [bytearray(b'{"cmd":"cnc.start"}\n')]
    finally:
        monkeypatch.undo()
        bystander.close()
        mine.close()
        other.close()


CANCELLED_WITHIN = 0.1 + 0.1  # seconds from the close to the call's end, with room for a loaded machine


def cancel_from_another_thread(client, call, ready: threading.Event, before_close=lambda: None) -> tuple[object, float]:
    """Runs `call` on a thread, closes the client's socket once `ready` is set
    (right after `before_close()`); returns the call's result and the seconds
    from the close to its end."""
    ended: list[tuple[object, float]] = []
    caller = threading.Thread(target=lambda: ended.append((call(), time.monotonic())))
    caller.start()
    assert ready.wait(10)
    before_close()
    closed_at = time.monotonic()
    client.ipc.close()
    caller.join(10)
    assert not caller.is_alive()
    return ended[0][0], ended[0][1] - closed_at


@pytest.mark.parametrize("stalls", [False, True], ids=["reading", "stalled"])
@pytest.mark.parametrize("path", PATHS)
def test_close_from_another_thread_cancels_an_upload(path, stalls):
    """An upload to a slow reader stops at once, also while the reader has
    stopped reading for a while: no more than the send and receive buffers
    held at the close reaches the server after it."""
    under_way = threading.Event()
    read_at_close: list[int] = []

    def read_slowly(conn: socket.socket, data: bytearray) -> None:
        while chunk := conn.recv(4096):
            data += chunk
            if len(data) >= 256 << 10 and not under_way.is_set():
                under_way.set()
                time.sleep(0.3 if stalls else 0)  # longer than a cancel may take
            time.sleep(0.005)

    server = Listener(serve=read_slowly)
    server.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32768)
    client = new_client(path, server.address)
    client.ipc.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 32768)
    buffers = client.ipc.getsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF) + server.sock.getsockopt(
        socket.SOL_SOCKET, socket.SO_RCVBUF
    )
    try:
        upload = lambda: client.program_gcode_set_text(PROGRAM)  # noqa: E731
        result, seconds = cancel_from_another_thread(
            client, upload, under_way, lambda: read_at_close.append(len(server.received[0]))
        )
        assert (result, client.is_connected) == (False, False)
        assert seconds < CANCELLED_WITHIN
        server.threads[1].join(10)  # the server reads to the end of the connection
        assert len(server.received[0]) - read_at_close[0] <= buffers
        assert len(server.received[0]) < len(PROGRAM) / 2
    finally:
        server.close()


@pytest.mark.parametrize("path", PATHS)
def test_close_from_another_thread_cancels_a_wait_for_the_reply(path, core):
    """A query whose server never answers ends at once, with its failure record."""
    request_in = threading.Event()

    def never_answer(conn: socket.socket, data: bytearray) -> None:
        while chunk := conn.recv(65536):
            data += chunk
            if data.endswith(b"\n"):
                request_in.set()

    server = Listener(serve=never_answer)
    client = new_client(path, server.address)
    try:
        info, seconds = cancel_from_another_thread(client, client.get_cnc_info, request_in)
        assert (info.has_data, client.is_connected) == (False, False)
        assert seconds < CANCELLED_WITHIN
    finally:
        server.close()
