"""End to end against the simulated API server: programs run through the module, and the examples."""

import pathlib
import re
import subprocess
import sys
import threading
import time

import cnc_api_simulator as simulator
import pytest
from tools_helpers import wait_for

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"

# Tool 2 goes round a 10 x 20 rectangle: 30 mm in rapids, 30 mm in feed.
PROGRAM = "T2\nG0 X10 Y0\nG1 X10 Y20 F600\nG1 X0 Y20\nG0 X0 Y0\nM30\n"
SPEED = 10.0  # machine time runs this much faster than the wall clock


@pytest.fixture
def sim():
    with simulator.Simulator("127.0.0.1", 0, speed=SPEED) as s:
        yield s


@pytest.fixture
def cnc(core, sim):
    c = core.CncAPIClientCore()
    assert c.connect("127.0.0.1", sim.port)
    yield c
    c.close()


def follow(core, context, timeout=10.0):
    """Update `context` until the machine is idle again; returns the snapshots taken on the way."""
    seen = []
    deadline = time.monotonic() + timeout
    while True:
        assert context.update()
        assert context.cnc_info.has_data and context.axes_info.has_data
        seen.append(
            (context.cnc_info.state_machine, context.cnc_info.gcode_line, list(context.axes_info.program_position))
        )
        if context.cnc_info.state_machine == core.SM_IDLE:
            return seen
        assert time.monotonic() < deadline, "the program did not end"
        time.sleep(0.005)


def analysed(core, cnc):
    """The compile info once the analysis is through (a busy machine replies to the set before)."""
    checking = (core.CS_FIRST_STEP, core.CS_FIRST_STEP_RUNNING)
    return wait_for(lambda: (info := cnc.get_compile_info()).state not in checking and info, interval=0.005)


def test_program_runs_and_returns_to_idle(core, cnc):
    assert cnc.program_gcode_set_text(PROGRAM)
    compiled = analysed(core, cnc)
    assert compiled.has_data and compiled.state == core.CS_READY and compiled.message == ""
    context = core.CncAPIInfoContext(cnc)
    assert context.update()
    assert context.cnc_info.state_machine == core.SM_IDLE
    assert context.enabled_commands.cnc_start is True

    assert cnc.cnc_start()
    seen = follow(core, context)

    states = [s for s, _, _ in seen]
    running = [(line, pos) for s, line, pos in seen if s == core.SM_RUN]
    assert states[0] == core.SM_RUN and states[-1] == core.SM_IDLE
    assert len({tuple(pos) for _, pos in running}) > 3, "positions did not move while running"
    assert max(pos[1] for _, pos in running) > 0.0
    lines = [line for line, _ in running]
    assert lines == sorted(lines) and set(lines) <= {2, 3, 4, 5} and len(set(lines)) >= 2
    # The context reads axes before state, so the position at the end comes from a later read.
    assert cnc.get_axes_info().program_position[:3] == pytest.approx([0.0, 0.0, 0.0])
    assert context.compile_info.state == core.CS_READY


def test_machining_info_matches_program(core, cnc):
    assert cnc.program_gcode_set_text(PROGRAM)
    analysed(core, cnc)
    info = cnc.get_machining_info()
    assert info.has_data
    assert (info.tool_path_in_fast, info.tool_path_in_feed, info.total_path) == pytest.approx((30.0, 30.0, 60.0))
    assert re.fullmatch(r"\d\d:\d\d:\d\d", info.estimated_time)
    assert [(t.tool_id, t.in_fast, t.in_feed) for t in info.used_tool] == [(2, 30.0, 30.0)]
    feed = [info.tcp_extents_in_feed_min_x, info.tcp_extents_in_feed_max_x, info.tcp_extents_in_feed_length_y]
    assert feed == pytest.approx([0.0, 10.0, 20.0])
    assert info.joints_in_fast_max_y == pytest.approx(20.0)
    points = cnc.get_programmed_points()
    assert points.has_data
    assert points.points == [[10.0, 0.0, 0.0], [10.0, 20.0, 0.0], [0.0, 20.0, 0.0], [0.0, 0.0, 0.0]]


