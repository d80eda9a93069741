"""The command line end to end against the simulator: its entry point in this process,
and the installed console script in real subprocesses where the process itself matters."""

import contextlib
import importlib.metadata
import io
import json
import os
import pty
import signal
import subprocess
import time

import cnc_api_client_core as cnc
import pytest
from cnc_api_simulator import Simulator
from cnc_api_tools.cmd_watch import render
from cnc_api_tools.machine import Machine
from cnc_api_tools.safe import printable
from fake_server import FakeServer, close, raw, reply, respond, silence
from rich.console import Console
from tools_helpers import (  # noqa: F401
    HOSTILE,
    SAMPLE,
    cli_env,
    cnc_api,
    cnc_api_popen,
    command,
    free_port,
    hostile_answer,
    run_cli,
    sim,
    wait_for,
)

COMMANDS = [
    "dashboard",
    "mqtt",
    "opcua",
    "status",
    "watch",
    "run",
    "mdi",
    "home",
    "stop",
    "pause",
    "resume",
    "override",
    "param",
    "geometry",
    "record",
    "sim",
    "export",
    "raw",
    "io",
    "jog",
    "program",
    "start",
    "shell",
]


def test_version_is_the_distributions():
    done = cnc_api("--version")
    assert done.returncode == 0
    assert done.stdout.strip() == f"cnc-api {importlib.metadata.version('cnc_api_client_core')}"


def test_help_lists_every_command():
    done = cnc_api("--help")
    assert done.returncode == 0
    listed = {line.split()[0] for line in done.stdout.split("Commands:")[1].splitlines() if line.strip()}
    assert listed == set(COMMANDS)


UNREACHABLE = [
    ["status"],
    ["status", "--json"],
    ["stop"],
    ["pause"],
    ["resume"],
    ["mdi", "G0 X1"],
    ["home"],
    ["override"],
    ["override", "feed", "50"],
    ["param", "get", "1"],
    ["param", "set", "1", "2"],
    ["geometry", "get", "table"],
    ["record", "--duration", "1"],
    ["run", SAMPLE],
    ["run", "--load", "part.nc"],
    ["raw", '{"get":"cnc.info"}'],
    ["io"],
    ["jog", "X+", "--for", "1"],
    ["program", "new"],
    ["program", "load", "part.nc"],
    ["program", "save", "part.nc"],
    ["program", "analysis"],
    ["start", "--from-line", "2"],
    ["resume", "--from-line", "2"],
    ["shell"],
]


@pytest.mark.parametrize("args", UNREACHABLE, ids=[" ".join(a) for a in UNREACHABLE])
def test_unreachable_machine_is_one_line_and_exit_3(args):
    port = free_port()
    done = run_cli(*args, "--port", str(port), "--timeout", "2")
    assert done.returncode == 3
    assert done.stderr == f"cnc-api: cannot reach 127.0.0.1:{port}: connection refused\n"
    assert done.stdout == ""


def test_the_script_exits_with_the_status_main_returns():
    port = free_port()
    done = cnc_api("status", "--port", str(port), "--timeout", "2")
    assert (done.returncode, done.stdout) == (3, "")
    assert done.stderr == f"cnc-api: cannot reach 127.0.0.1:{port}: connection refused\n"


def test_unreachable_by_name():
    done = run_cli("status", "--host", "no-such-host.invalid", "--timeout", "2")
    assert done.returncode == 3
    assert done.stderr.startswith("cnc-api: cannot reach no-such-host.invalid:8000: unknown host")
    assert done.stderr.count("\n") == 1


def status(port):
    done = run_cli("status", "--json", "--port", str(port))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_status_json(sim):  # noqa: F811
    data = status(sim.port)
    assert data["machine"] == f"127.0.0.1:{sim.port}"
    assert (data["state"], data["state_code"], data["condition"]) == ("IDLE", cnc.SM_IDLE, "idle")
    assert data["compile"]["state"] == "INIT"
    assert data["overrides"]["feed"] == {"value": 100, "min": 0, "max": 200, "enabled": True, "locked": False}
    assert set(data["position"]["machine"]) == set("xyzabc")
    assert data["spindle"]["status"] == "OFF"


