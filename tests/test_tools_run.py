"""`cnc-api run` end to end against the simulator: in this process, and in real subprocesses for Ctrl-C
and for what happens while a run goes on."""

import json
import os
import signal
import time

import cnc_api_client_core as cnc
import pytest
from cnc_api_simulator import Simulator
from cnc_api_tools.cmd_run import _time_left
from cnc_api_tools.codes import CompileState, code_name
from fake_server import FakeServer, respond, silence
from tools_helpers import SAMPLE, cnc_api_popen, run_cli, sim_replies, wait_for


def client_of(sim):
    c = cnc.CncAPIClientCore()
    assert c.connect("127.0.0.1", sim.port)
    return c


def test_runs_a_file_to_its_end():
    with Simulator(port=0, speed=20.0) as s:
        done = run_cli("run", SAMPLE, "--port", str(s.port))
        assert done.returncode == 0, done.stderr
        assert "program finished in" in done.stdout
        assert f"started {SAMPLE} on 127.0.0.1:{s.port}" in done.stderr
        size = os.path.getsize(SAMPLE)
        assert f"uploading {size} bytes\nuploaded {size} bytes in " in done.stderr
        info = client_of(s).get_cnc_info()
        assert info.state_machine == cnc.SM_IDLE and info.gcode_line == 18


@pytest.mark.parametrize("analysis", [["--analysis", "rt"], ["--no-analysis"]])
def test_analysis_modes(analysis):
    with Simulator(port=0, speed=20.0) as s:
        assert run_cli("run", SAMPLE, "--port", str(s.port), *analysis).returncode == 0


def test_runs_a_file_of_the_controls_own(tmp_path):
    (tmp_path / "part.nc").write_text("G0 X1\nG1 X2 F3000\n")
    with Simulator(port=0, programs_dir=str(tmp_path), speed=20.0) as s:
        done = run_cli("run", "--load", "part.nc", "--port", str(s.port))
        assert done.returncode == 0, done.stderr
        assert client_of(s).get_axes_info().program_position[0] == 2.0


def test_loading_a_missing_file_is_refused(tmp_path):
    with Simulator(port=0, programs_dir=str(tmp_path)) as s:
        done = run_cli("run", "--load", "nothing.nc", "--port", str(s.port))
        assert done.returncode == 1
        assert done.stderr.startswith("cnc-api: the control refused program_load('nothing.nc')")


def test_compile_error_names_file_and_line(tmp_path):
    bad = tmp_path / "bad.nc"
    bad.write_text("G0 X0\nG1 X5 F100\nG1 Q7\n")
    with Simulator(port=0) as s:
        done = run_cli("run", str(bad), "--port", str(s.port))
        assert done.returncode == 1
        assert done.stderr.splitlines()[-1].startswith(f"cnc-api: {bad}:3: line 3 at 'Q7'")
        assert client_of(s).get_cnc_info().state_machine == cnc.SM_IDLE


def _sparse(path):
    with open(path, "wb") as f:
        f.truncate(2 << 30)


FILES_THAT_CANNOT_RUN = {
    "missing": (None, [], "cannot read {path}: No such file or directory"),
    "blank": (lambda p: p.write_text("  \n\n"), [], "{path} holds no program"),
    "fifo": (os.mkfifo, [], "{path} is not a regular file"),
    "device": ("/dev/zero", [], "/dev/zero is not a regular file"),
    "sparse-2g": (
        _sparse,
        [],
        "{path} holds 2048.0 MB, more than the 32.0 MB a program may have (--max-size raises the limit)",
    ),
    "max-size": (lambda p: p.write_text("G0 X1\n" * 10), ["--max-size", "20"], "more than the 20 bytes"),
    "not-that-encoding": (
        lambda p: p.write_bytes(b"G0 X1 (caf\xe9)\n"),
        ["--encoding", "utf-8"],
        "cannot read {path} as utf-8: byte 11 is not utf-8",
    ),
}


@pytest.mark.parametrize(("make", "extra", "message"), FILES_THAT_CANNOT_RUN.values(), ids=FILES_THAT_CANNOT_RUN)
def test_files_that_cannot_run(tmp_path, make, extra, message):
    path = tmp_path / "part.nc"
    if isinstance(make, str):
        path = make
    elif make is not None:
        make(path)
    done = run_cli("run", str(path), "--port", "1", *extra)
    assert done.returncode == 1
    assert done.stderr.startswith("cnc-api: ") and message.format(path=path) in done.stderr


