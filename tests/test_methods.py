import inspect
import re
import traceback
import types

import cnc_api_client_core as cnc
import pytest
from fake_server import reply

# name [param[:annotation] ...] [-> bool], in definition order
CLIENT_TABLE = """
__init__
connect host:unicode port:int -> bool
close -> bool
close_cnc_control_software
cnc_continue
cnc_homing axes_mask:int -> bool
cnc_jog_command command:int
cnc_mdi_command command:unicode
cnc_pause
cnc_resume line:int
cnc_resume_from_line line:int
cnc_resume_from_point point:int
cnc_start
cnc_start_from_line line:int
cnc_start_from_point point:int
cnc_stop
program_analysis mode:unicode
program_analysis_abort
program_gcode_add_text text:unicode
program_gcode_clear
program_gcode_set_text text:unicode
program_new
program_load file_name
program_save file_name:unicode
get_analog_inputs
get_analog_outputs
get_axes_info
get_cnc_info
get_cnc_parameters address:int elements:int
get_compile_info
get_digital_inputs
get_digital_outputs
get_enabled_commands
get_machining_info
get_programmed_points
get_scan3d_info
get_system_info
get_vm_geometry_info names:list
set_cnc_parameters address:int values:list
set_override_fast value:int
set_override_feed value:int
set_override_feed_custom_1 value:int
set_override_feed_custom_2 value:int
set_override_jog value:int
set_override_plasma_power value:int
set_override_plasma_voltage value:int
set_override_spindle value:int
set_program_position_a value:float
set_program_position_b value:float
set_program_position_c value:float
set_program_position_x value:float
set_program_position_y value:float
set_program_position_z value:float
set_vm_geometry_info values:list
__evaluate_response response:unicode
__execute_request request:unicode
__send_command request:unicode
"""
CONTEXT_TABLE = """
__init__ api
update -> bool
"""
STATIC = {"__evaluate_response"}
NO_DOC = {"__init__", "__evaluate_response", "__execute_request", "__send_command"}


def multiline_doc(*lines):
    return "\n" + "\n".join(" " * 8 + line if line else "" for line in lines) + "\n" + " " * 8


DOCS = {
    "close_cnc_control_software": "Not implemented yet!",
    "close": multiline_doc(
        "Closes the current connection with the API server",
        "",
        "return      True if the client is connected to an API server and connection is closed successfully.",
    ),
    "cnc_homing": multiline_doc(
        "Requires Homing for specified axes",
        "",
        "axes_mask   Mask with axes affected by the command.",
        "return      True if the request was successful.",
    ),
    "cnc_jog_command": multiline_doc(
        "Requires a JOG Command",
        "",
        "command     Jog command. Available commands are in JC_xxx constants.",
        "return      True if the request was successful.",
    ),
    "update": multiline_doc(
        "Update cnc api info context.",
        "",
        ":return                 False when the is no connection with the API server",
        ":rtype                  (bool)",
    ),
}
CONNECT_DOC = re.compile(
    re.escape(
        multiline_doc(
            "Opens the connection with the specified API server host/port.",
            "",
            "@HOST@",
            "port        The server host port to connect to (valid range 0..65535).",
            "return      True if the connection with the API server has been established.",
        )
    ).replace("@HOST@", r"host        \S.*\(eg\. '\d+\.\d+\.\d+\.\d+'\).*")
)


def parse(cls, table):
    """-> [(class, name, [(param, annotation or None)], returns_bool)]"""
    rows = []
    for line in table.strip().splitlines():
        words = line.split()
        returns = words[-2:] == ["->", "bool"]
        params = [tuple(w.split(":")) if ":" in w else (w, None) for w in words[1 : len(words) - 2 * returns]]
        rows.append((cls, words[0], params, returns))
    return rows


