"""Command methods: the request line each one writes, how its argument is spliced
in, which arguments are refused before anything is sent, and the verdict."""

import json

import cnc_api_client_core as cnc
import pytest
from conftest import SENTINEL, send, wire
from fake_server import FakeServer, reply

NAN, INF = float("nan"), float("inf")
NO_ARG = object()


class Text(str):
    pass


class Real:
    def __float__(self):
        return 2.5


def raised(func):
    """The exception the interpreter itself raises for `func()`."""
    try:
        func()
    except Exception as e:
        return e
    raise AssertionError("no error")


def override(name, value):
    return b'{"set":"override", "name":"' + name + b'", "value":' + value + b"}"


def position(axis, value):
    return b'{"set":"program.position", "data":{"' + axis + b'":' + value + b"}}"


# Every command method: its parameter (None: takes none), a typical argument and
# the request line it must produce.
COMMANDS = [
    ("cnc_continue", None, NO_ARG, b'{"cmd":"cnc.continue"}'),
    ("cnc_homing", "axes_mask", cnc.X2Z_AXIS_MASK, b'{"cmd":"cnc.homing","axes.mask":7}'),
    ("cnc_jog_command", "command", cnc.JC_C_FW, b'{"cmd":"cnc.jog.command","command":12}'),
    ("cnc_mdi_command", "command", "G0 X1", b'{"cmd":"cnc.mdi.command","command":"G0 X1"}'),
    ("cnc_pause", None, NO_ARG, b'{"cmd":"cnc.pause"}'),
    ("cnc_resume", "line", 12, b'{"cmd":"cnc.resume", "line":12}'),
    ("cnc_resume_from_line", "line", 12, b'{"cmd":"cnc.resume.from.line", "line":12}'),
    ("cnc_resume_from_point", "point", 3, b'{"cmd":"cnc.resume.from.point", "point":3}'),
    ("cnc_start", None, NO_ARG, b'{"cmd":"cnc.start"}'),
    ("cnc_start_from_line", "line", 5, b'{"cmd":"cnc.start.from.line", "line":5}'),
    ("cnc_start_from_point", "point", 6, b'{"cmd":"cnc.start.from.point", "point":6}'),
    ("cnc_stop", None, NO_ARG, b'{"cmd":"cnc.stop"}'),
    ("program_analysis", "mode", cnc.ANALYSIS_RT, b'{"cmd":"program.analysis","mode":"rt"}'),
    ("program_analysis_abort", None, NO_ARG, b'{"cmd":"program.analysis.abort"}'),
    ("program_gcode_add_text", "text", "G1 X1", b'{"cmd":"program.gcode.add.text","text":"G1 X1"}'),
    ("program_gcode_clear", None, NO_ARG, b'{"cmd":"program.gcode.clear"}'),
    ("program_gcode_set_text", "text", "G0\nG1", b'{"cmd":"program.gcode.set.text","text":"G0\\nG1"}'),
    ("program_new", None, NO_ARG, b'{"cmd":"program.new"}'),
    ("program_load", "file_name", "a.nc", b'{"cmd":"program.load","name":"a.nc"}'),
    ("program_save", "file_name", "b.nc", b'{"cmd":"program.save","name":"b.nc"}'),
    ("set_override_fast", "value", 50, override(b"fast", b"50")),
    ("set_override_feed", "value", 50, override(b"feed", b"50")),
    ("set_override_feed_custom_1", "value", 51, override(b"feed.custom.1", b"51")),
    ("set_override_feed_custom_2", "value", 52, override(b"feed.custom.2", b"52")),
    ("set_override_jog", "value", 53, override(b"jog", b"53")),
    ("set_override_plasma_power", "value", 54, override(b"plasma.power", b"54")),
    ("set_override_plasma_voltage", "value", 55, override(b"plasma.voltage", b"55")),
    ("set_override_spindle", "value", 120, override(b"spindle", b"120")),
    ("set_program_position_a", "value", 1.5, position(b"a", b"1.5")),
    ("set_program_position_b", "value", 2, position(b"b", b"2.0")),
    ("set_program_position_c", "value", -3.25, position(b"c", b"-3.25")),
    ("set_program_position_x", "value", 10, position(b"x", b"10.0")),
    ("set_program_position_y", "value", 0.1, position(b"y", b"0.1")),
    ("set_program_position_z", "value", 1e-5, position(b"z", b"1e-05")),
]
NAMES = [row[0] for row in COMMANDS]
TEXT_FORM = [
    "cnc_homing",
    "cnc_resume_from_line",
    "cnc_resume_from_point",
    "cnc_start_from_line",
    "cnc_start_from_point",
]
JSON_FORM = [
    "cnc_mdi_command",
    "program_analysis",
    "program_gcode_add_text",
    "program_gcode_set_text",
    "program_load",
    "program_save",
]
OVERRIDES = [n for n in NAMES if n.startswith("set_override_")]
POSITIONS = [n for n in NAMES if n.startswith("set_program_position_")]
HEAD = {name: expected[: expected.rindex(b":") + 1] for name, _, _, expected in COMMANDS}


