"""Analysis in the background and the state machine around it; a property test of the
analysis against an independent computation of random straight and arc programs."""

import math
import os
import pathlib
import signal
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sim_helpers import (
    CS_ERROR,
    CS_FIRST_STEP,
    CS_FIRST_STEP_RUNNING,
    CS_INIT,
    CS_READY,
    SM_IDLE,
    SM_RUN,
    Clock,
    Conn,
    analyse,
    analysed,
    ask,
    end_point,
    new_machine,
    set_gated,
)
from tools_helpers import wait_for


@pytest.fixture
def clock():
    return Clock()


@pytest.fixture
def machine(tmp_path, clock):
    m = new_machine(tmp_path, clock=clock)
    yield m
    m.close()


def children_of(pid):
    """Analysis processes whose parent is `pid`."""
    found = []
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
            cmdline = (stat.parent / "cmdline").read_bytes()
        except OSError:
            continue
        if int(fields[1]) == pid and b"cnc_api_simulator.child" in cmdline:
            found.append(int(stat.parent.name))
    return found


def running(pid):
    try:
        return pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


@pytest.mark.skipif(not pathlib.Path("/proc/self/stat").exists(), reason="reads /proc")
def test_analysis_process_ends_with_a_killed_server(tmp_path):
    server = subprocess.Popen(
        [sys.executable, "-m", "cnc_api_simulator", "--port", "0", "--programs-dir", str(tmp_path)],
        stdout=subprocess.PIPE,
    )
    try:
        c = Conn(int(server.stdout.readline().decode().rsplit(":", 1)[1]))
        endless = "#1=0\nWHILE [1 EQ 1] DO1\n#1=#1+1\nEND1\nM30\n"  # moves to a process after 0.3 s
        assert c.ask({"cmd": "program.gcode.set.text", "text": endless}) is True
        (child,) = wait_for(lambda: children_of(server.pid), timeout=30.0)
        c.close()
        os.kill(server.pid, signal.SIGKILL)  # no chance to end its children itself
        server.wait()
        wait_for(lambda: not running(child), timeout=10.0)
    finally:
        server.kill()
        server.wait()


def big_program(lines):
    return "G1 F3000\n" + "\n".join(f"G1 X{i % 100}.5 Y{i % 7}" for i in range(lines))


def state(machine):
    return ask(machine, {"get": "cnc.info"})["state.machine"]


def run_out(machine, clock):
    """Let the machine run, once its program is analysed, until it stops (an hour at most)."""
    analysed(machine)
    for _ in range(60):
        clock.now += 60.0
        if state(machine) != SM_RUN:
            return


def test_set_replies_before_the_analysis_and_reports_progress(machine):
    gate = set_gated(machine, big_program(2000))
    assert ask(machine, {"get": "compile.info"})["state"] == CS_FIRST_STEP
    enabled = ask(machine, {"get": "enabled.commands"})
    assert enabled["cnc.start"] and enabled["program.analysis.abort"] and not enabled["cnc.start.from.line"]
    assert ask(machine, {"get": "machining.info"})["tool.path"]["total.path"] == 0.0
    assert ask(machine, {"get": "programmed.points"}) == {"points": []}
    gate.open()
    assert analysed(machine)["state"] == CS_READY
    assert end_point(machine) == [99.5, 4, 0]  # the last move: X 1999 % 100 + 0.5, Y 1999 % 7


def test_start_during_analysis_waits_and_then_runs(machine, clock):
    gate = set_gated(machine, big_program(2000) + "\nG0 X7 Y8")
    assert ask(machine, {"cmd": "cnc.start"}) is True
    assert state(machine) == SM_RUN
    assert ask(machine, {"get": "compile.info"})["state"] == CS_FIRST_STEP_RUNNING
    assert ask(machine, {"cmd": "program.gcode.set.text", "text": "G0 X1"}) is False  # busy
    assert ask(machine, {"cmd": "program.analysis.abort"}) is False  # a start waits on it
    clock.now += 3600.0  # no time passes for the program before it is analysed
    assert state(machine) == SM_RUN and ask(machine, {"get": "axes.info"})["program.position"] == [0.0] * 6
    gate.open()
    assert analysed(machine)["state"] == CS_READY
    assert state(machine) == SM_RUN
    run_out(machine, clock)
    assert state(machine) == SM_IDLE
    assert ask(machine, {"get": "axes.info"})["program.position"][:2] == [7.0, 8.0]


def test_start_during_analysis_of_a_faulty_program_returns_to_idle(machine):
    gate = set_gated(machine, big_program(2000) + "\nG2 X1 Y1 I0.1 J0")
    assert ask(machine, {"cmd": "cnc.start"}) is True
    gate.open()
    info = analysed(machine)
    assert info["state"] == CS_ERROR and info["file.line"] == 2002
    assert state(machine) == SM_IDLE
    assert ask(machine, {"get": "axes.info"})["program.position"] == [0.0] * 6


def test_abort_stops_the_analysis(machine):
    gate = set_gated(machine, big_program(2000))
    assert ask(machine, {"cmd": "program.analysis.abort"}) is True
    assert ask(machine, {"get": "compile.info"})["state"] == CS_INIT
    assert ask(machine, {"cmd": "program.analysis.abort"}) is False
    assert ask(machine, {"cmd": "program.analysis", "mode": "mt"}) is True
    assert ask(machine, {"get": "compile.info"})["state"] == CS_FIRST_STEP
    gate.open()
    assert analysed(machine)["state"] == CS_READY


@pytest.mark.parametrize("mode", ["mt", "rt", "rf", "rv", "rz"])
def test_ready_after_analysis_means_start_succeeds(machine, mode):
    analyse(machine, "G0 X1\nG1 Y2 F500")
    assert ask(machine, {"cmd": "program.analysis", "mode": mode}) is True
    assert ask(machine, {"get": "compile.info"})["state"] == CS_READY
    assert ask(machine, {"get": "enabled.commands"})["cnc.start"] is True
    assert ask(machine, {"cmd": "cnc.start"}) is True


def test_rerun_from_the_end_position_analyses_again(machine, clock):
    analyse(machine, "G91 G0 X5")
    assert ask(machine, {"cmd": "cnc.start"}) is True
    run_out(machine, clock)
    assert state(machine) == SM_IDLE
    assert ask(machine, {"cmd": "cnc.start"}) is True  # incremental program: from where it stands
    run_out(machine, clock)
    assert state(machine) == SM_IDLE
    assert ask(machine, {"get": "axes.info"})["program.position"][0] == 10.0


def test_run_ends_where_the_analysis_ends(machine, clock):
    text = (
        "G0 X0 Y0\nG2 X10 Y0 R5 F3000\nG18 G3 X20 Z0 R5\nG17 G81 X30 Y5 Z-2 R1\nG80\n"
        "O<s> SUB\nG1 X#1 Y#1\nO<s> ENDSUB\nO<s> CALL [4]\nM30"
    )
    analyse(machine, text)
    planned = end_point(machine)
    assert ask(machine, {"cmd": "cnc.start"}) is True
    run_out(machine, clock)
    assert state(machine) == SM_IDLE
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
