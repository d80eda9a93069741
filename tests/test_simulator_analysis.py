"""Analysis in the background and the state machine around it; a property test of the
analysis against an independent computation of random straight and arc programs."""

import math
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sim_helpers import (
    CS_FIRST_STEP,
    CS_FIRST_STEP_RUNNING,
    CS_READY,
    SM_IDLE,
    SM_RUN,
    analyse,
    ask,
    end_point,
    new_machine,
)


@pytest.fixture
def machine(tmp_path):
    m = new_machine(tmp_path, speed=1000.0)
    yield m
    m.close()


def big_program(lines):
    return "G1 F3000\n" + "\n".join(f"G1 X{i % 100}.5 Y{i % 7}" for i in range(lines))


def wait_state(machine, state, timeout=20.0):
    deadline = time.monotonic() + timeout
    while ask(machine, {"get": "cnc.info"})["state.machine"] != state:
        assert time.monotonic() < deadline
        time.sleep(0.01)


def test_set_replies_before_a_long_analysis_and_reports_progress(machine):
    started = time.monotonic()
    assert ask(machine, {"cmd": "program.gcode.set.text", "text": big_program(60_000)}) is True
    assert time.monotonic() - started < 0.5
    assert ask(machine, {"get": "compile.info"})["state"] == CS_FIRST_STEP
    enabled = ask(machine, {"get": "enabled.commands"})
    assert enabled["cnc.start"] and enabled["program.analysis.abort"] and not enabled["cnc.start.from.line"]
    assert ask(machine, {"get": "machining.info"})["tool.path"]["total.path"] == 0.0
    assert analyse(machine, big_program(60_000))["state"] == CS_READY


def test_start_during_analysis_waits_and_then_runs(machine):
    assert ask(machine, {"cmd": "program.gcode.set.text", "text": big_program(60_000) + "\nG0 X7 Y8"}) is True
    assert ask(machine, {"cmd": "cnc.start"}) is True
    assert ask(machine, {"get": "cnc.info"})["state.machine"] == SM_RUN
    assert ask(machine, {"get": "compile.info"})["state"] == CS_FIRST_STEP_RUNNING
    assert ask(machine, {"cmd": "program.gcode.set.text", "text": "G0 X1"}) is False  # busy
    wait_state(machine, SM_IDLE, timeout=60)
    assert ask(machine, {"get": "axes.info"})["program.position"][:2] == [7.0, 8.0]


def test_start_during_analysis_of_a_faulty_program_returns_to_idle(machine):
    text = big_program(60_000) + "\nG2 X1 Y1 I0.1 J0"
    assert ask(machine, {"cmd": "program.gcode.set.text", "text": text}) is True
    assert ask(machine, {"cmd": "cnc.start"}) is True
    wait_state(machine, SM_IDLE, timeout=60)
    info = ask(machine, {"get": "compile.info"})
    assert info["state"] == 2 and info["file.line"] == 60_002
    assert ask(machine, {"get": "axes.info"})["program.position"] == [0.0] * 6


@pytest.mark.parametrize("mode", ["mt", "rt", "rf", "rv", "rz"])
def test_ready_after_analysis_means_start_succeeds(machine, mode):
    analyse(machine, "G0 X1\nG1 Y2 F500")
    assert ask(machine, {"cmd": "program.analysis", "mode": mode}) is True
    assert ask(machine, {"get": "compile.info"})["state"] == CS_READY
    assert ask(machine, {"get": "enabled.commands"})["cnc.start"] is True
    assert ask(machine, {"cmd": "cnc.start"}) is True


def test_abort_stops_the_analysis(machine):
    ask(machine, {"cmd": "program.gcode.set.text", "text": big_program(100_000)})
    assert ask(machine, {"cmd": "program.analysis.abort"}) is True
    assert ask(machine, {"get": "compile.info"})["state"] == 0
    assert ask(machine, {"cmd": "program.analysis.abort"}) is False
    assert ask(machine, {"cmd": "program.analysis", "mode": "mt"}) is True


def test_rerun_from_the_end_position_analyses_again(machine):
    analyse(machine, "G91 G0 X5")
    assert ask(machine, {"cmd": "cnc.start"}) is True
    wait_state(machine, SM_IDLE)
    assert ask(machine, {"cmd": "cnc.start"}) is True  # incremental program: from where it stands
    wait_state(machine, SM_IDLE)
    assert ask(machine, {"get": "axes.info"})["program.position"][0] == 10.0


def test_run_ends_where_the_analysis_ends(machine):
    text = (
        "G0 X0 Y0\nG2 X10 Y0 R5 F3000\nG18 G3 X20 Z0 R5\nG17 G81 X30 Y5 Z-2 R1\nG80\n"
        "O<s> SUB\nG1 X#1 Y#1\nO<s> ENDSUB\nO<s> CALL [4]\nM30"
    )
    analyse(machine, text)
    planned = end_point(machine)
    assert ask(machine, {"cmd": "cnc.start"}) is True
    wait_state(machine, SM_IDLE)
    assert ask(machine, {"get": "axes.info"})["program.position"][:3] == pytest.approx(planned)


# ----- property: analysis against an independent computation ----------------------------------------

coord = st.integers(-500, 500).map(lambda v: v / 10)


@st.composite
def programs(draw):
    """Straight moves and centre-format arcs in the XY plane, and what they must come to."""
    x = y = z = 0.0
    lines, fast, feed = ["G17 G21 G90 F1000"], 0.0, 0.0
    for _ in range(draw(st.integers(1, 12))):
        kind = draw(st.sampled_from(["G0", "G1", "G2", "G3"]))
        if kind in ("G0", "G1"):
            nx, ny, nz = draw(coord), draw(coord), draw(coord)
            d = math.dist((x, y, z), (nx, ny, nz))
            lines.append(f"{kind} X{nx:g} Y{ny:g} Z{nz:g}")
            fast, feed = (fast + d, feed) if kind == "G0" else (fast, feed + d)
            x, y, z = nx, ny, nz
        else:
            i, j = draw(coord), draw(coord)
            r = math.hypot(i, j)
            if r < 0.5:
                continue
            cx, cy = x + i, y + j
            turn = draw(st.integers(1, 359))
            a0 = math.atan2(y - cy, x - cx)
            a1 = a0 + math.radians(turn) * (1 if kind == "G3" else -1)
            nx, ny = round(cx + r * math.cos(a1), 4), round(cy + r * math.sin(a1), 4)
            lines.append(f"{kind} X{nx:.4f} Y{ny:.4f} I{i:g} J{j:g}")
            feed += r * math.radians(turn)
            x, y = nx, ny
    return "\n".join(lines), (x, y, z), fast, feed


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(programs())
def test_analysis_matches_independent_computation(machine, case):
    text, end, fast, feed = case
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    # every arc drawn may have been too small to keep: then nothing moves
    assert (end_point(machine) or [0.0, 0.0, 0.0]) == pytest.approx(list(end), abs=1e-3)
    path = ask(machine, {"get": "machining.info"})["tool.path"]
    assert path["in.fast"] == pytest.approx(fast, abs=1e-3)
    assert path["in.feed"] == pytest.approx(feed, rel=1e-3, abs=1e-2)
    total_time = path["estimated.time"]
    seconds = sum(int(v) * m for v, m in zip(total_time.split(":"), (3600, 60, 1), strict=True))
    assert seconds >= int(feed / 1000 * 60) - 1  # never faster than the programmed feed