def invoke(client, name, arg=NO_ARG):
    method = getattr(client, name)
    return method() if arg is NO_ARG else method(arg)


def request(name, text):
    """The request line of `name` with `text` spliced in."""
    return HEAD[name] + text + (b"}}" if name in POSITIONS else b"}")


class Line:
    """One connection to a server kept for the whole module, so that the large
    tables need no server of their own; each test sees only its own traffic."""

    def __init__(self, server):
        self.server, self.client = server, None

    def begin(self):
        if self.client is None or not self.client.is_connected:
            if self.client is not None:
                self.client.close()
                self.server.wait_closed(self.server.connections)
            self.client = cnc.CncAPIClientCore()
            assert self.client.connect(self.server.host, self.server.port) is True
            self.server.wait_connection()
        self.requests_mark, self.bytes_mark = len(self.server.requests), len(self.server.received)
        return self

    def requests(self):
        """Request lines received since the test began."""
        return self.server.requests[self.requests_mark :]

    def idle(self):
        """Whether nothing was sent since the test began, proven by one sentinel exchange."""
        assert send(self.client, SENTINEL) == '{"res":true}'
        return self.server.received[self.bytes_mark :] == SENTINEL.encode() + b"\n"


@pytest.fixture(scope="module")
def shared_line():
    with FakeServer() as server:
        line = Line(server)
        yield line
        if line.client is not None:
            line.client.close()


@pytest.fixture
def link(shared_line):
    return shared_line.begin()


@pytest.mark.parametrize("name, param, arg, expected", COMMANDS, ids=NAMES)
def test_request_line(link, name, param, arg, expected):
    assert invoke(link.client, name, arg) is True
    assert link.requests() == [expected]


@pytest.mark.parametrize(
    "name, param, arg, expected", [r for r in COMMANDS if r[1]], ids=[r[0] for r in COMMANDS if r[1]]
)
def test_request_line_by_keyword(link, name, param, arg, expected):
    assert getattr(link.client, name)(**{param: arg}) is True
    assert link.requests() == [expected]


@pytest.mark.parametrize(
    "value, text",
    [
        (7, b"7"),
        (-3, b"-3"),
        (10.0, b"10.0"),
        (2.5, b"2.5"),
        (1e-05, b"1e-05"),
        (1e16, b"1e+16"),
        (-0.0, b"-0.0"),
        (NAN, b"nan"),
        (-INF, b"-inf"),
        (True, b"True"),
        (None, b"None"),
        ("a b", b"a b"),
        ('"q"', b'"q"'),
        ([1, "a"], b"[1, 'a']"),
        (["x\ny"], b"['x\\ny']"),
    ],
    ids=[
        "int",
        "negative",
        "float-whole",
        "float",
        "1e-05",
        "1e+16",
        "minus-zero",
        "nan",
        "-inf",
        "true",
        "none",
        "text-unquoted",
        "text-unescaped",
        "list",
        "list-repr-escapes-lf",
    ],
)
@pytest.mark.parametrize("name", TEXT_FORM)
def test_text_form(link, name, value, text):
    assert invoke(link.client, name, value) is True
    assert link.requests() == [request(name, text)]


