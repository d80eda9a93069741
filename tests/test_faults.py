"""Faults of the server and the connection, on both exchange paths.

The module exchanges natively when `client.ipc` is exactly `socket.socket`
and through the socket object's own methods otherwise; every fault must end
the same way on both: the same result, the same connection state and the same
socket time-out left behind (1.0 once a reply byte has arrived, 5.0 when the
exchange failed before one did).
"""
import os
import signal
import socket
import threading
import time

import pytest

import cnc_api_client_core as cnc
from conftest import send
from fake_server import close, drip, raw, reply, reset, silence

START = '{"cmd":"cnc.start"}'
OK = '{"res":true}'
PATHS = ["native", "generic"]


class PlainSocket(socket.socket):
    """Not exactly `socket.socket`: forces the generic exchange path."""


def new_client(path, address, sndbuf=None):
    c = cnc.CncAPIClientCore()
    if path == "generic":
        native, c.ipc = c.ipc, PlainSocket(socket.AF_INET, socket.SOCK_STREAM)
        native.close()
    if sndbuf:
        c.ipc.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, sndbuf)
    assert c.connect(*address)
    assert (type(c.ipc) is socket.socket) is (path == "native")
    return c


@pytest.fixture(params=PATHS)
def path(request):
    return request.param


@pytest.fixture
def client(path, server):
    c = new_client(path, server.address)
    server.wait_connection()
    yield c
    c.ipc.close()


def outcome(call):
    """The result, or the type of the error raised, and the seconds taken."""
    start = time.monotonic()
    try:
        result = call()
    except (Exception, KeyboardInterrupt) as e:
        result = type(e)
    return result, time.monotonic() - start


def is_default(record, cls):
    return type(record) is cls and vars(record) == {}