def test_status_for_a_person(sim):  # noqa: F811
    done = run_cli("status", "--host", f"127.0.0.1:{sim.port}")  # HOST:PORT in --host
    assert done.returncode == 0
    for label in ("state", "IDLE (idle)", "program position", "overrides", "compile", "INIT"):
        assert label in done.stdout


@pytest.mark.parametrize(
    ("name", "value", "held", "note"),
    [
        ("feed", "80", 80, False),
        ("spindle", "60", 60, False),
        ("feed", "250", 200, True),
        ("plasma-voltage", "10", 50, True),
        ("feed-custom-2", "150", 150, False),
    ],
)
def test_override_sets_and_reads_back(sim, name, value, held, note):  # noqa: F811
    done = run_cli("override", name, value, "--port", str(sim.port))
    assert done.returncode == 0
    assert f"{held}%" in done.stdout
    assert ("holds" in done.stderr) is note
    assert status(sim.port)["overrides"][name]["value"] == held


REFUSED = [
    (["pause"], "cnc_pause is not enabled in state IDLE"),
    (["start"], "cnc_start is not enabled in state IDLE: no program is loaded"),
    (["start", "--from-line", "2"], "cnc_start_from_line is not enabled in state IDLE: no program is loaded"),
    (["resume", "--from-line", "2"], "cnc_resume_from_line is not enabled in state IDLE: no program is loaded"),
    (["program", "analysis"], "program_analysis is not enabled in state IDLE: no program is loaded"),
    (["program", "analysis", "--abort"], "program_analysis_abort is not enabled in state IDLE"),
    (
        ["program", "load", "nosuch.nc"],
        "the control refused program_load('nosuch.nc') in state IDLE: it could not load that file "
        "(a path as the control sees it)",
    ),
]


@pytest.mark.parametrize(("args", "reason"), REFUSED, ids=[" ".join(a) for a, _ in REFUSED])
def test_refused_command_says_why(sim, args, reason):  # noqa: F811
    done = run_cli(*args, "--port", str(sim.port))
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == f"cnc-api: {reason}\n"


def test_mdi_moves_and_waits(sim):  # noqa: F811
    done = run_cli("mdi", "G0 X10 Y5", "G1 Z-2 F3000", "--port", str(sim.port))
    assert done.returncode == 0, done.stderr
    pos = status(sim.port)["position"]["program"]
    assert (pos["x"], pos["y"], pos["z"]) == (10.0, 5.0, -2.0)


def test_mdi_syntax_error_is_refused(sim):  # noqa: F811
    done = run_cli("mdi", "G1 Q5", "--port", str(sim.port))
    assert done.returncode == 1 and done.stderr.startswith("cnc-api: the control refused cnc_mdi_command('G1 Q5')")
    assert "it did not accept the line" in done.stderr


@pytest.mark.parametrize(("axes", "mask"), [("", 63), ("XZ", 5), ("y", 2)])
def test_home(sim, axes, mask):  # noqa: F811
    done = run_cli("home", *([axes] if axes else []), "--port", str(sim.port))
    assert done.returncode == 0, done.stderr
    c = cnc.CncAPIClientCore()
    assert c.connect("127.0.0.1", sim.port)
    assert c.get_axes_info().homing_done_mask == mask


def test_home_rejects_other_letters():
    done = run_cli("home", "XQ")
    assert done.returncode == 2 and "unknown axis 'Q'" in done.stderr


def test_pause_resume_stop_drive_a_running_program():
    with Simulator(port=0, speed=0.2) as s:
        port = str(s.port)
        c = cnc.CncAPIClientCore()
        assert c.connect("127.0.0.1", s.port)
        assert c.program_gcode_set_text("G1 X100 F600\n") and c.cnc_start()
        assert run_cli("pause", "--port", port).returncode == 0
        assert c.get_cnc_info().state_machine == cnc.SM_PAUSE
        assert run_cli("resume", "--port", port).returncode == 0
        assert c.get_cnc_info().state_machine == cnc.SM_RUN
        assert run_cli("stop", "--port", port).stdout == "stopped\n"
        assert c.get_cnc_info().state_machine == cnc.SM_IDLE
        assert run_cli("resume", "--port", port).returncode == 0  # resumes the stopped program
        assert c.get_cnc_info().state_machine == cnc.SM_RUN
        c.cnc_stop()


