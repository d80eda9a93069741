"""Bounds the library leaves open: monitored items, and the size of one message chunk.

Sessions, subscriptions and message sizes are bounded by the library's own settings; the
number of monitored items is not, so one client could make the server hold millions. The
subscription service's create call is wrapped: items past the bound (over all sessions)
are refused one by one with BadTooManyMonitoredItems, the others made as asked.

The library also buffers a chunk whole, however large its header says it is, before
looking at its size: a peer announcing a 4 GB chunk could make the server hold all it
sends until the connection ends, copying the buffer anew at every read. A chunk larger
than the receive buffer the server offers breaks the protocol, so its connection is
closed as soon as its header is in.
"""

from __future__ import annotations

import struct
from typing import Any

from asyncua import ua
from asyncua.server import binary_server_asyncio

__all__ = ["bound_chunks", "bound_monitored_items"]

_HEADER = struct.Struct("<3scI")  # message type, chunk type, size of the whole chunk


def _count(service: Any) -> int:
    return sum(len(sub.monitored_item_srv._monitored_items) for sub in service.subscriptions.values())


def bound_monitored_items(service: Any, limit: int) -> None:
    """Refuse monitored items past `limit` over all subscriptions of `service`."""
    create = service.create_monitored_items

    async def bounded(params: ua.CreateMonitoredItemsParameters) -> list[ua.MonitoredItemCreateResult]:
        room = limit - _count(service)
        items = list(params.ItemsToCreate)
        if len(items) <= room:
            return list(await create(params))
        params.ItemsToCreate = items[: max(room, 0)]
        made = list(await create(params)) if params.ItemsToCreate else []
        for _ in items[len(made) :]:
            refused = ua.MonitoredItemCreateResult()
            refused.StatusCode = ua.StatusCode(ua.StatusCodes.BadTooManyMonitoredItems)
            made.append(refused)
        return made

    service.create_monitored_items = bounded


class _BoundedProtocol(binary_server_asyncio.OPCUAProtocol):  # type: ignore[misc]  # untyped base
    _buffer: bytes  # what the library holds of a chunk not yet whole

    def data_received(self, data: bytes) -> None:
        head = (self._buffer[: _HEADER.size] + data[: _HEADER.size])[: _HEADER.size]
        if len(head) == _HEADER.size:
            size = _HEADER.unpack_from(head)[2]
            if size > max(self.limits.max_recv_buffer, 8192) and self.transport is not None:
                binary_server_asyncio._logger.warning(
                    "Closing connection from %s: a chunk of %d bytes", self.peer_name, size
                )
                self._buffer = b""
                self.transport.close()
                return
        super().data_received(data)


def bound_chunks() -> None:
    """Make every server of the library close a connection that announces a chunk beyond its receive buffer."""
    binary_server_asyncio.OPCUAProtocol = _BoundedProtocol