def wait_pending(sock, count, timeout=2.0):
    """Waits until `count` bytes are readable without consuming them."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if len(sock.recv(count, socket.MSG_PEEK | socket.MSG_DONTWAIT)) >= count:
                return
        except BlockingIOError:
            pass
        time.sleep(0.01)
    raise TimeoutError(f"{count} bytes never arrived")


def assert_dropped_for_good(client, server):
    requests = len(server.requests)
    assert send(client, START) == ""
    assert client.cnc_start() is False
    assert is_default(client.get_cnc_info(), cnc.APICncInfo)
    assert len(server.requests) == requests  # nothing is sent any more


# -- faults within one exchange ----------------------------------------------

HALF = b'{"res":tr'
LATIN = b'{"res":"\xe9'  # a reply byte the exchange cannot decode
NEXT = '{"res":"next"}'
# id: (server's answer, __send_command's result, connected afterwards,
#      time-out left, longest wait, result of the next exchange)
FAULTS = {
    "reset-mid-reply": (raw(HALF) + reset(), "", False, 1.0, 0.8, ""),
    "close-mid-reply": (raw(HALF) + close(), "", False, 1.0, 0.8, ""),
    "close-after-reading-request": (close(), "", False, 5.0, 0.8, ""),
    "reset-after-reading-request": (reset(), "", False, 5.0, 0.8, ""),
    "half-sent-then-silence": (raw(HALF), "", False, 1.0, 1.8, ""),
    "undecodable-then-close": (raw(LATIN) + close(), UnicodeDecodeError, False, 1.0, 0.8, ""),
    "undecodable-then-reset": (raw(LATIN) + reset(), UnicodeDecodeError, False, 1.0, 0.8, ""),
    "undecodable-then-silence": (raw(LATIN), UnicodeDecodeError, False, 1.0, 1.8, ""),
    "undecodable-whole-line": (raw(LATIN + b'"}\n'), UnicodeDecodeError, True, 1.0, 0.8, NEXT),
    # the reply is whole; the next request finds the server gone
    "reply-then-reset": (raw(OK.encode() + b"\n") + reset(), OK, True, 1.0, 0.8, ""),
    "reply-then-close": (raw(OK.encode() + b"\n") + close(), OK, True, 1.0, 0.8, ""),
}
QUICK = [name for name, fault in FAULTS.items() if fault[4] < 1]


@pytest.mark.parametrize("fault", list(FAULTS))
def test_exchange_fault(client, server, fault):
    action, expected, connected, timeout, longest, after = FAULTS[fault]
    server.script(action, reply(NEXT))
    result, seconds = outcome(lambda: send(client, START))
    assert result == expected
    assert seconds < longest
    assert client.is_connected is connected
    assert client.ipc.gettimeout() == timeout
    if client.is_connected:
        assert send(client, START) == after
    if not client.is_connected:
        assert_dropped_for_good(client, server)


# What a command and a query make of each quick fault: only a whole line of
# success is a True, and no fault yields data.
@pytest.mark.parametrize("fault", QUICK)
@pytest.mark.parametrize("caller", ["cnc_start", "get_cnc_info", "get_vm_geometry_info"])
def test_caller_absorbs_fault(client, server, fault, caller):
    action, text, connected, timeout, _, _ = FAULTS[fault]
    server.script(action)
    if caller == "cnc_start":
        assert client.cnc_start() is (text == OK)
    elif caller == "get_cnc_info":
        assert is_default(client.get_cnc_info(), cnc.APICncInfo)
    else:
        records = client.get_vm_geometry_info(["base"])
        if text == "":  # no reply at all: one unread record per name
            assert len(records) == 1 and is_default(records[0], cnc.APIVMGeometryInfo)
        else:
            assert records is None
    assert client.is_connected is connected
    assert client.ipc.gettimeout() == timeout


@pytest.mark.parametrize("ending", [close, reset])
def test_server_gone_before_reading_next_request(client, server, ending):
    server.script(reply() + ending())
    assert send(client, START) == OK
    assert client.is_connected is True
    server.wait_closed()
    result, seconds = outcome(lambda: send(client, START))
    assert (result, client.is_connected, client.ipc.gettimeout()) == ("", False, 5.0)
    assert seconds < 0.8
    assert_dropped_for_good(client, server)


def test_socket_closed_under_the_client(client, server):
    client.ipc.close()
    assert (send(client, START), client.is_connected, client.ipc.gettimeout()) == ("", False, 5.0)
    assert_dropped_for_good(client, server)
    assert client.connect(*server.address) is False  # a closed socket never connects again


@pytest.mark.slow
def test_silent_server_times_out_after_five_seconds(client, server):
    server.script(silence())
    result, seconds = outcome(lambda: send(client, START))
    assert (result, client.is_connected, client.ipc.gettimeout()) == ("", False, 5.0)
    assert 4.8 < seconds < 6.0


# -- stale bytes ----------------------------------------------------------------

def test_stale_line_beyond_1024_bytes_is_taken_as_the_reply(client, server):
    """Only 1024 stale bytes are flushed. A stale line beyond them is read as
    the reply to the next request; that request's own reply then lies in the
    socket until the flush of the exchange after it drops it."""
    server.push(b"x" * 1024 + b'{"res":"stale"}\n')
    wait_pending(client.ipc, 1024 + 16)
    assert send(client, START) == '{"res":"stale"}'
    wait_pending(client.ipc, len(OK) + 1)  # the real reply to START, now stale itself
    server.script(reply(b'{"res":"next"}'))
    assert send(client, START) == '{"res":"next"}'
    assert client.is_connected is True


def test_stale_bytes_beyond_1024_prefix_the_reply(client, server):
    server.push(b"x" * 1500)
    wait_pending(client.ipc, 1500)
    assert send(client, START) == "x" * 476 + OK
    assert client.cnc_start() is True  # back in step
    assert client.ipc.gettimeout() == 1.0


# -- peers the fake server cannot play --------------------------------------------

class Peer:
    """A bare listener whose one connection is served by `serve(sock, stop)`."""

    def __init__(self, serve, rcvbuf=None):
        self.stop = threading.Event()
        self.listener = socket.socket()
        if rcvbuf:  # set before listening, so the accepted socket inherits it
            self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen()
        self.address = self.listener.getsockname()
        self.thread = threading.Thread(target=self._run, args=(serve,), daemon=True)
        self.thread.start()

    def _run(self, serve):
        sock, _ = self.listener.accept()
        with sock:
            serve(sock, self.stop)

    def close(self):
        self.stop.set()
        self.thread.join(5)
        self.listener.close()


def never_read(sock, stop):
    stop.wait()


def read_slowly(sock, stop):
    """Takes 32 KiB every 50 ms: steady progress, seconds for a few MiB."""
    data = b""
    while not data.endswith(b"\n"):
        data = sock.recv(32768)
        if not data or stop.wait(0.05):
            return
    try:
        sock.sendall(OK.encode() + b"\n")
    except OSError:  # the client gave up
        return
    stop.wait()


@pytest.fixture
def client_of(path):
    """Connects a client on the test's path to a new `Peer`."""
    made = []

    def connect(serve, rcvbuf=None, sndbuf=None):
        peer = Peer(serve, rcvbuf)
        made.append(peer)
        c = new_client(path, peer.address, sndbuf)
        made.append(c)
        return c

    yield connect
    for item in reversed(made):  # the client first: a reading peer then sees the end
        if isinstance(item, Peer):
            item.close()
        else:
            item.ipc.close()


# With small buffers on both ends a request of 1.5 MiB cannot leave at once,
# and it is built fast enough for an interrupt to find the send waiting.
SMALL_BUFFERS = {"rcvbuf": 32768, "sndbuf": 32768}
BIG_TEXT = "G1 X1\n" * (1 << 18)


@pytest.mark.slow
def test_request_to_server_that_never_reads(client_of):
    c = client_of(never_read, **SMALL_BUFFERS)
    result, seconds = outcome(lambda: c.program_gcode_set_text(BIG_TEXT))
    assert (result, c.is_connected, c.ipc.gettimeout()) == (False, False, 5.0)
    assert 4.8 < seconds < 7.0