def test_program_save_load_analyse_and_start_from_a_line():
    with Simulator(port=0, speed=0.2) as s:
        port = str(s.port)
        c = cnc.CncAPIClientCore()
        assert c.connect("127.0.0.1", s.port)
        assert c.program_gcode_set_text("G1 X100 F600\nG1 Y100\nG1 X0\n")
        for args, out in [
            (["program", "save", "part.nc"], "saved part.nc\n"),
            (["program", "new"], "new program\n"),
            (["program", "load", "part.nc"], "loaded part.nc\n"),
            (["start", "--from-line", "2"], "started from line 2\n"),
            (["stop"], "stopped\n"),
            (["resume", "--from-line", "3"], "resumed\n"),
        ]:
            if args[0] == "start":
                done = run_cli("program", "analysis", "--port", port)
                assert done.returncode == 0, done.stderr
                assert (
                    done.stdout.startswith("APICompileInfo: state=") and "APIMachiningInfo: estimated=" in done.stdout
                )
            done = run_cli(*args, "--port", port)
            assert (done.returncode, done.stdout) == (0, out), done.stderr
            info = c.get_cnc_info()
            if args[0] in ("start", "resume"):
                assert info.state_machine == cnc.SM_RUN and info.gcode_line == int(args[2])
        c.cnc_stop()


def test_io_shows_what_the_machine_reports(sim):  # noqa: F811
    assert run_cli("home", "X", "--port", str(sim.port)).returncode == 0
    done = run_cli("io", "--port", str(sim.port))
    assert done.stdout.splitlines()[0] == "digital inputs   128, on: 0 1"
    assert "analog inputs    0=24  1=0  2=0" in done.stdout
    values = json.loads(run_cli("io", "--json", "--port", str(sim.port)).stdout)
    assert [len(values[k]) for k in ("digital_inputs", "digital_outputs", "analog_inputs", "analog_outputs")] == [
        128,
        128,
        16,
        16,
    ]


@pytest.mark.parametrize(
    ("motion", "extra", "sig", "status"),
    [
        ("X-", ["--for", "0.3"], None, 0),
        ("y+", [], signal.SIGINT, 0),
        ("Z_FW", ["--for", "600"], signal.SIGINT, 130),
        ("A+", [], signal.SIGHUP, 0),
    ],
)
def test_jog_ends_at_its_time_or_on_a_signal(sim, motion, extra, sig, status):  # noqa: F811
    c = cnc.CncAPIClientCore()
    assert c.connect("127.0.0.1", sim.port)
    proc = cnc_api_popen("jog", motion, *extra, "--port", str(sim.port))
    try:
        if sig is not None:
            wait_for(lambda: c.get_cnc_info().state_machine == cnc.SM_JOG)
            proc.send_signal(sig)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    axis = "xyza".index(motion[0].lower())
    assert (proc.returncode, err) == (status, "")
    assert out.startswith(f"jogged {motion[0].upper()}{'-' if motion.endswith(('-', 'BW')) else '+'} for ")
    assert c.get_cnc_info().state_machine == cnc.SM_IDLE
    assert c.get_axes_info().machine_position[axis] != 0.0


def test_jog_of_a_machine_that_falls_silent_is_ended_through_a_new_connection():
    with FakeServer() as server:
        server.script(reply(), silence())  # the jog is accepted, then the status query goes unanswered
        done = run_cli("jog", "X+", "--port", str(server.port), "--timeout", "1")
        requests = server.requests
    assert (done.returncode, done.stdout) == (3, "")
    assert done.stderr == f"cnc-api: no reply from 127.0.0.1:{server.port} within 1 s; the jog was ended\n"
    assert requests[0] == b'{"cmd":"cnc.jog.command","command":2}'
    assert requests[-1] == b'{"cmd":"cnc.jog.command","command":0}'


def test_param_round_trip(sim):  # noqa: F811
    assert run_cli("param", "set", "200", "1", "2.5", "-3", "--port", str(sim.port)).returncode == 0
    done = run_cli("param", "get", "200", "3", "--json", "--port", str(sim.port))
    assert json.loads(done.stdout) == {"200": 1, "201": 2.5, "202": -3}
    done = run_cli("param", "get", "201", "--port", str(sim.port))
    assert done.stdout == "201\t2.5\n"


