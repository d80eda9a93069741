"""Serving the dashboard: the listen address, the control check that depends on it, and uvicorn."""

from __future__ import annotations

import asyncio
import ipaddress
import socket
import threading
import time
from types import FrameType

import uvicorn
from starlette.applications import Starlette

from ..link import parse_endpoint
from .guard import Limits, guarded_protocol
from .hub import Hub

__all__ = ["DEFAULT_LISTEN", "DashboardServer", "control_listen_error", "is_loopback", "parse_listen"]

DEFAULT_LISTEN = "127.0.0.1:8050"
DEFAULT_LISTEN_PORT = 8050


def parse_listen(text: str) -> tuple[str, int]:
    """``ADDR:PORT``, ``[V6]:PORT``, ``ADDR`` or ``PORT`` (on 127.0.0.1); port 0 picks a free one."""
    text = text.strip()
    if text.isdigit():
        text = f"127.0.0.1:{text}"
    elif text.startswith("[") and text[1:].partition("]")[2][:1] not in ("", ":"):
        raise ValueError(f"bad listen address {text!r}")
    return parse_endpoint(
        text,
        DEFAULT_LISTEN_PORT,
        no_host=f"no address in {text!r} (write 127.0.0.1:PORT, or 0.0.0.0:PORT for every interface)",
    )


def is_loopback(host: str) -> bool:
    """True when every address `host` stands for is a loopback address (the unspecified ones are not)."""
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        pass
    try:
        infos = socket.getaddrinfo(host, None, proto=socket.IPPROTO_TCP)
    except (OSError, UnicodeError):
        return False
    addresses = {info[4][0] for info in infos}
    return bool(addresses) and all(ipaddress.ip_address(str(a).split("%")[0]).is_loopback for a in addresses)


def control_listen_error(host: str, allow_control: bool, token: str | None) -> str | None:
    """Why this combination must not start, or None."""
    if token is not None and not token.strip():
        return "--token must not be empty"
    if allow_control and not token and not is_loopback(host):
        return (
            f"--allow-control on {host} would let anyone who reaches that address start and stop "
            "the machines: give --token (or listen on 127.0.0.1)"
        )
    return None


def bind(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    if family == socket.AF_INET and not _is_ipv4(host):
        # a name: listen on what it resolves to first
        family, _, _, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0]
        host = str(address[0])
    sock = socket.create_server((host, port), family=family, backlog=128)
    sock.set_inheritable(True)
    return sock


def _is_ipv4(host: str) -> bool:
    try:
        return ipaddress.ip_address(host).version == 4
    except ValueError:
        return False


class _Server(uvicorn.Server):
    """uvicorn, ending the live streams as soon as it is asked to stop.

    uvicorn waits for open responses before it stops, and a live stream never
    ends by itself.
    """

    def __init__(self, config: uvicorn.Config, hub: Hub) -> None:
        super().__init__(config)
        self.hub = hub
        self.loop: asyncio.AbstractEventLoop | None = None

    async def serve(self, sockets: list[socket.socket] | None = None) -> None:
        self.loop = asyncio.get_running_loop()
        await super().serve(sockets)

    def end_streams(self) -> None:
        loop = self.loop
        if loop is not None and not loop.is_closed():
            loop.call_soon_threadsafe(self.hub.begin_shutdown)

    def handle_exit(self, sig: int, frame: FrameType | None) -> None:
        self.end_streams()
        super().handle_exit(sig, frame)


class DashboardServer:
    """The application on a bound socket; `run()` serves in this thread, `start()` in a new one."""

    def __init__(self, app: Starlette, host: str = "127.0.0.1", port: int = 0, log_level: str = "warning") -> None:
        self.app = app
        self.socket = bind(host, port)
        address = self.socket.getsockname()
        self.host, self.port = str(address[0]), int(address[1])
        limits: Limits = getattr(app.state, "limits", None) or Limits()
        config = uvicorn.Config(
            app,
            http=guarded_protocol(limits),
            log_level=log_level,
            access_log=False,
            lifespan="on",
            timeout_graceful_shutdown=3,
            timeout_keep_alive=max(1, round(limits.keep_alive)),
            h11_max_incomplete_event_size=limits.max_header_bytes,
        )
        self.server = _Server(config, app.state.hub)
        self._thread: threading.Thread | None = None

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}/"

    def run(self) -> None:
        """Serve until stopped (Ctrl-C in the main thread, or `stop()`); closes the socket."""
        try:
            self.server.run(sockets=[self.socket])
        finally:
            self.socket.close()

    def start(self, timeout: float = 10.0) -> None:
        """Serve on a thread of its own; returns once the server accepts requests."""
        self._thread = threading.Thread(target=self.run, name="cnc-api-dashboard", daemon=True)
        self._thread.start()
        deadline = time.monotonic() + timeout
        while not self.server.started:
            if not self._thread.is_alive() or time.monotonic() > deadline:
                raise RuntimeError("the dashboard did not start")
            time.sleep(0.01)

    def stop(self, timeout: float = 10.0) -> None:
        self.server.should_exit = True
        self.server.end_streams()
        if self._thread is not None:
            self._thread.join(timeout)
