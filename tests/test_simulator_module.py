"""Background analysis seen through the module, as a script and a poller beside it see it."""

import threading
import time

import pytest
from sim_helpers import MachineConfig, Simulator, set_gated

BODY = "G21 G90 G1 F3000\n" + "\n".join(f"X{k % 100}.5 Y{k % 7}" for k in range(2_000)) + "\nG0 X7 Y8\n"
BIG = BODY + "M30\n"


# the thresholds put the same program on each side of the move to a child process
@pytest.fixture(params=[1 << 30, 0], ids=["in the server", "in a child process"])
def sim(request, tmp_path):
    config = MachineConfig(child_threshold=request.param)
    with Simulator("127.0.0.1", 0, str(tmp_path), speed=1000.0, config=config) as s:
        yield s


@pytest.fixture
def cnc(core, sim):
    c = core.CncAPIClientCore()
    assert c.connect("127.0.0.1", sim.port)
    yield c
    c.close()


def wait_compiled(core, cnc, timeout=60.0):
    deadline = time.monotonic() + timeout
    seen = set()
    while True:
        info = cnc.get_compile_info()
        assert info.has_data
        seen.add(info.state)
        if info.state in (core.CS_READY, core.CS_ERROR):
            return info, seen
        assert time.monotonic() < deadline
        time.sleep(0.002)


def wait_idle(core, cnc, timeout=60.0):
    deadline = time.monotonic() + timeout
    while cnc.get_cnc_info().state_machine != core.SM_IDLE:
        assert time.monotonic() < deadline
        time.sleep(0.005)


def test_set_analyse_start_with_a_poller_beside(core, sim, cnc):
    stop, failures, polls = threading.Event(), [], [0]

    def poll():
        c = core.CncAPIClientCore()
        c.connect("127.0.0.1", sim.port)
        while not stop.wait(0.001):
            if not (c.get_cnc_info().has_data and c.get_axes_info().has_data):
                failures.append("poller dropped")
            polls[0] += 1
        c.close()

    poller = threading.Thread(target=poll)
    poller.start()
    try:
        assert cnc.program_gcode_set_text(BIG) is True
        info, seen = wait_compiled(core, cnc)
        assert info.state == core.CS_READY and info.message == ""
        assert cnc.get_enabled_commands().cnc_start is True
        assert cnc.get_machining_info().tool_path_in_feed > 0
        assert cnc.program_analysis(core.ANALYSIS_MT) is True
        assert cnc.get_compile_info().state == core.CS_READY
        assert cnc.cnc_start() is True  # ready and idle: the start succeeds
        wait_idle(core, cnc)
        assert cnc.get_axes_info().program_position[:2] == [7.0, 8.0]
    finally:
        stop.set()
        poller.join()
    assert polls[0] and not failures and cnc.is_connected


def test_error_reported_with_its_line(core, cnc):
    assert cnc.program_gcode_set_text(BODY + "G2 X1 Y1 I0.2 J0\nM30\n") is True
    info, _ = wait_compiled(core, cnc)
    assert info.state == core.CS_ERROR
    assert (info.code_line, info.file_line) == (2_003, 2_003)
    assert info.message.startswith("line 2003 at 'G2'")
    assert cnc.cnc_start() is False


def test_start_during_analysis_runs_when_ready(core, sim, cnc):
    gate = set_gated(sim.machine, BIG)  # the analysis goes on until the gate opens
    assert cnc.get_compile_info().state == core.CS_FIRST_STEP
    assert cnc.cnc_start() is True
    assert cnc.get_compile_info().state == core.CS_FIRST_STEP_RUNNING
    assert cnc.get_cnc_info().state_machine == core.SM_RUN
    assert cnc.program_gcode_set_text("G0 X1") is False
    gate.open()
    wait_idle(core, cnc)
    assert cnc.get_axes_info().program_position[:2] == [7.0, 8.0]
    assert cnc.get_compile_info().state == core.CS_READY