METHODS = parse(cnc.CncAPIClientCore, CLIENT_TABLE) + parse(cnc.CncAPIInfoContext, CONTEXT_TABLE)
IDS = [f"{cls.__name__}.{name}" for cls, name, _, _ in METHODS]


def stored_name(cls, name):
    return f"_{cls.__name__}{name}" if name.startswith("__") and not name.endswith("__") else name


def function(cls, name):
    obj = vars(cls)[stored_name(cls, name)]
    return obj.__func__ if isinstance(obj, staticmethod) else obj


@pytest.mark.parametrize("cls, table", [(cnc.CncAPIClientCore, CLIENT_TABLE), (cnc.CncAPIInfoContext, CONTEXT_TABLE)])
def test_methods_defined_in_order(cls, table):
    expected = [stored_name(cls, c) for _, c, _, _ in parse(cls, table)]
    callables = [k for k, v in vars(cls).items() if callable(v) or isinstance(v, staticmethod)]
    assert callables == expected


@pytest.mark.parametrize("cls, name, params, returns", METHODS, ids=IDS)
def test_function_attributes(cls, name, params, returns):
    f = function(cls, name)
    assert f.__name__ == name
    assert f.__qualname__ == f"{cls.__name__}.{name}"
    assert f.__module__ == "cnc_api_client_core"
    annotations = [(p, a) for p, a in params if a] + ([("return", bool)] if returns else [])
    assert list(f.__annotations__.items()) == annotations
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    args = [p for p, _ in params] if name in STATIC else ["self", *(p for p, _ in params)]
    code = f.__code__
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (len(args), 0, 0)
    assert code.co_varnames[: len(args)] == tuple(args)


@pytest.mark.parametrize("cls, name, params, returns", METHODS, ids=IDS)
def test_docstring(cls, name, params, returns):
    doc = function(cls, name).__doc__
    if name == "connect":
        assert CONNECT_DOC.fullmatch(doc), doc
    else:
        assert doc == (None if name in NO_DOC else DOCS.get(name, "Xxx..."))


@pytest.mark.parametrize("cls, name, params, returns", METHODS, ids=IDS)
def test_signature(cls, name, params, returns):
    def text(with_self):
        parts = (["self"] if with_self else []) + [f"{p}: {a!r}" if a else p for p, a in params]
        return f"({', '.join(parts)})" + (" -> bool" if returns else "")

    static = name in STATIC
    assert str(inspect.signature(function(cls, name))) == text(not static)
    instance = cls() if cls is cnc.CncAPIClientCore else cls(None)
    bound = getattr(instance, stored_name(cls, name))
    assert str(inspect.signature(bound)) == text(False)
    if not static:
        assert isinstance(bound, types.MethodType) and bound.__self__ is instance
        assert bound.__func__ is function(cls, name)


def test_evaluate_response_is_static():
    raw = vars(cnc.CncAPIClientCore)["_CncAPIClientCore__evaluate_response"]
    assert isinstance(raw, staticmethod)
    via_class = cnc.CncAPIClientCore._CncAPIClientCore__evaluate_response
    via_instance = cnc.CncAPIClientCore()._CncAPIClientCore__evaluate_response
    assert via_class is via_instance is raw.__func__
    assert via_class('{"res":true}') is True


@pytest.mark.parametrize("name", ["__send_command", "__execute_request", "__evaluate_response"])
def test_private_names_only_mangled(name):
    assert not hasattr(cnc.CncAPIClientCore, name)


@pytest.mark.parametrize(
    "script, error",
    [
        (None, TypeError),  # request None: no len()
        (reply(b'{"res":"\xe9"}'), UnicodeDecodeError),
    ],
    ids=["none-request", "non-ascii-reply"],
)
def test_traceback_names_the_method(client, server, script, error):
    if script:
        server.script(script)
    with pytest.raises(error) as info:
        client._CncAPIClientCore__send_command(None if script is None else "{}")
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert "cnc_api_client_core.CncAPIClientCore.__send_command" in names
