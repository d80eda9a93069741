"""A small HTTP endpoint that serves the metrics text on every path but /favicon.ico.

GET and HEAD; `?name[]=FAMILY` (repeatable) limits the families; the body is
gzipped for a scraper that accepts it. One thread per connection, each closed
after its reply; stopping closes the connections still open and joins their
threads.

A scraper sends a line and a few short headers, so a peer is held to little:
the request's head must arrive whole within a few seconds and stay within a
few kilobytes and a few dozen headers, and connections beyond a cap are told
503 and closed at once (the standard library's handler would take a hundred
headers of 64 kB each, from as many connections as are opened, for as long as
they take).

prometheus-client's own server makes the text through its generic exposition,
which costs more than ten times what the exporter's own writer does at the
scale of hundreds of machines; this serves that writer's bytes as they are.
"""

from __future__ import annotations

import gzip
import io
import socket
import socketserver
import sys
import threading
import time
from collections.abc import Callable, Collection
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qs, urlsplit

__all__ = ["HttpLimits", "MetricsServer", "Render"]

# Makes the text, limited to the named families when given.
Render = Callable[[Collection[str] | None], bytes]


@dataclass(frozen=True)
class HttpLimits:
    """What one peer can make the endpoint hold."""

    max_connections: int = 64
    request_timeout: float = 10.0  # seconds for a request's line and headers to arrive whole
    max_head_bytes: int = 8192  # of the request line and headers together
    max_headers: int = 48
    reply_timeout: float = 30.0  # seconds a reply may wait for its reader


_BUSY = b"HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\nRetry-After: 5\r\n\r\n"


class _Server(ThreadingHTTPServer):
    daemon_threads = False  # so that `server_close` joins them (it leaves daemon threads be)
    block_on_close = True
    request_queue_size = 128  # the default 5 makes a burst of connects wait a second or more for a retry

    def __init__(
        self, address: tuple[Any, ...], family: socket.AddressFamily, render: Render, kind: str, limits: HttpLimits
    ) -> None:
        self.address_family = family
        self.render = render
        self.content_type = kind
        self.limits = limits
        self.open: set[socket.socket] = set()
        self.open_lock = threading.Lock()
        self.closing = False
        super().__init__(address, _Handler)

    def process_request(self, request: Any, client_address: Any) -> None:
        with self.open_lock:
            busy = self.closing or len(self.open) >= self.limits.max_connections
            if not busy:
                self.open.add(request)
        if busy:  # no thread for it: answered and closed here, without waiting on the peer
            try:
                request.setblocking(False)
                request.send(_BUSY)
            except OSError:
                pass
            self.shutdown_request(request)
            return
        super().process_request(request, client_address)

    def shutdown_request(self, request: Any) -> None:
        with self.open_lock:
            self.open.discard(request)
        super().shutdown_request(request)

    def hang_up(self) -> None:
        """End the connections still open, so that their threads finish now."""
        with self.open_lock:
            self.closing = True
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

    def handle_one_request(self) -> None:
        """Reads the request's head within the limits, then has the base class parse it from memory."""
        head = self._read_head()
        if head is None:
            self.close_connection = True
            return
        self.connection.settimeout(self.server.limits.reply_timeout)
        self.rfile.close()  # the socket's own reader, unused: closed so that closing the socket frees it
        self.rfile = io.BytesIO(head)
        super().handle_one_request()

    def _read_head(self) -> bytes | None:
        limits = self.server.limits
        deadline = time.monotonic() + limits.request_timeout
        data = bytearray()
        while True:
            end = _end_of_head(data)
            if (end or len(data)) > limits.max_head_bytes:
                self._refuse(431, "the request's head is too long")
                return None
            if end:
                head = bytes(data[:end])
                if head.count(b"\n") - 2 > limits.max_headers:
                    self._refuse(431, "too many header fields")
                    return None
                return head
            left = deadline - time.monotonic()
            if left <= 0:
                self._refuse(408, "the request took too long to arrive")
                return None
            self.connection.settimeout(left)
            try:
                chunk = self.connection.recv(4096)
            except TimeoutError:
                self._refuse(408, "the request took too long to arrive")
                return None
            except OSError:
                return None
            if not chunk:
                return None
            data += chunk

    def _refuse(self, code: int, message: str) -> None:
        self.command, self.requestline, self.request_version = "", "", "HTTP/1.0"
        self.connection.settimeout(1.0)  # a reader that does not take the answer is not waited for
        try:
            self.send_error(code, message)
        except OSError:
            pass

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


def _end_of_head(data: bytearray) -> int:
    """Where the blank line ending a request's head ends (lines may end in CRLF or LF), 0 before it."""
    ends = [i for i in (data.find(b"\n\r\n"), data.find(b"\n\n")) if i >= 0]
    if not ends:
        return 0
    at = min(ends)
    return at + (3 if data.startswith(b"\n\r\n", at) else 2)


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

    def __init__(
        self, addr: str, port: int, render: Render, content_type: str, limits: HttpLimits | None = None
    ) -> None:
        infos = socket.getaddrinfo(addr or None, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
        family, _, _, _, sockaddr = infos[0]
        self._server = _Server(tuple(sockaddr), family, render, content_type, limits or HttpLimits())
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