def test_param_set_rejects_text():
    done = run_cli("param", "set", "1", "abc")
    assert done.returncode == 2 and "'abc' is not a number" in done.stderr


def test_geometry_get(sim):  # noqa: F811
    done = run_cli("geometry", "get", "table", "--json", "--port", str(sim.port))
    [element] = json.loads(done.stdout)
    assert element["name"] == "table" and element["has_data"] is True


def test_geometry_names_the_machine_does_not_have(sim):  # noqa: F811
    done = run_cli("geometry", "get", "table", "nosuch", "--port", str(sim.port))
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == (
        f"cnc-api: 127.0.0.1:{sim.port} has no geometry element 'nosuch' "
        "(it has: base, table, bridge, carriage, spindle, tool)\n"
    )
    listed = json.loads(run_cli("geometry", "list", "--json", "--port", str(sim.port)).stdout)
    assert [e["name"] for e in listed] == ["base", "table", "bridge", "carriage", "spindle", "tool"]


@pytest.mark.parametrize("how", ["flag", "file", "env"])
def test_trace_shows_the_exact_request_bytes(sim, tmp_path, how):  # noqa: F811
    path = tmp_path / "trace.log"
    extra, env = [], cli_env()
    if how == "flag":
        extra = ["--trace"]
    elif how == "file":
        extra = ["--trace-file", str(path)]
    else:
        env = cli_env(CNC_API_TRACE=str(path))
    done = run_cli("override", "feed", "55", "--port", str(sim.port), *extra, env=env)
    assert done.returncode == 0
    text = done.stderr if how == "flag" else path.read_text()
    assert f'127.0.0.1:{sim.port} -> {{"set":"override", "name":"feed", "value":55}}\n' in text
    assert f'127.0.0.1:{sim.port} -> {{"get":"cnc.info"}}\n' in text
    assert '<- {"res":true} (' in text


def test_sim_delegates_to_the_simulator():
    assert "--programs-dir" in run_cli("sim", "--help").stdout
    refused = run_cli("sim", "--port", "99999")
    assert refused.returncode == 2 and refused.stderr.startswith("python -m cnc_api_simulator: error: argument --port")
    assert refused.stderr.count("\n") == 1
    proc = cnc_api_popen("sim", "--port", "0", "--speed", "2")
    try:
        line = proc.stdout.readline()
        assert line.startswith("cnc_api_simulator listening on 127.0.0.1:")
        port = int(line.rsplit(":", 1)[1])
        assert status(port)["state"] == "IDLE"
    finally:
        proc.send_signal(signal.SIGINT)
        assert proc.wait(10) == 0


def test_sim_rejects_what_the_simulator_rejects():
    done = run_cli("sim", "--speed", "-1")
    assert done.returncode == 2 and "must be a positive number" in done.stderr


def test_usage_errors_exit_2():
    assert run_cli("override", "warp", "5").returncode == 2
    assert run_cli("run").returncode == 2
    alone = run_cli("param")  # a group without its command answers with its help
    assert alone.returncode == 2 and "Commands:" in alone.stderr and "\\x0a" not in alone.stderr


@pytest.mark.parametrize(
    "before",
    [
        ["--port", "{port}"],
        ["--host", "127.0.0.1:{port}"],
        ["--host", "[127.0.0.1]:{port}", "--trace"],
        ["--port", "1", "--timeout", "2"],  # the command's own --port wins
    ],
)
def test_connection_options_before_the_command(sim, before):  # noqa: F811
    args = [a.format(port=sim.port) for a in before]
    done = run_cli(*args, "status", "--json", *(["--port", str(sim.port)] if "1" in args else []))
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["machine"] == f"127.0.0.1:{sim.port}"
    assert ('-> {"get":"cnc.info"}' in done.stderr) is ("--trace" in args)


def test_a_v6_address_with_its_port():
    port = free_port()
    done = run_cli("status", "--host", f"[::1]:{port}", "--timeout", "2")
    assert done.returncode == 3
    assert done.stderr.startswith(f"cnc-api: cannot reach [::1]:{port}: ")


