"""The fault controls over the wire: JSON lines on a port of their own, one command per line.

    {"fault": "stall", "machine": "sim-1", "count": 2}   ->  {"ok": true}
    {"fault": "machines"}                                  ->  {"ok": true, "machines": [...]}

`machine` may be left out when there is only one, or be "*" for every machine; the other
members are the arguments of the fault (see `Faults`). Bounded: a few connections, short
lines, and an idle connection is closed.
"""

from __future__ import annotations

import json
import socket
import socketserver
import threading
from typing import Any

from .faults import controls
from .fleet import Fleet

MAX_LINE = 64 * 1024
MAX_CONNECTIONS = 16
IDLE_SECONDS = 300.0


class _Handler(socketserver.StreamRequestHandler):
    server: _Server

    def handle(self) -> None:
        self.request.settimeout(IDLE_SECONDS)
        try:
            while True:
                line = self.rfile.readline(MAX_LINE + 1)
                if not line:
                    return
                if len(line) > MAX_LINE and not line.endswith(b"\n"):
                    self.wfile.write(_reply({"ok": False, "error": "line too long"}))
                    return
                self.wfile.write(_reply(self.server.command(line)))
        except OSError:
            pass  # gone, or idle for too long


def _reply(obj: dict[str, Any]) -> bytes:
    return (json.dumps(obj, separators=(",", ":")) + "\n").encode()


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    block_on_close = True  # server_close waits for the handlers, which `hang_up` ends first

    def __init__(self, fleet: Fleet, address: tuple[str, int]) -> None:
        self.fleet = fleet
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        self._active = threading.BoundedSemaphore(MAX_CONNECTIONS)
        self._open: set[socket.socket] = set()
        self._guard = threading.Lock()
        super().__init__(address, _Handler)

    def hang_up(self) -> None:
        with self._guard:
            for sock in self._open:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def process_request(self, request: Any, client_address: Any) -> None:
        if not self._active.acquire(blocking=False):
            self.shutdown_request(request)  # too many at once: turned away
            return
        super().process_request(request, client_address)

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        with self._guard:
            self._open.add(request)
        try:
            super().process_request_thread(request, client_address)
        finally:
            with self._guard:
                self._open.discard(request)
            self._active.release()

    def command(self, line: bytes) -> dict[str, Any]:
        try:
            req = json.loads(line)
        except (UnicodeDecodeError, ValueError):
            return {"ok": False, "error": "not JSON"}
        if not isinstance(req, dict) or not isinstance(req.get("fault"), str):
            return {"ok": False, "error": "expected an object with a 'fault' member"}
        fault = req.pop("fault")
        if fault == "machines":
            return {"ok": True, "machines": [{"name": n, "host": h, "port": p} for n, h, p in self.fleet.addresses()]}
        target = req.pop("machine", None)
        if target is None and len(self.fleet) == 1:
            sims = list(self.fleet)
        elif target == "*":
            sims = list(self.fleet)
        elif isinstance(target, str) and target in self.fleet.sims:
            sims = [self.fleet[target]]
        else:
            return {"ok": False, "error": f"no machine {target!r}"}
        if fault == "pending":
            return {"ok": True, "pending": {sim.name: sim.faults.pending() for sim in sims}}
        try:
            for sim in sims:
                call = controls(sim.faults).get(fault)
                if call is None:
                    return {"ok": False, "error": f"no fault {fault!r}"}
                call(**req)
        except (TypeError, ValueError) as exc:
            return {"ok": False, "error": str(exc)}
        return {"ok": True}


class ControlServer:
    """Serves the fault controls of `fleet` on `host:port` (port 0: a free one) on a thread."""

    def __init__(self, fleet: Fleet, host: str = "127.0.0.1", port: int = 0) -> None:
        self.fleet = fleet
        self.host = host
        self.requested_port = port
        self.port = 0
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None

    def start(self) -> int:
        self._server = _Server(self.fleet, (self.host, self.requested_port))
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, name="cnc_api_simulator control")
        self._thread.daemon = True
        self._thread.start()
        return self.port

    def stop(self) -> None:
        if self._server is not None and self._thread is not None:
            self._server.shutdown()
            self._thread.join()
            self._server.hang_up()
            self._server.server_close()
            self._server = None