def test_pause_holds_position_until_continue(core, cnc):
    assert cnc.program_gcode_set_text(PROGRAM)
    assert cnc.cnc_start()
    assert cnc.cnc_pause()
    held = cnc.get_axes_info().program_position
    time.sleep(0.05)
    context = core.CncAPIInfoContext(cnc)
    assert context.update()
    assert context.cnc_info.state_machine == core.SM_PAUSE
    assert context.enabled_commands.cnc_continue is True
    assert context.axes_info.program_position == held
    assert cnc.cnc_continue()
    assert follow(core, context)[-1][0] == core.SM_IDLE


def test_concurrent_clients_share_one_machine(core, sim, cnc):
    assert cnc.program_gcode_set_text(PROGRAM)
    results = {}
    connected = threading.Barrier(5, timeout=10)
    finished = threading.Event()

    def poll(index):
        c = core.CncAPIClientCore()
        states, calls, failures = [], 0, 0
        ok = c.connect("127.0.0.1", sim.port)
        connected.wait()
        while ok:
            # The last state counted is read by a call begun after the machine was idle.
            done = finished.is_set()
            info, axes = c.get_cnc_info(), c.get_axes_info()
            failures += not (info.has_data and axes.has_data)
            states.append(info.state_machine)
            calls += 1
            if done and calls >= 20:
                break
        c.close()
        results[index] = (ok, states, failures)

    threads = [threading.Thread(target=poll, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    connected.wait()
    assert cnc.cnc_start()
    follow(core, core.CncAPIInfoContext(cnc))
    finished.set()
    for t in threads:
        t.join(30)
    assert sorted(results) == [0, 1, 2, 3]
    for ok, states, failures in results.values():
        assert ok and failures == 0
        assert core.SM_RUN in states and states[-1] == core.SM_IDLE


def test_server_going_away_drops_client(core, sim, cnc):
    context = core.CncAPIInfoContext(cnc)
    assert context.update()
    sim.stop()
    assert cnc.get_cnc_info().has_data is False
    assert cnc.is_connected is False
    assert context.update() is False
    assert cnc.cnc_start() is False


def run_example(*args):
    return subprocess.run([sys.executable, *map(str, args)], cwd=ROOT, capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize(
    "script, args, expected",
    [
        (
            "status_monitor.py",
            ["--count", "3", "--interval", "0.05", "--lines"],
            [r"^IDLE +line +0 +X +0\.000 .*$"] * 3,
        ),
        (
            "program_runner.py",
            [EXAMPLES / "sample.nc", "--poll", "0.02"],
            [
                "state RUN",
                "state IDLE",
                "program finished",
                r"total path +130\.000 mm",
                r"tool 1 +fast",
                r"tool 3 +fast",
            ],
        ),
        (
            "fleet_poller.py",
            ["--clients", "2", "--seconds", "0.3"],
            [r"^#1 127\.0\.0\.1:\d+ +\d+ calls +[\d.]+ calls/s$", r"^#2 ", r"^total "],
        ),
    ],
)
def test_example_runs(sim, script, args, expected):
    where = ["--server", f"127.0.0.1:{sim.port}"] if script == "fleet_poller.py" else ["--port", sim.port]
    result = run_example(EXAMPLES / script, *args, *where)
    assert result.returncode == 0, result.stderr
    for pattern in expected:
        assert re.search(pattern, result.stdout, re.M), (pattern, result.stdout)
    if script == "status_monitor.py":
        assert len(result.stdout.splitlines()) == 3


@pytest.mark.parametrize(
    "script, args",
    [
        ("status_monitor.py", ["--count", "1"]),
        ("program_runner.py", [EXAMPLES / "sample.nc"]),
        ("fleet_poller.py", ["--clients", "1", "--seconds", "0.1"]),
    ],
)
def test_example_without_server_fails(unused_port, script, args):
    where = ["--server", f"127.0.0.1:{unused_port}"] if script == "fleet_poller.py" else ["--port", unused_port]
    result = run_example(EXAMPLES / script, *args, *where)
    assert result.returncode == 1
    assert "cannot connect" in result.stderr or "no connection" in result.stdout


def test_program_runner_reports_compile_error(sim, tmp_path):
    bad = tmp_path / "bad.nc"
    bad.write_text("G0 X0\nG1 X\n")
    result = run_example(EXAMPLES / "program_runner.py", bad, "--port", sim.port)
    assert result.returncode == 1
    assert "program error at line 2" in result.stderr


@pytest.fixture
def unused_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
