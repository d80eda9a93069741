import socket

import pytest
from conftest import send, wire
from fake_server import FakeServer, drip


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def dropped(client, server):
    """A client whose exchange failed on a gap between reply bytes (socket left open)."""
    server.script(drip(b"ab", interval=1.2))
    assert send(client, "{}") == ""
    assert client.is_connected is False
    return client


def test_new_client(core):
    c = core.CncAPIClientCore()
    assert list(vars(c)) == ["ipc", "is_connected"]
    assert c.is_connected is False
    assert isinstance(c.ipc, socket.socket)
    assert (c.ipc.family, c.ipc.type, c.ipc.gettimeout()) == (socket.AF_INET, socket.SOCK_STREAM, None)
    assert c.close() is False


def test_connect_and_close(core, server):
    c = core.CncAPIClientCore()
    ipc = c.ipc
    assert c.connect(server.host, server.port) is True
    assert c.is_connected is True and c.ipc.gettimeout() is None
    assert c.ipc.getpeername() == server.address
    assert c.close() is True
    assert c.is_connected is False and c.ipc is ipc and ipc.fileno() == -1
    assert c.close() is False
    assert c.connect(server.host, server.port) is False
    assert c.is_connected is False and c.ipc is ipc
    assert wire(server, c) == b""


def test_second_connect_keeps_first_connection(client, server):
    with FakeServer(default=b"other") as other:
        assert client.connect(other.host, other.port) is False
        assert client.connect(server.host, server.port) is False
        assert client.is_connected is True
        assert send(client, "{}") == '{"res":true}'
        assert other.connections == 0


@pytest.mark.parametrize(
    "host, port",
    [
        ("127.0.0.1", 70000),
        ("127.0.0.1", -1),
        ("127.0.0.1", "80"),
        ("127.0.0.1", 1.5),
        ("127.0.0.1", None),
        (None, 80),
        ("", "x"),
    ],
    ids=["port-too-big", "port-negative", "port-text", "port-float", "port-none", "host-none", "junk"],
)
def test_failed_connect_returns_false(core, server, host, port):
    c = core.CncAPIClientCore()
    assert c.connect(host, port) is False
    assert c.is_connected is False
    assert c.connect(server.host, server.port) is True  # the same socket is tried again


def test_refused_connect_then_retry_on_same_socket(core, server):
    c = core.CncAPIClientCore()
    ipc = c.ipc
    assert c.connect("127.0.0.1", free_port()) is False
    assert c.connect(server.host, server.port) is True and c.ipc is ipc


@pytest.mark.parametrize("host", [1, b"127.0.0.1", ("127.0.0.1",)])
@pytest.mark.parametrize("connected", [False, True])
def test_bad_host_type_raises_before_network(core, server, host, connected):
    c = core.CncAPIClientCore()
    if connected:
        c.connect(server.host, server.port)
        server.wait_connection()
    with pytest.raises(TypeError, match=r"^Argument 'host' has incorrect type \(expected str, got "):
        c.connect(host, server.port)
    assert c.is_connected is connected
    assert server.connections == int(connected)
    assert wire(server, c, connections=int(connected)) == b""


@pytest.mark.parametrize("connected", [False, True])
def test_close_cnc_control_software_sends_nothing(core, server, connected):
    c = core.CncAPIClientCore()
    if connected:
        c.connect(server.host, server.port)
    assert c.close_cnc_control_software() is None
    assert c.is_connected is connected
    assert wire(server, c, connections=int(connected)) == b""


def test_dropped_client(dropped, server):
    ipc = dropped.ipc
    assert dropped.close() is False
    assert dropped.connect(server.host, server.port) is False
    assert dropped.is_connected is False and dropped.ipc is ipc and ipc.fileno() != -1
    assert send(dropped, '{"cmd":"late"}') == ""
    assert dropped._CncAPIClientCore__execute_request('{"cmd":"late"}') is False
    assert wire(server, dropped) == b"{}\n"
