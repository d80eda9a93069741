"""Clients under threads: misuse must not crash, proper use must stay in step."""

import json
import pathlib
import socket
import socketserver
import subprocess
import sys
import threading

import pytest
from fake_server import FakeServer, delay, reply

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

from soak import GOOD  # noqa: E402  realistic query replies

HOST = "127.0.0.1"


def answer(request: bytes) -> bytes:
    """A reply that depends on the request, so a reply read by the wrong
    caller or out of turn shows."""
    try:
        req = json.loads(request)
    except ValueError:
        return b'{"res":false}'
    op = req.get("get")
    if op == "echo":
        return b'{"res":' + request + b"}"
    if op == "cnc.parameters":
        return json.dumps({"res": {"parameters": [req["address"], req["elements"]]}}).encode()
    if op == "vm.geometry.info":
        elements = [
            {
                "name": n,
                "x": float(i),
                "y": 0.0,
                "z": 0.0,
                "color": i,
                "scale": 1.0,
                "visible": True,
                "edges.angle": 30.0,
                "edges.visible": False,
            }
            for i, n in enumerate(req["name"])
        ]
        return json.dumps({"res": elements}).encode()
    for needle, line in GOOD.items():
        if needle.encode() in request:
            return json.dumps(line, separators=(",", ":")).encode()
    # Commands with a number succeed exactly for even numbers.
    number = next((v for k, v in req.items() if k in ("value", "line", "point", "axes.mask")), 0)
    return b'{"res":true}' if number % 2 == 0 else b'{"res":false}'


class _EchoHandler(socketserver.StreamRequestHandler):
    def setup(self):
        super().setup()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def handle(self):
        try:
            for line in self.rfile:
                self.wfile.write(answer(line.rstrip(b"\n")) + b"\n")
        except OSError:
            pass


class EchoServer(socketserver.ThreadingTCPServer):
    """Many connections at once, one thread each, answers from `answer`."""

    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(self):
        super().__init__((HOST, 0), _EchoHandler)
        self.port = self.server_address[1]
        self.thread = threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def close(self):
        self.shutdown()
        self.server_close()


@pytest.fixture(scope="module")
def echo():
    server = EchoServer()
    yield server
    server.close()


# Two threads share one client, with no lock. A thread that finds the client
# dropped swaps in a fresh socket (a plain one or a subclass, which takes the
# module's generic path) and reconnects while the other may still be in an
# exchange on the old one; some calls close it outright.
HAMMER = r"""
import json, random, socket, sys, threading, time
import cnc_api_client_core as cnc

port, seconds = int(sys.argv[1]), float(sys.argv[2])
sys.setswitchinterval(1e-6)  # switch threads inside the module's calls back into Python
client = cnc.CncAPIClientCore()
assert client.connect("127.0.0.1", port)
context = cnc.CncAPIInfoContext(client)
record = cnc.APIVMGeometryInfo()
record.name = "table"
RAW = (TypeError, UnicodeDecodeError)  # what the raw exchange may raise

class PySocket(socket.socket):
    # Takes the generic path, with Python code (thread switches) in every receive.
    def recv(self, size):
        return super().recv(size)

def shutdown(sock):
    # A socket closed under a waiting thread would only cost it the 5-second
    # time-out; shutting it down first wakes that thread at once.
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass

ops = [
    (lambda: client.cnc_start(), ()),
    (lambda: client.set_override_feed(42), ()),
    (lambda: client.cnc_mdi_command("G0 X1 (\u00e9)"), ()),
    (lambda: client.program_gcode_set_text("G1 X1\n" * 200), ()),
    (lambda: client.get_cnc_info(), ()),
    (lambda: client.get_axes_info(), ()),
    (lambda: client.get_machining_info(), ()),
    (lambda: client.get_programmed_points(), ()),
    (lambda: client.get_cnc_parameters(3, 4), ()),
    (lambda: client.get_vm_geometry_info(["base", "table"]), ()),
    (lambda: client.set_vm_geometry_info([record]), ()),
    (lambda: client.set_cnc_parameters(1, [1, 2.5]), ()),
    (lambda: context.update(), ()),
    (lambda: client._CncAPIClientCore__send_command('{"get":"echo","n":1}'), RAW),
    (lambda: client._CncAPIClientCore__execute_request('{"cmd":"cnc.stop"}'), ()),
    (lambda: shutdown(client.ipc) or client.close(), ()),
]
weights = [8] * (len(ops) - 1) + [1]
deadline = time.monotonic() + seconds
calls, escaped = [0, 0], []

def hammer(k):
    rnd = random.Random(k)
    while time.monotonic() < deadline:
        if not client.is_connected:
            old, client.ipc = client.ipc, rnd.choice((socket.socket,) * 3 + (PySocket,))()
            shutdown(old)
            old.close()
            client.connect("127.0.0.1", port)
        call, allowed = rnd.choices(ops, weights)[0]
        try:
            call()
        except allowed:
            pass
        except BaseException as exc:
            escaped.append(repr(exc))
        calls[k] += 1

threads = [threading.Thread(target=hammer, args=(k,)) for k in range(2)]
for t in threads:
    t.start()
for t in threads:
    t.join()
fresh = cnc.CncAPIClientCore()
assert fresh.connect("127.0.0.1", port)
print(json.dumps({"calls": calls, "escaped": escaped[:5],
                  "fresh": fresh.get_cnc_parameters(5, 6).parameters}))
"""


