"""The web application: two pages, their JSON, the live streams and the control requests.

Everything a page loads comes from this application (the content security
policy allows no other source), so the dashboard works where the plant network
reaches no other host.
"""

from __future__ import annotations

import asyncio
import contextlib
import hashlib
import hmac
import ipaddress
import logging
import os
from collections.abc import AsyncIterator, Callable, Iterator, Sequence
from dataclasses import dataclass, replace
from typing import Any
from urllib.parse import urlsplit

from starlette.applications import Starlette
from starlette.datastructures import Headers
from starlette.requests import Request
from starlette.responses import HTMLResponse, PlainTextResponse, Response, StreamingResponse
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles
from starlette.templating import Jinja2Templates
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from .guard import Limits
from .hub import ACTIONS, Endpoint, Hub, MachineWatch, Settings, dumps
from .programs import ProgramFiles

__all__ = ["ControlPolicy", "create_app", "host_allowed"]

log = logging.getLogger("cnc_api_tools.dashboard")

HERE = os.path.dirname(os.path.abspath(__file__))
KEEPALIVE = 15.0  # seconds between comments on an idle stream, so proxies keep it open
CONTROL_HEADER = "x-cnc-dashboard"

SECURITY_HEADERS = [
    (
        b"content-security-policy",
        b"default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
        b"connect-src 'self'; font-src 'self'; object-src 'none'; base-uri 'none'; "
        b"form-action 'self'; frame-ancestors 'none'",
    ),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
    (b"x-frame-options", b"DENY"),
]


@dataclass(frozen=True)
class ControlPolicy:
    """Who may start, pause and stop machines through the dashboard."""

    allowed: bool = False
    token: str | None = None
    loopback_only: bool = True  # listening on loopback: requests must name a loopback host

    @property
    def token_required(self) -> bool:
        return self.allowed and bool(self.token)