@pytest.mark.parametrize(
    "value, text",
    [
        ("", b'""'),
        ('say "hi" \\ /', b'"say \\"hi\\" \\\\ /"'),
        ("C:\\cnc\\part.nc", b'"C:\\\\cnc\\\\part.nc"'),
        ("\b\f\n\r\t", b'"\\b\\f\\n\\r\\t"'),
        ("\x00\x1f\x7f", b'"\\u0000\\u001f\\u007f"'),
        ("caf\u00e9 \u20ac \u00c9", b'"caf\\u00e9 \\u20ac \\u00c9"'),
        ("\U0001f600", b'"\\ud83d\\ude00"'),
        (None, b"null"),
    ],
    ids=["empty", "quote-backslash", "windows-path", "short-escapes", "control", "non-ascii", "astral", "none"],
)
@pytest.mark.parametrize("name", JSON_FORM)
def test_json_form(link, name, value, text):
    assert text == json.dumps(value).encode()
    assert invoke(link.client, name, value) is True
    assert link.requests() == [request(name, text)]


@pytest.mark.parametrize(
    "value, text",
    [
        (5, b"5"),
        (2.5, b"2.5"),
        (1e-05, b"1e-05"),
        (True, b"true"),
        (None, b"null"),
        ([1, "a", None], b'[1, "a", null]'),
        ({"a": 1, "b": [2.0]}, b'{"a": 1, "b": [2.0]}'),
        ((1, 2), b"[1, 2]"),
        (NAN, b"NaN"),
        (INF, b"Infinity"),
        (-INF, b"-Infinity"),
        (Text("t"), b'"t"'),
    ],
    ids=["int", "float", "1e-05", "true", "none", "list", "dict", "tuple", "nan", "inf", "-inf", "str-subclass"],
)
def test_program_load_takes_any_json_value(link, value, text):
    assert link.client.program_load(value) is True
    assert link.requests() == [request("program_load", text)]


def test_program_load_unwritable_value_raises_json_error(link):
    value = object()
    with pytest.raises(TypeError) as info:
        link.client.program_load(value)
    assert str(info.value) == str(raised(lambda: json.dumps(value)))
    assert link.idle()


@pytest.mark.parametrize(
    "value, text",
    [
        (cnc.JC_NONE, b"0"),
        (cnc.JC_C_FW, b"12"),
        (3.0, b"3.0"),
        (True, b"True"),
        (cnc.JC_C_FW + 1, None),
        (-1, None),
        (2.5, None),
        ("3", None),
        (None, None),
        ([3], None),
    ],
    ids=["first", "last", "float-equal", "true", "13", "-1", "between", "text", "none", "list"],
)
def test_jog_command_codes(link, value, text):
    assert link.client.cnc_jog_command(value) is (text is not None)
    if text is None:
        assert link.client.is_connected is True
        assert link.idle()
    else:
        assert link.requests() == [request("cnc_jog_command", text)]


@pytest.mark.parametrize(
    "attr, bound, value, accepted",
    [
        ("JC_C_FW", 13, 13, True),
        ("JC_C_FW", 5, 6, False),
        ("JC_NONE", 2, 1, False),
        ("JC_NONE", -1, -1, True),
    ],
    ids=["last-raised", "last-lowered", "first-raised", "first-lowered"],
)
def test_jog_range_read_at_call_time(link, monkeypatch, attr, bound, value, accepted):
    monkeypatch.setattr(cnc, attr, bound)  # restored by monkeypatch
    assert link.client.cnc_jog_command(value) is accepted
    if accepted:
        assert link.requests() == [request("cnc_jog_command", str(value).encode())]
    else:
        assert link.idle()