@pytest.mark.slow
def test_request_to_server_that_reads_slowly(client_of, path):
    """On the descriptor the send fails only after 5 seconds without progress,
    however long the whole request takes. The generic path keeps the one
    `sendall` call on `ipc`, whose 5-second time-out bounds the whole send."""
    c = client_of(read_slowly, **SMALL_BUFFERS)
    result, seconds = outcome(lambda: send(c, "x" * (4 << 20)))
    if path == "generic":
        assert (result, c.is_connected, c.ipc.gettimeout()) == ("", False, 5.0)
        return
    assert (result, c.is_connected, c.ipc.gettimeout()) == (OK, True, 1.0)
    assert seconds > 5.5  # the case needs a send that outlasts the time-out


# -- interrupts while waiting ---------------------------------------------------

def interrupted(call, after, how):
    """Runs `call` with a KeyboardInterrupt raised `after` seconds in, by
    SIGALRM ("alarm") or by SIGINT sent from another thread ("sigint").

    Returns (result or error type, whether the interrupt fired, seconds).
    The handler raises once and only while `call` runs; the previous handler
    is restored in any case.
    """
    sig = signal.SIGALRM if how == "alarm" else signal.SIGINT
    armed, fired = [True], []

    def handler(signum, frame):
        if armed[0] and not fired:
            fired.append(signum)
            raise KeyboardInterrupt

    previous = signal.signal(sig, handler)
    timer = threading.Timer(after, os.kill, (os.getpid(), signal.SIGINT))
    try:
        if how == "alarm":
            signal.setitimer(signal.ITIMER_REAL, after)
        else:
            timer.start()
        result, seconds = outcome(call)
    finally:
        armed[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        timer.cancel()
        if timer.is_alive():
            timer.join()
        signal.signal(sig, previous)
    return result, bool(fired), seconds


# caller -> what it yields when interrupted
INTERRUPTED = {
    "__send_command": (lambda c: send(c, START), lambda r: r is KeyboardInterrupt),
    "cnc_start": (lambda c: c.cnc_start(), lambda r: r is False),
    "set_cnc_parameters": (lambda c: c.set_cnc_parameters(1, [1]), lambda r: r is False),
    "get_cnc_info": (lambda c: c.get_cnc_info(), lambda r: is_default(r, cnc.APICncInfo)),
    "get_vm_geometry_info": (lambda c: c.get_vm_geometry_info(["base"]), lambda r: r is None),
}


@pytest.mark.parametrize("caller, how", [(caller, "alarm") for caller in INTERRUPTED] + [
    ("__send_command", "sigint"), ("get_cnc_info", "sigint")])
def test_interrupt_while_waiting_for_reply(client, server, caller, how):
    call, fits = INTERRUPTED[caller]
    server.script(silence())
    result, fired, seconds = interrupted(lambda: call(client), 0.2, how)
    assert fired and seconds < 1.5
    assert fits(result), result
    assert client.is_connected is True  # an interrupt is no transport failure
    assert client.ipc.gettimeout() == 5.0
    assert send(client, START) == OK  # the silent request left nothing behind


def test_interrupted_context_update_keeps_going(client, server):
    context = cnc.CncAPIInfoContext(client)
    server.script(silence())  # the axes query waits and is interrupted
    result, fired, seconds = interrupted(context.update, 0.2, "alarm")
    assert fired and seconds < 1.5 and result is True
    assert is_default(context.axes_info, cnc.APIAxesInfo)
    assert context.axes_info is not cnc.CncAPIInfoContext.axes_info
    assert client.is_connected is True
    assert len(server.wait_requests(4)) == 4


def test_interrupt_between_reply_bytes(client, server):
    server.script(drip(b"{}", interval=0.6))  # "{" at once, "}" at 0.6 s, line feed at 1.2 s
    result, fired, _ = interrupted(lambda: send(client, START), 0.9, "alarm")
    assert fired and result is KeyboardInterrupt
    assert client.is_connected is True
    assert client.ipc.gettimeout() == 1.0
    wait_pending(client.ipc, 1)  # the line feed, left for the next flush
    assert send(client, START) == OK


@pytest.mark.parametrize("caller", ["__send_command", "program_gcode_set_text"])
def test_interrupt_while_send_blocks(client_of, caller):
    c = client_of(never_read, **SMALL_BUFFERS)
    call = (lambda: send(c, BIG_TEXT.replace("\n", " "))) if caller == "__send_command" \
        else (lambda: c.program_gcode_set_text(BIG_TEXT))
    result, fired, seconds = interrupted(call, 0.3, "alarm")
    assert fired and seconds < 2.0
    assert result is (KeyboardInterrupt if caller == "__send_command" else False)
    assert c.is_connected is True
    assert c.ipc.gettimeout() == 5.0