WRONG_USAGE = [
    ["status", "--timeout", "inf"],
    ["status", "--timeout", "1e400"],
    ["--timeout", "nan", "status"],
    ["run", SAMPLE, "--poll", "inf"],
    ["run", SAMPLE, "--compile-timeout", "nan"],
    ["watch", "--rate", "nan"],
    ["record", "--duration", "nan"],
    ["mdi", "G0 X1", "--wait-timeout", "-inf"],
    ["home", ""],
    ["mdi", ""],
    ["mdi", "G0 X1", "  "],
    ["status", "--trace-file", "/nonexistent-folder/trace.log"],
    ["geometry", "get", ""],
    ["raw", "[1]"],
    ["raw", "get cnc.info"],
    ["raw", '{"get":"cnc.info"}\n{"cmd":"cnc.start"}'],
    ["raw", "{}", "--max-reply", "0"],
    ["raw", "[" * 20000 + "]" * 20000],
    ["jog", "Q+"],
    ["jog", "X"],
    ["jog", "NONE"],
    ["jog", "X+", "--for", "0"],
    ["jog", "X+", "--for", "nan"],
    ["program", "load", ""],
    ["program", "save", " "],
    ["start", "--from-line", "0"],
    ["resume", "--line", "2", "--from-line", "2"],
    ["no-such-command"],
    ["status", "--no-such-option"],
    ["geometry", "get"],
    ["override", "feed", "abc"],
    ["run", SAMPLE, "--max-size", "99999999999999999999999"],
    ["--host", "", "status"],
    ["--host", "[::1", "status"],
    ["watch", "[::1]x:8000"],
    ["run", SAMPLE, "--encoding", "rot13"],
    ["run", SAMPLE, "--encoding", "base64"],
    ["param", "set", "1", "2", "nan"],
    ["param", "set", "1", "1e400"],
]


@pytest.mark.parametrize("args", WRONG_USAGE, ids=[" ".join(a)[:40] for a in WRONG_USAGE])
def test_values_that_cannot_work_are_wrong_usage(args):
    done = run_cli(*args, "--port", str(free_port()))
    assert done.returncode == 2, done.stderr
    assert done.stderr.startswith("cnc-api: error: ") and done.stderr.count("\n") == 1, done.stderr
    assert done.stderr.rstrip().endswith(" --help)")


def test_record_into_a_full_device_fails_in_one_line(sim):  # noqa: F811
    done = run_cli("record", "--duration", "0.3", "-o", "/dev/full", "--port", str(sim.port))
    assert (done.returncode, done.stderr) == (1, "cnc-api: cannot write /dev/full: No space left on device\n")


