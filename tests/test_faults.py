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

import cnc_api_client_core as cnc
import pytest
from conftest import send
from fake_server import close, delay, drip, raw, reply, reset, respond, silence

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
    assert 5.0 <= seconds < 6.0  # never ends early


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
    """The send fails only after 5 seconds without progress, however long the
    whole request takes (the generic path hands a large request to `sendall`
    in pieces, each with its own time-out)."""
    c = client_of(read_slowly, **SMALL_BUFFERS)
    result, seconds = outcome(lambda: send(c, "x" * (4 << 20)))
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


@pytest.mark.parametrize(
    "caller, how",
    [(caller, "alarm") for caller in INTERRUPTED] + [("__send_command", "sigint"), ("get_cnc_info", "sigint")],
)
def test_interrupt_while_waiting_for_reply(client, server, caller, how):
    """The request went out and its reply may still come: the stream is no
    longer known to be in step, so the client is Dropped; the interrupt then
    meets the caller's usual rule."""
    call, fits = INTERRUPTED[caller]
    server.script(silence())
    result, fired, seconds = interrupted(lambda: call(client), 0.2, how)
    assert fired and seconds < 1.5
    assert fits(result), result
    assert client.is_connected is False
    assert client.ipc.gettimeout() == 5.0
    assert_dropped_for_good(client, server)


def test_late_reply_never_answers_the_next_request(client, server):
    """After one Ctrl-C a query must not read the reply of the one before it."""
    server.script(
        delay(0.5)
        + respond(lambda r: r[r.index(b":", 30) + 1 :].split(b",")[0].join([b'{"res":{"parameters":[', b"]}}"]))
    )
    first, fired, _ = interrupted(lambda: client.get_cnc_parameters(100, 1), 0.2, "alarm")
    assert fired and first.has_data is False
    time.sleep(0.5)  # the late reply to address 100 is waiting in the socket now
    second = client.get_cnc_parameters(200, 1)
    assert second.has_data is False and second.parameters != [100]
    assert client.is_connected is False


def test_interrupted_context_update_keeps_going(client, server):
    context = cnc.CncAPIInfoContext(client)
    server.script(silence())  # the axes query waits and is interrupted
    result, fired, seconds = interrupted(context.update, 0.2, "alarm")
    assert fired and seconds < 1.5 and result is True
    for name, record in [
        ("axes_info", cnc.APIAxesInfo),
        ("cnc_info", cnc.APICncInfo),
        ("compile_info", cnc.APICompileInfo),
        ("enabled_commands", cnc.APIEnabledCommands),
    ]:
        assert is_default(getattr(context, name), record)
        assert getattr(context, name) is not getattr(cnc.CncAPIInfoContext, name)
    assert client.is_connected is False
    assert len(server.requests) == 1  # the other three queries found the client Dropped
    assert context.update() is False


def test_interrupt_between_reply_bytes(client, server):
    server.script(drip(b"{}", interval=0.6))  # "{" at once, "}" at 0.6 s, line feed at 1.2 s
    result, fired, _ = interrupted(lambda: send(client, START), 0.9, "alarm")
    assert fired and result is KeyboardInterrupt
    assert client.is_connected is False
    assert client.ipc.gettimeout() == 1.0
    assert_dropped_for_good(client, server)


class Raising:
    """A signal handler that raises `error` once."""

    def __init__(self, error):
        self.error, self.fired = error, False

    def __call__(self, signum, frame):
        if not self.fired:
            self.fired = True
            raise self.error


def test_a_signal_given_to_another_thread_still_ends_the_wait(client, server):
    # The system may hand a process's signal to any thread; the waiting one then sees no EINTR.
    server.script(silence())
    handler, idle = Raising(RuntimeError), threading.Event()
    other = threading.Thread(target=idle.wait)
    previous = signal.signal(signal.SIGALRM, handler)
    other.start()
    try:
        threading.Timer(0.2, signal.pthread_kill, (other.ident, signal.SIGALRM)).start()
        started = time.monotonic()
        result, _ = outcome(lambda: send(client, START))
        took = time.monotonic() - started
    finally:
        signal.signal(signal.SIGALRM, previous)
        idle.set()
        other.join()
    assert handler.fired and result is RuntimeError and took < 2.0
    assert client.is_connected is False


