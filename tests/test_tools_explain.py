import json

import cnc_api_client_core as cnc
import pytest
from cnc_api_tools import CommandRefused, checked_call, explain_refusal
from fake_server import FakeServer, respond
from tools_helpers import SAMPLE, sim, sim_replies, wait_for  # noqa: F401


def scripted_control(tmp_path, cnc_info=None, enabled=None, compile_info=None, command_result=False):
    """A fake control whose queries answer from the simulator's model with some members replaced."""
    base = sim_replies()
    replies = {
        "cnc.info": {**base["cnc.info"], **(cnc_info or {})},
        "enabled.commands": {**base["enabled.commands"], **(enabled or {})},
        "compile.info": {**base["compile.info"], **(compile_info or {})},
    }
    if cnc_info and "override" in cnc_info:
        replies["cnc.info"]["override"] = {**base["cnc.info"]["override"], **cnc_info["override"]}

    def answer(request: bytes):
        req = json.loads(request)
        if "get" in req:
            return {"res": replies[req["get"]]}
        return {"res": command_result}

    return FakeServer(default=respond(answer))


def explain_on(server, command, *args):
    c = cnc.CncAPIClientCore()
    assert c.connect(server.host, server.port)
    try:
        assert getattr(c, command)(*args) is False
        return explain_refusal(c, command, *args)
    finally:
        c.close()


CASES = [
    pytest.param(
        dict(
            enabled={"cnc.start": False},
            compile_info={
                "state": cnc.CS_ERROR,
                "code": 3,
                "message": "Unknown word Q",
                "file.name": "part.nc",
                "file.line": 12,
            },
        ),
        "cnc_start",
        (),
        "cnc_start is not enabled in state IDLE: the program does not compile: Unknown word Q (code 3) at part.nc:12",
        id="compile-error",
    ),
    pytest.param(
        dict(enabled={"cnc.start": False}, compile_info={"state": cnc.CS_FIRST_STEP_RUNNING}),
        "cnc_start",
        (),
        "still being compiled (FIRST_STEP_RUNNING)",
        id="compiling",
    ),
    pytest.param(
        dict(
            enabled={"cnc.start": False}, cnc_info={"state.machine": cnc.SM_ALARM}, compile_info={"state": cnc.CS_READY}
        ),
        "cnc_start",
        (),
        "not enabled in state ALARM: the machine is in alarm",
        id="alarm",
    ),
    pytest.param(
        dict(enabled={"cnc.homing": 3}),
        "cnc_homing",
        (7,),
        "cnc_homing is not enabled for axes Z in state IDLE",
        id="homing-axes",
    ),
    pytest.param(
        dict(enabled={"set.program.position": 7}),
        "set_program_position_a",
        (1.0,),
        "set_program_position_a is not enabled for axes A",
        id="position-axis",
    ),
    pytest.param(
        dict(cnc_info={"override": {"feed.locked": True}}),
        "set_override_feed",
        (50,),
        "set_override_feed refused: the override_feed override is locked",
        id="override-locked",
    ),
    pytest.param(
        dict(),
        "set_override_feed",
        (250,),
        "set_override_feed refused: 250 is outside the override_feed range 0..200",
        id="override-range",
    ),
    pytest.param(
        dict(cnc_info={"override": {"spindle.enabled": False}}),
        "set_override_spindle",
        (90,),
        "the override_spindle override is not enabled",
        id="override-disabled",
    ),
    pytest.param(
        dict(enabled={"cnc.start": True}, compile_info={"state": cnc.CS_READY}),
        "cnc_start",
        (),
        "the control refused cnc_start() in state IDLE; it reports cnc_start enabled now",
        id="enabled-now",
    ),
    pytest.param(
        dict(compile_info={"state": cnc.CS_READY}),
        "cnc_mdi_command",
        ("G1 Q5",),
        "the control refused cnc_mdi_command('G1 Q5') in state IDLE: it did not accept the line (MDI is enabled",
        id="mdi-line",
    ),
    pytest.param(
        dict(enabled={"cnc.mdi.command": False}, cnc_info={"state.machine": cnc.SM_RUN}),
        "cnc_mdi_command",
        ("G0 X1",),
        "cnc_mdi_command is not enabled in state RUN: the machine is busy",
        id="mdi-busy",
    ),
    pytest.param(
        dict(compile_info={"state": cnc.CS_ERROR, "message": "Unknown word Q", "file.name": "MDI", "file.line": 1}),
        "cnc_mdi_command",
        ("G1 Q5",),
        "it did not accept the line (MDI is enabled; check the line's codes and values); "
        "the program does not compile: Unknown word Q at MDI:1",
        id="mdi-compile-result",
    ),
    pytest.param(
        dict(cnc_info={"state.machine": 250}, enabled={"cnc.pause": False}),
        "cnc_pause",
        (),
        "cnc_pause is not enabled in state UNKNOWN_250",
        id="unknown-state",
    ),
    pytest.param(
        dict(compile_info={"state": cnc.CS_READY}),
        "program_gcode_set_text",
        ("G0 X1\n" * 100_000,),
        "refused program_gcode_set_text('G0 X1\\nG0 X1\\nG0 X1\\nG0 X1\\nG0 X1\\nG0 X1\\nG0... (700002 chars))",
        id="a-whole-program",
    ),
]


