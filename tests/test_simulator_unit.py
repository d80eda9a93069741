"""The simulated API server over plain sockets: reply shapes, machine behaviour, files, clients."""

import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest
from sim_helpers import Conn, MachineConfig, Simulator
from tools_helpers import wait_for

SM_IDLE, SM_HOMING, SM_JOG, SM_RUN, SM_PAUSE = 5, 6, 7, 8, 9
CS_INIT, CS_READY, CS_ERROR = 0, 1, 2


@pytest.fixture
def programs(tmp_path):
    path = tmp_path / "programs"
    path.mkdir()
    return path


@pytest.fixture
def sim(programs):
    simulator = Simulator("127.0.0.1", 0, str(programs))
    simulator.start()
    yield simulator
    simulator.stop()


@pytest.fixture
def conn(sim):
    c = Conn(sim.port)
    yield c
    c.close()


def wait_state(conn, state, timeout=3.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if conn.ask({"get": "cnc.info"})["state.machine"] == state:
            return
        time.sleep(0.02)
    pytest.fail(f"state {state} not reached")


def load(conn, text):
    """Set the program and wait for its analysis, which a busy machine finishes after the reply."""
    assert conn.ask({"cmd": "program.gcode.set.text", "text": text}) is True
    wait_for(lambda: conn.ask({"get": "compile.info"})["state"] in (CS_INIT, CS_READY, CS_ERROR), interval=0.005)


def position(conn, key="program.position"):
    return conn.ask({"get": "axes.info"})[key]


# ----- reply shapes ----------------------------------------------------------------------------


def _names(*keys):
    return set(keys)


OVERRIDE_KEYS = {
    f"{n}{s}"
    for n in ("jog", "spindle", "fast", "feed", "feed.custom.1", "feed.custom.2", "plasma.power", "plasma.voltage")
    for s in ("", ".min", ".max", ".enabled", ".locked")
}
EXTENT_KEYS = {f"{p}.{a}" for p in ("min", "max", "length") for a in "xyz"}
JOINT_KEYS = {f"{p}.{a}" for p in ("min", "max", "length") for a in "xyzabc"}
SHAPES = {
    "axes.info": {
        k: None
        for k in (
            "joint.position",
            "machine.position",
            "program.position",
            "machine.target.position",
            "program.target.position",
            "actual.velocity",
            "working.wcs",
            "working.offset",
            "dynamic.offset",
            "homing.done",
            "homing.done.mask",
        )
    },
    "cnc.info": {
        **{k: None for k in ("units.mode", "axes.mask", "state.machine", "gcode.line", "worked.time")},
        "coolant": _names("mist", "flood"),
        "lube": _names(
            "axis.cycles.made", "axis.time.to.next.cycle", "spindle.cycles.made", "spindle.time.to.next.cycle"
        ),
        "feed": _names("programmed", "target", "reference"),
        "spindle": _names("programmed", "target", "actual", "load", "torque", "status"),
        "override": OVERRIDE_KEYS,
        "tool": _names(
            "id", "slot", "type", "diameter", "offset.x", "offset.y", "offset.z", "param.1", "param.2", "param.3"
        ),
    },
    "enabled.commands": {
        k: None
        for k in (
            "cnc.continue",
            "cnc.homing",
            "cnc.jog.command",
            "cnc.mdi.command",
            "cnc.parameters",
            "cnc.pause",
            "cnc.resume",
            "cnc.resume.from.line",
            "cnc.resume.from.point",
            "cnc.start",
            "cnc.start.from.line",
            "cnc.start.from.point",
            "cnc.stop",
            "program.analysis",
            "program.analysis.abort",
            "program.gcode.add.text",
            "program.gcode.clear",
            "program.gcode.set.text",
            "program.load",
            "program.new",
            "program.save",
            "set.program.position",
        )
    },
    "compile.info": {k: None for k in ("code", "code.line", "file.line", "file.name", "message", "state")},
    "machining.info": {
        "tool.path": _names("in.fast", "in.feed", "total.path", "estimated.time", "used.tool"),
        "tcp.extents.in.fast": EXTENT_KEYS,
        "tcp.extents.in.feed": EXTENT_KEYS,
        "joints.in.fast": JOINT_KEYS,
        "joints.in.feed": JOINT_KEYS,
    },
    "system.info": {
        k: None
        for k in (
            "cnc.control.software",
            "cnc.core.version",
            "api.server.version",
            "firmware.version",
            "firmware.version.tag",
            "firmware.interface.level",
            "order.code",
            "customer.id",
            "serial.number",
            "part.number",
            "customization.number",
            "hardware.version",
            "operative.system",
            "operative.system.crc",
            "pld.version",
        )
    },
    "programmed.points": {"points": None},
    "scan3d.info": {k: None for k in ("laser.out.bit", "laser.out.umf", "laser.h.measure", "laser.z.position")},
}


@pytest.mark.parametrize("name", sorted(SHAPES))
def test_query_has_exactly_the_members_read(conn, name):
    load(conn, "T1 M3 S1000\nG0 X1 Y2\nG1 Z-1 F500")
    res = conn.ask({"get": name})
    shape = SHAPES[name]
    assert set(res) == set(shape)
    for key, members in shape.items():
        if members is not None:
            assert set(res[key]) == members, key
    if name == "machining.info":
        assert [set(t) for t in res["tool.path"]["used.tool"]] == [{"id", "in.fast", "in.feed"}]


@pytest.mark.parametrize(
    "name, length, kind",
    [
        ("digital.inputs", 128, int),
        ("digital.outputs", 128, int),
        ("analog.inputs", 16, float),
        ("analog.outputs", 16, float),
    ],
)
def test_io_lists(conn, name, length, kind):
    res = conn.ask({"get": name})
    assert set(res) == {"value"} and len(res["value"]) == length
    assert all(type(v) is kind for v in res["value"])


def test_axes_lists_and_text_members(conn):
    axes = conn.ask({"get": "axes.info"})
    assert len(axes["dynamic.offset"]) == 3 and all(type(v) is int for v in axes["actual.velocity"])
    assert all(len(axes[k]) == 6 for k in ("joint.position", "machine.position", "working.offset"))
    assert all(type(v) is str for v in conn.ask({"get": "system.info"}).values())
    assert conn.ask({"get": "cnc.info"})["worked.time"] == "00:00:00"


@pytest.mark.parametrize(
    "line",
    [
        "garbage",
        "",
        "[]",
        "{}",
        '"cnc.start"',
        '{"cmd":"no.such.command"}',
        '{"get":"cnc.start"}',
        '{"cmd":1}',
        '{"verb":"cnc.start"}',
        '{"set":"program.position", "data":{"x":nan}}',
        '{"set":"program.position", "data":{"q":1.0}}',
        '{"set":"program.position", "data":{"x":1e999}}',
        '{"set":"program.position", "data":{"x":1, "y":"2"}}',
        '{"set":"program.position", "data":{"x":NaN}}',
        '{"cmd":"cnc.homing","axes.mask":True}',
        '{"cmd":"cnc.homing","axes.mask":0}',
        '{"cmd":"cnc.jog.command","command":13}',
        '{"cmd":"cnc.jog.command","command":3.0}',
        '{"cmd":"cnc.resume", "line":None}',
        '{"cmd":"cnc.start.from.line", "line":"x"}',
        '{"set":"override", "name":"bogus", "value":5}',
        '{"set":"override", "name":"feed", "value":1.5}',
        '{"set":"override", "name":"feed"}',
        '{"set":"cnc.parameters", "address":0, "parameters":[1,"x"]}',
        '{"set":"cnc.parameters", "address":-1, "parameters":[1]}',
        '{"get":"cnc.parameters", "address":0}',
        '{"get":"cnc.parameters", "address":65535, "elements":2}',
        '{"get":"vm.geometry.info", "name":["a"b"]}',
        '{"get":"vm.geometry.info", "name":[5]}',
        '{"set":"vm.geometry.info", "data":[{"name":"t"}]}',
        '{"cmd":"program.gcode.set.text","text":null}',
        '{"cmd":"program.analysis","mode":"xx"}',
        '{"cmd":"cnc.mdi.command","command":null}',
        '{"cmd":"cnc.mdi.command","command":"G6"}',
        '{"cmd":"cnc.pause"}',
        '{"cmd":"cnc.continue"}',
        '{"cmd":"program.analysis.abort"}',
        pytest.param("[" * 100000, id="deep-nesting"),
        pytest.param(b"\xff\xfe{}", id="not-utf8"),
        pytest.param('{"cmd":"program.save","name":"a\\ud800.nc"}', id="save-lone-surrogate"),
        pytest.param('{"cmd":"program.load","name":"\\udfff"}', id="load-lone-surrogate"),
        pytest.param('{"set":"cnc.parameters","address":1,"parameters":[' + "9" * 400 + "]}", id="400-digits"),
        pytest.param('{"set":"program.position","data":{"x":' + "9" * 400 + "}}", id="400-digit-position"),
        pytest.param(
            '{"set":"vm.geometry.info","data":[{"name":"t","x":0,"y":0,"z":0,"color":' + "9" * 400 + ","
            '"scale":1,"visible":true,"edges.angle":0,"edges.visible":true}]}',
            id="400-digit-colour",
        ),
        pytest.param(
            '{"set":"vm.geometry.info","data":[{"name":"' + "n" * 257 + '","x":0,"y":0,"z":0,"color":0,'
            '"scale":1,"visible":true,"edges.angle":0,"edges.visible":true}]}',
            id="over-long-geometry-name",
        ),
        pytest.param('{"cmd":"cnc.mdi.command","command":"G1 Q\\u001b]8;;x\\u0007\\u001b[31m"}', id="mdi-escapes"),
    ],
)
def test_bad_or_refused_request_gets_false_and_connection_survives(conn, line, caplog):
    raw = line if isinstance(line, bytes) else line.encode()
    assert conn.raw(raw + b"\n") == {"res": False}
    assert conn.ask({"get": "cnc.info"})["state.machine"] == SM_IDLE
    assert not [r for r in caplog.records if r.exc_info]  # a bad request is a line of the log at most
    assert not [r for r in caplog.records if "\x1b" in r.getMessage()]  # and drives no terminal


def test_pipelined_requests_are_answered_in_order(conn):
    conn.sock.sendall(b'{"get":"scan3d.info"}\nbad\n{"cmd":"cnc.stop"}\n')
    replies = [json.loads(conn.file.readline())["res"] for _ in range(3)]
    assert "laser.out.bit" in replies[0] and replies[1:] == [False, True]


# ----- program, compile and machining ------------------------------------------------------------


@pytest.mark.parametrize(
    "text, line, words",
    [
        ("G1 X1 F100\nG6 X2", 2, "G6"),
        ("G1 X1 Q3", 1, "Q"),
        ("G0 X1\n\nM3 S100\nG1 X(unclosed", 4, "comment"),
        ("G2 X10 Y0 I1 J0", 1, "arc"),
        ("G1 X1 X2", 1, "twice"),
        ("G1 X1 F0", 1, "Feed"),
        pytest.param("G0 Y" + "9" * 400, 1, "range", id="huge-number"),
    ],
)
def test_bad_line_gives_compile_error(conn, text, line, words):
    load(conn, text)
    info = conn.ask({"get": "compile.info"})
    assert (info["state"], info["file.line"], info["code.line"]) == (CS_ERROR, line, line)
    assert words.lower() in info["message"].lower() and info["code"] != 0
    assert conn.ask({"cmd": "cnc.start"}) is False
    assert conn.ask({"get": "enabled.commands"})["cnc.start"] is False


@pytest.mark.parametrize(
    "text, state",
    [
        ("", CS_INIT),
        ("%\n(header) ; comment\nN10 G21 G90 G17 G54 T1 M6\nG0 X1 Y1\nG3 X1 Y1 I5 J0 F500\nG4 P0.1\nM30\n%", CS_READY),
    ],
)
def test_good_program_compiles(conn, text, state):
    load(conn, text)
    assert conn.ask({"get": "compile.info"}) == {
        "code": 0,
        "code.line": 0,
        "file.line": 0,
        "file.name": "",
        "message": "",
        "state": state,
    }


def test_machining_info_from_moves(conn):
    load(conn, "T1\nG0 X10\nG1 X10 Y20 F600\nT2\nG1 X0 Y20\nG20 G0 Z1")
    info = conn.ask({"get": "machining.info"})
    path = info["tool.path"]
    assert (path["in.fast"], path["in.feed"], path["total.path"]) == (35.4, 30.0, 65.4)
    assert path["estimated.time"] == "00:00:04"  # 30 mm at 600 mm/min, rapids that accelerate: 3.65 s
    assert path["used.tool"] == [
        {"id": 1, "in.fast": 10.0, "in.feed": 20.0},
        {"id": 2, "in.fast": 25.4, "in.feed": 10.0},
    ]
    feed = info["tcp.extents.in.feed"]
    assert (feed["min.x"], feed["max.y"], feed["length.x"], feed["length.z"]) == (0.0, 20.0, 10.0, 0.0)
    assert info["joints.in.fast"]["max.z"] == 25.4 and info["joints.in.fast"]["length.c"] == 0.0
    assert conn.ask({"get": "programmed.points"})["points"] == [
        [10.0, 0.0, 0.0],
        [10.0, 20.0, 0.0],
        [0.0, 20.0, 0.0],
        [0.0, 20.0, 25.4],
    ]


def test_add_text_and_clear(conn):
    load(conn, "G0 X1")
    assert conn.ask({"cmd": "program.gcode.add.text", "text": "G0 X2"}) is True
    assert len(conn.ask({"get": "programmed.points"})["points"]) == 2
    assert conn.ask({"cmd": "program.gcode.clear"}) is True
    assert conn.ask({"get": "compile.info"})["state"] == CS_INIT
    assert conn.ask({"get": "machining.info"})["tool.path"]["estimated.time"] == "00:00:00"


# ----- motion ------------------------------------------------------------------------------------


def test_program_runs_then_returns_to_idle(conn):
    load(conn, "M3 S2000\nG0 X5 Y5\nG1 X25 F3000\nG1 Y15\nM30")  # about 0.65 s
    assert conn.ask({"cmd": "cnc.start"}) is True
    info = conn.ask({"get": "cnc.info"})
    assert info["state.machine"] == SM_RUN and info["spindle"]["status"] == 2
    enabled = conn.ask({"get": "enabled.commands"})
    assert enabled["cnc.pause"] and not enabled["cnc.start"] and not enabled["program.gcode.set.text"]
    assert conn.ask({"cmd": "program.gcode.set.text", "text": ""}) is False
    started = time.monotonic()
    wait_state(conn, SM_IDLE, timeout=2.0)
    assert time.monotonic() - started < 1.5
    info = conn.ask({"get": "cnc.info"})
    assert info["gcode.line"] == 4 and info["spindle"]["status"] == 1
    assert position(conn)[:3] == [25.0, 15.0, 0.0]


def test_pause_continue_stop_resume(conn):
    load(conn, "G1 X30 F1200")  # 1.5 s
    conn.ask({"cmd": "cnc.start"})
    time.sleep(0.1)
    assert conn.ask({"cmd": "cnc.pause"}) is True
    held = position(conn)
    time.sleep(0.1)
    assert position(conn) == held and 0 < held[0] < 30
    assert conn.ask({"get": "enabled.commands"})["cnc.continue"] is True
    assert conn.ask({"cmd": "cnc.continue"}) is True
    assert conn.ask({"cmd": "cnc.stop"}) is True
    stopped = position(conn)[0]
    assert conn.ask({"get": "cnc.info"})["state.machine"] == SM_IDLE
    assert conn.ask({"get": "enabled.commands"})["cnc.resume"] is True
    assert conn.ask({"cmd": "cnc.resume"}) is True
    conn.ask({"set": "override", "name": "feed", "value": 200})
    wait_state(conn, SM_IDLE)
    assert stopped < 30 and position(conn)[0] == 30.0


@pytest.mark.parametrize("stop, optional", [("M0", False), ("M60", False), ("M1", True)])
def test_stop_code_pauses_where_the_move_before_it_ends(programs, stop, optional):
    config = MachineConfig(optional_stop=optional)
    with Simulator("127.0.0.1", 0, str(programs), speed=20.0, config=config) as simulator:
        c = Conn(simulator.port)
        load(c, f"G1 X100 F3000\n{stop}\nG1 X50\nM30")
        assert c.ask({"cmd": "cnc.start"}) is True
        wait_state(c, SM_PAUSE)
        assert position(c)[0] == 100.0 and position(c, "machine.position")[0] == 100.0
        assert c.ask({"cmd": "cnc.continue"}) is True
        assert 50.0 <= position(c)[0] <= 100.0
        wait_state(c, SM_IDLE)
        assert position(c)[0] == 50.0
        c.close()


@pytest.mark.parametrize(
    "request_, approach_x, line",
    [
        ({"cmd": "cnc.start.from.line", "line": 3}, 20.0, 3),
        ({"cmd": "cnc.resume.from.line", "line": 2}, 10.0, 2),
        ({"cmd": "cnc.start.from.point", "point": 1}, 20.0, 3),
        ({"cmd": "cnc.resume.from.point", "point": 0}, 10.0, 2),
        ({"cmd": "cnc.resume", "line": 3}, 20.0, 3),
    ],
)
def test_start_part_way_approaches_the_first_move(conn, request_, approach_x, line):
    load(conn, "G0 X10\nG0 X20\nG0 X30\nG0 Y5")
    conn.ask({"set": "override", "name": "fast", "value": 5})  # hold the approach move for a look
    assert conn.ask(request_) is True
    assert conn.ask({"get": "axes.info"})["program.target.position"][0] == approach_x
    assert conn.ask({"get": "cnc.info"})["gcode.line"] == line
    conn.ask({"set": "override", "name": "fast", "value": 100})
    wait_state(conn, SM_IDLE)
    assert position(conn)[:2] == [30.0, 5.0]


@pytest.mark.parametrize(
    "request_",
    [
        {"cmd": "cnc.start.from.line", "line": 0},
        {"cmd": "cnc.start.from.line", "line": 5},
        {"cmd": "cnc.start.from.point", "point": 4},
        {"cmd": "cnc.resume"},
    ],
)
def test_start_part_way_out_of_range(conn, request_):
    load(conn, "G0 X10\nG0 X20\nG0 X30\nG0 Y5")
    assert conn.ask(request_) is False


def test_feed_override_scales_run_time_and_stalls_at_zero(conn):
    load(conn, "G1 X10 F6000")
    assert conn.ask({"set": "override", "name": "feed", "value": 0}) is True
    conn.ask({"cmd": "cnc.start"})
    time.sleep(0.15)
    assert position(conn)[0] == 0.0
    conn.ask({"set": "override", "name": "feed", "value": 200})
    wait_state(conn, SM_IDLE, timeout=1.0)


def test_homing(conn):
    conn.ask({"cmd": "cnc.jog.command", "command": 2})
    time.sleep(0.05)
    conn.ask({"cmd": "cnc.jog.command", "command": 0})
    assert conn.ask({"cmd": "cnc.homing", "axes.mask": 7 | 512}) is True
    assert conn.ask({"get": "cnc.info"})["state.machine"] == SM_HOMING
    assert conn.ask({"cmd": "program.new"}) is False
    wait_state(conn, SM_IDLE)
    axes = conn.ask({"get": "axes.info"})
    assert (axes["homing.done.mask"], axes["homing.done"], axes["machine.position"][0]) == (7, 0, 0.0)


@pytest.mark.parametrize("command, axis, sign", [(2, 0, 1), (3, 1, -1), (12, 5, 1)])
def test_jog_moves_one_axis_until_none(conn, command, axis, sign):
    assert conn.ask({"cmd": "cnc.jog.command", "command": command}) is True
    assert conn.ask({"get": "cnc.info"})["state.machine"] == SM_JOG
    time.sleep(0.1)
    assert conn.ask({"cmd": "cnc.jog.command", "command": 0}) is True
    moved = position(conn, "machine.position")
    assert sign * moved[axis] > 0 and sum(1 for v in moved if v) == 1
    assert conn.ask({"get": "cnc.info"})["state.machine"] == SM_IDLE
    assert position(conn, "machine.position") == moved


def test_mdi(conn):
    assert conn.ask({"cmd": "cnc.mdi.command", "command": "M3 S1000 M8"}) is True
    info = conn.ask({"get": "cnc.info"})
    assert (info["spindle"]["status"], info["spindle"]["actual"], info["coolant"]["flood"]) == (2, 1000, True)
    assert conn.ask({"get": "digital.outputs"})["value"][:4] == [1, 0, 0, 1]
    assert conn.ask({"cmd": "cnc.mdi.command", "command": "G1 X5 F6000"}) is True
    wait_state(conn, SM_IDLE)
    assert position(conn)[0] == 5.0


@pytest.mark.parametrize(
    "name, value, held",
    [
        ("feed", 150, 150),
        ("feed", 500, 200),
        ("spindle", 10, 50),
        ("fast", -5, 0),
        ("jog", 40, 40),
        ("feed.custom.1", 7, 7),
        ("feed.custom.2", 300, 200),
        ("plasma.power", 60, 60),
        ("plasma.voltage", 200, 150),
    ],
)
def test_override_held_within_limits(conn, name, value, held):
    assert conn.ask({"set": "override", "name": name, "value": value}) is True
    override = conn.ask({"get": "cnc.info"})["override"]
    assert override[name] == held and override[f"{name}.min"] <= held <= override[f"{name}.max"]


def test_program_position(conn):
    assert conn.ask({"set": "program.position", "data": {"x": 10.5}}) is True
    assert conn.ask({"set": "program.position", "data": {"c": -2}}) is True
    axes = conn.ask({"get": "axes.info"})
    assert axes["program.position"] == [10.5, 0.0, 0.0, 0.0, 0.0, -2.0]
    assert axes["machine.position"] == [0.0] * 6 and axes["working.offset"][0] == -10.5


# ----- data tables -------------------------------------------------------------------------------


def test_parameters_and_geometry_round_trip(conn):
    assert conn.ask({"set": "cnc.parameters", "address": 10, "parameters": [1, 2.5, -3]}) is True
    assert conn.ask({"get": "cnc.parameters", "address": 9, "elements": 5}) == {"parameters": [0.0, 1, 2.5, -3, 0.0]}
    element = {
        "name": "table",
        "x": 1.0,
        "y": 2.0,
        "z": 3.5,
        "color": 255,
        "scale": 2.0,
        "visible": False,
        "edges.angle": 15.0,
        "edges.visible": True,
    }
    assert conn.ask({"set": "vm.geometry.info", "data": [element, {**element, "name": "extra"}]}) is True
    got = conn.ask({"get": "vm.geometry.info", "name": ["table", "nothing", "extra"]})
    assert got[0] == element and got[2]["name"] == "extra"
    assert got[1]["name"] == "" and set(got[1]) == set(element)
    many = [{**element, "name": f"e{i}"} for i in range(1024)]
    assert conn.ask({"set": "vm.geometry.info", "data": many}) is False  # the table is bounded
    assert conn.ask({"set": "vm.geometry.info", "data": [{**element, "x": 7}]}) is True  # a known name: always
    assert conn.ask({"get": "vm.geometry.info", "name": ["table"]})[0]["x"] == 7.0


# ----- program files -----------------------------------------------------------------------------


def test_save_and_load_inside_programs_dir(conn, programs):
    load(conn, "G0 X7")
    (programs / "sub").mkdir()
    assert conn.ask({"cmd": "program.save", "name": "sub/part.nc"}) is True
    assert (programs / "sub" / "part.nc").read_text() == "G0 X7"
    assert conn.ask({"cmd": "program.new"}) is True
    assert conn.ask({"cmd": "program.load", "name": "sub/part.nc"}) is True
    assert conn.ask({"get": "programmed.points"})["points"] == [[7.0, 0.0, 0.0]]
    assert conn.ask({"get": "compile.info"})["file.name"] == "sub/part.nc"
    assert conn.ask({"cmd": "program.gcode.set.text", "text": "G0 X8"}) is True  # a new text is no file
    assert conn.ask({"get": "compile.info"})["file.name"] == ""


@pytest.mark.parametrize(
    "name",
    [
        "../escape.nc",
        "/tmp/escape.nc",
        "sub/../../escape.nc",
        "out/escape.nc",
        "link.nc",
        "",
        None,
        5,
        ["a"],
        "missing/x.nc",
        "C:\\escape.nc",
        ".",
    ],
)
@pytest.mark.parametrize("command", ["program.save", "program.load"])
def test_names_outside_programs_dir_refused(conn, programs, tmp_path, command, name):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "escape.nc").write_text("G0 X1")
    os.symlink(outside, programs / "out")
    os.symlink(outside / "escape.nc", programs / "link.nc")
    load(conn, "G0 X99")
    assert conn.ask({"cmd": command, "name": name}) is False
    assert (outside / "escape.nc").read_text() == "G0 X1"
    assert not (tmp_path / "escape.nc").exists()


