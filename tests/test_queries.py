"""Every record query against the fake server, driven by the tables of replies.py."""

import copy
import json
import signal
import threading
import time
from contextlib import contextmanager

import cnc_api_client_core as cnc
import pytest
from conftest import wire
from fake_server import delay, reply, reset
from replies import (
    ELEMENTS,
    KEPT,
    QUERIES,
    Query,
    assert_default,
    assert_filled,
    record_defaults_untouched,  # noqa: F401 (autouse fixture)
    run,
    tagged,
)

NAMES = list(QUERIES)


def record_class(query: Query):
    return getattr(cnc, query.record)


def groups(query: Query):
    return list(dict.fromkeys(p[0] for p in query.table if len(p) == 2))


def without(res, keys):
    """A copy of `res` lacking the member at `keys` (names and element indexes)."""
    res = copy.deepcopy(res)
    holder = res
    for key in keys[:-1]:
        holder = holder[key]
    del holder[keys[-1]]
    return res


def removals(query: Query):
    """(label, res) for each required member, group and element member left out, last member first."""
    res = query.res()
    for path in reversed(query.table):
        yield "/".join(path), without(res, path)
        for i, element in enumerate(res[path[0]][path[1]] if path in ELEMENTS else ()):
            for key in element:
                yield f"{'/'.join(path)}/{i}/{key}", without(res, (*path, i, key))
    for group in groups(query):
        yield group, without(res, (group,))


def nest_into(holder, key, value):
    """Put `value` under `holder` as nested objects, one per dot-separated part of `key`."""
    *heads, last = key.split(".")
    for head in heads:
        if not isinstance(holder.get(head), dict):
            holder[head] = {}
        holder = holder[head]
    holder[last] = value


@pytest.mark.parametrize("name", NAMES)
def test_table_covers_every_record_field(name):
    query = QUERIES[name]
    fields = [k for k in vars(record_class(query)) if not k.startswith("__") and k != "has_data"]
    assert sorted(query.expected()) == sorted(set(fields) - KEPT.get(name, set()))


@pytest.mark.parametrize("variant", ["realistic", "tagged"])
@pytest.mark.parametrize("name", NAMES)
def test_complete_reply_fills_every_field(client, server, name, variant):
    query = QUERIES[name]
    value = tagged if variant == "tagged" else (lambda path, v: v)
    server.script(reply(query.reply(value)))
    record = run(client, query)
    assert server.requests == [query.request.encode()]
    assert_filled(record, query, query.expected(value))
    assert client.is_connected is True


@pytest.mark.parametrize("name", NAMES)
def test_value_of_any_json_kind_stored_unchanged(client, server, name):
    query = QUERIES[name]
    for kind in [None, 2.5, {"obj": [1, None, "x"]}]:
        value = lambda path, v, kind=kind: copy.deepcopy(kind)  # noqa: E731
        server.script(reply(query.reply(value)))
        assert_filled(run(client, query), query, query.expected(value))


def with_extras(query: Query, res):
    """`res` with its members reversed and unknown members first: in `res`, in each group and
    element, plus the nested-object decoys of dotted keys."""

    def mix(members):
        out = {"zz.extra": [1, 2], "extra": {"k": None}}
        for key in members:
            if "." in key and key.split(".")[0] not in members:
                nest_into(out, key, "decoy")
        out.update(reversed(list(members.items())))
        return out

    res = mix(res)
    for group in groups(query):
        res[group] = mix(res[group])
    for path in ELEMENTS:
        if path in query.table:
            res[path[0]][path[1]] = [mix(e) for e in res[path[0]][path[1]]]
    return res


@pytest.mark.parametrize("name", NAMES)
def test_extra_members_and_order_ignored(client, server, name):
    query = QUERIES[name]
    server.script(reply({"extra": 1, "res": with_extras(query, query.res()), "error": "none"}))
    assert_filled(run(client, query), query, query.expected())


@pytest.mark.parametrize("name", NAMES)
def test_any_missing_member_gives_new_default_record(client, server, name):
    query = QUERIES[name]
    cases = list(removals(query))
    records = []
    for label, res in cases:
        server.script(reply({"res": res}))
        records.append(run(client, query))
        assert vars(records[-1]) == {}, label
    for record in records:
        assert_default(record, record_class(query))
    assert len({id(r) for r in records}) == len(records)
    assert len(server.requests) == len(cases)
    assert client.is_connected is True


