"""Large set, add and load requests: answered before their text is decoded or read, the text
made whole in the background (a faulty one becomes the compile error), request lines
received whole however they arrive."""

import json
import os
import pathlib
import resource
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sim_helpers import (
    CS_ERROR,
    CS_FIRST_STEP,
    CS_INIT,
    CS_READY,
    SM_IDLE,
    SM_RUN,
    Budget,
    Conn,
    GCodeError,
    JsonString,
    LineReader,
    MachineConfig,
    ProgramFile,
    ProgramText,
    Simulator,
    analysed,
    ask,
    end_point,
    new_machine,
    protocol,
    set_gated,
)
from tools_helpers import wait_for

SET = b'{"cmd":"program.gcode.set.text","text":"'
MOVES = 2000  # lines of a large request: more than the 64 KiB up to which a request is decoded at once


def moves(count, x=0):
    return "".join(f"G1 X{x + k % 10} Y{k % 7} F900 (a comment that makes the line longer)\n" for k in range(count))


def body(text):
    """The JSON string body of `text`, without its quotes."""
    return json.dumps(text)[1:-1].encode()


def handle(machine, line):
    return json.loads(protocol.handle(machine, line))["res"]


@pytest.fixture
def machine(tmp_path, request):
    """A machine; one that leaves even a small program's text to the analysis process, for the
    tests that are parametrized over where the text is made."""
    threshold = {"in the server": 1 << 30, "in the analysis process": 0}[getattr(request, "param", "in the server")]
    m = new_machine(tmp_path, config=MachineConfig(child_threshold=threshold))
    yield m
    m.close()


either_side = pytest.mark.parametrize("machine", ["in the server", "in the analysis process"], indirect=True)


def saved(machine, tmp_path, name="out.nc"):
    assert ask(machine, {"cmd": "program.save", "name": name}) is True
    return (tmp_path / name).read_bytes().decode()


# ----- a faulty text is the program's error, told with its line ---------------------------------------


@pytest.mark.parametrize(
    "fault, message",
    [
        (b"G1 X1\\q", "the text is not a valid JSON string: Invalid \\escape"),
        (b"G1\tX1", "the text is not a valid JSON string: Invalid control character"),
        (b"G1 X\xff1", "the text is not valid UTF-8"),
        (b'G1 X1","cmd":"program.new', "the request names its command twice"),
        (b'G1 X1","text":5,"x":"', "the request's text is not a string"),
        (b'G1 X1",oops,"x":"', "the request is not valid JSON after its text"),
    ],
)
@either_side
def test_large_request_with_a_faulty_text_is_accepted_and_its_error_told(machine, fault, message):
    """The reply comes before the text is looked at: true, and then the error with its line."""
    line = SET + body(moves(MOVES)) + fault + b"\\n" + body(moves(10)) + b'"}\n'
    assert len(line) > protocol.BIG_REQUEST
    assert handle(machine, line) is True
    info = analysed(machine)
    assert info["state"] == CS_ERROR
    assert info["file.line"] == info["code.line"] == MOVES + 1
    assert info["message"] == f"line {MOVES + 1}: {message}"
    assert ask(machine, {"cmd": "cnc.start"}) is False
    assert ask(machine, {"cmd": "program.save", "name": "out.nc"}) is False  # no text to save


def test_small_request_with_a_faulty_text_is_refused(machine):
    assert handle(machine, SET + b"G1 X1\\q" + b'"}\n') is False
    assert ask(machine, {"get": "compile.info"})["state"] == CS_INIT


@pytest.mark.parametrize(
    "tail, end",
    [
        (b'","id":"7"}', [9, (MOVES - 1) % 7, 0]),  # more members after the text
        (b'","text":"G0 X5"}', [5, 0, 0]),  # a later text member wins, as in any JSON object
    ],
)
@either_side
def test_large_request_with_members_after_its_text(machine, tail, end):
    assert handle(machine, SET + body(moves(MOVES)) + tail + b"\n") is True
    assert analysed(machine)["state"] == CS_READY
    assert end_point(machine) == end


@pytest.mark.parametrize(
    "line, kept",
    [
        (b'{"cmd" : "program.gcode.set.text" ,\t"text": "%s" }\r\n', True),  # blanks between the parts
        (b'{"cmd":"program.gcode.set.text","txt":"%s"}\n', False),  # no text member
        (b'{"cmd":"program.gcode.set.text","text":"%s",}\n', False),  # not JSON
        (b'{"cmd":"program.gcode.set.text","text":"%s"', False),  # not closed
        (b'{"cmd":"program.gcode.set.text","text":"%s\\"}\n', False),  # the closing quote escaped
        (b'{"cmd":"program.gcode.sets.text","text":"%s"}\n', False),  # no such command
    ],
)
def test_large_request_fixed_parts(machine, tmp_path, line, kept):
    text = moves(MOVES)
    assert handle(machine, line % body(text)) is kept
    if kept:
        assert saved(machine, tmp_path) == text


