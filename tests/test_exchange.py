import signal
import socket
import threading
import time

import pytest
from conftest import EXCHANGE_PATHS, client_on_path, connected_client, send, wire
from fake_server import Action, close, delay, drip, raw, reply, reset, silence

START = '{"cmd":"cnc.start"}'

# Every test here runs on the native path and on the generic one.
client = pytest.fixture(params=EXCHANGE_PATHS, name="client")(client_on_path)


@pytest.mark.parametrize(
    "request_text, on_wire",
    [
        (START, START.encode() + b"\n"),
        (START + "\n", START.encode() + b"\n"),
        ("\n", b"\n"),
        ("é€", "é€\n".encode()),
    ],
    ids=["plain", "already-ends-in-lf", "lone-lf", "utf8"],
)
def test_request_framing(client, server, request_text, on_wire):
    assert send(client, request_text) == '{"res":true}'
    assert server.received == on_wire


@pytest.mark.parametrize(
    "action, text",
    [
        (reply(b'{"res":true}'), '{"res":true}'),
        (reply(b'{"res":true}\r'), '{"res":true}\r'),
        (reply(b""), ""),
        (raw(b'{"n":1}\n{"n":2}\n'), '{"n":1}'),
        (drip(b'{"res":1}', interval=0.05), '{"res":1}'),
    ],
    ids=["plain", "crlf-keeps-cr", "empty-line", "first-of-two", "byte-by-byte"],
)
def test_reply_text(client, server, action, text):
    server.script(action)
    assert send(client, "{}") == text
    assert client.is_connected is True
    assert send(client, "{}") == '{"res":true}'  # nothing of this reply is left over


@pytest.mark.parametrize(
    "stale, text",
    [
        (b"x", '{"res":true}'),
        (b'{"res":false}\n' * 73 + b"x" * 2, '{"res":true}'),  # 1024 bytes
        (b"x" * 1024 + b"tail\n", "tail"),
    ],
    ids=["one-byte", "1024-bytes", "beyond-1024"],
)
def test_stale_bytes_flushed_up_to_1024(client, server, stale, text):
    server.push(stale)
    assert send(client, "{}") == text


@pytest.mark.parametrize(
    "request_text",
    [
        "",
        '{"a":1}\n{"b":2}',
        "\n\n",
        '{"a":1}\n ',
    ],
    ids=["empty", "inner-lf", "two-lfs", "lf-then-space"],
)
def test_request_not_sent(client, server, request_text):
    assert send(client, request_text) == ""
    assert client.is_connected is True
    assert wire(server, client) == b""


def test_none_request_raises_and_sends_nothing(client, server):
    with pytest.raises(TypeError) as info:
        send(client, None)
    assert str(info.value) == "object of type 'NoneType' has no len()"
    assert client.is_connected is True
    assert wire(server, client) == b""


@pytest.mark.parametrize("close_first", [False, True], ids=["new", "closed"])
@pytest.mark.parametrize("request_text", [START, "", None])
def test_not_connected_sends_nothing(core, server, close_first, request_text):
    c = core.CncAPIClientCore()
    if close_first:
        assert c.connect(server.host, server.port) and c.close()
    assert send(c, request_text) == ""
    assert wire(server, c, connections=int(close_first)) == b""


@pytest.mark.parametrize(
    "action, seconds",
    [
        (reset(), 1),
        (close(), 1),
        (raw(b'{"res"') + close(), 1),
        (drip(b"ab", interval=1.5), 1.4),
    ],
    ids=["reset", "close", "close-mid-reply", "gap-over-1s"],
)
def test_transport_failure_drops(client, server, action, seconds):
    server.script(action)
    start = time.monotonic()
    assert send(client, START) == ""
    assert time.monotonic() - start < seconds
    assert client.is_connected is False
    assert send(client, START) == ""
    assert server.requests == [START.encode()]


@pytest.mark.slow
@pytest.mark.parametrize(
    "action, text, low, high",
    [
        (delay(6.0) + reply(), "", 4.8, 5.8),
        (silence(), "", 4.8, 5.8),
        (delay(4.0) + reply(b"late"), "late", 3.8, 4.8),
        (drip(b"ok-long", interval=0.9), "ok-long", 6.0, 7.5),
    ],
    ids=["first-byte-after-6s", "silent", "first-byte-after-4s", "dripping-0.9s"],
)
def test_time_outs(client, server, action, text, low, high):
    server.script(action)
    start = time.monotonic()
    assert send(client, START) == text
    assert low < time.monotonic() - start < high
    assert client.is_connected is (text != "")


