"""Replies no well-behaved server sends: damaged valid replies, arbitrary JSON,
truncated or run-together lines, random and extreme bytes.

Whatever arrives, a query yields either a record filled from every member it
reads or a record of pure class defaults, a command yields its verdict or
False, and only `__send_command` may raise (UnicodeDecodeError). Afterwards the
client is either still in step with the server (a marker request gets its own
reply) or Dropped. The class-level default lists are never touched.

Expectations come from a small model of the decoding: the reply line is
decoded with the same `json` module and every member a query reads is looked
up in it; any failure there means a default record.
"""

import copy
import json
import math
import socket
from contextlib import contextmanager

import cnc_api_client_core as cnc
import pytest
from conftest import examples, send
from fake_server import Action, FakeServer
from hypothesis import event, given, settings
from hypothesis import strategies as st
from replies import ELEMENTS, GEOMETRY_FIELDS, QUERIES, geometry_element

MARKER = '{"get":"marker"}'
GEOMETRY_NAMES = ["base", "table"]
FUZZ = settings(max_examples=examples(20, ci=40), deadline=None)


class PlainSocket(socket.socket):
    """Any `ipc` that is not exactly `socket.socket` takes the generic path."""


class Peer:
    """Answers the marker request with a numbered reply and every other
    request with the payload under test, then ends as `end` says."""

    def __init__(self):
        self.payload, self.end, self.token = b"\n", "lf", 0

    def marker(self) -> str:
        return f'{{"res":"marker-{self.token}"}}'

    def __call__(self, conn):
        if conn.request == MARKER.encode():
            conn.send(self.marker().encode() + b"\n")
            return
        conn.send(self.payload)
        if self.end != "lf":
            conn.close(reset=self.end == "reset")


@pytest.fixture(scope="module")
def peer():
    p = Peer()
    with FakeServer(default=Action("fuzz", [p])) as server:
        p.address = server.address
        yield p


@contextmanager
def client_for(peer, payload, end, path="native"):
    """A new client that will receive `payload` for its next request."""
    peer.payload, peer.end = payload, end
    c = cnc.CncAPIClientCore()
    if path == "generic":
        native, c.ipc = c.ipc, PlainSocket(socket.AF_INET, socket.SOCK_STREAM)
        native.close()
    assert c.connect(*peer.address)
    try:
        yield c
    finally:
        c.ipc.close()  # lets the one-connection server accept the next client


def assert_in_step_or_dropped(peer, client, must_stay):
    """The next exchange gets its own reply, or the client is Dropped."""
    if must_stay:
        assert client.is_connected is True
    elif not client.is_connected:
        return
    peer.token += 1
    got = send(client, MARKER)
    if must_stay or client.is_connected:
        assert got == peer.marker()
    else:
        assert got == ""


# -- shared class defaults --------------------------------------------------

RECORD_CLASSES = [v for k, v in vars(cnc).items() if k.startswith("API") and isinstance(v, type)]


def shared_lists():
    return {
        (cls.__name__, name): value
        for cls in RECORD_CLASSES
        for name, value in vars(cls).items()
        if isinstance(value, list)
    }


SNAPSHOT = {key: (value, copy.deepcopy(value)) for key, value in shared_lists().items()}


def assert_shared_lists_untouched():
    now = shared_lists()
    assert now.keys() == SNAPSHOT.keys()
    for key, (original, contents) in SNAPSHOT.items():
        assert now[key] is original, key
        assert original == contents, key


# -- the model of what each caller must return -------------------------------


def first_line(payload: bytes):
    """The reply line the client reads, or None when no line feed comes."""
    return payload.split(b"\n", 1)[0] if b"\n" in payload else None


def exchange_result(line: bytes):
    """The text `__send_command` returns for a line, or the error it raises."""
    bad = next((b for b in line if b >= 0x80), None)
    if bad is None:
        return line.decode("ascii")
    try:
        bytes([bad]).decode()
    except UnicodeDecodeError as e:
        return e
    raise AssertionError("unreachable")


