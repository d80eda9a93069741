"""Every method of both classes called with random argument counts, keywords
and values, on a connected client whose server answers every request.

The only errors allowed out are those of the argument layer (wrong count or
keyword, a text or list argument of another type, a real-number conversion)
and the few a method lets through by design: the integer conversion of the
override setters, the JSON writer of `program_load`, the comparison of
`cnc_resume`, the text form of spliced integers, and the encoding or none
errors of `__send_command`. Each expected error is worked out by making the
same conversion in Python; nothing else may leave a method. Afterwards the
client is still in step with the server.
"""

import decimal
import fractions
import json
import math

import cnc_api_client_core as cnc
import pytest
from conftest import examples, send
from fake_server import FakeServer, respond
from hypothesis import event, given, settings
from hypothesis import strategies as st
from replies import QUERIES, geometry_element

Core, Context = cnc.CncAPIClientCore, cnc.CncAPIInfoContext
MARKER = '{"get":"marker"}'
ANSWERS = {q.request.encode(): json.dumps(q.reply()).encode() for q in QUERIES.values()}
ANSWERS[MARKER.encode()] = b'{"res":"marker"}'

PRIVATE = "_CncAPIClientCore__"
TEXT_FORM = {
    "cnc_homing",
    "cnc_resume_from_line",
    "cnc_resume_from_point",
    "cnc_start_from_line",
    "cnc_start_from_point",
}
RECORD_OF = {q.method: getattr(cnc, q.record) for q in QUERIES.values()}


class Text(str):
    pass


class Items(list):
    pass


class Whole(int):
    pass


class Real(float):
    pass


class Huge(int):
    """An integer too long for its decimal text; shown briefly in reports."""

    __str__ = int.__repr__

    def __repr__(self):
        return "Huge(...)"


HUGE = Huge(10**5000)


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


class Unordered:
    def __gt__(self, other):
        raise TypeError("no order")


def geometry(**fields):
    record = cnc.APIVMGeometryInfo()
    for name, value in fields.items():
        setattr(record, name, value)
    return record


ODD = [
    object(),
    Text("x"),
    Text(""),
    Items([1]),
    Whole(3),
    Real(2.5),
    Floaty(),
    Indexy(),
    Unordered(),
    1j,
    decimal.Decimal("1.5"),
    decimal.Decimal("NaN"),
    fractions.Fraction(1, 3),
    float("nan"),
    float("inf"),
    -float("inf"),
    -0.0,
    10**400,
    HUGE,
    2**63,
    "12",
    " -7 ",
    "4.5",
    "nan",
    "inf",
    "",
    "\n",
    "a\nb",
    "G1\n",
    "\ud800",
    "é€😀",
    '"\\',
    b"12",
    bytearray(b"x"),
    (1, 2),
    {1, 2},
    range(3),
    {"a": 1},
    {(1, 2): 3},
    [[[]]],
    Core,
    print,
    geometry(),
    geometry(name=5),
    geometry(name='t"\\\n', x=HUGE),
]
SIMPLE = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats()
    | st.text(max_size=12)
    | st.binary(max_size=6)
    | st.sampled_from(ODD)
)
VALUES = SIMPLE | st.lists(SIMPLE, max_size=4) | st.dictionaries(st.text(max_size=4), SIMPLE, max_size=3)
GEOMETRY = st.builds(geometry, name=SIMPLE, x=SIMPLE, visible=SIMPLE, edges_visible=SIMPLE)
# Mapped so that `one_of` keeps VALUES as one branch: texts and lists of them pass
# the argument layer often enough to reach the method bodies.
ARGS = st.one_of(
    st.text(max_size=12),
    VALUES.map(lambda v: v),
    st.lists(st.text(max_size=5), max_size=3),
    st.lists(GEOMETRY, max_size=3),
)
KEYWORDS = st.sampled_from(
    [
        "self",
        "host",
        "port",
        "command",
        "line",
        "point",
        "mode",
        "text",
        "file_name",
        "address",
        "elements",
        "names",
        "values",
        "value",
        "response",
        "request",
        "api",
        "axes_mask",
        "x",
        "Value",
    ]
)


def answer(request: bytes) -> bytes:
    """A complete reply for every query, success for everything else."""
    if request.startswith(b'{"get":"vm.geometry.info"'):
        names = json.loads(request)["name"]
        return json.dumps({"res": [geometry_element(n) for n in names]}).encode()
    if request.startswith(b'{"get":"cnc.parameters"'):
        return b'{"res":{"parameters":[1,2.5]}}'
    return ANSWERS.get(request, b'{"res":true}')


