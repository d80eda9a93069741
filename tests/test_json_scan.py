"""Queries read replies with a scanner of their own instead of json.loads; it
must agree with json.loads on every text, valid or not.

Each case sends a reply line to a real client and compares the record with a
reference decode of the same line: json.loads, then the record's members
looked up in field order. Values must match in type as well (True is not 1,
-0.0 is not 0.0); NaN equals NaN.
"""

import copy
import itertools
import json
import math
import pathlib
import sys
import types

import cnc_api_client_core as cnc
import pytest
from conftest import examples
from fake_server import Action, FakeServer
from hypothesis import given, settings
from hypothesis import strategies as st
from replies import ELEMENTS, QUERIES, record_defaults_untouched, run  # noqa: F401

WS = ["", " ", "\t", "\r", "  ", " \r\t "]  # JSON white space; a line feed would end the reply
evaluate = cnc.CncAPIClientCore._CncAPIClientCore__evaluate_response


# Reference -----------------------------------------------------------------


def plain(value):
    """`value` with records, dicts and lists spelled out, in their order."""
    if type(value).__module__ == cnc.__name__:
        return ("record", type(value).__name__, [(k, plain(v)) for k, v in vars(value).items()])
    if isinstance(value, dict):
        return ("dict", [(k, plain(v)) for k, v in value.items()])
    if isinstance(value, list):
        return ("list", [plain(v) for v in value])
    return value


# json.loads gives these very objects for NaN, Infinity and -Infinity.
SHARED_FLOATS = (json.decoder.NaN, json.decoder.PosInf, json.decoder.NegInf)


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if any((a is shared) is not (b is shared) for shared in SHARED_FLOATS):
            return False
        return (a == b or (math.isnan(a) and math.isnan(b))) and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, (list, tuple)):  # a loop, not all(): no C frame per level of nesting
        if len(a) != len(b):
            return False
        for x, y in zip(a, b, strict=True):
            if not same(x, y):
                return False
        return True
    return a == b


def field_names(record_class):
    return [k for k in vars(record_class) if not k.startswith("__")]


def lookup(res, path):
    for name in path:
        res = res[name]
    return res


def used_tools(array, path):
    record, names = ELEMENTS[path]
    return ("list", [("record", record, [(names[k], plain(array[i][k])) for k in names]) for i in range(len(array))])


def reference(query, text):
    """The record json.loads and the lookups give, spelled out as `plain` does."""
    record = getattr(cnc, query.record)
    paths = {query.field(p): p for p in query.table}
    try:
        res = json.loads(text)["res"]
        fields = []
        for name in field_names(record):
            if name in paths:
                path = paths[name]
                value = lookup(res, path)
                fields.append((name, used_tools(value, path) if path in ELEMENTS else plain(value)))
        for path in query.table:
            if query.field(path) is None:
                lookup(res, path)
    except Exception:
        return ("record", record.__name__, [])
    return ("record", record.__name__, fields + [("has_data", True)])


def command_reference(text):
    try:
        return str(json.loads(text)["res"]).lower() == "true"
    except Exception:
        return False


# Reply texts ---------------------------------------------------------------


class Obj(list):
    """An object as [raw key text, node] pairs, duplicates allowed."""


def tree(value):
    """Nodes of a Python value; leaves are raw JSON texts."""
    if isinstance(value, dict):
        return Obj([json.dumps(k), tree(v)] for k, v in value.items())
    if isinstance(value, list):
        return [tree(v) for v in value]
    return json.dumps(value)


def render(node, ws=("",)):
    """The node as JSON text, the white space strings of `ws` taken in turn."""
    spaces = itertools.cycle(ws)

    def go(n):
        s = next(spaces)
        if isinstance(n, Obj):
            return "{" + s + ("," + s).join(k + s + ":" + s + go(v) for k, v in n) + s + "}"
        if isinstance(n, list):
            return "[" + s + ("," + s).join(go(v) for v in n) + s + "]"
        return n

    return ws[0] + go(node) + ws[-1]


def member(obj, key):
    return next(v for k, v in obj if json.loads(k) == key)


def placed(query, raw, where):
    """A complete reply of `query` with the raw JSON text `raw` in one place."""
    root = tree(query.reply())
    res = member(root, "res")
    if where == "field":
        path = next(iter(query.table))
        holder = res
        for name in path[:-1]:
            holder = member(holder, name)
        next(pair for pair in holder if json.loads(pair[0]) == path[-1])[1] = raw
    elif where == "group":
        next(v for _, v in res if isinstance(v, Obj)).append(['"extra"', raw])
    elif where == "res":
        res.insert(0, ['"extra"', raw])
    else:
        root.append(['"extra"', raw])
    return render(root)


