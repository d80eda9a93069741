"""`cnc-api shell` against the simulator: lines through stdin, completion, and a session in a terminal."""

import os
import select
import subprocess
import time

import pytest
from cnc_api_tools.clibase import Target
from cnc_api_tools.cmd_shell import Shell
from fake_server import FakeServer, close, reply
from tools_helpers import cli_env, free_port, run_cli, sim  # noqa: F401
from tools_helpers import command as script

SHELL = [
    # (input lines, what the session shows on stdout or stderr)
    ("get_cnc_info", "APICncInfo: state=IDLE line=0 "),
    ("set_override_feed 80\nget_cnc_info", "True\nAPICncInfo: state=IDLE"),
    ("get_cnc_parameters(100, 2)", "parameters=[0.0, 0.0]"),
    ("cnc_homing X_AXIS_MASK | Z_AXIS_MASK", "True"),
    ("get_digital_inputs", "APIDigitalInputs: 128, on: 0"),
    ("get_vm_geometry_info ['table', 'nosuch']", "APIVMGeometryInfo: name='table' "),
    ("help cnc_jog_command", "cnc_jog_command(command: int) -> bool\n\nStart or stop a jog"),
    ("help SM_IDLE", "SM_IDLE\n\nState 5: idle"),
    ("cnc_jog_command JC_X_FW\nquit\ncnc_pause", "True\ncnc-api: ended the jog started in this session"),
    ("cnc_pause", "error: False: cnc_pause is not enabled in state IDLE"),
    ("cnc_mdi_command G0 X1", "error: arguments are Python literals"),
    ("cnc_mdi_command __import__('os').getcwd()", "error: \"__import__('os').getcwd()\" is not a literal"),
    ("get_cnc_info 1", "error: TypeError: "),
    ("nosuch 1", "error: unknown method 'nosuch'"),
    ("cnc_mdi_command '\\x1b[31m'", "error: False: the control refused cnc_mdi_command('\\x1b[31m')"),
]


@pytest.mark.parametrize(("lines", "shown"), SHELL, ids=[lines.split("\n")[0] for lines, _ in SHELL])
def test_shell_driven_through_stdin(sim, lines, shown):  # noqa: F811
    done = run_cli("shell", "--port", str(sim.port), input=lines + "\n")
    assert shown in done.stdout + done.stderr
    assert done.returncode == (1 if "error:" in shown else 0)
    assert "\x1b" not in done.stdout + done.stderr


def test_shell_connects_anew_after_the_machine_dropped_it():
    with FakeServer() as server:
        server.script(reply() + close())
        done = run_cli("shell", "--port", str(server.port), input="cnc_stop\ncnc_stop\ncnc_stop\n")
        assert server.requests == [b'{"cmd":"cnc.stop"}'] * 2  # the second went nowhere
    assert (done.returncode, done.stdout) == (1, "True\nTrue\n")
    assert done.stderr.startswith("error: False: cnc_stop failed: not connected")
    assert done.stderr.endswith(f"error: lost the connection to 127.0.0.1:{server.port}; the next line connects anew\n")


@pytest.mark.parametrize(
    ("line", "offered"),
    [
        ("get_cnc_p", ["get_cnc_parameters"]),
        ("cnc_jog_command JC_X", ["JC_X_BW", "JC_X_FW"]),
        ("cnc_homing X", ["X2C_AXIS_MASK", "X2W_AXIS_MASK", "X2Z_AXIS_MASK", "X_AXIS_MASK"]),
        ("program_analysis ANALYSIS_R", ["ANALYSIS_RF", "ANALYSIS_RT", "ANALYSIS_RV", "ANALYSIS_RZ"]),
        ("cnc_mdi_command JC_", []),  # text is no constant
        ("help cnc_start_from_", ["cnc_start_from_line", "cnc_start_from_point"]),
        ("help SM_ID", ["SM_IDLE"]),
    ],
)
def test_shell_completes_methods_and_their_arguments(line, offered):
    session = Shell(Target("127.0.0.1", free_port(), 1.0, None).machine(), interactive=False)
    text = line.rsplit(" ", 1)[-1]
    if " " not in line:
        got = session.completenames(text)
    elif line.startswith("help "):
        got = session.complete_help(text, line, len(line) - len(text), len(line))
    else:
        got = session.completedefault(text, line, len(line) - len(text), len(line))
    assert sorted(got) == offered


def test_shell_in_a_terminal_completes_and_keeps_a_bounded_history(sim, tmp_path):  # noqa: F811
    history = tmp_path / "cnc-api" / "shell_history"
    history.parent.mkdir()
    history.write_text("".join(f"old_line_{i}\n" for i in range(1500)))
    leader, follower = os.openpty()
    proc = subprocess.Popen(
        [*script(), "shell", "--port", str(sim.port)],
        env=cli_env(XDG_STATE_HOME=str(tmp_path), TERM="dumb"),
        stdin=follower,
        stdout=follower,
        stderr=follower,
        start_new_session=True,  # the terminal becomes the shell's own
    )
    os.close(follower)
    seen = b""

    def expect(text):
        nonlocal seen
        deadline = time.monotonic() + 30
        while text.encode() not in seen:
            assert time.monotonic() < deadline, seen
            if select.select([leader], [], [], 1.0)[0]:
                seen += os.read(leader, 4096)

    try:
        expect(f"cnc 127.0.0.1:{sim.port}> ")
        os.write(leader, b"get_cnc_pa\t")  # Tab completes the method's name
        expect("get_cnc_parameters")
        os.write(leader, b"(100, 1)\n")
        expect("APICncParameters: ")
        os.write(leader, b"quit\n")
        assert proc.wait(30) == 0
    finally:
        proc.kill()
        os.close(leader)
    lines = history.read_text().splitlines()
    assert lines[-2:] == ["get_cnc_parameters(100, 1)", "quit"] and len(lines) == 1000
