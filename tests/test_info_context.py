"""The info context: four records refreshed in one call through the client it holds."""

import cnc_api_client_core as cnc
import pytest
from conftest import wire
from fake_server import reply, reset
from replies import QUERIES, assert_default, assert_filled, record_defaults_untouched  # noqa: F401

Context = cnc.CncAPIInfoContext
FIELDS = ["axes_info", "cnc_info", "compile_info", "enabled_commands"]  # also the QUERIES keys, in update order
REQUESTS = [QUERIES[f].request.encode() for f in FIELDS]
INITIAL = {f: getattr(Context, f) for f in FIELDS}


def fields(context):
    return [getattr(context, f) for f in FIELDS]


def full_replies(server, *names):
    server.script(*(reply(QUERIES[n].reply()) for n in names))


@pytest.mark.parametrize("close_first", [False, True], ids=["never-connected", "closed"])
def test_not_connected_update_is_false(core, server, close_first):
    c = core.CncAPIClientCore()
    if close_first:
        assert c.connect(server.host, server.port) and c.close()
    a, b = Context(c), Context(api=c)
    assert a._CncAPIInfoContext__api is c
    assert a.update() is False
    assert fields(a) == fields(b) == list(INITIAL.values())
    assert all(x is y for x, y in zip(fields(a), INITIAL.values(), strict=True))
    assert wire(server, c, connections=int(close_first)) == b""


def test_update_refreshes_in_order(client, server):
    first, second = Context(client), Context(client)
    full_replies(server, *FIELDS)
    assert first.update() is True
    assert server.requests == REQUESTS
    for name in FIELDS:
        assert_filled(getattr(first, name), QUERIES[name], QUERIES[name].expected())
    assert all(x is y for x, y in zip(fields(second), INITIAL.values(), strict=True))  # not updated: still shared
    assert all(vars(r) == {} for r in INITIAL.values())

    kept = fields(first)
    full_replies(server, *FIELDS)
    assert second.update() is True
    assert server.requests == REQUESTS * 2
    assert fields(first) == kept
    assert all(x is not y for x, y in zip(fields(second), kept, strict=True))


def test_failed_query_is_stored_and_update_is_true(client, server):
    context = Context(client)
    full_replies(server, "axes_info", "cnc_info")
    server.script(reply(b'{"res":{"code":1}}'))
    full_replies(server, "enabled_commands")
    assert context.update() is True
    assert_default(context.compile_info, cnc.APICompileInfo)
    assert context.compile_info is not INITIAL["compile_info"]
    assert all(getattr(context, f).has_data is True for f in ("axes_info", "cnc_info", "enabled_commands"))


def test_connection_drop_during_second_query(client, server):
    context = Context(client)
    full_replies(server, "axes_info")
    server.script(reset())
    assert context.update() is True
    assert_filled(context.axes_info, QUERIES["axes_info"], QUERIES["axes_info"].expected())
    for name in FIELDS[1:]:
        assert_default(getattr(context, name), getattr(cnc, QUERIES[name].record))
        assert getattr(context, name) is not INITIAL[name]
    assert client.is_connected is False
    kept = fields(context)
    assert context.update() is False
    assert fields(context) == kept
    assert server.requests == REQUESTS[:2]


class Foreign:
    """A stand-in client: records which queries `update` asks for."""

    def __init__(self, missing=(), **attributes):
        self.calls, self.missing = [], set(missing)
        vars(self).update(attributes)

    def __getattr__(self, name):
        if not name.startswith("get_") or name in self.missing:
            raise AttributeError(name)

        def query():
            self.calls.append(name)
            return f"{name} result"

        return query


@pytest.mark.parametrize("flag", [1, 1.0, "yes", None, False, [True]])
def test_flag_must_be_true_itself(client, server, flag):
    foreign = Foreign(is_connected=flag)
    assert Context(foreign).update() is False
    assert foreign.calls == []
    client.is_connected = flag
    context = Context(client)
    assert context.update() is False
    assert fields(context) == list(INITIAL.values())
    client.is_connected = True
    assert wire(server, client) == b""


def test_foreign_client_is_used_as_given():
    foreign = Foreign(is_connected=True)
    context = Context(foreign)
    assert context.update() is True
    queries = [f"get_{f}" for f in FIELDS]
    assert foreign.calls == queries
    assert fields(context) == [f"{q} result" for q in queries]


@pytest.mark.parametrize(
    "api, done",
    [
        (Foreign(missing={"get_compile_info"}, is_connected=True), 2),
        (Foreign(missing={"get_axes_info"}, is_connected=True), 0),
        (Foreign(missing={"get_enabled_commands"}, is_connected=True), 3),
        (Foreign(), 0),
        (object(), 0),
    ],
    ids=["no-compile-query", "no-axes-query", "no-enabled-query", "no-flag", "plain-object"],
)
def test_attribute_errors_of_foreign_client_raise(api, done):
    context = Context(api)
    with pytest.raises(AttributeError) as info:
        context.update()
    if type(api) is object:
        assert str(info.value) == "'object' object has no attribute 'is_connected'"
    assert fields(context)[:done] == [f"get_{f} result" for f in FIELDS[:done]]
    assert all(x is y for x, y in zip(fields(context)[done:], list(INITIAL.values())[done:], strict=True))