@either_side
def test_large_blank_text_is_no_program(machine, tmp_path):
    text = " \n\t" * 30_000
    assert handle(machine, SET + body(text) + b'"}\n') is True
    assert analysed(machine)["state"] == CS_INIT
    assert ask(machine, {"get": "enabled.commands"})["cnc.start"] is False
    assert ask(machine, {"cmd": "cnc.start"}) is False
    assert saved(machine, tmp_path) == text


# ----- programs sent in pieces ------------------------------------------------------------------------


@either_side
def test_pieces_large_and_small_join_in_order(machine, tmp_path):
    pieces = [moves(MOVES, 0), "G0 Z5", moves(MOVES, 20), "", "(end)\n", moves(MOVES, 40).rstrip("\n")]
    assert handle(machine, SET + body(pieces[0]) + b'"}\n') is True
    for piece in pieces[1:]:  # each added before the text before it is made
        add = b'{"cmd":"program.gcode.add.text","text":"' + body(piece) + b'"}\n'
        assert handle(machine, add) is True
    expected = pieces[0] + "G0 Z5\n" + pieces[2] + "(end)\n" + pieces[5]
    assert fold(pieces) == expected
    assert saved(machine, tmp_path) == expected
    assert analysed(machine)["state"] == CS_READY
    assert end_point(machine) == [49, (MOVES - 1) % 7, 5]


def fold(texts):
    """The program that adding `texts` one after the other makes, added one by one as strings."""
    whole = ""
    for k, text in enumerate(texts):
        whole = text if not k else whole + ("\n" if whole and not whole.endswith("\n") else "") + text
    return whole


piece = st.text(st.sampled_from("G1X\n "), max_size=6)


@settings(max_examples=60, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.tuples(piece, st.booleans()), min_size=1, max_size=6))
def test_program_text_joins_pieces_as_strings_would(pieces):
    text = None
    for value, raw in pieces:
        part = JsonString(b'"' + body(value) + b'"', 1, len(body(value)) + 1) if raw else value
        text = ProgramText.of(part) if text is None else text.add(part)
    expected = fold([value for value, _ in pieces])
    assert text.value() == expected
    assert text.ready.is_set() and text.has_text == (expected.strip() != "")


def test_error_in_a_later_piece_counts_the_lines_before_it():
    faulty = b'"G0 X1\\nG0 X\\q"'
    text = ProgramText.of("G0\nG1").add("G2\n").add(JsonString(faulty, 1, len(faulty) - 1))
    with pytest.raises(GCodeError) as error:
        text.value()
    assert error.value.line == 5 and "Invalid \\escape" in error.value.message
    assert text.error is error.value and text.ready.is_set()


def test_file_that_cannot_be_read_is_an_error_naming_it(tmp_path):
    text = ProgramText.of(ProgramFile(str(tmp_path / "gone.nc"), "gone.nc"))
    with pytest.raises(GCodeError) as error:
        text.value()
    assert error.value.describe() == "line 0 of gone.nc: the program file cannot be read"


# ----- load and save ----------------------------------------------------------------------------------


@either_side
def test_large_file_loads_and_saves(machine, tmp_path):
    text = moves(MOVES) + "G0 X3 Y4\n"
    (tmp_path / "big.nc").write_text(text)
    assert ask(machine, {"cmd": "program.load", "name": "big.nc"}) is True
    assert analysed(machine)["state"] == CS_READY
    assert end_point(machine) == [3, 4, 0]
    assert ask(machine, {"get": "compile.info"})["file.name"] == "big.nc"
    assert saved(machine, tmp_path, "copy.nc") == text


@pytest.mark.parametrize("kind", ["missing", "directory", "fifo", "too large"])
def test_load_refuses_what_is_no_program_file(machine, tmp_path, kind):
    path = tmp_path / "p.nc"
    if kind == "directory":
        path.mkdir()
    elif kind == "fifo":
        os.mkfifo(path)  # opening it would wait for a writer
    elif kind == "too large":
        with open(path, "wb") as f:
            f.truncate(64 * 1024 * 1024 + 1)
    assert ask(machine, {"cmd": "program.load", "name": "p.nc"}) is False


def test_save_waits_for_the_text_it_saves(machine, tmp_path):
    text = moves(50)
    gate = set_gated(machine, text)
    done = []
    saver = threading.Thread(target=lambda: done.append(ask(machine, {"cmd": "program.save", "name": "out.nc"})))
    saver.start()
    gate.open()
    saver.join()
    assert done == [True] and (tmp_path / "out.nc").read_text() == text