@pytest.mark.parametrize(
    "line, expected",
    [
        (0, b'{"cmd":"cnc.resume"}'),
        (-5, b'{"cmd":"cnc.resume"}'),
        (False, b'{"cmd":"cnc.resume"}'),
        (0.5, b'{"cmd":"cnc.resume", "line":0.5}'),
        (True, b'{"cmd":"cnc.resume", "line":True}'),
        (12, b'{"cmd":"cnc.resume", "line":12}'),
    ],
    ids=["zero", "negative", "false", "half", "true", "12"],
)
def test_resume_line(link, line, expected):
    assert link.client.cnc_resume(line) is True
    assert link.requests() == [expected]


@pytest.mark.parametrize("line", ["3", None, [1]], ids=["text", "none", "list"])
def test_resume_unorderable_raises(link, line):
    with pytest.raises(TypeError) as info:
        link.client.cnc_resume(line)
    assert str(info.value) == str(raised(lambda: line > 0))
    assert link.idle()


@pytest.mark.parametrize(
    "value, text",
    [
        (120, b"120"),
        (-7, b"-7"),
        (49.9, b"49"),
        (-0.5, b"0"),
        (33.9, b"33"),
        (-2.5, b"-2"),
        (True, b"1"),
        ("75", b"75"),
        (" 75 ", b"75"),
        ("-0010", b"-10"),
        (10**20, b"100000000000000000000"),
    ],
    ids=["120", "negative", "49.9", "-0.5", "33.9", "-2.5", "true", "text", "text-blanks", "text-zeros", "big"],
)
@pytest.mark.parametrize("name", OVERRIDES)
def test_override_value(link, name, value, text):
    assert invoke(link.client, name, value) is True
    assert link.requests() == [request(name, text)]


@pytest.mark.parametrize(
    "value, error",
    [
        ("7.5", ValueError),
        ("4.5", ValueError),
        (NAN, ValueError),
        (None, TypeError),
        ([], TypeError),
        (INF, OverflowError),
        (-INF, OverflowError),
    ],
    ids=["text-7.5", "text-4.5", "nan", "none", "list", "inf", "-inf"],
)
@pytest.mark.parametrize("name", OVERRIDES)
def test_override_value_refused(link, name, value, error):
    with pytest.raises(error) as info:
        invoke(link.client, name, value)
    assert str(info.value) == str(raised(lambda: int(value)))
    assert link.idle()


@pytest.mark.parametrize(
    "value, text",
    [
        (10, b"10.0"),
        (0.1, b"0.1"),
        (0.0001, b"0.0001"),
        (1e-5, b"1e-05"),
        (1e15, b"1000000000000000.0"),
        (1e16, b"1e+16"),
        (-0.0, b"-0.0"),
        (NAN, b"nan"),
        (INF, b"inf"),
        (-INF, b"-inf"),
        (True, b"1.0"),
        (Real(), b"2.5"),
    ],
    ids=["int", "0.1", "1e-4", "1e-5", "1e15", "1e16", "minus-zero", "nan", "inf", "-inf", "true", "float-convertible"],
)
@pytest.mark.parametrize("name", POSITIONS)
def test_position_value(link, name, value, text):
    assert invoke(link.client, name, value) is True
    assert link.requests() == [request(name, text)]


@pytest.mark.parametrize(
    "value, kind", [("10", "str"), (None, "NoneType"), ([1.0], "list")], ids=["text", "none", "list"]
)
@pytest.mark.parametrize("name", POSITIONS)
def test_position_value_refused(link, name, value, kind):
    with pytest.raises(TypeError) as info:
        invoke(link.client, name, value)
    assert str(info.value) == f"must be real number, not {kind}"
    assert link.idle()