# ----- clients and CLI ---------------------------------------------------------------------------


def test_two_clients_share_one_machine(sim, conn):
    other = Conn(sim.port)
    try:
        assert other.ask({"set": "override", "name": "feed", "value": 42}) is True
        assert conn.ask({"get": "cnc.info"})["override"]["feed"] == 42
        errors = []

        def hammer(c):
            for _ in range(200):
                if set(c.ask({"get": "axes.info"})) != set(SHAPES["axes.info"]):
                    errors.append("shape")

        threads = [threading.Thread(target=hammer, args=(c,)) for c in (conn, other)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
    finally:
        other.close()


def test_stop_closes_client_connections(programs):
    simulator = Simulator("127.0.0.1", 0, str(programs))
    c = Conn(simulator.start())
    c.ask({"cmd": "cnc.stop"})
    simulator.stop()
    assert c.file.readline() == b""
    c.close()


def test_cli_prints_port_and_stops_on_sigterm(programs):
    proc = subprocess.Popen(
        [sys.executable, "-m", "cnc_api_simulator", "--port", "0", "--programs-dir", str(programs), "--speed", "2"],
        stdout=subprocess.PIPE,
    )
    try:
        line = proc.stdout.readline().decode()
        assert line.startswith("cnc_api_simulator listening on 127.0.0.1:")
        c = Conn(int(line.rsplit(":", 1)[1]))
        assert c.ask({"get": "compile.info"})["state"] == CS_INIT
        c.close()
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=5) == 0
    finally:
        proc.kill()
        proc.wait()