class SecurityHeaders:
    """Adds the content security policy and its companions to every response."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return

        async def send_with_headers(message: Message) -> None:
            if message["type"] == "http.response.start":
                message["headers"] = list(message.get("headers", [])) + SECURITY_HEADERS
            await send(message)

        await self.app(scope, receive, send_with_headers)


def _is_loopback_name(host: str) -> bool:
    if host.lower() in ("localhost", "localhost."):
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def _host_name(value: str) -> str:
    """The host part of a Host header (IPv6 brackets kept off), '' when it is no host."""
    try:
        return urlsplit(f"//{value}").hostname or ""
    except ValueError:  # an unclosed bracket, say
        return ""


def host_allowed(name: str, allowed: frozenset[str]) -> bool:
    """Whether a request naming host `name` may be answered.

    A page on another site can reach this server by a name of its own that
    resolves here (DNS rebinding); it cannot make the browser send an address
    or a name it does not own. So addresses, loopback names and the names the
    dashboard was told of are answered, other names are not.
    """
    name = name.lower().rstrip(".")
    if not name:
        return False
    if "*" in allowed or name in allowed or name == "localhost" or name.endswith(".localhost"):
        return True
    try:
        ipaddress.ip_address(name)
    except ValueError:
        return False
    return True


def request_refusal(allowed: frozenset[str], headers: Headers) -> str | None:
    """Why any request must be refused (its Host or Origin is another site's), or None."""
    host = headers.get("host", "")
    name = _host_name(host)
    if not host_allowed(name, allowed):
        return "this dashboard does not answer to that host name (start it with --allowed-host NAME to allow one)"
    origin = headers.get("origin")
    if origin is not None and origin != "null" and urlsplit(origin).netloc != host:
        return "requests from another site's pages are refused"
    return None


class HostGuard:
    """Refuses requests that name a host the dashboard does not know, or come from another site's page.

    Every route needs it: the machine data, the tool path and the live
    streams tell a page what is being cut, not only the control routes.
    """

    def __init__(self, app: ASGIApp, allowed: frozenset[str]) -> None:
        self.app = app
        self.allowed = allowed

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            refusal = request_refusal(self.allowed, Headers(scope=scope))
            if refusal is not None:
                api = str(scope.get("path", "")).startswith("/api/")
                answer = _json({"ok": False, "reason": refusal}, 403) if api else PlainTextResponse(refusal, 403)
                await answer(scope, receive, send)
                return
        await self.app(scope, receive, send)


def control_refusal(policy: ControlPolicy, headers: Headers) -> tuple[int, str] | None:
    """Why a control request must be refused (status, reason), or None when it may go ahead."""
    if not policy.allowed:
        return 403, "control is off: the dashboard was started without --allow-control"
    # A page from another site can post a form here, but cannot add a header without asking first.
    if headers.get(CONTROL_HEADER) != "control":
        return 403, f"control requests carry the {CONTROL_HEADER} header"
    host = headers.get("host", "")
    origin = headers.get("origin")
    if origin is not None and urlsplit(origin).netloc != host:
        return 403, "control requests come from the dashboard's own pages"
    if policy.loopback_only and not policy.token and not _is_loopback_name(_host_name(host)):
        # A name that resolves to this machine (DNS rebinding) must not reach the control.
        return 403, "control without a token is answered on a loopback host name only"
    if policy.token:
        given = headers.get("authorization", "")
        given = given[7:] if given.lower().startswith("bearer ") else headers.get("x-cnc-token", "")
        if not hmac.compare_digest(given.encode(), policy.token.encode()):
            return 401, "a valid token is needed to control machines"
    return None


class Dashboard:
    """The routes' shared state: the hub, the control policy and the templates."""

    def __init__(self, hub: Hub, policy: ControlPolicy, title: str, limits: Limits) -> None:
        self.hub = hub
        self.policy = policy
        self.title = title
        self.limits = limits
        self.streams: dict[str, int] = {}  # live streams open per client address
        self.templates = Jinja2Templates(directory=os.path.join(HERE, "templates"))
        self.templates.env.globals["asset_version"] = _asset_version()

    # ----- pages ------------------------------------------------------------------------------

    def _page(self, request: Request, name: str, **context: Any) -> Response:
        return self.templates.TemplateResponse(
            request,
            name,
            {
                "title": self.title,
                "control": self.policy.allowed,
                "token_required": self.policy.token_required,
                "interval": self.hub.settings.interval,
                "machines": [w.summary() for w in self.hub.watches],
                **context,
            },
            headers={"cache-control": "no-store"},
        )

    async def overview(self, request: Request) -> Response:
        return self._page(request, "overview.html")

    async def machine_page(self, request: Request) -> Response:
        watch = self._watch(request)
        if watch is None:
            return HTMLResponse("no such machine", status_code=404)
        return self._page(request, "machine.html", machine=watch.summary())

    # ----- JSON -------------------------------------------------------------------------------

    def _watch(self, request: Request) -> MachineWatch | None:
        return self.hub.watch(request.path_params["index"])

    def _meta(self) -> dict[str, Any]:
        return {
            "control": self.policy.allowed,
            "token_required": self.policy.token_required,
            "interval": self.hub.settings.interval,
        }

    async def machines(self, request: Request) -> Response:
        return _json({**self._meta(), "machines": [w.summary() for w in self.hub.watches]})

    async def machine(self, request: Request) -> Response:
        watch = self._watch(request)
        if watch is None:
            return _json({"error": "no such machine"}, 404)
        return _json({**self._meta(), **watch.detail()})

    async def path(self, request: Request) -> Response:
        watch = self._watch(request)
        if watch is None:
            return _json({"error": "no such machine"}, 404)
        tag = f'"path-{watch.path_version}"'
        headers = {"etag": tag, "cache-control": "no-cache"}
        if request.headers.get("if-none-match") == tag:
            return Response(status_code=304, headers=headers)
        return Response(watch.path_json(), media_type="application/json", headers=headers)

    # ----- live streams -----------------------------------------------------------------------

    def _stream(self, request: Request, events: Callable[[dict[int, int]], Iterator[str]]) -> Response:
        hub = self.hub
        peer = request.client.host if request.client else ""
        limits = self.limits
        if sum(self.streams.values()) >= limits.max_streams:
            return _json(
                {"error": "too many live streams are open; try again later"},
                503,
                {"retry-after": "10", "connection": "close"},
            )
        if self.streams.get(peer, 0) >= limits.streams_per_client:
            return _json(
                {"error": "too many live streams are open from this address"},
                429,
                {"retry-after": "10", "connection": "close"},
            )
        self.streams[peer] = self.streams.get(peer, 0) + 1

        def release() -> None:
            left = self.streams.get(peer, 0) - 1
            if left > 0:
                self.streams[peer] = left
            else:
                self.streams.pop(peer, None)

        async def body() -> AsyncIterator[str]:
            seen: dict[int, int] = {}
            yield "retry: 2000\n\n"
            while not hub.closing:
                changed = hub.changed()  # taken before reading, so no change slips between
                for chunk in events(seen):
                    yield chunk
                try:
                    await asyncio.wait_for(changed.wait(), KEEPALIVE)
                except TimeoutError:
                    yield ": keep-alive\n\n"

        return _Stream(body(), release)

    async def overview_events(self, request: Request) -> Response:
        watches = self.hub.watches

        def events(seen: dict[int, int]) -> Iterator[str]:
            for w in watches:
                if seen.get(w.index) != w.version:
                    seen[w.index] = w.version
                    yield _event("machine", w.summary_json())

        return self._stream(request, events)

    async def machine_events(self, request: Request) -> Response:
        watch = self._watch(request)
        if watch is None:
            return _json({"error": "no such machine"}, 404)

        def events(seen: dict[int, int]) -> Iterator[str]:
            if seen.get(watch.index) != watch.version:
                seen[watch.index] = watch.version
                yield _event("machine", watch.detail_json())

        return self._stream(request, events)

    # ----- control ----------------------------------------------------------------------------

    async def control(self, request: Request) -> Response:
        refusal = control_refusal(self.policy, request.headers)
        if refusal is not None:
            status, reason = refusal
            headers = {"www-authenticate": "Bearer"} if status == 401 else None
            return _json({"ok": False, "reason": reason}, status, headers)
        watch = self._watch(request)
        action = request.path_params["action"]
        if watch is None or action not in ACTIONS:
            return _json({"ok": False, "reason": "no such machine or action"}, 404)
        result = await watch.control(action)
        peer = request.client.host if request.client else "?"
        log.warning(
            "%s on %s from %s: %s",
            action,
            watch.endpoint.name,
            peer,
            "done" if result.ok else f"refused: {result.reason}",
        )
        body = {"ok": result.ok, "command": result.command, "reason": result.reason}
        if result.ok:
            return _json(body)
        return _json(body, 503 if not watch.machine.connected else 409)


class _Stream(StreamingResponse):
    """A live stream that gives its place back however it ends (it may end before its first event)."""

    def __init__(self, body: AsyncIterator[str], release: Callable[[], None]) -> None:
        super().__init__(
            body,
            media_type="text/event-stream",
            headers={"cache-control": "no-store", "x-accel-buffering": "no"},
        )
        self._release = release

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        try:
            await super().__call__(scope, receive, send)
        finally:
            self._release()


def _json(value: Any, status: int = 200, headers: dict[str, str] | None = None) -> Response:
    return Response(dumps(value), status_code=status, media_type="application/json", headers=headers)


def _event(name: str, data: str) -> str:
    return f"event: {name}\ndata: {data}\n\n"


def _printable(text: str) -> str:
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def _asset_version() -> str:
    """Changes when a static file changes, so browsers fetch the new one after an upgrade."""
    folder = os.path.join(HERE, "static")
    stamps = sorted((entry.name, entry.stat().st_mtime_ns) for entry in os.scandir(folder))
    return hashlib.sha256(repr(stamps).encode()).hexdigest()[:10]


def create_app(
    endpoints: Sequence[Endpoint],
    *,
    settings: Settings | None = None,
    programs: Sequence[str] = (),
    policy: ControlPolicy | None = None,
    title: str = "CNC dashboard",
    allowed_hosts: Sequence[str] = (),
    limits: Limits | None = None,
) -> Starlette:
    """The dashboard as an ASGI application; its lifespan polls the machines.

    `programs` are folders in which the G-code view looks for the program files
    the controls report. Requests are answered when they name an address, a
    loopback name or one of `allowed_hosts` ("*" for any) as their host.
    `limits` bound what clients can make it hold (`DashboardServer` applies
    those on connections). The hub is `app.state.hub`.
    """
    # A name from undecodable bytes (a lone surrogate) would fail every page's encoding: its escape is shown.
    endpoints = [replace(e, name=_printable(e.name)) for e in endpoints]
    title = _printable(title)
    hub = Hub(endpoints, settings or Settings(), ProgramFiles(programs))
    limits = limits or Limits()
    dash = Dashboard(hub, policy or ControlPolicy(), title, limits)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        hub.start()
        try:
            yield
        finally:
            await hub.stop()

    routes = [
        Route("/", dash.overview),
        Route("/machine/{index:int}", dash.machine_page),
        Route("/api/machines", dash.machines),
        Route("/api/machines/{index:int}", dash.machine),
        Route("/api/machines/{index:int}/path", dash.path),
        Route("/api/events", dash.overview_events),
        Route("/api/machines/{index:int}/events", dash.machine_events),
        Route("/api/machines/{index:int}/control/{action}", dash.control, methods=["POST"]),
        Mount("/static", StaticFiles(directory=os.path.join(HERE, "static")), name="static"),
    ]
    app = Starlette(routes=routes, lifespan=lifespan)
    app.add_middleware(HostGuard, allowed=frozenset(h.lower().rstrip(".") for h in allowed_hosts))
    app.add_middleware(SecurityHeaders)
    app.state.hub = hub
    app.state.dashboard = dash
    app.state.limits = limits
    return app
