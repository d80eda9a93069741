import io
import re
import socket

import cnc_api_client_core as cnc
import pytest
from cnc_api_tools import records_equal, trace, trace_from_env, untrace
from cnc_api_tools.trace import TracingSocket
from fake_server import FakeServer, close, reply, silence
from tools_helpers import free_port, sim  # noqa: F401

STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}"
DURATION = r" \(\d+\.\d{3} ms\)$"


@pytest.fixture
def server():
    with FakeServer() as srv:
        yield srv


def traced(server, out):
    c = trace(cnc.CncAPIClientCore(), out)
    assert c.connect(server.host, server.port)
    server.wait_connection()
    return c


def lines(out):
    return out.getvalue().splitlines()


@pytest.mark.parametrize(
    ("call", "wire"),
    [
        (lambda c: c.cnc_start(), b'{"cmd":"cnc.start"}'),
        (lambda c: c.set_override_feed(50), b'{"set":"override", "name":"feed", "value":50}'),
        (
            lambda c: c.cnc_mdi_command('G0 X1 (say "hi" \u00e9)'),
            b'{"cmd":"cnc.mdi.command","command":"G0 X1 (say \\"hi\\" \\u00e9)"}',
        ),
        (
            lambda c: c.program_gcode_set_text("G0 X1\nG1 Y2"),
            b'{"cmd":"program.gcode.set.text","text":"G0 X1\\nG1 Y2"}',
        ),
        (lambda c: c.get_cnc_parameters(100, 3), b'{"get":"cnc.parameters", "address":100, "elements":3}'),
        (  # large enough to go to the socket in pieces: still one line
            lambda c: c.program_gcode_set_text("G1 X1\n" * 20_000),
            b'{"cmd":"program.gcode.set.text","text":"' + b"G1 X1\\n" * 20_000 + b'"}',
        ),
    ],
)
def test_trace_shows_the_exact_request_bytes_and_the_reply(server, call, wire):
    out = io.StringIO()
    c = traced(server, out)
    server.script(reply(b'{"res":true}'))
    call(c)
    assert server.requests == [wire]
    sent = [ln for ln in lines(out) if " -> " in ln]
    assert len(sent) == 1
    assert re.fullmatch(rf"{STAMP} 127\.0\.0\.1:{server.port} -> (.*)", sent[0]).group(1) == wire.decode()
    got = [ln for ln in lines(out) if " <- " in ln]
    assert len(got) == 1 and re.search(r'<- \{"res":true\}' + DURATION, got[0])


def test_connect_and_close_are_traced(server):
    out = io.StringIO()
    c = traced(server, out)
    assert c.close()
    assert [ln.split(" ", 2)[2] for ln in lines(out)] == ["connected", "closed"]


def test_connect_failure_is_traced():
    out = io.StringIO()
    port = free_port()
    c = trace(cnc.CncAPIClientCore(), out)
    assert c.connect("127.0.0.1", port) is False
    assert f"127.0.0.1:{port} connect failed: Connection refused" in out.getvalue()


def test_stale_bytes_and_non_ascii_replies_show_as_bytes(server):
    out = io.StringIO()
    c = traced(server, out)
    server.push(b"late\n")
    server.script(reply(b'{"res":"\xc3\xa9"}'))
    assert c.cnc_stop() is False  # a byte outside ASCII fails the command
    text = out.getvalue()
    assert "discarded 5 stale bytes: late\\x0a" in text
    assert '<- {"res":"\\xc3\\xa9"}' in text


def test_server_closing_is_traced(server):
    out = io.StringIO()
    c = traced(server, out)
    server.script(close())
    assert c.get_cnc_info().has_data is False
    assert "<- connection closed by the server" in out.getvalue()
    assert not c.is_connected


@pytest.mark.slow
def test_a_reply_that_never_comes_is_traced_as_timed_out(server):
    out = io.StringIO()
    c = traced(server, out)
    server.script(silence())
    assert c.cnc_pause() is False
    assert re.search(r"<- no reply: timed out \((\d+)\.\d{3} ms\)", out.getvalue())
    assert not c.is_connected


def test_tracing_changes_no_result(sim):  # noqa: F811
    plain, traced_client = cnc.CncAPIClientCore(), trace(cnc.CncAPIClientCore(), io.StringIO())
    for c in (plain, traced_client):
        assert c.connect("127.0.0.1", sim.port)
    for query in ("get_axes_info", "get_compile_info", "get_enabled_commands", "get_system_info"):
        assert records_equal(getattr(plain, query)(), getattr(traced_client, query)())


def test_untrace_restores_the_native_path(server):
    c = traced(server, io.StringIO())
    assert isinstance(c.ipc, TracingSocket)
    trace(c, io.StringIO())  # tracing twice wraps the socket once
    assert type(c.ipc.socket) is socket.socket
    untrace(c)
    assert type(c.ipc) is socket.socket
    assert c.cnc_start() is True


def test_two_clients_share_a_trace_file(tmp_path, sim):  # noqa: F811
    path = tmp_path / "wire.log"
    clients = [trace(cnc.CncAPIClientCore(), path), trace(cnc.CncAPIClientCore(), str(path), label="second")]
    for c in clients:
        assert c.connect("127.0.0.1", sim.port)
        c.get_cnc_info()
    text = path.read_text()
    assert f'127.0.0.1:{sim.port} -> {{"get":"cnc.info"}}' in text
    assert 'second -> {"get":"cnc.info"}' in text


@pytest.mark.parametrize("value", ["", "  "])
def test_trace_from_env_unset_leaves_the_client_alone(value):
    c = trace_from_env(cnc.CncAPIClientCore(), {"CNC_API_TRACE": value})
    assert type(c.ipc) is socket.socket


def test_trace_from_env_writes_to_the_named_file(tmp_path, server):
    path = tmp_path / "env.log"
    c = trace_from_env(cnc.CncAPIClientCore(), {"CNC_API_TRACE": str(path)})
    assert c.connect(server.host, server.port)
    c.cnc_continue()
    assert '-> {"cmd":"cnc.continue"}' in path.read_text()
