"""The analysis engine against independent computations: time planning, extents of arcs,
the run against the estimate, analysis in a child process, and large requests."""

import json
import math
import pathlib
import shutil
import socket
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sim_helpers import (
    CS_ERROR,
    CS_READY,
    SLICE,
    SM_IDLE,
    SM_RUN,
    Clock,
    Compiled,
    Interpreter,
    MachineConfig,
    Simulator,
    State,
    analyse,
    ask,
    compiled_module,
    end_point,
    new_machine,
    protocol,
)
from tools_helpers import wait_for

CORPUS = pathlib.Path(__file__).parent / "data" / "gcode"
ACCEL_X = 800.0  # mm/s^2, the default of the X axis


def compile_text(text, config=None):
    result = Interpreter(text, State(), config or MachineConfig()).run()
    assert result.error is None, result.error.describe()
    return Compiled(result, ((0.0,) * 6, 0), "")


def trapezoid(length, v, a):
    """Seconds to cover `length` from standstill to standstill at top speed v, acceleration a."""
    if v * v / a <= length:
        return length / v + v / a
    return 2.0 * math.sqrt(length / a)


lengths = st.lists(st.integers(1, 2000).map(lambda v: v / 10), min_size=1, max_size=15)
feeds = st.integers(60, 8000)


@settings(max_examples=60, deadline=None)
@given(lengths, feeds)
def test_moves_in_line_run_as_one_profile(steps, feed):
    text = f"G1 F{feed}\n" + "\n".join(f"X{x:.1f}" for x in _running(steps))
    total = compile_text(text).total_time
    assert total == pytest.approx(trapezoid(sum(steps), feed / 60, ACCEL_X), rel=1e-9)


@settings(max_examples=60, deadline=None)
@given(lengths, feeds)
def test_exact_stop_and_reversals_stop_at_every_corner(steps, feed):
    v = feed / 60
    expected = sum(trapezoid(s, v, ACCEL_X) for s in steps)
    exact = f"G61 G1 F{feed}\n" + "\n".join(f"X{x:.1f}" for x in _running(steps))
    assert compile_text(exact).total_time == pytest.approx(expected, rel=1e-9)
    back_and_forth = f"G1 F{feed}\n" + "\n".join(f"X{x:.1f}" for x in _running(steps, alternate=True))
    assert compile_text(back_and_forth).total_time == pytest.approx(expected, rel=1e-9)


def _running(steps, alternate=False):
    x = 0.0
    for k, s in enumerate(steps):
        x += -s if alternate and k % 2 else s
        yield x


@st.composite
def arcs(draw):
    cx, cy = draw(st.integers(-50, 50)), draw(st.integers(-50, 50))
    r = draw(st.integers(1, 40))
    a0 = draw(st.integers(0, 359))
    sweep = draw(st.integers(1, 720)) * draw(st.sampled_from([1, -1]))
    return cx, cy, r, a0, sweep


@settings(max_examples=80, deadline=None)
@given(arcs())
def test_arc_extents_and_length_match_the_circle(arc):
    cx, cy, r, a0, sweep = arc
    start = (cx + r * math.cos(math.radians(a0)), cy + r * math.sin(math.radians(a0)))
    a1 = math.radians(a0 + sweep)
    end = (cx + r * math.cos(a1), cy + r * math.sin(a1))
    turns = (abs(sweep) - 1) // 360 + 1
    word = "G3" if sweep > 0 else "G2"
    text = (
        f"G0 X{start[0]:.9f} Y{start[1]:.9f}\n"
        f"{word} X{end[0]:.9f} Y{end[1]:.9f} I{cx - start[0]:.9f} J{cy - start[1]:.9f} P{turns} F500"
    )
    info = compile_text(text).info
    assert info["tool.path"]["in.feed"] == pytest.approx(r * math.radians(abs(sweep)), rel=1e-6, abs=1e-5)
    samples = [math.radians(a0 + sweep * k / 4000) for k in range(4001)]
    xs = [cx + r * math.cos(a) for a in samples]
    ys = [cy + r * math.sin(a) for a in samples]
    box = info["tcp.extents.in.feed"]
    assert (box["min.x"], box["max.x"], box["min.y"], box["max.y"]) == pytest.approx(
        (min(xs), max(xs), min(ys), max(ys)), abs=1e-3
    )


# ----- the run against the estimate ---------------------------------------------------------------


