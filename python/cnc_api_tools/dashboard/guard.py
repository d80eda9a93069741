"""What a peer can make the dashboard hold: connections, time to send a request, unread replies.

uvicorn waits without end for the headers of a request and accepts every
connection until the process runs out of descriptors; a live stream that its
reader stops reading fills its buffers and holds on. The HTTP protocol here is
uvicorn's own with a deadline for each request's headers, a cap on the
connections (in all and per client address), and a deadline for a reply that
its reader has stopped taking in (the transport's bounded write buffer full).
"""

from __future__ import annotations

import asyncio
import socket
from dataclasses import dataclass
from typing import Any

from uvicorn.protocols.http.h11_impl import H11Protocol

__all__ = ["Limits", "guarded_protocol"]


@dataclass(frozen=True)
class Limits:
    """Bounds on what clients can make the dashboard hold."""

    header_timeout: float = 10.0  # seconds from the connection (or the last reply) to a request's complete headers
    keep_alive: float = 5.0  # seconds an idle connection is kept between requests
    stall_timeout: float = 20.0  # seconds a reply may wait for its reader with its buffer full
    write_buffer: int = 64 * 1024  # bytes of a reply held for a slow reader before waiting on it
    send_buffer: int = 256 * 1024  # the socket's send buffer (the system's would grow to megabytes)
    max_connections: int = 256
    connections_per_client: int = 64
    max_streams: int = 64  # live event streams, in all
    streams_per_client: int = 8
    max_header_bytes: int = 16 * 1024  # of one request's line and headers


class _GuardedH11(H11Protocol):
    limits = Limits()
    per_client: dict[str, int]  # shared by the class made for one server

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._deadline: asyncio.TimerHandle | None = None
        self._armed_for: object = None
        self._stall: asyncio.TimerHandle | None = None
        self._peer = ""

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        limits = self.limits
        self._peer = self.client[0] if self.client else ""
        count = self.per_client.get(self._peer, 0) + 1
        self.per_client[self._peer] = count
        if len(self.connections) > limits.max_connections or count > limits.connections_per_client:
            transport.abort()  # at once, so the descriptor is free again
            return
        transport.set_write_buffer_limits(high=limits.write_buffer)
        sock = transport.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, limits.send_buffer)
        self._arm()

    def connection_lost(self, exc: Exception | None) -> None:
        count = self.per_client.get(self._peer, 0) - 1
        if count > 0:
            self.per_client[self._peer] = count
        else:
            self.per_client.pop(self._peer, None)
        for timer in (self._deadline, self._stall):
            if timer is not None:
                timer.cancel()
        super().connection_lost(exc)

    # ----- a deadline for each request's headers ---------------------------------------------

    def _arm(self) -> None:
        if self._deadline is not None:
            self._deadline.cancel()
        self._armed_for = self.cycle
        self._deadline = self.loop.call_later(self.limits.header_timeout, self._headers_late)

    def _headers_late(self) -> None:
        self._deadline = None
        waiting = self.cycle is None or self.cycle.response_complete
        if self.cycle is self._armed_for and waiting and not self.transport.is_closing():
            self.transport.abort()

    def on_response_complete(self) -> None:
        super().on_response_complete()
        if not self.transport.is_closing():
            self._arm()

    # ----- a deadline for a reply its reader does not take ------------------------------------

    def pause_writing(self) -> None:
        super().pause_writing()
        if self._stall is None:
            self._stall = self.loop.call_later(self.limits.stall_timeout, self._stalled)

    def resume_writing(self) -> None:
        super().resume_writing()
        if self._stall is not None:
            self._stall.cancel()
            self._stall = None

    def _stalled(self) -> None:
        self._stall = None
        self.transport.abort()  # the reply's task sees a disconnect and ends


def guarded_protocol(limits: Limits) -> type[H11Protocol]:
    """uvicorn's HTTP protocol class bounded by `limits` (a class per server: it counts that server's clients)."""
    return type("GuardedH11", (_GuardedH11,), {"limits": limits, "per_client": {}})