@pytest.mark.parametrize("error", [SystemExit, RuntimeError, ValueError])
def test_any_error_while_waiting_drops(client, server, error):
    server.script(silence())
    handler = Raising(error)
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        result, _ = outcome(lambda: send(client, START)) if error is not SystemExit else (None, 0)
        if error is SystemExit:
            with pytest.raises(SystemExit):
                send(client, START)
        else:
            assert result is error
        assert client.cnc_start() is False  # Dropped: nothing more is sent
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert handler.fired and client.is_connected is False
    assert len(server.requests) == 1


@pytest.mark.parametrize("caller", ["__send_command", "program_gcode_set_text"])
def test_interrupt_while_send_blocks(client_of, caller):
    c = client_of(never_read, **SMALL_BUFFERS)
    call = (
        (lambda: send(c, BIG_TEXT.replace("\n", " ")))
        if caller == "__send_command"
        else (lambda: c.program_gcode_set_text(BIG_TEXT))
    )
    result, fired, seconds = interrupted(call, 0.3, "alarm")
    assert fired and seconds < 2.0
    assert result is (KeyboardInterrupt if caller == "__send_command" else False)
    assert c.is_connected is False  # part of the request is out: the stream is out of step
    assert c.ipc.gettimeout() == 5.0


class Failing(socket.socket):
    """Generic path; the socket method named `name` raises `error` on call number `at`."""

    def __init__(self, name, error, at=1):
        super().__init__(socket.AF_INET, socket.SOCK_STREAM)
        self.name, self.error, self.at, self.calls = name, error, at, 0
        original = getattr(super(), name)

        def failing(*args):
            self.calls += 1
            if self.calls == self.at:
                raise self.error
            return original(*args)

        setattr(self, name, failing)


# (failing method, its call number, error, reply, Dropped afterwards)
GENERIC_FAILURES = {
    # the first recv is the flush's, whose errors are ignored
    "recv-first-byte": ("recv", 2, ValueError("boom"), OK, True),
    "recv-mid-reply": ("recv", 4, KeyboardInterrupt(), OK, True),
    "recv-draining-non-ascii": ("recv", 12, KeyboardInterrupt(), '{"res":"\xe9\xe9\xe9\xe9\xe9\xe9\xe9"}', True),
    "sendall": ("sendall", 1, RuntimeError("boom"), OK, True),
    "fileno-before-send": ("fileno", 1, KeyboardInterrupt(), OK, False),
    "timeout-before-send": ("settimeout", 2, RuntimeError("boom"), OK, False),
}


@pytest.mark.parametrize("case", list(GENERIC_FAILURES))
def test_generic_path_error_and_the_request(server, case):
    """Errors raised by the socket's own methods: once the request was handed
    to `sendall` and before its reply line was whole they drop the client;
    before that they change nothing. Either way they still leave the call."""
    name, at, error, line, dropped = GENERIC_FAILURES[case]
    c = cnc.CncAPIClientCore()
    c.ipc.close()
    c.ipc = Failing(name, error, at)
    assert c.connect(*server.address)
    server.wait_connection()
    server.script(reply(line.encode("latin-1")))
    result, _ = outcome(lambda: send(c, START))
    assert result is type(error)
    assert c.is_connected is (not dropped)
    c.ipc.close()


@pytest.mark.parametrize("request_text, error", [("\ud800", UnicodeEncodeError), (None, TypeError)])
def test_error_before_any_byte_changes_nothing(client, server, request_text, error):
    assert outcome(lambda: send(client, request_text))[0] is error
    assert client.is_connected is True
    assert send(client, START) == OK
