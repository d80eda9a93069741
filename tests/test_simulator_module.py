"""Background analysis seen through the module, as a script and a poller beside it see it."""

import threading
import time

import pytest
from sim_helpers import MachineConfig, Simulator

# more than 256 KiB of text: analysed in a child process
BODY = "G21 G90 G1 F3000\n" + "\n".join(f"X{k % 100}.5 Y{k % 7}" for k in range(40_000)) + "\nG0 X7 Y8\n"
BIG = BODY + "M30\n"


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
        time.sleep(0.005)


def wait_idle(core, cnc, timeout=60.0):
    deadline = time.monotonic() + timeout
    while cnc.get_cnc_info().state_machine != core.SM_IDLE:
        assert time.monotonic() < deadline
        time.sleep(0.01)


def test_set_analyse_start_with_a_poller_beside(core, sim, cnc):
    stop, failures = threading.Event(), []

    def poll():
        c = core.CncAPIClientCore()
        c.connect("127.0.0.1", sim.port)
        while not stop.is_set():
            if not (c.get_cnc_info().has_data and c.get_axes_info().has_data):
                failures.append("poller dropped")
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
    assert not failures and cnc.is_connected


def test_error_reported_with_its_line(core, cnc):
    assert cnc.program_gcode_set_text(BODY + "G2 X1 Y1 I0.2 J0\nM30\n") is True
    info, _ = wait_compiled(core, cnc)
    assert info.state == core.CS_ERROR
    assert (info.code_line, info.file_line) == (40_003, 40_003)
    assert info.message.startswith("line 40003 at 'G2'")
    assert cnc.cnc_start() is False


def test_start_during_analysis_runs_when_ready(core, cnc):
    assert cnc.program_gcode_set_text(BIG) is True
    assert cnc.cnc_start() is True
    assert cnc.get_compile_info().state in (core.CS_FIRST_STEP_RUNNING, core.CS_READY)
    assert cnc.get_cnc_info().state_machine == core.SM_RUN
    wait_idle(core, cnc)
    assert cnc.get_axes_info().program_position[:2] == [7.0, 8.0]
