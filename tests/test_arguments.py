"""The argument layer: what a wrong call raises before any method body runs.

Every call here is made on a client that was never connected, so a call that
passes the layer does no network work.
"""

import cnc_api_client_core as cnc
import pytest

Core, Context = cnc.CncAPIClientCore, cnc.CncAPIInfoContext
c = Core()
evaluate = Core._CncAPIClientCore__evaluate_response


class Text(str):
    pass


class Items(list):
    pass


def one(name, given):
    return f"{name}() takes exactly one argument ({given} given)"


def exactly(name, required, given):
    return f"{name}() takes exactly {required} positional arguments ({given} given)"


def wrong_type(arg, expected, got):
    return f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"


def no_keywords(name):
    return f"{name}() takes no keyword arguments"


REFUSED = [
    # methods taking only the client; keywords are judged before the count
    ("init-extra", lambda: Core(1), one("__init__", 2)),
    ("init-keyword", lambda: Core(x=1), no_keywords("__init__")),
    ("noargs-extra", lambda: c.cnc_start(1), one("cnc_start", 2)),
    ("noargs-unbound-empty", lambda: Core.cnc_start(), one("cnc_start", 0)),
    ("noargs-keyword", lambda: c.close(x=1), no_keywords("close")),
    ("noargs-self-keyword", lambda: Core.close(self=c), no_keywords("close")),
    ("noargs-keyword-before-count", lambda: c.get_cnc_info(1, 2, x=1), no_keywords("get_cnc_info")),
    ("context-update-extra", lambda: Context(c).update(1), one("update", 2)),
    # the static evaluator takes exactly its one argument
    ("static-empty", lambda: evaluate(), one("__evaluate_response", 0)),
    ("static-two", lambda: c._CncAPIClientCore__evaluate_response("a", "b"), one("__evaluate_response", 2)),
    ("static-keyword", lambda: evaluate(response="x"), no_keywords("__evaluate_response")),
    ("static-keyword-before-count", lambda: evaluate("a", "b", response="x"), no_keywords("__evaluate_response")),
    # methods with parameters: count first, a missing one reports its position
    ("value-missing", lambda: c.set_override_fast(), exactly("set_override_fast", 2, 1)),
    ("too-many", lambda: c.connect("h", 1, 2), exactly("connect", 3, 4)),
    ("too-many-with-keyword", lambda: c.connect("h", 1, 2, foo=1), exactly("connect", 3, 4)),
    ("host-missing", lambda: c.connect(port=1), exactly("connect", 3, 1)),
    ("port-missing", lambda: c.connect("h"), exactly("connect", 3, 2)),
    ("port-missing-host-keyword", lambda: c.connect(host="h"), exactly("connect", 3, 2)),
    ("self-missing", lambda: Core.connect(), exactly("connect", 3, 0)),
    ("self-missing-keywords", lambda: Core.connect(host="h", port=1), exactly("connect", 3, 0)),
    ("count-before-unknown-keyword", lambda: c.connect("h", foo=1), exactly("connect", 3, 2)),
    ("count-before-duplicate", lambda: c.connect("h", host="x"), exactly("connect", 3, 2)),
    ("count-before-type", lambda: c.connect(1), exactly("connect", 3, 2)),
    ("context-init-empty", lambda: Context(), exactly("__init__", 2, 1)),
    ("context-init-extra", lambda: Context(1, 2), exactly("__init__", 2, 3)),
    ("two-params-second-missing", lambda: c.get_cnc_parameters(1), exactly("get_cnc_parameters", 3, 2)),
    # leftover keywords, once every parameter is present; judged before types
    ("unknown-keyword", lambda: c.connect("h", 1, foo=1), "connect() got an unexpected keyword argument 'foo'"),
    ("unknown-before-type", lambda: c.connect(1, 2, foo=3), "connect() got an unexpected keyword argument 'foo'"),
    ("duplicate", lambda: c.connect("h", 1, host="x"), "connect() got multiple values for keyword argument 'host'"),
    (
        "duplicate-self",
        lambda: Core.connect(c, "h", 1, self=c),
        "connect() got multiple values for keyword argument 'self'",
    ),
    # text and list parameters take exactly str / list or None
    ("host-int", lambda: c.connect(1, 2), wrong_type("host", "str", "int")),
    ("host-bytes-keyword", lambda: c.connect(host=b"h", port=2), wrong_type("host", "str", "bytes")),
    ("host-str-subclass", lambda: c.connect(Text("h"), 2), wrong_type("host", "str", "Text")),
    ("mdi-int", lambda: c.cnc_mdi_command(1), wrong_type("command", "str", "int")),
    ("analysis-bytes", lambda: c.program_analysis(b"mt"), wrong_type("mode", "str", "bytes")),
    ("add-text-list", lambda: c.program_gcode_add_text([]), wrong_type("text", "str", "list")),
    ("set-text-float", lambda: c.program_gcode_set_text(1.0), wrong_type("text", "str", "float")),
    ("save-int", lambda: c.program_save(1), wrong_type("file_name", "str", "int")),
    ("send-int", lambda: c._CncAPIClientCore__send_command(1), wrong_type("request", "str", "int")),
    ("send-str-subclass", lambda: c._CncAPIClientCore__send_command(Text()), wrong_type("request", "str", "Text")),
    ("execute-bytes", lambda: c._CncAPIClientCore__execute_request(b"{}"), wrong_type("request", "str", "bytes")),
    ("evaluate-int", lambda: evaluate(1), wrong_type("response", "str", "int")),
    ("geometry-tuple", lambda: c.get_vm_geometry_info(("a",)), wrong_type("names", "list", "tuple")),
    ("geometry-list-subclass", lambda: c.get_vm_geometry_info(Items()), wrong_type("names", "list", "Items")),
    ("set-params-tuple", lambda: c.set_cnc_parameters(0, (1,)), wrong_type("values", "list", "tuple")),
    ("set-geometry-dict", lambda: c.set_vm_geometry_info({}), wrong_type("values", "list", "dict")),
    # float parameters are converted after the type checks
    ("float-str", lambda: c.set_program_position_x("1"), "must be real number, not str"),
    ("float-none", lambda: c.set_program_position_z(None), "must be real number, not NoneType"),
]