def test_gap_time_out_never_ends_early(core, client, server):
    """The wait after the first byte lasts the whole second, however often a
    signal cuts it short: the poll's millisecond time-out is rounded up."""
    path = "native" if type(client.ipc) is socket.socket else "generic"
    main, late = threading.get_ident(), []
    previous = signal.signal(signal.SIGUSR1, lambda *_: None)
    try:
        for _ in range(3):
            sent: list[float] = []
            done = threading.Event()
            stamp = lambda conn, sent=sent: sent.append(time.monotonic()) or conn.send(b'{"res"')  # noqa: E731
            server.script(Action("stamped", [stamp]))

            def poke(done=done):
                while not done.wait(0.0003):
                    signal.pthread_kill(main, signal.SIGUSR1)

            poker = threading.Thread(target=poke)
            poker.start()
            try:
                assert send(client, START) == ""
                late.append(time.monotonic() - sent[0] - 1.0)  # from before the byte could arrive
            finally:
                done.set()
                poker.join()
            assert client.is_connected is False
            client.ipc.close()
            server.wait_closed(len(late))
            client = connected_client(core, server, path)
    finally:
        signal.signal(signal.SIGUSR1, previous)
    assert min(late) >= 0, late


def test_dripping_under_one_second_is_read(client, server):
    server.script(drip(b"ok", interval=0.9))
    assert send(client, START) == "ok"
    assert client.is_connected is True


@pytest.mark.parametrize("byte", [0x80, 0xC3, 0xE9, 0xFF])
@pytest.mark.parametrize("head", [b"", b'{"res":"'], ids=["at-start", "inside"])
def test_non_ascii_reply_byte(client, server, byte, head):
    # The tail comes late: only reading the bad line to its line feed keeps it
    # away from the next exchange, whose flush would find nothing yet.
    server.script(raw(head + bytes([byte])) + drip(b'"}', interval=0.1), reply(b'{"res":"next"}'))
    with pytest.raises(UnicodeDecodeError) as info:
        send(client, START)
    with pytest.raises(UnicodeDecodeError) as expected:
        bytes([byte]).decode("utf-8")
    assert str(info.value) == str(expected.value)
    assert client.is_connected is True
    assert send(client, START) == '{"res":"next"}'


def test_multi_megabyte_request_sent_whole(client, server):
    request_text = '{"cmd":"program.gcode.set.text","text":"' + "G1 X1\\n" * (1 << 20) + '"}'
    assert send(client, request_text) == '{"res":true}'
    assert server.requests == [request_text.encode()]
    assert client.is_connected is True


class Recorder:
    """Stands in for `ipc`: records each socket call, then makes it on the real socket."""

    def __init__(self, sock):
        self.sock, self.calls = sock, []

    def __getattr__(self, name):
        method = getattr(self.sock, name)

        def call(*args):
            self.calls.append((name, *args))
            return method(*args)

        return call


def test_replacement_ipc_is_used(client, server):
    recorder = client.ipc = Recorder(client.ipc)
    server.script(reply(b"ok"))
    assert send(client, START) == "ok"
    per_byte = [("recv", 1), ("settimeout", 1)] * 3
    assert recorder.calls == [
        ("settimeout", 0),
        ("recv", 1024),
        ("settimeout", 5),
        ("fileno",),  # the waits watch the descriptor, where a close from another thread is seen
        ("sendall", START.encode() + b"\n"),
        *per_byte,
    ]
    assert recorder.sock.gettimeout() == 1.0


def test_replacement_ipc_with_a_descriptor_that_is_no_socket(client, server):
    """Only a socket's descriptor is watched: one that names something else
    (here a pipe that never becomes readable) leaves the waits to `ipc`."""
    import os

    pipe = os.pipe()
    recorder = client.ipc = Recorder(client.ipc)
    recorder.fileno = lambda: pipe[0]
    server.script(delay(0.2), reply(b"ok"))
    try:
        started = time.monotonic()
        assert send(client, START) == "ok"
        assert time.monotonic() - started < 3
    finally:
        os.close(pipe[0])
        os.close(pipe[1])