def nested_cases():
    for name, query in QUERIES.items():
        dotted = [p for p in query.table if "." in p[-1]]
        if dotted:
            yield pytest.param(name, dotted[-1], len(dotted[-1]) - 1, id=f"{name}:{'/'.join(dotted[-1])}")
        dotted_groups = [g for g in groups(query) if "." in g]
        if dotted_groups:
            path = next(p for p in query.table if p[0] == dotted_groups[0])
            yield pytest.param(name, path, 0, id=f"{name}:{dotted_groups[0]}")
    path = ("override", "feed.custom.1")
    yield pytest.param("cnc_info", path, 1, id="cnc_info:override/feed.custom.1")


@pytest.mark.parametrize("name, path, level", list(nested_cases()))
def test_dotted_key_as_nested_objects_fails(client, server, name, path, level):
    query = QUERIES[name]
    res = query.res()
    holder = res
    for key in path[:level]:
        holder = holder[key]
    nest_into(holder, path[level], holder.pop(path[level]))
    server.script(reply({"res": res}))
    assert_default(run(client, query), record_class(query))


BAD_REPLIES = [
    b"",
    b"not json",
    b'{"res":true}',
    b'{"res":"TRUE"}',
    b'{"res":[]}',
    b'{"res":null}',
    b'{"res":"value"}',
    b"[]",
    b'[{"res":{}}]',
    b"{}",
    b'{"RES":{}}',
    b'{"res":{}}',
    b'{"res":{}} x',
    b'{"res"',
]


@pytest.mark.parametrize("name", NAMES)
def test_malformed_reply_gives_default_record(client, server, name):
    query = QUERIES[name]
    bad = BAD_REPLIES + [json.dumps(query.reply())[:-1].encode(), b'{"res":"\xc3\xa9"}']
    for line in bad:
        server.script(reply(line))
        record = run(client, query)
        assert vars(record) == {}, line
        assert type(record) is record_class(query)
        assert client.is_connected is True, line
    assert len(server.requests) == len(bad)


@pytest.mark.parametrize("close_first", [False, True], ids=["never-connected", "closed"])
@pytest.mark.parametrize("name", NAMES)
def test_not_connected_sends_nothing(core, server, name, close_first):
    query = QUERIES[name]
    c = core.CncAPIClientCore()
    if close_first:
        assert c.connect(server.host, server.port) and c.close()
    assert_default(run(c, query), record_class(query))
    assert wire(server, c, connections=int(close_first)) == b""


@pytest.mark.parametrize("name", NAMES)
def test_transport_failure_drops_the_client(client, server, name):
    query = QUERIES[name]
    server.script(reset())
    assert_default(run(client, query), record_class(query))
    assert client.is_connected is False
    assert_default(run(client, query), record_class(query))
    assert server.requests == [query.request.encode()]


@contextmanager
def interrupt_after(seconds):
    """Deliver SIGINT to the main thread after `seconds`; yields an event set when the
    handler ran during the block. A late signal is ignored, so the run is never killed."""
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signals reach the main thread only")
    fired, armed = threading.Event(), [True]

    def handler(signum, frame):
        if armed[0]:
            fired.set()
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, handler)
    timer = threading.Timer(seconds, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
    timer.start()
    try:
        yield fired
    finally:
        armed[0] = False
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGINT, previous)


def _interrupted_calls():
    for name, query in QUERIES.items():
        yield pytest.param(query, record_class(query), id=name)
    geometry = cnc.APIVMGeometryInfo()
    geometry.name = "table"
    yield pytest.param(lambda c: c.get_vm_geometry_info(["base"]), None, id="get_vm_geometry_info")
    yield pytest.param(lambda c: c.set_cnc_parameters(100, [1, 2.5]), False, id="set_cnc_parameters")
    yield pytest.param(lambda c: c.set_vm_geometry_info([geometry]), False, id="set_vm_geometry_info")


@pytest.mark.parametrize("call, outcome", list(_interrupted_calls()))
def test_keyboard_interrupt_while_waiting_is_swallowed(client, server, call, outcome):
    server.script(delay(3.0) + reply())
    start = time.monotonic()
    with interrupt_after(0.15) as fired:
        try:
            result = run(client, call) if isinstance(call, Query) else call(client)
        except KeyboardInterrupt:
            pytest.fail("the interrupt left the call")
    assert fired.is_set()
    assert time.monotonic() - start < 2.0
    if isinstance(outcome, type):
        assert_default(result, outcome)
    else:
        assert result is outcome
    assert client.is_connected is False  # the late reply would answer the next request: Dropped