def test_a_trace_into_a_full_device_does_not_end_in_a_traceback(sim):  # noqa: F811
    done = cnc_api("status", "--trace-file", "/dev/full", "--port", str(sim.port))  # its end runs at exit
    assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.parametrize(
    ("answer", "message"),
    [
        (silence(), "no reply from 127.0.0.1:{port} within 1 s"),
        (
            reply(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n") + close(),
            '127.0.0.1:{port} sent no usable status: it answered "HTTP/1.1 400 Bad Request", which is not this API',
        ),
        (
            reply(b"[" * 5000 + b"\n") + close(),
            f'127.0.0.1:{{port}} sent no usable status: it answered "{"[" * 60} ...", which is not this API',
        ),
    ],
    ids=["silent", "http", "deep"],
)
@pytest.mark.parametrize(
    "args", [["status"], ["override", "feed", "50"], ["param", "get", "1"], ["mdi", "G0 X1"], ["geometry", "get", "t"]]
)
def test_a_server_that_does_not_answer_as_this_api(answer, message, args):
    with FakeServer(default=answer) as server:
        started = time.monotonic()
        done = run_cli(*args, "--port", str(server.port), "--timeout", "1")
        took = time.monotonic() - started
    # The watchdog shuts the socket at the deadline; a module that ends the pending call late
    # on a shut socket still keeps within a second more.
    assert took <= 2.0
    assert done.returncode == 3, done.stderr
    if args == ["status"] or answer.name == "silence()":
        assert done.stderr == f"cnc-api: {message.format(port=server.port)}\n"
    else:  # found by a command or query of its own, then named by what the server says
        assert done.stderr.endswith(message.split(": ", 1)[1].format(port=server.port) + "\n"), done.stderr


SHOWING = [
    ["status"],
    ["io"],
    ["program", "analysis"],
    ["geometry", "get", "table"],
    ["param", "get", "5"],
    ["run", SAMPLE],
    ["mdi", "G0 X1"],
    ["watch"],
]


@pytest.mark.parametrize("text", HOSTILE, ids=["close-tag", "link", "style", "escapes"])
@pytest.mark.parametrize("args", SHOWING, ids=[" ".join(a) for a in SHOWING])
def test_text_from_the_control_is_shown_as_it_is(text, args):
    with FakeServer(default=respond(hostile_answer(text))) as server:
        if args == ["watch"]:
            m = Machine("127.0.0.1", server.port)
            console = Console(width=100, record=True, highlight=False, file=io.StringIO())
            console.print(render([m], [m.poll(compile=True)], 2.0, console))
            m.close()
            out, err = console.export_text(), ""
        else:
            done = run_cli(*args, "--port", str(server.port))
            assert done.returncode in (0, 1), done.stderr
            out, err = done.stdout, done.stderr
    shown = out + err
    assert "Traceback" not in shown and "\x1b" not in shown
    # Long texts may wrap in a table cell: compare without line breaks and padding.
    assert printable(text) in "".join(part.strip() for part in shown.splitlines())


RAW = [
    # (the server's answer, exit status, stdout, stderr)
    (reply(b'{"res": [1, 2]}'), 0, '{"res": [1, 2]}\n', ""),
    (reply(b'{"res":"\x1b[31m\xff"}'), 0, '{"res":"\\x1b[31m\\xff"}\n', ""),
    (reply(b"[link=x]not json"), 0, "[link=x]not json\n", ""),
    (raw(b'{"res":tr') + close(), 3, '{"res":tr\n', "the connection closed after 9 bytes without ending the line"),
    (raw(b'{"res":') + silence(), 3, '{"res":\n', "no whole reply line within 1 s (7 bytes came)"),
    (reply(b"x" * 2000), 1, "x" * 1024 + "\n", "the reply line is longer than 1.0 KB (--max-reply): cut there"),
]


@pytest.mark.parametrize(("answer", "status", "out", "err"), RAW, ids=[str(i) for i in range(len(RAW))])
def test_raw_sends_the_line_as_typed_and_shows_the_reply_as_it_came(answer, status, out, err):
    with FakeServer(default=answer) as server:
        done = run_cli("raw", '{"get" : "cnc.info"}', "--port", str(server.port), "--timeout", "1", "--max-reply", "1K")
        assert server.requests == [b'{"get" : "cnc.info"}']
    assert (done.returncode, done.stdout) == (status, out)
    assert done.stderr == (f"cnc-api: {err}\n" if err else "")


def test_raw_traces_what_it_sends_and_gets(sim, tmp_path):  # noqa: F811
    path = tmp_path / "trace.log"
    done = run_cli("raw", '{"cmd":"cnc.pause"}', "--port", str(sim.port), "--trace-file", str(path))
    assert (done.returncode, done.stdout) == (0, '{"res":false}\n')
    text = path.read_text()
    assert f'127.0.0.1:{sim.port} -> {{"cmd":"cnc.pause"}}\n' in text
    assert f'127.0.0.1:{sim.port} <- {{"res":false}} (' in text


def test_record_on_a_terminal_shows_no_control_sequence():
    text = HOSTILE[-1]  # an escape sequence for a hyperlink and a colour
    master, slave = pty.openpty()
    try:
        with FakeServer(default=respond(hostile_answer(text))) as server:
            args = ["record", "--duration", "0.3", "-f", "gcode_line", "--port", str(server.port)]
            proc = subprocess.Popen([*command(), *args], stdout=slave, stderr=subprocess.DEVNULL, env=cli_env())
            os.close(slave)
            chunks = []
            with contextlib.suppress(OSError):  # EIO once the command has ended and closed its side
                while chunk := os.read(master, 4096):
                    chunks.append(chunk)
            assert proc.wait(60) == 0
    finally:
        os.close(master)
    shown = b"".join(chunks).decode()
    assert "\x1b" not in shown and printable(text) in shown