VERDICTS = [
    ('{"res":true}', True),
    ('{"res":"TRUE"}', True),
    ('{"res":false}', False),
    ('{"res":1}', False),
    ('{"ok":true}', False),
    ("no json", False),
]


@pytest.mark.parametrize("name, param, arg, expected", COMMANDS, ids=NAMES)
def test_verdict(link, name, param, arg, expected):
    link.server.script(*(reply(line) for line, _ in VERDICTS))
    assert [invoke(link.client, name, arg) for _ in VERDICTS] == [verdict for _, verdict in VERDICTS]
    assert link.requests() == [expected] * len(VERDICTS)


@pytest.mark.parametrize("name, param, arg, expected", COMMANDS, ids=NAMES)
def test_never_connected_is_false(name, param, arg, expected):
    assert invoke(cnc.CncAPIClientCore(), name, arg) is False


@pytest.mark.parametrize("name, param, arg, expected", COMMANDS, ids=NAMES)
def test_closed_sends_nothing(core, server, name, param, arg, expected):
    c = core.CncAPIClientCore()
    assert c.connect(server.host, server.port) and c.close()
    assert invoke(c, name, arg) is False
    assert wire(server, c) == b""


def one(name, given):
    return f"{name}() takes exactly one argument ({given} given)"


def exactly(name, given):
    return f"{name}() takes exactly 2 positional arguments ({given} given)"


def wrong_type(param, got):
    return f"Argument '{param}' has incorrect type (expected str, got {got})"


def argument_errors():
    for name, param, arg, _ in COMMANDS:
        if param is None:
            yield name, "extra", (1,), {}, one(name, 2)
            yield name, "keyword", (), {"value": 1}, f"{name}() takes no keyword arguments"
            continue
        yield name, "missing", (), {}, exactly(name, 1)
        yield name, "extra", (arg, arg), {}, exactly(name, 3)
        yield name, "only-unknown-keyword", (), {"bogus": arg}, exactly(name, 1)
        yield name, "unknown-keyword", (arg,), {"bogus": arg}, f"{name}() got an unexpected keyword argument 'bogus'"
        yield name, "twice", (arg,), {param: arg}, f"{name}() got multiple values for keyword argument '{param}'"
        if name in JSON_FORM and name != "program_load":
            yield name, "int", (1,), {}, wrong_type(param, "int")
            yield name, "str-subclass", (Text("x"),), {}, wrong_type(param, "Text")
            yield name, "bytes-keyword", (), {param: b"x"}, wrong_type(param, "bytes")


ARGUMENT_ERRORS = list(argument_errors())


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [r[:1] + r[2:] for r in ARGUMENT_ERRORS],
    ids=[f"{r[0]}-{r[1]}" for r in ARGUMENT_ERRORS],
)
def test_argument_error(link, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(link.client, name)(*args, **kwargs)
    assert str(info.value) == message
    assert link.idle()


@pytest.mark.parametrize(
    "name, value",
    [
        ("cnc_start_from_line", "1\n2"),
        ("cnc_homing", "\n"),
        ("cnc_resume_from_point", "1\n"),
    ],
    ids=["start-from-line", "homing-lone-lf", "resume-from-point-trailing-lf"],
)
def test_spliced_line_feed_sends_nothing(link, name, value):
    assert invoke(link.client, name, value) is False
    assert link.client.is_connected is True
    assert link.idle()


def test_program_of_8_megabytes_is_one_request(client, server):
    program = "".join(f"N{n:07d} G1 X12.5 Y-3.25 F1500\n" for n in range(300_000))
    assert len(program) >= 8 << 20
    expected = request("program_gcode_set_text", json.dumps(program).encode())
    assert client.program_gcode_set_text(program) is True
    assert server.requests == [expected]
    assert server.received == expected + b"\n"
