"""Ctrl-C during examples/program_runner.py stops the machine, also through a
slow link where the interrupt mostly lands while a call waits for its reply."""

from __future__ import annotations

import json
import pathlib
import signal
import subprocess
import sys
import time

import pytest
from fake_server import FakeServer, respond
from latency_proxy import LatencyProxy
from replies import QUERIES

ROOT = pathlib.Path(__file__).resolve().parents[1]
RUNNER = ROOT / "examples" / "program_runner.py"

try:
    import cnc_api_simulator  # noqa: F401
except ImportError:
    sys.path.insert(0, str(ROOT / "python"))
simulator = pytest.importorskip("cnc_api_simulator", reason="the simulator package is not importable")

LONG_PROGRAM = "G0 X0 Y0\nG1 X500 F60\nG1 Y500\nM30\n"  # minutes of machine time


@pytest.fixture
def sim():
    with simulator.Simulator("127.0.0.1", 0) as s:
        yield s


def machine_state(core, port: int) -> int:
    c = core.CncAPIClientCore()
    assert c.connect("127.0.0.1", port)
    try:
        info = c.get_cnc_info()
        assert info.has_data
        return info.state_machine
    finally:
        c.close()


def start_runner(program: pathlib.Path, port: int) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, str(RUNNER), str(program), "--port", str(port), "--poll", "0.05"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=ROOT,
    )


def wait_for_line(proc: subprocess.Popen[str], text: str, timeout: float = 30.0) -> None:
    deadline = time.monotonic() + timeout
    assert proc.stdout is not None
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        if text in line:
            return
    proc.kill()
    raise AssertionError(f"no {text!r} from the runner: {proc.communicate()}")


@pytest.mark.parametrize("seed, pause", [(1, 0.0), (2, 0.07), (3, 0.15), (4, 0.22), (5, 0.3), (6, 0.45)])
def test_ctrl_c_stops_the_machine_through_a_slow_link(core, sim, tmp_path, seed, pause):
    program = tmp_path / "long.nc"
    program.write_text(LONG_PROGRAM)
    with LatencyProxy(("127.0.0.1", sim.port), 0.05, 0.3, seed=seed) as proxy:
        runner = start_runner(program, proxy.port)
        try:
            wait_for_line(runner, "state RUN")
            time.sleep(pause)
            assert machine_state(core, sim.port) == core.SM_RUN
            runner.send_signal(signal.SIGINT)
            out, err = runner.communicate(timeout=30)
        finally:
            if runner.poll() is None:
                runner.kill()
                runner.communicate()
    assert runner.returncode == 130, (out, err)
    assert "interrupted; machine stopped (state IDLE)" in err
    assert machine_state(core, sim.port) == core.SM_IDLE


def refusing_server(request: bytes) -> bytes:
    """A control that takes the program but refuses to start: it is in alarm."""

    def reply(name, **members):
        query = QUERIES[name]
        return json.dumps(query.reply(lambda path, v: members.get(".".join(path), v))).encode()

    if b"compile.info" in request:
        return reply("compile_info", state=1)  # ready
    if b"cnc.info" in request:
        return reply("cnc_info", **{"state.machine": 4})  # alarm
    if b"enabled.commands" in request:
        return reply("enabled_commands", **{"cnc.start": False})
    if b"cnc.start" in request:
        return b'{"res":false}'
    return b'{"res":true}'


def test_refused_start_is_explained(tmp_path):
    program = tmp_path / "short.nc"
    program.write_text("G0 X1\n")
    with FakeServer(default=respond(refusing_server)) as server:
        result = subprocess.run(
            [sys.executable, str(RUNNER), str(program), "--port", str(server.port)],
            capture_output=True,
            text=True,
            timeout=60,
            cwd=ROOT,
        )
    assert result.returncode == 1
    assert result.stderr.strip() == (
        "the control refused to start the program: machine state ALARM; start is not enabled"
    ), result.stderr


def test_waits_until_the_program_is_checked(tmp_path):
    """A control that checks programs in the background reports a running
    compile state first: the runner waits for the verdict before judging."""
    program = tmp_path / "bad.nc"
    program.write_text("G0 X1\n")
    asked = []

    def checking(request: bytes) -> bytes:
        if b"compile.info" in request:
            asked.append(1)
            state = 4 if len(asked) < 4 else 2  # first step running, then error
            members = {"state": state, "file.line": 7, "message": "bad word", "code": 12}
            return json.dumps(QUERIES["compile_info"].reply(lambda path, v: members.get(".".join(path), v))).encode()
        return b'{"res":true}'

    with FakeServer(default=respond(checking)) as server:
        result = subprocess.run(
            [sys.executable, str(RUNNER), str(program), "--port", str(server.port), "--poll", "0.01"],
            capture_output=True,
            text=True,
            timeout=60,
            cwd=ROOT,
        )
    assert result.returncode == 1
    assert result.stderr.strip() == "program error at line 7: bad word (code 12)"
    assert len(asked) == 4