def test_two_threads_on_one_client_never_crash(core, echo):
    proc = subprocess.run(
        [sys.executable, "-c", HAMMER, str(echo.port), "3"], capture_output=True, text=True, timeout=90
    )
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr[-4000:]}"
    result = json.loads(proc.stdout.splitlines()[-1])
    # A thread whose reply the other one took may keep losing the race for the
    # next line until the 5-second time-out: only the sum is reliably large.
    assert min(result["calls"]) >= 1 and sum(result["calls"]) > 100, result
    # Out of step is allowed; errors leaking out of commands and queries are not.
    assert result["escaped"] == []
    assert result["fresh"] == [5, 6]


THREADS, CLIENTS, ROUNDS = 8, 8, 15


class PySocket(socket.socket):
    """Takes the module's generic exchange, whose socket calls run Python code
    where the interpreter may switch threads."""

    def recv(self, size):
        return super().recv(size)


def test_many_clients_on_many_threads_stay_in_step(core, echo):
    """Each thread owns its clients (half of them on the generic exchange);
    every reply must be its own request's."""
    wrong, dropped, failed = [], [], []
    barrier = threading.Barrier(THREADS, timeout=30)

    def work(t):
        try:
            run(t)
        except BaseException as exc:  # a thread's exception would otherwise be lost
            failed.append((t, repr(exc)))

    def run(t):
        clients = [core.CncAPIClientCore() for _ in range(CLIENTS)]
        for i, c in enumerate(clients):
            if i % 2:
                c.ipc.close()
                c.ipc = PySocket()
            assert c.connect(HOST, echo.port) is True
        barrier.wait()
        for n in range(ROUNDS):
            for i, c in enumerate(clients):
                tag = f"t{t}c{i}n{n}"
                request = json.dumps({"get": "echo", "tag": tag})
                got = c._CncAPIClientCore__send_command(request)
                if got != '{"res":' + request + "}":
                    wrong.append((tag, "echo", got))
                params = c.get_cnc_parameters(1000 * t + i, n)
                if not params.has_data or params.parameters != [1000 * t + i, n]:
                    wrong.append((tag, "cnc.parameters", params.parameters))
                records = c.get_vm_geometry_info([tag, "base"])
                if records is None or [r.name for r in records] != [tag, "base"]:
                    wrong.append((tag, "vm.geometry.info", records))
                value = t * CLIENTS * ROUNDS + i * ROUNDS + n
                if c.set_override_feed(value) is not (value % 2 == 0):
                    wrong.append((tag, "override", value))
                if c.cnc_start_from_line(value + 1) is not (value % 2 == 1):
                    wrong.append((tag, "start.from.line", value + 1))
        for i, c in enumerate(clients):
            if not c.is_connected:
                dropped.append((t, i))
            c.close()

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(120)
    assert not any(th.is_alive() for th in threads)
    assert failed == [] and wrong == [] and dropped == []


def test_waiting_client_lets_other_threads_run(core, echo):
    """A call waiting for a slow reply must not hold up calls on other threads."""
    with FakeServer() as slow_server:
        slow_server.script(delay(1.0) + reply({"res": True}))
        slow = core.CncAPIClientCore()
        assert slow.connect(slow_server.host, slow_server.port) is True
        result = []
        waiter = threading.Thread(target=lambda: result.append(slow.cnc_start()))
        fast = core.CncAPIClientCore()
        assert fast.connect(HOST, echo.port) is True
        waiter.start()
        slow_server.wait_requests(1)
        done = 0
        while waiter.is_alive() and done < 50:
            done += fast.get_cnc_parameters(done, 1).parameters == [done, 1]
        waiter.join(10)
        assert result == [True]
        assert done == 50
        slow.close()
        fast.close()
