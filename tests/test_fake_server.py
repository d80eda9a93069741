"""The fake server itself, driven by a plain socket."""

import socket
import time

import pytest
from fake_server import close, delay, drip, raw, reply, reset, silence


def dial(server, timeout=2.0):
    return socket.create_connection(server.address, timeout=timeout)


def read_line(sock):
    data = b""
    while not data.endswith(b"\n"):
        chunk = sock.recv(1)
        if not chunk:
            break
        data += chunk
    return data


def test_requests_are_recorded_and_answered_in_order(server):
    server.script(reply({"res": False}), raw(b"A\nB\n"))
    with dial(server) as s:
        s.sendall(b"one\ntwo\nthree\n")
        assert [read_line(s) for _ in range(4)] == [b'{"res":false}\n', b"A\n", b"B\n", b'{"res":true}\n']
    assert server.wait_requests(3) == [b"one", b"two", b"three"]
    assert server.received == b"one\ntwo\nthree\n"


def test_delay_drip_and_push(server):
    server.script(delay(0.3), drip(b"ab", interval=0.2))
    with dial(server) as s:
        server.push(b"early\n")
        assert read_line(s) == b"early\n"
        start = time.monotonic()
        s.sendall(b"q\n")
        assert read_line(s) == b"ab\n"
        assert 0.65 < time.monotonic() - start < 2


@pytest.mark.parametrize("action, outcome", [(close(), b""), (reset(), ConnectionResetError)])
def test_connection_ends_and_next_one_is_served(server, action, outcome):
    server.script(action)
    with dial(server) as s:
        s.sendall(b"x\n")
        if isinstance(outcome, bytes):
            assert s.recv(10) == outcome
        else:
            with pytest.raises(outcome):
                s.recv(10)
    server.wait_closed(1)
    with dial(server) as s:
        s.sendall(b"y\n")
        assert read_line(s) == b'{"res":true}\n'
    assert server.connections == 2


def test_silence_and_wait_timeout(server):
    server.script(silence())
    with dial(server, timeout=0.3) as s:
        s.sendall(b"x\n")
        with pytest.raises(TimeoutError):
            s.recv(1)
    with pytest.raises(TimeoutError):
        server.wait_requests(2, timeout=0.1)


def test_large_request_is_read_whole(server):
    body = b"x" * (8 << 20)
    with dial(server) as s:
        s.sendall(body + b"\n")
        assert read_line(s) == b'{"res":true}\n'
    assert server.requests == [body]


def test_close_ends_pending_delay_quickly(server):
    server.script(delay(30), reply())
    s = dial(server)
    s.sendall(b"x\n")
    server.wait_requests(1)
    start = time.monotonic()
    server.close()
    assert time.monotonic() - start < 1
    s.close()