# Values of every JSON kind, mostly valid, as raw text.
PLAIN = "".join(chr(c) for c in range(0x20, 0x7F) if chr(c) not in '"\\')
string_piece = st.one_of(
    st.text(PLAIN, max_size=4),
    st.sampled_from(['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t"]),
    st.integers(0, 0xFFFF).map("\\u{:04x}".format),
    st.integers(0xD800, 0xDFFF).map("\\u{:04X}".format),
    st.tuples(st.integers(0xD800, 0xDBFF), st.integers(0xDC00, 0xDFFF)).map(lambda p: "\\u{:04x}\\u{:04X}".format(*p)),
)
BAD_PIECES = [chr(c) for c in range(0x20) if c != 10] + ["\\x", "\\u12g4", "\\U0041", "\\'", "\\ud800\\u12x4"]
strings = st.lists(st.one_of(string_piece, string_piece, string_piece, st.sampled_from(BAD_PIECES)), max_size=5).map(
    lambda ps: '"' + "".join(ps) + '"'
)
NUMBERS = [
    "0",
    "-0",
    "-0.0",
    "1E+2",
    "1e-2",
    "2.5E10",
    "1e400",
    "-1e400",
    "1e-400",
    "4.9e-324",
    "1.7976931348623157e308",
    "9007199254740993",
    "123456789012345678901234567890",
    "-12",
    "0.1",
    "NaN",
    "Infinity",
    "-Infinity",
]
BAD_SCALARS = ["nul", "tru", "True", "nan", "-NaN", "01", "1.", ".5", "+1", "1e", "-", "0x10", "1.e5", "--1"]
scalars = st.one_of(
    st.sampled_from(NUMBERS + ["true", "false", "null"]),
    st.integers(-(10**20), 10**20).map(str),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.from_regex(r"-?(0|[1-9][0-9]{0,25})(\.[0-9]{1,20})?([eE][-+]?[0-9]{1,3})?", fullmatch=True),
    strings,
)
values = st.recursive(
    st.one_of(scalars, scalars, scalars, st.sampled_from(BAD_SCALARS)),
    lambda inner: st.one_of(
        st.tuples(st.lists(inner, max_size=4), st.sampled_from(WS)).map(lambda t: render(t[0], [t[1]])),
        st.tuples(st.lists(st.tuples(strings, inner), max_size=4), st.sampled_from(WS)).map(
            lambda t: render(Obj(list(p) for p in t[0]), [t[1]])
        ),
    ),
    max_leaves=8,
)


def objects(node):
    """Every object node, outermost first."""
    children = []
    if isinstance(node, Obj):
        yield node
        children = [v for _, v in node]
    elif isinstance(node, list):
        children = node
    for child in children:
        yield from objects(child)


def escaped_key(key, which):
    """`key` as a JSON string with the characters that `which` marks written as \\u escapes."""
    which = which + [False] * len(key)
    return (
        '"'
        + "".join(
            f"\\u{ord(c):04x}" if e and ord(c) < 0x10000 else json.dumps(c)[1:-1]
            for c, e in zip(key, which, strict=False)
        )
        + '"'
    )


@st.composite
def mutated_replies(draw):
    """A complete reply with members duplicated, escaped, replaced, removed or added at any level."""
    query = QUERIES[draw(st.sampled_from(sorted(QUERIES) + ["cnc_info", "machining_info"] * 4))]  # groups
    root = tree(query.reply())
    for _ in range(draw(st.integers(1, 3))):
        obj = draw(st.sampled_from(list(objects(root))))
        ops = ["duplicate", "duplicate", "escape", "replace", "remove", "add"] if obj else ["add"]
        op = draw(st.sampled_from(ops))
        i = draw(st.integers(0, max(len(obj) - 1, 0)))
        if op == "duplicate":
            value = draw(st.one_of(st.just(copy.deepcopy(obj[i][1])), values))
            obj.insert(draw(st.integers(0, len(obj))), [obj[i][0], value])
        elif op == "escape":
            try:
                key = json.loads(obj[i][0])
            except ValueError:  # an added key that is no valid string
                continue
            obj[i][0] = escaped_key(key, draw(st.lists(st.booleans(), max_size=len(key))))
        elif op == "replace":
            obj[i][1] = draw(values)
        elif op == "remove":
            del obj[i]
        else:
            obj.insert(draw(st.integers(0, len(obj))), [draw(strings), draw(values)])
    text = render(root, draw(st.lists(st.sampled_from(WS), min_size=1, max_size=4)))
    if draw(st.integers(0, 7)) == 0:  # damage the text itself
        at = draw(st.integers(0, len(text)))
        junk = draw(st.sampled_from(['"', ",", "}", "]", ":", "\\", "x", "\x00", "\x1f", "\r", "\t", "1"]))
        text = text[:at] + junk + text[at + draw(st.integers(0, 1)) :]
    return query, text


# The peer ------------------------------------------------------------------


class Peer:
    """Answers every request with the current `line`."""

    line = '{"res":true}'

    def __call__(self, conn):
        conn.send(self.line.encode("ascii") + b"\n")

    def query(self, query, text):
        assert "\n" not in text
        self.line = text
        return plain(run(self.client, query))

    def command(self, text):
        self.line = text
        return self.client.cnc_start()


@pytest.fixture(scope="module")
def peer():
    p = Peer()
    with FakeServer(default=Action("line", [p])) as server:
        p.client = cnc.CncAPIClientCore()
        assert p.client.connect(server.host, server.port)
        yield p
        p.client.close()


def check(peer, query, text):
    got = peer.query(query, text)
    assert peer.client.is_connected
    assert same(got, reference(query, text)), (text, got)
    return got


# Tests ---------------------------------------------------------------------


@pytest.mark.parametrize("ws", [("",), (" ",), ("\t", " \r ")], ids=["compact", "spaced", "mixed"])
@pytest.mark.parametrize("name", sorted(QUERIES))
def test_complete_replies(peer, name, ws):
    query = QUERIES[name]
    assert check(peer, query, render(tree(query.reply()), ws))[2][-1] == ("has_data", True)


@settings(max_examples=examples(200, ci=500), deadline=None)
@given(mutated_replies())
def test_mutated_replies(peer, case):
    check(peer, *case)


@settings(max_examples=examples(100, ci=250), deadline=None)
@given(values, st.sampled_from(["field", "group", "res", "top"]))
def test_any_value_anywhere(peer, raw, where):
    check(peer, QUERIES["cnc_info"], placed(QUERIES["cnc_info"], raw, where))


@pytest.mark.parametrize("where", ["field", "group", "res", "top"])
@pytest.mark.parametrize(
    "raw",
    NUMBERS
    + BAD_SCALARS
    + [
        "1" * 4300,
        "-" + "9" * 4300,
        "1" * 4301,
        "-" + "1" * 5000,
        "1" * 5000 + ".5",
        "1" * 400 + "e-400",
        '"\\ud83d\\ude00"',
        '"\\ud83d"',
        '"\\ude00\\ud83d"',
        '"\\ud83d\\ud83d\\ude00"',
        '"\\ud83d\\u0041"',
        '"\\uD83D\\uDE00"',
        '"\\ud83dx\\ude00"',
        '"\\ud83d\\n"',
        '"\\u0000\\u001f\\u007f"',
        '"\\"\\\\\\/\\b\\f\\n\\r\\t"',
        '"\x7f"',
        '"\x00"',
        '"\t"',
        '"\r"',
        '"\\ud800\\u12x4"',
        '"\\u12"',
        "[]",
        "{}",
        '{"a":1,"a":2,"b":[1,{"a":3}]}',
        "[1,]",
        '{"a":1,}',
        '{"a" 1}',
        "[1 2]",
        "{1:2}",
    ],
)
def test_numbers_strings_and_containers(peer, raw, where):
    check(peer, QUERIES["cnc_info"], placed(QUERIES["cnc_info"], raw, where))


@pytest.mark.parametrize("later", [True, False], ids=["later", "earlier"])
@pytest.mark.parametrize("level", ["res", "group", "member"])
@pytest.mark.parametrize("copy_kind", ["list", "string", "partial", "altered", "empty"])
def test_duplicates_at_each_level(peer, level, later, copy_kind):
    """A second, altered `res`, `lube` group or `lube` / `axis.cycles.made`, before or after the original."""
    root = tree(QUERIES["cnc_info"].reply())
    res = member(root, "res")
    holder, key = {"res": (root, "res"), "group": (res, "lube"), "member": (member(res, "lube"), "axis.cycles.made")}[
        level
    ]
    original = member(holder, key)
    if copy_kind == "partial":
        value = copy.deepcopy(original)
        if isinstance(value, Obj):
            del value[0]
    elif copy_kind == "altered":
        value = Obj([k, "99"] for k, _ in original) if isinstance(original, Obj) else "99"
    else:
        value = {"list": "[1]", "string": '"x"', "empty": "{}"}[copy_kind]
    holder.insert(len(holder) if later else 0, [json.dumps(key), value])
    check(peer, QUERIES["cnc_info"], render(root))


@pytest.mark.parametrize("limit", [0, 640, 4300])
@pytest.mark.parametrize("digits", [640, 641, 4300, 4301])
@pytest.mark.parametrize("where", ["field", "top"])
def test_integer_digit_limit(peer, limit, digits, where):
    before = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(limit)
    try:
        check(peer, QUERIES["scan3d_info"], placed(QUERIES["scan3d_info"], "7" * digits, where))
    finally:
        sys.set_int_max_str_digits(before)


@pytest.mark.parametrize("where", ["field", "res", "top"])
@pytest.mark.parametrize("depth", [10, 1000, 100000])
def test_deep_nesting(peer, depth, where):
    query = QUERIES["programmed_points"]
    before = sys.getrecursionlimit()
    sys.setrecursionlimit(max(before, 5000))  # room for the comparison's own recursion
    try:
        check(peer, query, placed(query, "[" * depth + "]" * depth, where))
    finally:
        sys.setrecursionlimit(before)


@pytest.mark.parametrize("where", ["field", "top"])
def test_nesting_limit_is_that_of_json_loads(peer, monkeypatch, where):
    """The deepest nesting the json.loads path takes is also the deepest the scan takes."""
    query = QUERIES["programmed_points"]

    def accepted(depth):
        peer.line = placed(query, "[" * depth + "]" * depth, where)
        return run(peer.client, query).has_data

    stub = types.ModuleType("json")
    stub.loads = json.loads  # the same function, but another module: the json.loads path
    monkeypatch.setattr(cnc, "json", stub)
    low, high = 1, 50_000  # 3.13 counts C recursion against a limit of its own, far above 3.11's
    while low < high:
        mid = (low + high + 1) // 2
        low, high = (mid, high) if accepted(mid) else (low, mid - 1)
    monkeypatch.undo()
    assert 100 < low < 50_000
    assert accepted(low) and not accepted(low + 1)


def test_shared_float_constants(peer):
    """Two records decoded from the same reply hold equal lists: NaN is json's one NaN object."""
    peer.line = '{"res":{"points":[NaN,Infinity,-Infinity,1e400]}}'
    first, second = (run(peer.client, QUERIES["programmed_points"]).points for _ in range(2))
    assert first == second
    assert first[:3] == [json.decoder.NaN, json.decoder.PosInf, json.decoder.NegInf]
    assert all(a is b for a, b in zip(first[:3], SHARED_FLOATS, strict=True))
    assert first[3] is not json.decoder.PosInf  # a number that overflows is a float of its own, as in json


@pytest.mark.parametrize("name", ["cnc_info", "machining_info"])
def test_every_truncation(peer, name):
    query = QUERIES[name]
    text = render(tree(query.reply()), (" ",))
    for end in range(len(text) + 1):
        check(peer, query, text[:end])


@pytest.mark.parametrize(
    "text",
    [
        " {} ",
        "",
        " ",
        "[]",
        '"res"',
        "null",
        '{"res":true} x',
        '{"res":true}\x00',
        '\x0b{"res":true}',
        '{"res":true}\r\t ',
        '\t\r{"res":true}',
        '{"res":true}{}',
        '{"res":true},',
        '{"res":"x","res":{"points":[]}}',
        '{"res":{"points":[]},"res":[]}',
        '{"r\\u0065s":{"p\\u006fints":[1]}}',
        '{"res":{"points":[1],"points":"2"}}',
    ],
)
def test_envelopes(peer, text):
    check(peer, QUERIES["programmed_points"], text)


@settings(max_examples=examples(120, ci=300), deadline=None)
@given(
    st.one_of(
        values.map(lambda v: f'{{"res":{v}}}'),
        st.sampled_from(
            [
                '{"res":"TRUE"}',
                '{"res":"tru\\u0065"}',
                '{"res":true,"res":false}',
                '{"res":false,"res":"True"}',
                '{"res":true}x',
                '["res"]',
                '{"res":"true"} ',
                '{"res":"true",}',
            ]
        ),
    )
)
def test_command_verdicts(raw):
    assert evaluate(raw) is command_reference(raw)


def test_commands_over_the_wire(peer):
    for text in ['{"res":"tRuE"}', '{"res":true,"x":[' + "[" * 5000 + "]" * 5000 + "]}", '{"res":1}', '{"res":true']:
        assert peer.command(text) is command_reference(text)


class Counting:
    """Stands in for json.loads and counts its calls."""

    def __init__(self):
        self.calls, self.loads = 0, json.loads

    def __call__(self, text):
        self.calls += 1
        return self.loads(text)


def test_rebound_json_takes_json_loads(peer, monkeypatch):
    loads = Counting()
    wrapper = types.ModuleType("json_wrapper")
    wrapper.loads = loads
    monkeypatch.setattr(cnc, "json", wrapper)
    for query in QUERIES.values():
        check(peer, query, render(tree(query.reply())))
    assert peer.command('{"res":true}') is True
    assert loads.calls == len(QUERIES) + 1

    monkeypatch.setattr(cnc, "json", json)  # the module again, but another loads in it
    monkeypatch.setattr(json, "loads", loads)
    peer.query(QUERIES["axes_info"], render(tree(QUERIES["axes_info"].reply())))
    assert loads.calls == len(QUERIES) + 2


def test_untouched_json_is_not_called(peer, monkeypatch):
    """With json and json.loads as loaded, replies never reach json's decoder."""
    calls = []
    monkeypatch.setattr(json, "_default_decoder", types.SimpleNamespace(decode=lambda s: calls.append(s)))
    got = [peer.query(q, render(tree(q.reply()))) for q in QUERIES.values()] + [peer.command('{"res":"true"}')]
    monkeypatch.undo()
    assert calls == []
    assert all(g[2][-1] == ("has_data", True) for g in got[:-1]) and got[-1] is True


# Deep nesting under a raised recursion limit, in a child interpreter: the
# scan must give json.loads' verdict, never overflow the C stack, also on a
# thread with a small stack.
DEEP = r"""
import json, sys, threading
import cnc_api_client_core as cnc
sys.path.insert(0, sys.argv[1])
from fake_server import Action, FakeServer

depth, limit, stack = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
sys.setrecursionlimit(limit)
line = '{"res":{"points":' + "[" * depth + "]" * depth + ',"x":' + "{\"a\":" * depth + "1" + "}" * depth + "}}"
command = '{"res":true,"x":' + "[" * depth + "]" * depth + "}"
deep_res = ['{"res":' + "[" * depth + "]" * depth + "}", '{"res":' + '{"a":' * depth + "1" + "}" * depth + "}"]

def verdict(text, check):
    try:
        return check(json.loads(text))
    except RecursionError:
        return False

def depth_of(value):
    n = 0
    while isinstance(value, list) and value:
        value, n = value[0], n + 1
    return n + isinstance(value, list)

out = {}
def run():
    with FakeServer(default=Action("line", [lambda conn: conn.send(conn.server.line.encode() + b"\n")])) as server:
        server.line = line
        client = cnc.CncAPIClientCore()
        assert client.connect(server.host, server.port)
        points = client.get_programmed_points()
        out["query"] = [points.has_data, depth_of(points.points) if points.has_data else None]
        server.line = command
        out["command"] = client.cnc_start()
        out["deep_res"] = []
        for server.line in deep_res:
            out["deep_res"].append(client.cnc_start())
        client.close()

if stack:
    threading.stack_size(stack)
    t = threading.Thread(target=run)
    t.start()
    t.join()
else:
    run()
expected_query = verdict(line, lambda v: True)
out["expected"] = [[expected_query, depth if expected_query else None], verdict(command, lambda v: v["res"] is True)]
print(json.dumps(out))
"""


@pytest.mark.parametrize(
    "depth, limit, stack",
    [
        (60_000, 200_000, 0),  # json.loads parses it on the main thread's stack
        (5_000, 200_000, 0),
        (3_000, 200_000, 1 << 20),  # a thread of 1 MiB: json.loads parses this too
        (400, 2_000, 256 << 10),  # the recursion limit stops json.loads first
        (50, 100_000, 128 << 10),
    ],
)
def test_deep_nesting_at_any_recursion_limit(depth, limit, stack):
    from child import assert_clean_exit, run_child

    proc = run_child(DEEP, pathlib.Path(__file__).parent, depth, limit, stack, timeout=120)
    assert_clean_exit(proc)
    out = json.loads(proc.stdout)
    assert [out["query"], out["command"]] == out["expected"]
    assert out["deep_res"] == [False, False]  # a list or an object as `res` is a failure, however deep