@pytest.mark.parametrize("reader", [False, True], ids=["no reader", "a reader waiting"])
def test_fifo_in_the_programs_folder_is_no_program_file(tmp_path, reader):
    fifo = tmp_path / "pipe.nc"
    os.mkfifo(fifo)  # opened for writing, it would wait for a reader; read, for a writer
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK) if reader else None
    try:
        with Simulator(port=0, programs_dir=str(tmp_path)) as sim:
            c = Conn(sim.port)
            assert c.ask({"cmd": "program.gcode.set.text", "text": "G0 X1"}) is True
            assert c.ask({"cmd": "program.save", "name": "pipe.nc"}) is False
            assert c.ask({"cmd": "program.load", "name": "pipe.nc"}) is False
            assert c.ask({"cmd": "program.save", "name": "part.nc"}) is True
            c.close()
        if fd is not None:
            assert os.read(fd, 100) == b""
    finally:
        if fd is not None:
            os.close(fd)
    assert (tmp_path / "part.nc").read_text() == "G0 X1"


# ----- one client cannot hold the others up ------------------------------------------------------------

ENDLESS = "#1=0\nWHILE [1 EQ 1] DO1\n#1=#1+1\nEND1"  # an MDI line that never ends by itself
PECKS = "G83 Z-999999999 Q.000000001 R0 F1"  # one block, endless pecks: no line budget ends it
BUDGETS = {"stop": {}, "the step budget": {"max_run_lines": 50_000}, "the move budget": {"max_segments": 100_000}}


@pytest.mark.parametrize(
    ("line", "ends_by"),
    [(ENDLESS, "stop"), (ENDLESS, "the step budget"), (PECKS, "stop"), (PECKS, "the move budget")],
    ids=["loop-stop", "loop-budget", "pecks-stop", "pecks-budget"],
)
def test_endless_mdi_loop_holds_up_no_client(tmp_path, line, ends_by):
    config = MachineConfig(**BUDGETS[ends_by])
    with Simulator(port=0, programs_dir=str(tmp_path), config=config) as sim:
        looping, other = Conn(sim.port), Conn(sim.port)
        assert looping.ask({"cmd": "cnc.mdi.command", "command": line}) is True
        waits = []
        for _ in range(10):
            begun = time.monotonic()
            state = other.ask({"get": "cnc.info"})["state.machine"]
            waits.append(time.monotonic() - begun)
        assert max(waits) < 1.0  # 0.1 s at most on a quiet machine; this one is shared
        if ends_by == "stop":
            assert state == SM_RUN and other.ask({"cmd": "cnc.stop"}) is True
        wait_for(lambda: other.ask({"get": "cnc.info"})["state.machine"] == SM_IDLE, timeout=60.0)
        assert looping.ask({"cmd": "cnc.mdi.command", "command": "G0 X1"}) is True
        wait_for(lambda: other.ask({"get": "axes.info"})["program.position"][0] == 1.0)
        looping.close()
        other.close()


# ----- request lines over a socket ---------------------------------------------------------------------


def test_requests_sent_together_are_answered_in_order(tmp_path):
    first, second = moves(MOVES), moves(MOVES, 50)
    requests = [
        {"get": "compile.info"},
        {"cmd": "program.gcode.set.text", "text": first},
        {"cmd": "program.gcode.add.text", "text": second},
        {"cmd": "program.save", "name": "out.nc"},
        {"get": "no.such"},
    ]
    data = b"".join(json.dumps(r).encode() + b"\n" for r in requests)
    with Simulator(port=0, programs_dir=str(tmp_path)) as sim, socket.create_connection(("127.0.0.1", sim.port)) as s:
        s.sendall(data)
        replies = s.makefile("rb")
        got = [json.loads(replies.readline())["res"] for _ in requests]
    assert got[0]["state"] == CS_INIT and got[1:] == [True, True, True, False]
    assert (tmp_path / "out.nc").read_text() == first + second


@pytest.fixture
def pair():
    a, b = socket.socketpair()
    yield a, b
    a.close()
    b.close()


def send_and_close(sock, data):
    def send():
        sock.sendall(data)
        sock.shutdown(socket.SHUT_WR)

    sender = threading.Thread(target=send)
    sender.start()
    return sender


def test_reader_skips_over_long_lines(pair):
    a, b = pair
    reader = LineReader(b, limit=1000)
    sender = send_and_close(a, b"x" * 999 + b"\n" + b"y" * 1000 + b"\nok\n" + b"z" * 300_000 + b"\nlast")
    lines = [reader.readline() for _ in range(5)]
    sender.join()
    assert lines == [b"x" * 999 + b"\n", b"", b"ok\n", b"", b"last"]
    assert reader.readline() is None
    reader.close()


