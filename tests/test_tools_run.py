"""`cnc-api run` end to end against the simulator: in this process, and in real subprocesses for Ctrl-C
and for what happens while a run goes on."""

import json
import signal

import cnc_api_client_core as cnc
import pytest
from cnc_api_simulator import Simulator
from fake_server import FakeServer, respond
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


@pytest.mark.parametrize(("content", "message"), [(None, "cannot read"), ("  \n\n", "holds no program")])
def test_files_that_cannot_run(tmp_path, content, message):
    path = tmp_path / "part.nc"
    if content is not None:
        path.write_text(content)
    done = run_cli("run", str(path), "--port", "1")
    assert done.returncode == 1 and message in done.stderr


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


def test_a_compile_that_never_ends_times_out(tmp_path):
    control = ScriptedControl(tmp_path, [cnc.CS_FIRST_STEP_RUNNING], [cnc.SM_IDLE])
    with FakeServer(default=respond(control.answer)) as server:
        done = run_cli("run", SAMPLE, "--port", str(server.port), "--compile-timeout", "0.5")
    assert done.returncode == 1
    assert "no compile result within 0.5 s (compile state FIRST_STEP_RUNNING)" in done.stderr
