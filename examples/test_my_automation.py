"""Testing automation against a simulated machine: a file to copy and adapt.

    pip install cnc_api_client_core    # brings the cnc_machine and cnc_fleet fixtures
    pytest examples/test_my_automation.py

The automation under test is the first part of this file; in a project of your own it is
imported from your package. Machine time stands still until a test moves it with
`cnc_machine.clock.advance(seconds)`, so no test sleeps and none depends on the computer's speed.
"""

from __future__ import annotations

import cnc_api_client_core as cnc
import pytest
from cnc_api_simulator.testing import SimulatedFleet, SimulatedMachine

# ----- the automation under test -------------------------------------------------------------


def start_job(api: cnc.CncAPIClientCore, program: str) -> bool:
    """Send a program and start it; False when the machine refuses or the program has an error."""
    if not api.program_gcode_set_text(program):
        return False
    compiled = api.get_compile_info()
    if not compiled.has_data or compiled.state != cnc.CS_READY:
        return False
    return api.cnc_start()


def job_state(api: cnc.CncAPIClientCore) -> str:
    """'running', 'done', 'alarm', or 'offline' when the machine does not answer."""
    info = api.get_cnc_info()
    if not info.has_data:
        return "offline"
    if info.state_machine == cnc.SM_ALARM:
        return "alarm"
    if info.state_machine in (cnc.SM_RUN, cnc.SM_PAUSE):
        return "running"
    return "done"


# ----- the tests -----------------------------------------------------------------------------

PROGRAM = """G21 G90 G17
G0 X0 Y0
G1 X60 F600
G1 Y60
G1 X0
M30
"""  # 18 s of feed moves at F600


def test_a_job_runs_to_its_end(cnc_machine: SimulatedMachine) -> None:
    api = cnc_machine.client()
    assert start_job(api, PROGRAM)
    cnc_machine.clock.advance(10)
    assert job_state(api) == "running"
    cnc_machine.clock.advance(60)
    assert job_state(api) == "done"


def test_a_program_with_an_error_is_not_started(cnc_machine: SimulatedMachine) -> None:
    api = cnc_machine.client()
    assert not start_job(api, "G1 X10 F600\nM777\n")
    assert job_state(api) == "done"


def test_an_alarm_during_the_job_is_reported(cnc_machine: SimulatedMachine) -> None:
    api = cnc_machine.client()
    cnc_machine.faults.alarm(code=2001, message="spindle overload", at_line=4)
    assert start_job(api, PROGRAM)
    cnc_machine.clock.advance(60)
    assert job_state(api) == "alarm"
    assert api.cnc_stop()  # the stop resets the alarm
    assert job_state(api) == "done"


def test_a_refused_start_is_reported(cnc_machine: SimulatedMachine) -> None:
    api = cnc_machine.client()
    cnc_machine.faults.refuse(requests="cnc.start")
    assert not start_job(api, PROGRAM)
    assert cnc_machine.requests()[-1]["fault"] == {"kind": "refuse"}


def test_a_cut_connection_reads_offline_and_a_new_one_works(cnc_machine: SimulatedMachine) -> None:
    api = cnc_machine.client()
    cnc_machine.faults.cut(mode="half")  # the next reply stops halfway and the connection closes
    assert job_state(api) == "offline"
    assert not api.is_connected
    assert job_state(cnc_machine.client()) == "done"


@pytest.mark.cnc_fleet(["mill-1", "mill-2", "lathe-1"])
def test_every_machine_of_a_cell_gets_its_job(cnc_fleet: SimulatedFleet) -> None:
    clients = {name: machine.client() for name, machine in cnc_fleet.items()}
    cnc_fleet["mill-2"].faults.emergency_stop()
    started = {name: start_job(api, PROGRAM) for name, api in clients.items()}
    assert started == {"mill-1": True, "mill-2": False, "lathe-1": True}
    assert job_state(clients["mill-2"]) == "alarm"