@pytest.mark.parametrize(("control", "command", "args", "expected"), CASES)
def test_reasons_from_what_the_control_reports(tmp_path, control, command, args, expected):
    with scripted_control(tmp_path, **control) as server:
        assert expected in explain_on(server, command, *args)


def test_no_program_loaded(sim):  # noqa: F811
    c = cnc.CncAPIClientCore()
    assert c.connect("127.0.0.1", sim.port)
    assert c.cnc_start() is False
    assert explain_refusal(c, "cnc_start") == "cnc_start is not enabled in state IDLE: no program is loaded"


def test_start_right_after_analysis_is_accepted(sim):  # noqa: F811
    c = cnc.CncAPIClientCore()
    assert c.connect("127.0.0.1", sim.port)
    with open(SAMPLE) as f:
        assert c.program_gcode_set_text(f.read())
    assert c.program_analysis(cnc.ANALYSIS_MT)
    wait_for(lambda: c.get_compile_info().state == cnc.CS_READY)  # a busy machine may reply before it is through
    checked_call(c, "cnc_start")  # raises when refused
    with pytest.raises(CommandRefused) as err:
        checked_call(c, "cnc_start")  # already running
    assert err.value.command == "cnc_start"
    assert "not enabled in state RUN" in err.value.reason


def test_compile_error_of_a_real_program(sim):  # noqa: F811
    c = cnc.CncAPIClientCore()
    assert c.connect("127.0.0.1", sim.port)
    assert c.program_gcode_set_text("G0 X0\nG1 X5 F100\nG1 Q7\n")
    wait_for(lambda: c.get_compile_info().state == cnc.CS_ERROR)
    assert "does not compile: line 3 at 'Q7'" in explain_refusal(c, "cnc_start")
    assert ":3" in explain_refusal(c, "cnc_start")


@pytest.mark.parametrize("close_first", [True, False], ids=["closed", "never-connected"])
def test_not_connected(close_first, sim):  # noqa: F811
    c = cnc.CncAPIClientCore()
    if close_first:
        assert c.connect("127.0.0.1", sim.port) and c.close()
    assert c.cnc_stop() is False
    assert "not connected to the API server" in explain_refusal(c, "cnc_stop")


@pytest.mark.parametrize("code", [13, -1, 2.5])
def test_jog_codes_outside_the_range_are_refused_before_sending(code, sim):  # noqa: F811
    c = cnc.CncAPIClientCore()
    assert c.connect("127.0.0.1", sim.port)
    assert c.cnc_jog_command(code) is False
    assert "is not a jog code (0..12); nothing was sent" in explain_refusal(c, "cnc_jog_command", code)


def test_checked_call_passes_a_true_result_through(sim):  # noqa: F811
    c = cnc.CncAPIClientCore()
    assert c.connect("127.0.0.1", sim.port)
    checked_call(c, "set_override_feed", 80)
    assert c.get_cnc_info().override_feed == 80