def test_reader_hands_over_a_large_line_whole(pair):
    a, b = pair
    reader = LineReader(b)
    big = bytes(range(10)) * 50_000 + b"\n"
    sender = send_and_close(a, b"a\n" + big + b"b\n" + big)
    got = [bytes(reader.readline()) for _ in range(4)]
    sender.join()
    assert got == [b"a\n", big, b"b\n", big] and reader.readline() is None
    reader.close()


def test_reader_ends_inside_an_over_long_line(pair):
    a, b = pair
    reader = LineReader(b, limit=10)
    a.sendall(b"x" * 100)
    a.shutdown(socket.SHUT_WR)
    assert reader.readline() is None
    reader.close()


def test_reader_gives_back_the_buffer_of_a_skipped_line(pair):
    a, b = pair
    budget = Budget(10 << 20)
    reader = LineReader(b, limit=1 << 20, budget=budget)
    sender = send_and_close(a, b"x" * (3 << 20) + b"\nok\n" + b"y" * 200_000 + b"z\n" + b"w" * (2 << 20) + b"\n")
    assert reader.readline() == b""
    assert budget.used == 0  # not the megabytes the skipped line took
    assert reader.readline() == b"ok\n" and len(reader.readline()) == 200_002
    assert reader.readline() == b"" and budget.used == 0
    sender.join()
    assert reader.readline() is None
    reader.close()
    assert budget.used == 0


def large_set(size):
    return SET + b"(" + b"x" * size + b')"}'


def test_connections_together_hold_no_more_than_the_budget(tmp_path):
    with Simulator(port=0, programs_dir=str(tmp_path), memory_budget=4 << 20) as sim:
        holding, refused = Conn(sim.port), Conn(sim.port)
        holding.sock.sendall(large_set(3 << 20))  # all but its line feed: held while more may come
        wait_for(lambda: sim.budget.used >= 3 << 20)
        try:
            refused.sock.sendall(large_set(3 << 20) + b"\n")
        except ConnectionError:
            pass  # refused before it was all sent
        try:
            reply = refused.file.read()
        except ConnectionError:
            reply = b""
        assert reply in (b"", protocol.FALSE_REPLY)  # the reply is lost when the refused request was unread
        assert holding.raw(b"\n") == {"res": True}
        assert holding.ask({"get": "compile.info"})["state"] in (CS_READY, CS_FIRST_STEP)
        wait_for(lambda: sim.budget.used == 0)
        other = Conn(sim.port)
        assert other.raw(large_set(3 << 20) + b"\n") == {"res": True}
        for c in (holding, refused, other):
            c.close()


def test_connections_over_the_cap_are_refused_and_idle_ones_closed(tmp_path):
    with Simulator(port=0, programs_dir=str(tmp_path), max_connections=2, idle_timeout=0.5) as sim:
        served = [Conn(sim.port) for _ in range(2)]
        assert [c.ask({"cmd": "cnc.stop"}) for c in served] == [True, True]
        extra = Conn(sim.port)
        assert extra.file.read() == protocol.FALSE_REPLY  # one reply line, then the end
        assert [c.ask({"cmd": "cnc.stop"}) for c in served] == [True, True]
        assert [c.file.readline() for c in served] == [b"", b""]  # sent nothing for the idle time
        again = Conn(sim.port)
        assert again.ask({"cmd": "cnc.stop"}) is True
        for c in (*served, extra, again):
            c.close()


def cpu_seconds(pid):
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # user and system time


def lower_descriptor_limit():
    resource.setrlimit(resource.RLIMIT_NOFILE, (40, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))


@pytest.mark.skipif(not pathlib.Path("/proc/self/stat").exists(), reason="reads /proc")
def test_out_of_descriptors_the_server_waits_instead_of_spinning(tmp_path):
    proc = subprocess.Popen(
        [sys.executable, "-m", "cnc_api_simulator", "--port", "0", "--programs-dir", str(tmp_path)],
        stdout=subprocess.PIPE,
        preexec_fn=lower_descriptor_limit,
    )
    clients = []
    try:
        port = int(proc.stdout.readline().decode().rsplit(":", 1)[1])
        clients = [socket.create_connection(("127.0.0.1", port)) for _ in range(60)]  # more than it can accept
        unserved = Conn(port)
        unserved.sock.sendall(b'{"cmd":"cnc.stop"}\n')
        before = cpu_seconds(proc.pid)
        time.sleep(1.0)  # a window to measure the server's CPU time in while it cannot accept
        assert cpu_seconds(proc.pid) - before < 0.15  # spinning takes most of a core
        for c in clients:
            c.close()
        assert json.loads(unserved.file.readline()) == {"res": True}  # accepted once descriptors are free
        unserved.close()
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=10) == 0
    finally:
        proc.kill()
        proc.wait()