def same(a, b) -> bool:
    """Equal values of the same types; NaN equals NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def lookup(holder, path):
    for name in path:
        holder = holder[name]
    return holder


def query_fields(query, text):
    """Field -> value a successful query stores, or None when it must fail."""
    if not isinstance(text, str):
        return None
    try:
        res = json.loads(text)["res"]
        fields = {}
        for path in query.table:
            value = lookup(res, path)
            if path in ELEMENTS:
                keys = ELEMENTS[path][1]
                value = [{field: value[i][key] for key, field in keys.items()} for i in range(len(value))]
            if query.field(path) is not None:
                fields[query.field(path)] = value
        return fields
    except Exception:
        return None


def record_matches(record, cls, fields) -> bool:
    if type(record) is not cls:
        return False
    own = dict(vars(record))
    if fields is None:  # nothing of its own: every field reads the class default
        return own == {}
    if own.pop("has_data", None) is not True or own.keys() != fields.keys():
        return False
    if "used_tool" in own:
        tools = own["used_tool"]
        if not isinstance(tools, list) or any(type(t) is not cnc.APIMachiningInfoUsedTool for t in tools):
            return False
        own["used_tool"] = [vars(t) for t in tools]
    return all(same(own[k], v) for k, v in fields.items())


def geometry_records(text):
    """Per-name field dicts (has_data included) the reader returns, or None."""
    if text == "":
        return [None] * len(GEOMETRY_NAMES)
    if not isinstance(text, str):
        return None
    try:
        res = json.loads(text)["res"]
        out = []
        for i in range(len(GEOMETRY_NAMES)):
            fields = {field: res[i][key] for key, field in GEOMETRY_FIELDS.items()}
            fields["has_data"] = fields["name"] != ""
            out.append(fields)
        return out
    except Exception:
        return None


def verdict(text) -> bool:
    if not isinstance(text, str):
        return False
    try:
        res = json.loads(text)["res"]
        return res is True or str(res).lower() == "true"
    except Exception:
        return False


class Caller:
    """One method under test and its judge: does (result, error) fit `text`?"""

    def __init__(self, name, call, fits):
        self.name, self.call, self.fits = name, call, fits

    def __repr__(self):
        return self.name


def send_fits(result, error, text):
    if isinstance(text, UnicodeDecodeError):
        return type(error) is UnicodeDecodeError and str(error) == str(text)
    return error is None and result == text


def query_caller(name):
    query = QUERIES[name]
    cls = getattr(cnc, query.record)

    def fits(result, error, text):
        return error is None and record_matches(result, cls, query_fields(query, text))

    return Caller(query.method, lambda c: getattr(c, query.method)(*query.args), fits)


def geometry_fits(result, error, text):
    expected = geometry_records(text)
    if error is not None or (result is None) != (expected is None):
        return False
    if expected is None:
        return True
    if not isinstance(result, list) or len(result) != len(expected):
        return False
    for record, fields in zip(result, expected, strict=True):
        if fields is None:
            if not record_matches(record, cnc.APIVMGeometryInfo, None):
                return False
        elif type(record) is not cnc.APIVMGeometryInfo or not (
            vars(record).keys() == fields.keys() and all(same(getattr(record, k), v) for k, v in fields.items())
        ):
            return False
    return True


def command_fits(result, error, text):
    return error is None and result is verdict(text)


SEND = Caller("__send_command", lambda c: send(c, '{"get":"anything"}'), send_fits)
GEOMETRY = Caller("get_vm_geometry_info", lambda c: c.get_vm_geometry_info(list(GEOMETRY_NAMES)), geometry_fits)
COMMANDS = [
    Caller(name, call, command_fits)
    for name, call in [
        ("cnc_start", lambda c: c.cnc_start()),
        ("cnc_jog_command", lambda c: c.cnc_jog_command(3)),
        ("set_override_feed", lambda c: c.set_override_feed(50)),
        ("set_program_position_x", lambda c: c.set_program_position_x(1.5)),
        ("program_gcode_set_text", lambda c: c.program_gcode_set_text("G0 X1\nG1 Y2")),
        ("set_cnc_parameters", lambda c: c.set_cnc_parameters(100, [1, 2.5])),
        ("set_vm_geometry_info", lambda c: c.set_vm_geometry_info([cnc.APIVMGeometryInfo()])),
        ("__execute_request", lambda c: c._CncAPIClientCore__execute_request('{"cmd":"cnc.start"}')),
    ]
]
QUERY_CALLERS = {name: query_caller(name) for name in QUERIES}


def judge(peer, caller, client, payload, end):
    """Runs the caller against `payload` and checks every property."""
    try:
        result, error = caller.call(client), None
    except Exception as e:  # anything else escapes and fails the test as it is
        result, error = None, e
    line = first_line(payload)
    # A line that arrived whole must be answered as such; a server that closes
    # or resets may also cut the exchange short, which drops the client.
    texts = [exchange_result(line)] if line is not None else []
    if end != "lf":
        head = payload if line is None else line
        if not client.is_connected:
            texts.append("")
            if any(b >= 0x80 for b in head):
                texts.append(exchange_result(head))
    outcome = (
        f"{type(result).__name__} has_data={getattr(result, 'has_data', '-')} "
        f"error={type(error).__name__} connected={client.is_connected}"
    )
    assert any(caller.fits(result, error, t) for t in texts), (
        f"{caller} gave {result!r} / {error!r} for {payload[:300]!r}... ({len(payload)} bytes, {end})"
    )
    assert_in_step_or_dropped(peer, client, must_stay=end == "lf")
    assert_shared_lists_untouched()
    return outcome


# -- reply strategies ---------------------------------------------------------

SCALARS = st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats() | st.text(max_size=8)
JSON = st.recursive(
    SCALARS,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=6), inner, max_size=3),
    max_leaves=8,
)
RENAMES = {
    "upper": str.upper,
    "underscores": lambda k: k.replace(".", "_"),
    "suffix": lambda k: k + ".x",
    "shortened": lambda k: k[:-1],
    "padded": lambda k: " " + k,
    "undotted": lambda k: k.replace(".", ""),
}


def members(obj):
    """Every (holder, key) pair inside a decoded JSON value."""
    items = obj.items() if isinstance(obj, dict) else enumerate(obj) if isinstance(obj, list) else ()
    for key, value in list(items):
        yield obj, key
        yield from members(value)


@st.composite
def damaged(draw, make):
    """A valid reply with up to three members removed, retyped, nested,
    renamed or split at their dots, or the whole reply rewrapped."""
    reply = copy.deepcopy(make())  # the builders share their tables' lists
    for _ in range(draw(st.integers(0, 3))):
        op = draw(st.sampled_from(["remove", "retype", "nest", "rename", "split", "rewrap"]))
        spots = list(members(reply))
        if op == "rewrap" or not spots:
            how = draw(st.sampled_from(["in-list", "in-res", "in-other", "unwrap"]))
            if how == "in-list":
                reply = [reply]
            elif how == "unwrap" and isinstance(reply, dict) and "res" in reply:
                reply = reply["res"]
            else:
                reply = {"res" if how == "in-res" else "reply": reply}
            continue
        holder, key = draw(st.sampled_from(spots))
        value = holder[key]
        if op == "remove":
            del holder[key]
        elif op == "nest":
            holder[key] = [value] if draw(st.booleans()) else {str(key): value}
        elif op == "rename" and isinstance(holder, dict):
            del holder[key]
            holder[RENAMES[draw(st.sampled_from(sorted(RENAMES)))](key)] = value
        elif op == "split" and isinstance(holder, dict):
            # "feed.custom.1": v  ->  "feed": {"custom": {"1": v}}
            del holder[key]
            first, *rest = key.split(".")
            for name in reversed(rest):
                value = {name: value}
            holder[first] = value
        else:
            holder[key] = draw(JSON)
    return reply


def encode(value, ascii_only=True) -> bytes:
    return json.dumps(value, ensure_ascii=ascii_only).encode()


@st.composite
def payloads(draw, make, verdicts=False):
    """(bytes the server sends, how it ends: "lf", "close" or "reset").

    Whatever follows the reply line stays under the 1024 bytes that the next
    exchange flushes, so a client that read its line stays in step.
    """
    kinds = ["damaged", "damaged", "json", "truncated", "joined", "bytes"] + ["verdict"] * 2 * verdicts
    kind = draw(st.sampled_from(kinds))
    valid = encode(make())
    if kind == "damaged":
        body = encode(draw(damaged(make)), ascii_only=draw(st.booleans()))
    elif kind == "json":
        body = encode(draw(JSON | st.fixed_dictionaries({"res": JSON})), ascii_only=draw(st.booleans()))
    elif kind == "truncated":
        body = valid[: draw(st.integers(0, len(valid) - 1))]
    elif kind == "joined":
        body = encode(draw(damaged(make))) + draw(st.sampled_from([b"", b" ", b"\n", b"\r\n"])) + valid[:600]
    elif kind == "bytes":
        body = draw(st.binary(max_size=200))
    else:  # a command reply whose `res` is near the success test's edge
        res = draw(
            st.sampled_from(
                [True, False, None, 1, 0, "true", "TRUE", "tRuE", " true", "true ", "yes", [True], {"res": True}]
            )
            | JSON
        )
        body = encode(draw(st.sampled_from([{"res": res}, {"extra": 1, "res": res}, [res], res])))
    end = draw(st.sampled_from(["lf", "lf", "lf", "close", "reset"]))
    if end == "lf":
        body += b"\n" + draw(st.sampled_from([b"", b"\n", b"{}\n", b"\x80\xff\n", b"junk"]))
    return body, end


# -- the properties -------------------------------------------------------------


@pytest.mark.parametrize("name", sorted(QUERIES))
@FUZZ
@given(data=st.data())
def test_query_survives_any_reply(peer, name, data):
    query = QUERIES[name]
    payload, end = data.draw(payloads(query.reply), label="payload")
    with client_for(peer, payload, end) as c:
        event(judge(peer, QUERY_CALLERS[name], c, payload, end))


@FUZZ
@given(data=st.data())
def test_geometry_reader_survives_any_reply(peer, data):
    named = data.draw(st.booleans(), label="second element named")

    def make():
        return {
            "res": [geometry_element("base"), geometry_element("table" if named else ""), geometry_element("extra")]
        }

    payload, end = data.draw(payloads(make), label="payload")
    with client_for(peer, payload, end) as c:
        event(judge(peer, GEOMETRY, c, payload, end))


@settings(max_examples=examples(50, ci=120), deadline=None)
@given(data=st.data())
def test_command_survives_any_reply(peer, data):
    caller = data.draw(st.sampled_from(COMMANDS), label="command")
    payload, end = data.draw(payloads(lambda: {"res": True}, verdicts=True), label="payload")
    with client_for(peer, payload, end) as c:
        event(judge(peer, caller, c, payload, end))


@pytest.mark.parametrize("path", ["native", "generic"])
@settings(max_examples=examples(40, ci=100), deadline=None)
@given(data=st.data())
def test_exchange_survives_any_reply(peer, path, data):
    make = data.draw(
        st.sampled_from([QUERIES["cnc_info"].reply, QUERIES["machining_info"].reply, lambda: {"res": True}]),
        label="reply",
    )
    payload, end = data.draw(payloads(make), label="payload")
    with client_for(peer, payload, end, path) as c:
        event(judge(peer, SEND, c, payload, end))


# -- extremes: very long lines, deep nesting, NUL and high bytes --------------


def _deep(n):
    return b"[" * n + b"]" * n


def _long_member():
    reply = QUERIES["cnc_info"].reply()
    reply["res"]["worked.time"] = "9" * 300_000
    return encode(reply)


def _many_values():
    return encode({"res": {"value": list(range(200_000))}})


EXTREMES = {
    "open-brackets": b"[" * 100_000,
    "deep-array": _deep(100_000),
    "deep-in-res": b'{"res":{"value":' + _deep(100_000) + b"}}",
    "deep-objects": b'{"a":' * 50_000 + b"1" + b"}" * 50_000,
    "deep-but-decodable": b'{"res":{"value":' + _deep(200) + b"}}",
    "nul-bytes": b"\x00" * 10_000,
    "nul-in-valid-reply": b'{"res":{"value":[1]}}\x00',
    "high-bytes": b"\xff" * 50_000,
    "late-high-byte": b'{"res":' + b" " * 50_000 + b'"\x80"}',
    "long-garbage": b"a" * 100_000,
    "megabyte-line": b"a" * 1_000_000,
    "huge-number": b'{"res":' + b"7" * 5000 + b"}",  # too many digits for an int
    "long-member": _long_member(),
    "many-values": _many_values(),
}
EXTREME_CALLERS = [SEND, QUERY_CALLERS["analog_inputs"], QUERY_CALLERS["cnc_info"], GEOMETRY, COMMANDS[0]]


@pytest.mark.parametrize("caller", EXTREME_CALLERS, ids=repr)
@pytest.mark.parametrize("name", sorted(EXTREMES))
def test_extreme_reply(peer, name, caller):
    payload = EXTREMES[name] + b"\n"
    with client_for(peer, payload, "lf") as c:
        judge(peer, caller, c, payload, "lf")


@pytest.mark.parametrize("name", ["deep-array", "high-bytes", "long-garbage", "nul-bytes"])
def test_extreme_reply_generic_path(peer, name):
    payload = EXTREMES[name] + b"\n"
    with client_for(peer, payload, "lf", "generic") as c:
        judge(peer, SEND, c, payload, "lf")