class Clients:
    """Hands out a connected client, replacing one that a call left closed."""

    def __init__(self, address):
        self.address, self.client = address, None

    def get(self):
        if self.client is None or not self.client.is_connected:
            if self.client is not None:
                self.client.ipc.close()  # lets the one-connection server move on
            self.client = Core()
            assert self.client.connect(*self.address)
        return self.client


@pytest.fixture(scope="module")
def clients():
    with FakeServer(default=respond(answer)) as server:
        c = Clients(server.address)
        yield c
        if c.client is not None:
            c.client.ipc.close()


# -- the expected outcome, worked out in Python ------------------------------


def raised(operation):
    """The type of the error `operation()` raises, or None."""
    try:
        operation()
    except Exception as e:
        return type(e)
    return None


def bind(func, args, kwargs):
    """Parameter -> value as the argument layer binds them, or the TypeError."""
    code = func.__code__
    names = code.co_varnames[: code.co_argcount]
    if len(names) == 1:  # only the client (or the static evaluator's one reply): no keywords
        if kwargs or len(args) != 1:
            return TypeError
    elif len(args) > len(names):
        return TypeError
    bound = dict(zip(names, args, strict=False))
    for key, value in kwargs.items():
        if key not in names or key in bound:
            return TypeError
        bound[key] = value
    if len(bound) != len(names):
        return TypeError
    for name, annotation in func.__annotations__.items():
        value = bound.get(name)
        if annotation == "unicode" and value is not None and type(value) is not str:
            return TypeError
        if annotation == "list" and value is not None and type(value) is not list:
            return TypeError
    for name, annotation in func.__annotations__.items():
        if annotation == "float":
            error = raised(lambda name=name: math.isnan(bound[name]))  # the C-level conversion
            if error:
                return error
    return bound


def body_error(name, bound):
    """The error a method body lets through for these bound values, or None."""
    value = next((v for k, v in bound.items() if k != "self"), None)
    if name.startswith("set_override_"):
        return raised(lambda: str(int(value)))
    if name in TEXT_FORM:
        return raised(lambda: str(value))
    if name == "cnc_jog_command":
        return raised(lambda: value in range(cnc.JC_NONE, cnc.JC_C_FW + 1) and str(value))
    if name == "cnc_resume":
        return raised(lambda: value > 0 and str(value))
    if name == "program_load":
        return raised(lambda: json.dumps(value))
    if name == PRIVATE + "send_command":
        if value is None:
            return TypeError
        if value and "\n" not in value[:-1]:
            return raised(lambda: value.encode())
    if name == "update":
        api = bound["self"]._CncAPIInfoContext__api
        return raised(
            lambda: (
                api.is_connected is True
                and [api.get_axes_info, api.get_cnc_info, api.get_compile_info, api.get_enabled_commands]
            )
        )
    return None


def result_fits(name, result):
    if name in RECORD_OF:
        return type(result) is RECORD_OF[name]
    if name == "get_vm_geometry_info":
        return result is None or (type(result) is list and all(type(r) is cnc.APIVMGeometryInfo for r in result))
    if name == PRIVATE + "send_command":
        return type(result) is str
    if name == "close_cnc_control_software":
        return result is None
    if name == "__init__":
        return type(result) in (Core, Context)
    return type(result) is bool  # commands, writers, connect, close, evaluate, execute, update


# -- call shapes ----------------------------------------------------------------


@st.composite
def shapes(draw, names):
    """(positional, keyword) arguments after the client: mostly the right
    count, by position or by name, sometimes any count and any keywords."""
    mode = draw(st.sampled_from(["positional"] * 3 + ["keywords"] * 2 + ["random"]))
    if mode == "positional":
        return [draw(ARGS) for _ in names], {}
    if mode == "keywords":
        split = draw(st.integers(0, len(names)))
        return [draw(ARGS) for _ in names[:split]], {n: draw(ARGS) for n in names[split:]}
    return (draw(st.lists(ARGS, max_size=3)), draw(st.dictionaries(KEYWORDS, ARGS, max_size=2)))


def client_methods():
    for name in vars(Core):
        if hasattr(getattr(Core, name), "__code__"):
            yield name