@pytest.mark.parametrize(
    ("content", "extra", "note"),
    [
        (b"G0 X1 (caf\xe9)\nG1 X2 F3000\n", [], "is not UTF-8 (byte 11); read as Latin-1"),
        (b"G0 X1 (caf\xc3\xa9)\nG1 X2 F3000\n", [], None),
        (b"G0 X1 (\x93caf\xe9\x94)\nG1 X2 F3000\n", ["--encoding", "cp1252"], None),
    ],
    ids=["latin-1", "utf-8", "chosen"],
)
def test_programs_in_other_encodings_run(tmp_path, content, extra, note):
    path = tmp_path / "part.nc"
    path.write_bytes(content)
    with Simulator(port=0, speed=20.0) as s:
        done = run_cli("run", str(path), "--port", str(s.port), *extra)
        assert done.returncode == 0, done.stderr
        assert client_of(s).get_axes_info().program_position[0] == 2.0
    assert ("note:" in done.stderr) is (note is not None)
    assert note is None or note in done.stderr


def test_an_unknown_encoding_is_wrong_usage():
    done = run_cli("run", SAMPLE, "--encoding", "klingon")
    assert done.returncode == 2 and "unknown encoding 'klingon'" in done.stderr


def test_file_and_load_exclude_each_other():
    assert run_cli("run", SAMPLE, "--load", "x.nc").returncode == 2


def start_slow_run(sim, *extra):
    proc = cnc_api_popen("run", SAMPLE, "--port", str(sim.port), "--poll", "0.05", *extra)
    c = client_of(sim)
    wait_for(lambda: c.get_cnc_info().state_machine == cnc.SM_RUN, timeout=20)
    return proc, c


def test_ctrl_c_stops_the_machine():
    with Simulator(port=0, speed=0.1) as s:
        proc, c = start_slow_run(s)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=20)
        assert proc.returncode == 130
        assert err.strip().endswith("interrupted: machine stopped")
        assert c.get_cnc_info().state_machine == cnc.SM_IDLE
        assert c.get_enabled_commands().cnc_resume is True  # stopped mid-program, not finished


def test_ctrl_c_with_no_stop_leaves_it_running():
    with Simulator(port=0, speed=0.1) as s:
        proc, c = start_slow_run(s, "--no-stop")
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=20)
        assert proc.returncode == 130
        assert "the program keeps running" in err
        assert c.get_cnc_info().state_machine == cnc.SM_RUN
        c.cnc_stop()


def test_a_stop_from_elsewhere_fails_the_run():
    with Simulator(port=0, speed=0.1) as s:
        proc, c = start_slow_run(s)
        assert c.cnc_stop()
        _, err = proc.communicate(timeout=20)
        assert proc.returncode == 1
        assert "cnc-api: the program was stopped at line" in err


def test_a_lost_connection_fails_the_run():
    s = Simulator(port=0, speed=0.1)
    s.start()
    try:
        proc, _ = start_slow_run(s)
    finally:
        s.stop()
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 3
    assert "lost the connection to" in err


@pytest.mark.parametrize("mode", ["close", "half"])
def test_a_connection_cut_during_the_run_fails_it(mode):
    from cnc_api_simulator.testing import simulated_machine

    with simulated_machine(manual_clock=False, speed=0.1) as machine:
        machine.faults.cut(nth=3, mode=mode, requests="cnc.info")
        done = run_cli("run", SAMPLE, "--port", str(machine.port))
        assert done.returncode == 3, done.stderr
        assert f"lost the connection to 127.0.0.1:{machine.port}" in done.stderr
        assert [e["fault"]["mode"] for e in machine.requests() if e["fault"]] == [mode]


class ScriptedControl:
    """A control whose compile and machine states follow scripts, one step per query."""

    def __init__(self, tmp_path, compile_states, machine_states, resumable=False):
        base = sim_replies()
        self.cnc_info, self.enabled = base["cnc.info"], base["enabled.commands"]
        self.compile_info = base["compile.info"]
        self.compile_states, self.machine_states = list(compile_states), list(machine_states)
        self.resumable = resumable
        self.started = False

    def answer(self, request):
        req = json.loads(request)
        kind = req.get("get")
        if kind == "compile.info":
            state = self.compile_states.pop(0) if len(self.compile_states) > 1 else self.compile_states[0]
            return {"res": {**self.compile_info, "state": state}}
        if kind == "enabled.commands":
            final = len(self.compile_states) == 1
            return {
                "res": {**self.enabled, "cnc.start": final, "program.analysis": final, "cnc.resume": self.resumable}
            }
        if kind == "cnc.info":
            state = cnc.SM_IDLE
            if self.started:
                state = self.machine_states.pop(0) if len(self.machine_states) > 1 else self.machine_states[0]
            return {"res": {**self.cnc_info, "state.machine": state, "gcode.line": 3}}
        if kind == "machining.info":
            return {"res": False}  # no estimate: the progress goes by lines alone
        if req.get("cmd") == "program.analysis":
            return {"res": len(self.compile_states) == 1}
        if req.get("cmd") == "cnc.start":
            self.started = len(self.compile_states) == 1
            return {"res": self.started}
        return {"res": True}