@pytest.mark.parametrize("call, message", [r[1:] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_refused(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class Real:
    def __float__(self):
        return 2.5


ACCEPTED = [
    ("connect-none-host", lambda: c.connect(None, 1), False),
    ("connect-all-keywords", lambda: Core.connect(self=c, host="127.0.0.1", port=70000), False),
    ("send-none-not-connected", lambda: c._CncAPIClientCore__send_command(None), ""),
    ("execute-none", lambda: c._CncAPIClientCore__execute_request(None), False),
    ("evaluate-none", lambda: evaluate(None), False),
    ("mdi-none", lambda: c.cnc_mdi_command(None), False),
    ("save-none", lambda: c.program_save(None), False),
    ("load-list", lambda: c.program_load([1, "a"]), False),
    ("load-int", lambda: c.program_load(1), False),
    ("set-params-none", lambda: c.set_cnc_parameters("not checked", None), False),
    ("float-int", lambda: c.set_program_position_x(1), False),
    ("float-object", lambda: c.set_program_position_y(Real()), False),
    ("context-api-keyword", lambda: type(Context(api=c)), Context),
]


@pytest.mark.parametrize("call, result", [r[1:] for r in ACCEPTED], ids=[r[0] for r in ACCEPTED])
def test_accepted(call, result):
    assert call() == result


@pytest.mark.parametrize(
    "func, args, name",
    [
        (Core.connect, (c, "h", 1), "connect"),
        (Core.cnc_start, (c,), "cnc_start"),
    ],
)
def test_non_text_keyword(func, args, name):
    # A plain call with **{1: 2} is refused by the interpreter itself; the slot
    # wrapper hands the dict to the method unchecked.
    try:
        type(func).__call__(func, *args, **{1: 2})
    except TypeError as e:
        if str(e) == "keywords must be strings":
            pytest.skip("the interpreter refuses the key before the method sees it")
        expected = no_keywords(name) if len(args) == 1 else f"{name}() keywords must be strings"
        assert str(e) == expected
    else:
        pytest.fail("no error")
