"""A small HTTP endpoint that serves the metrics text on every path but /favicon.ico.

GET and HEAD; `?name[]=FAMILY` (repeatable) limits the families; the body is
gzipped for a scraper that accepts it. One thread per connection, each closed
after its reply; stopping closes the connections still open and joins their
threads.

prometheus-client's own server makes the text through its generic exposition,
which costs more than ten times what the exporter's own writer does at the
scale of hundreds of machines; this serves that writer's bytes as they are.
"""

from __future__ import annotations

import gzip
import socket
import socketserver
import sys
import threading
from collections.abc import Callable, Collection
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qs, urlsplit

__all__ = ["MetricsServer", "Render"]

# Makes the text, limited to the named families when given.
Render = Callable[[Collection[str] | None], bytes]


class _Server(ThreadingHTTPServer):
    daemon_threads = False  # so that `server_close` joins them (it leaves daemon threads be)
    block_on_close = True

    def __init__(self, address: tuple[Any, ...], family: socket.AddressFamily, render: Render, kind: str) -> None:
        self.address_family = family
        self.render = render
        self.content_type = kind
        self.open: set[socket.socket] = set()
        self.open_lock = threading.Lock()
        super().__init__(address, _Handler)

    def process_request(self, request: Any, client_address: Any) -> None:
        with self.open_lock:
            self.open.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request: Any) -> None:
        with self.open_lock:
            self.open.discard(request)
        super().shutdown_request(request)

    def hang_up(self) -> None:
        """End the connections still open, so that their threads finish now."""
        with self.open_lock:
            for request in self.open:
                try:
                    request.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def handle_error(self, request: Any, client_address: Any) -> None:
        if isinstance(sys.exc_info()[1], ConnectionError):
            return  # the scraper went away: nothing to report
        super().handle_error(request, client_address)

    def server_bind(self) -> None:
        # The base class looks the host's name up in DNS here, which may take seconds.
        socketserver.TCPServer.server_bind(self)
        self.server_name = str(self.server_address[0])
        self.server_port = int(self.server_address[1])


class _Handler(BaseHTTPRequestHandler):
    server: _Server
    timeout = 30  # a client that sends no request is let go

    def do_GET(self) -> None:
        self._respond(body=True)

    def do_HEAD(self) -> None:
        self._respond(body=False)

    def _respond(self, body: bool) -> None:
        url = urlsplit(self.path)
        if url.path == "/favicon.ico":
            self.send_error(404)
            return
        names = parse_qs(url.query).get("name[]")
        try:
            data = self.server.render(set(names) if names else None)
        except Exception:
            self.send_error(500, "the metrics could not be made")
            raise  # the server prints the traceback
        zipped = _accepts_gzip(self.headers.get("Accept-Encoding", ""))
        if zipped:
            data = gzip.compress(data, compresslevel=1)  # the text repeats itself: level 1 does nearly as well
        self.send_response(200)
        self.send_header("Content-Type", self.server.content_type)
        if zipped:
            self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if body:
            self.wfile.write(data)

    def log_message(self, format: str, *args: object) -> None:
        pass  # a scrape every few seconds is no news


def _accepts_gzip(header: str) -> bool:
    for part in header.split(","):
        coding, _, params = part.strip().partition(";")
        if coding.strip().lower() == "gzip":
            q = params.strip().lower()
            return not (q.startswith("q=") and _quality(q[2:]) == 0.0)
    return False


def _quality(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        return 1.0


class MetricsServer:
    """Serves `render`'s text on ADDR:PORT (port 0: any free one) from a thread of its own."""

    def __init__(self, addr: str, port: int, render: Render, content_type: str) -> None:
        infos = socket.getaddrinfo(addr or None, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
        family, _, _, _, sockaddr = infos[0]
        self._server = _Server(tuple(sockaddr), family, render, content_type)
        self._thread: threading.Thread | None = None

    @property
    def port(self) -> int:
        return self._server.server_port

    def start(self) -> None:
        self._thread = threading.Thread(target=self._server.serve_forever, name="cnc-api-metrics", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        """Stop serving; returns once every thread of the server has ended."""
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join()
            self._thread = None
        self._server.hang_up()
        self._server.server_close()  # joins the connections' threads
