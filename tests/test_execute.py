import cnc_api_client_core as cnc
import pytest
from conftest import EXCHANGE_PATHS, client_on_path, wire
from fake_server import reply, reset

evaluate = cnc.CncAPIClientCore._CncAPIClientCore__evaluate_response
START = '{"cmd":"cnc.start"}'

# Every test here runs on the native path and on the generic one.
client = pytest.fixture(params=EXCHANGE_PATHS, name="client")(client_on_path)

SUCCESS = [
    '{"res":true}',
    '{"res":"TRUE"}',
    '{"res":"True"}',
    '{"res":"true"}',
    '{"res":"tRuE"}',
    ' {"res": true, "x": 1} ',
    '{"x":{"res":false},"res":true}',
]
FAILURE = [
    '{"res":false}',
    '{"res":null}',
    '{"res":0}',
    '{"res":1}',
    '{"res":1.0}',
    '{"res":"yes"}',
    '{"res":"false"}',
    '{"res":" true"}',
    '{"res":{}}',
    '{"res":{"res":true}}',
    '{"res":[]}',
    '{"res":[true]}',
    '{"ok":true}',
    '{"RES":true}',
    "true",
    '"true"',
    "not json",
    '{"res":true} x',
    '[{"res":true}]',
    "[]",
    "{}",
    "",
]
TABLE = [(r, True) for r in SUCCESS] + [(r, False) for r in FAILURE]


def execute(client, request):
    return client._CncAPIClientCore__execute_request(request)


@pytest.mark.parametrize("response, expected", TABLE + [(None, False)])
def test_evaluate_response(response, expected):
    assert evaluate(response) is expected


@pytest.mark.parametrize("response, expected", TABLE)
def test_execute_judges_reply(client, server, response, expected):
    server.script(reply(response))
    assert execute(client, START) is expected
    assert server.requests == [START.encode()]
    assert client.is_connected is True


@pytest.mark.parametrize("request_text", [START, None, ""])
def test_execute_when_not_connected_sends_nothing(core, server, request_text):
    c = core.CncAPIClientCore()
    assert execute(c, request_text) is False
    assert c.connect(server.host, server.port) and c.close()
    assert execute(c, request_text) is False
    assert wire(server, c) == b""


@pytest.mark.parametrize("request_text", [None, "", "a\nb"], ids=["none", "empty", "inner-lf"])
def test_execute_unsendable_request_is_false(client, server, request_text):
    assert execute(client, request_text) is False
    assert client.is_connected is True
    assert wire(server, client) == b""


def test_execute_non_ascii_reply_is_false_and_connected(client, server):
    server.script(reply(b'{"res":"\xc3\xa9"}'), reply(b'{"res":"TRUE"}'))
    assert execute(client, START) is False
    assert client.is_connected is True
    assert execute(client, START) is True


def test_execute_transport_failure(client, server):
    server.script(reset())
    assert execute(client, START) is False
    assert client.is_connected is False
    assert execute(client, START) is False
    assert server.requests == [START.encode()]