@pytest.mark.parametrize("name", list(client_methods()))
@settings(max_examples=examples(12, ci=25), deadline=None)
@given(data=st.data())
def test_client_method_with_random_arguments(clients, name, data):
    client = clients.get()
    func = getattr(Core, name)
    static = isinstance(vars(Core)[name], staticmethod)
    code = func.__code__
    params = list(code.co_varnames[int(not static) : code.co_argcount])
    args, kwargs = data.draw(shapes(params), label="arguments")
    form = "class" if name == "__init__" else data.draw(st.sampled_from(["bound"] * 3 + ["class", "self-keyword"]))
    if static or form == "bound":
        full, call = ([] if static else [client]) + args, lambda: getattr(client, name)(*args, **kwargs)
    elif name == "__init__":
        full, call = [object()] + args, lambda: Core(*args, **kwargs)
    elif form == "class":
        full, call = [client] + args, lambda: func(client, *args, **kwargs)
    else:
        kwargs = {**kwargs, "self": client}
        full, call = args, lambda: func(*args, **kwargs)
    bound = bind(func, full, kwargs)
    expected = bound if isinstance(bound, type) else body_error(name, bound)
    event(check(name, call, expected))
    assert_in_step(clients, client)


class NotConnected:
    is_connected = 1  # true, but not the true value itself


@pytest.mark.parametrize("name", ["__init__", "update"])
@settings(max_examples=examples(20, ci=40), deadline=None)
@given(data=st.data())
def test_context_method_with_random_arguments(clients, name, data):
    client = clients.get()
    func = getattr(Context, name)
    params = list(func.__code__.co_varnames[1 : func.__code__.co_argcount])
    args, kwargs = data.draw(shapes(params), label="arguments")
    if name == "__init__":
        bound = bind(func, [object()] + args, kwargs)
        call = lambda: Context(*args, **kwargs)  # noqa: E731
    else:
        api = data.draw(st.sampled_from([client, client, object(), Context(client), NotConnected()]), label="api")
        context = Context(api)
        bound = bind(func, [context] + args, kwargs)
        call = lambda: context.update(*args, **kwargs)  # noqa: E731
    expected = bound if isinstance(bound, type) else body_error(name, bound)
    event(check(name, call, expected))
    assert_in_step(clients, client)


ALLOWED = (TypeError, ValueError, OverflowError)
# Errors of the operation a method performs on its argument, passed through as
# they come: ordering a Decimal NaN, or a context whose client lacks a member.
ALSO_ALLOWED = {"cnc_resume": ArithmeticError, "update": AttributeError}


def check(name, call, expected):
    try:
        result = call()
    except Exception as e:
        assert expected is not None, f"{name} raised {e!r}"
        assert type(e) is expected, f"{name} raised {e!r}, expected {expected.__name__}"
        allowed = ALLOWED + ((ALSO_ALLOWED[name],) if name in ALSO_ALLOWED else ())
        assert isinstance(e, allowed), f"{name} raised {e!r}"
        return f"raised {type(e).__name__}"
    assert expected is None, f"{name} returned {result!r}, expected {expected.__name__}"
    assert result_fits(name, result), f"{name} returned {result!r}"
    return f"returned {type(result).__name__}"


def assert_in_step(clients, client):
    if client.is_connected:
        assert send(client, MARKER) == '{"res":"marker"}'
    else:
        clients.get()  # a call closed it; the next example gets a new one


@pytest.mark.parametrize(
    "name, value, error",
    [
        ("set_override_feed", HUGE, ValueError),  # too many digits for its text
        ("set_override_feed", float("inf"), OverflowError),
        ("set_override_feed", "4.5", ValueError),
        ("set_program_position_x", 10**400, OverflowError),
        ("set_program_position_x", "1.5", TypeError),
        ("cnc_homing", HUGE, ValueError),
        ("cnc_resume", None, TypeError),
        ("cnc_resume", decimal.Decimal("NaN"), decimal.InvalidOperation),  # the comparison's own error
        ("program_load", object(), TypeError),
        ("program_load", {(1, 2): 3}, TypeError),
        (PRIVATE + "send_command", "\ud800", UnicodeEncodeError),
        (PRIVATE + "send_command", None, TypeError),
    ],
    ids=lambda v: "object()" if type(v) is object else repr(v)[:24],
)  # an address in an id differs per worker
def test_errors_let_through(clients, name, value, error):
    client = clients.get()
    with pytest.raises(error):
        getattr(client, name)(value)
    assert_in_step(clients, client)