RUNNING = [cnc.CS_FIRST_STEP_RUNNING] * 4 + [cnc.CS_WAITING_FOR_DATA_RUNNING] * 3


@pytest.mark.parametrize(
    ("compile_states", "machine_states", "resumable", "status", "message"),
    [
        pytest.param(
            [*RUNNING, cnc.CS_READY],
            [cnc.SM_RUN] * 3 + [cnc.SM_IDLE],
            False,
            0,
            "program finished",
            id="compiled-in-the-background",
        ),
        pytest.param(
            [*RUNNING, cnc.CS_FINISHED],
            [cnc.SM_RUN, cnc.SM_PAUSE, cnc.SM_RUN, cnc.SM_IDLE],
            False,
            0,
            "program finished",
            id="finished-state",
        ),
        pytest.param(
            [cnc.CS_FIRST_STEP_RUNNING, cnc.CS_READY],
            [cnc.SM_RUN, cnc.SM_ALARM],
            False,
            1,
            "cnc-api: the program ended in ALARM at line 3",
            id="alarm",
        ),
        pytest.param([cnc.CS_READY], [cnc.SM_RUN, cnc.SM_HOMING], False, 1, "ended in state HOMING", id="other-state"),
        pytest.param(
            [cnc.CS_READY], [cnc.SM_RUN, cnc.SM_IDLE], True, 1, "the program was stopped at line 3", id="stopped"
        ),
    ],
)
def test_run_against_a_scripted_control(tmp_path, compile_states, machine_states, resumable, status, message):
    control = ScriptedControl(tmp_path, compile_states, machine_states, resumable)
    with FakeServer(default=respond(control.answer)) as server:
        done = run_cli("run", SAMPLE, "--port", str(server.port), "--poll", "0.02")
    assert done.returncode == status, done.stderr
    assert message in (done.stdout if status == 0 else done.stderr)
    # A compile that takes its time is shown, one line per state, terminal or not.
    if len(compile_states) > 1:
        assert f"compiling: {code_name(CompileState, compile_states[0])}\n" in done.stderr
        assert f"compiling: {code_name(CompileState, compile_states[-1])} after " in done.stderr


def test_a_compile_that_never_ends_times_out(tmp_path):
    control = ScriptedControl(tmp_path, [cnc.CS_FIRST_STEP_RUNNING], [cnc.SM_IDLE])
    with FakeServer(default=respond(control.answer)) as server:
        done = run_cli("run", SAMPLE, "--port", str(server.port), "--compile-timeout", "0.5")
    assert done.returncode == 1
    assert "no compile result within 0.5 s (compile state FIRST_STEP_RUNNING)" in done.stderr


@pytest.mark.parametrize(
    ("running", "line", "total", "estimate", "left"),
    [
        (60.0, 26, 100, 18000.0, 60.0 * 74 / 26),  # a machine 20 times as fast as the estimate's
        (60.0, 50, 100, 30.0, 60.0),  # slower than estimated: the pace says so
        (0.5, 1, 100, 300.0, 299.5),  # too early for a pace: the estimate
        (10.0, 0, 100, None, None),  # no line yet, no estimate
        (10.0, 5, None, 100.0, 90.0),  # a program of the control's own: no line count
    ],
)
def test_time_left_follows_the_pace(running, line, total, estimate, left):
    assert _time_left(running, line, total, estimate) == (None if left is None else pytest.approx(left))


def test_a_control_that_falls_silent_during_the_run_ends_it_within_the_timeout(tmp_path):
    control = ScriptedControl(tmp_path, [cnc.CS_READY], [cnc.SM_RUN])
    with FakeServer() as server:

        def answer(request):
            reply = control.answer(request)
            if control.started:
                server.script(*[silence()] * 50)  # every request after the start goes unanswered
            return reply

        server.default = respond(answer)
        started = time.monotonic()
        done = run_cli("run", SAMPLE, "--port", str(server.port), "--timeout", "1", "--poll", "0.02")
        took = time.monotonic() - started
    assert done.returncode == 3
    assert done.stderr.endswith(
        f"cnc-api: no reply from 127.0.0.1:{server.port} within 1 s; the machine may still be running\n"
    )
    assert took < 5  # the run itself, one second for the unanswered exchange, a margin for a busy machine