@pytest.mark.parametrize(
    "text",
    [
        "G1 F300\n" + "\n".join(f"X{(k % 2) * 50} Y{k}" for k in range(40)),  # zigzag with corners
        "G0 X0 Y0\nG1 F400\n" + "\n".join(f"G{2 + k % 2} X{10 * ((k + 1) % 2)} Y0 R5" for k in range(30)),
        "G93 G1 X100 A90 F1\nG94 G1 X0 F2000\nG4 P5\nG0 Z50",  # inverse time, dwell, rapid
        "G18 G97 S60 M3\nG0 X20 Z2\nG32 Z-60 F2\nG0 X30\nG0 Z2",  # threading
    ],
)
def test_run_takes_the_estimated_time(tmp_path, text):
    clock = Clock()
    m = new_machine(tmp_path, clock=clock)
    try:
        info = analyse(m, text)
        assert info["state"] == CS_READY, info["message"]
        h, mi, s = (int(v) for v in ask(m, {"get": "machining.info"})["tool.path"]["estimated.time"].split(":"))
        estimate = 3600 * h + 60 * mi + s
        assert estimate >= 30
        assert ask(m, {"cmd": "cnc.start"}) is True
        clock.now += 0.98 * estimate - 0.5
        assert ask(m, {"get": "cnc.info"})["state.machine"] == SM_RUN
        clock.now += 0.04 * estimate + 1.0
        assert ask(m, {"get": "cnc.info"})["state.machine"] == SM_IDLE
    finally:
        m.close()


# ----- analysis in a child process --------------------------------------------------------------------


@pytest.fixture
def programs(tmp_path):
    for path in CORPUS.iterdir():
        shutil.copy(path, tmp_path / path.name)
    return tmp_path


@pytest.mark.parametrize(
    "name", ["mill_fanuc_post.nc", "lathe_fanuc.nc", "macro_ngc.ngc", "subprogram_file_main.nc", "bad_arc.nc"]
)
def test_child_process_analysis_matches_the_server_s_own(programs, name):
    results = []
    configs = [
        MachineConfig(child_threshold=1 << 30, thread_seconds=1e9),  # never in a child process
        MachineConfig(child_threshold=0),  # always
        MachineConfig(thread_seconds=0.0),  # after no time at all on the server's thread
    ]
    for config in configs:
        m = new_machine(programs, config=config)
        try:
            assert ask(m, {"cmd": "program.load", "name": name}) is True
            info = analyse(m, (programs / name).read_text())
            results.append((info, ask(m, {"get": "machining.info"}), end_point(m)))
        finally:
            m.close()
    assert results[0] == results[1] == results[2]


def test_new_program_during_child_analysis_replaces_it(tmp_path):
    m = new_machine(tmp_path, config=MachineConfig(child_threshold=1000))
    try:
        big = "G1 F1000\n" + "\n".join(f"X{k % 50} Y{k % 7}" for k in range(200_000))
        assert ask(m, {"cmd": "program.gcode.set.text", "text": big}) is True
        info = analyse(m, "G0 X3\nG2 X1 Y1 I1 J0")  # a small faulty one in its place
        assert info["state"] == CS_ERROR and info["code.line"] == 2
        info = analyse(m, "G0 X3 Y4")
        assert info["state"] == CS_READY and end_point(m) == [3, 4, 0]
    finally:
        m.close()


# ----- large requests ---------------------------------------------------------------------------------


@pytest.mark.parametrize("shift", [0, 1, 2, 3, 7])
def test_large_program_text_arrives_unchanged(tmp_path, shift):
    """Escapes of every kind, at every place against the slices the request is decoded in."""
    line = 'G0 X1 (a "quote", a back\\slash, \u00e9, \u20ac, a tab\t)\n'
    text = "x" * shift + line * (3 * SLICE // len(line) + 5)
    m = new_machine(tmp_path)
    try:
        request = json.dumps({"cmd": "program.gcode.set.text", "text": text}).encode() + b"\n"
        assert len(request) > protocol.BIG_REQUEST
        assert json.loads(protocol.handle(m, request)) == {"res": True}
        assert ask(m, {"cmd": "program.save", "name": "out.nc"}) is True
        assert (tmp_path / "out.nc").read_bytes().decode() == text
    finally:
        m.close()


@pytest.mark.parametrize(
    "tail",
    [b'"}', b'\\"}', b'\\ud800"}', b'"', b'" }x'],
)
def test_large_request_broken_or_odd_at_its_end(tmp_path, tail):
    m = new_machine(tmp_path)
    try:
        line = b'{"cmd":"program.gcode.set.text","text":"' + b"G0 X1\\n" * 20000 + tail + b"\n"
        try:
            expected = {"res": isinstance(json.loads(line), dict)}
        except ValueError:
            expected = {"res": False}
        assert json.loads(protocol.handle(m, line)) == expected
    finally:
        m.close()


@settings(max_examples=5, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.text(alphabet=st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=50))
def test_any_text_round_trips_through_a_large_request(tmp_path, piece):
    text = piece * (protocol.BIG_REQUEST // len(piece) + 1)
    m = new_machine(tmp_path)
    try:
        request = json.dumps({"cmd": "program.gcode.set.text", "text": text}).encode()
        protocol.handle(m, request)
        assert ask(m, {"cmd": "program.save", "name": "out.nc"}) is True
        assert (tmp_path / "out.nc").read_bytes().decode() == text
    finally:
        m.close()


# ----- any text: a result or an error with its line, never a fault of the simulator --------------------

_WORDS = (
    "G0 G1 G2 G3 G4 G5 G5.1 G7 G8 G10 G15 G16 G17 G18 G19 G20 G21 G28 G30 G32 G33 G33.1 G38.2 G40 G41 "
    "G43 G49 G52 G53 G54 G54.1 G61 G64 G68 G69 G70 G71 G72 G73 G74 G75 G76 G80 G81 G83 G84 G90 G91 "
    "G90.1 G91.1 G92 G93 G94 G95 G96 G97 G98 G99 M0 M1 M2 M3 M5 M6 M30 M97 M98 M99 M70 M72 T1 T0101"
).split()
_VALUES = ["0", "1", "-1", "2.5", "10", "-10", "360", "0.001", "[1/3]", "#1", "[#1+2]", "-0"]
_STATEMENTS = ["#1=2", "O100 sub", "O100 endsub", "O100 call", "WHILE [#1 LT 3] DO1", "END1", "GOTO 2", "%"]
_word = st.one_of(
    st.sampled_from(_WORDS),
    st.builds(lambda a, v: a + v, st.sampled_from(list("XYZABCIJKRPQLFSDHUVW@^")), st.sampled_from(_VALUES)),
)
_line = st.one_of(st.lists(_word, min_size=1, max_size=5).map(" ".join), st.sampled_from(_STATEMENTS))


@settings(max_examples=300, deadline=None)
@given(st.lists(_line, min_size=1, max_size=8))
def test_any_program_gives_a_result_or_an_error_with_its_line(lines):
    result = Interpreter("\n".join(lines), State(), MachineConfig(max_run_lines=500)).run()
    if result.error is not None:
        assert 0 <= result.error.line <= len(lines)
        assert "cannot run this line" not in result.error.message, result.error.describe()
    else:
        assert all(math.isfinite(d) for d in result.builder.durations)


# ----- programmed points ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, points",
    [
        ("G0 X1 Y2\nG4 P1\nG1 Z-1 F100\nM0\nG2 X3 Y2 I1 J0", [[1, 2, 0], [1, 2, -1], [3, 2, -1]]),
        # each point in the offsets of its own move
        (
            "G10 L2 P2 X100 Y50\nG0 X1\nG55\nG0 X1\nG1 Y1 F100\nG54\nG0 Y3",
            [[1, 0, 0], [1, -50, 0], [1, 1, 0], [101, 3, 0]],
        ),
        ("G0 X-0.0000001 Y1.23456789", [[0.0, 1.234568, 0.0]]),  # rounded, and no minus zero
    ],
)
def test_programmed_points(tmp_path, text, points):
    m = new_machine(tmp_path)
    try:
        analyse(m, text)
        got = ask(m, {"get": "programmed.points"})["points"]
        assert got == points
        assert all(math.copysign(1.0, v) > 0 for p in got for v in p if v == 0)
    finally:
        m.close()


def test_many_programmed_points_over_a_socket(tmp_path, monkeypatch):
    monkeypatch.setattr(compiled_module, "POINTS_SLICE", 50)
    count = 3 * 50 + 7  # several slices of the reply
    text = "G1 F1000\n" + "\n".join(f"X{k % 100} Y{k // 100}" for k in range(count))
    with Simulator(port=0, programs_dir=str(tmp_path)) as sim, socket.create_connection(("127.0.0.1", sim.port)) as s:
        f = s.makefile("rwb")

        def ask_socket(request):
            f.write(json.dumps(request).encode() + b"\n")
            f.flush()
            return json.loads(f.readline())["res"]

        assert ask_socket({"cmd": "program.gcode.set.text", "text": text}) is True
        deadline = time.monotonic() + 60
        while ask_socket({"get": "compile.info"})["state"] != CS_READY:
            assert time.monotonic() < deadline
            time.sleep(0.002)
        points = ask_socket({"get": "programmed.points"})["points"]
    assert len(points) == count  # every programmed move, X0 Y0 where it stands included
    assert points[-1] == [(count - 1) % 100, (count - 1) // 100, 0]


LOOPED = "O<s> sub\nG1 X#1 F6000\nO<s> endsub\nG0 Y5\nG4 P0.1\nO<s> call [10]\nO<s> call [20]\nG0 Y9\nG0 X30"


@pytest.mark.parametrize(
    "request_, approach",
    [
        ({"cmd": "cnc.start.from.line", "line": 8}, [20, 5]),  # lines run 4 5 2 2 8 9: the first >= 8
        ({"cmd": "cnc.start.from.line", "line": 3}, [0, 5]),  # the dwell's line 5 comes first
        ({"cmd": "cnc.start.from.point", "point": 1}, [10, 5]),  # points skip the dwell
        ({"cmd": "cnc.start.from.point", "point": 2}, [20, 5]),
    ],
)
def test_start_part_way_in_a_program_with_calls_and_a_dwell(tmp_path, request_, approach):
    clock = Clock()
    m = new_machine(tmp_path, clock=clock)
    try:
        analyse(m, LOOPED)
        assert ask(m, request_) is True
        assert ask(m, {"get": "axes.info"})["machine.target.position"][:2] == approach
        clock.now += 60.0
        assert ask(m, {"get": "cnc.info"})["state.machine"] == SM_IDLE
        assert ask(m, {"get": "axes.info"})["machine.position"][:2] == [30, 9]
        assert ask(m, {"cmd": "cnc.start.from.point", "point": 6}) is False  # there are 6 points: 0 to 5
    finally:
        m.close()


@pytest.mark.parametrize("seconds", [1e9, 0.0], ids=["on the server's thread", "moved to a child process"])
def test_short_program_that_runs_long(tmp_path, seconds):
    """A few lines looping many times: wherever it ends up analysed, it starts from the
    machine's state as it was (a parameter is counted up once, not twice)."""
    # a few thousand passes: more lines run than between two looks at the clock
    text = "#101=[#101+7]\n#100=0\nO1 while [#100 LT 3000]\n#100=[#100+1]\nO1 endwhile\nG0 X#101 Y[#100/1000]"
    m = new_machine(tmp_path, config=MachineConfig(thread_seconds=seconds))
    try:
        info = analyse(m, text, timeout=60)
        assert info["state"] == CS_READY, info["message"]
        assert end_point(m) == [7, 3, 0]
    finally:
        m.close()


# X 40 at 600 mm/min takes 4 s; the offsets, tool and work offset come after it
SETTINGS_AFTER_A_MOVE = "G1 X40 F600\nG92 Y7\nT2 M6\nG10 L2 P2 X100\nG55 G0 X0\nM2"


@pytest.mark.parametrize(
    "stop_after, program_position, tool",
    [
        (2.0, [20, 0, 0], 0),  # stopped in the first move: none of the lines after it ran
        (None, [100, 0, 0], 2),  # ran to M2: back to G54 without the G92 offset, the tool kept
    ],
)
@pytest.mark.parametrize("threshold", [1 << 30, 0], ids=["in the server", "in a child process"])
def test_machine_keeps_the_state_of_where_the_program_stopped(tmp_path, stop_after, program_position, tool, threshold):
    clock = Clock()
    m = new_machine(tmp_path, clock=clock, config=MachineConfig(child_threshold=threshold))
    try:
        assert analyse(m, SETTINGS_AFTER_A_MOVE)["state"] == CS_READY
        assert ask(m, {"cmd": "cnc.start"}) is True
        if stop_after is not None:
            clock.now += stop_after
            assert ask(m, {"cmd": "cnc.stop"}) is True
        else:
            clock.now += 60.0
        axes = ask(m, {"get": "axes.info"})
        assert ask(m, {"get": "cnc.info"})["state.machine"] == SM_IDLE
        assert axes["program.position"][:3] == pytest.approx(program_position, abs=0.5)  # about: acceleration
        assert axes["working.wcs"] == 1
        assert ask(m, {"get": "cnc.info"})["tool"]["id"] == tool
        # the state itself, not only what is reported: G0 Y1 goes to machine Y 1 without any offset
        assert ask(m, {"cmd": "cnc.mdi.command", "command": "G0 Y1"}) is True

        def moved() -> bool:  # the line may still be analysed (in the child process) when first asked
            clock.now += 10.0
            return ask(m, {"get": "axes.info"})["machine.position"][1] == 1

        wait_for(moved)
    finally:
        m.close()
