"""From the pollers' threads to the server's loop: each poll's values, and each link change.

The fleet's threads only append to a deque and wake the loop; the loop takes the entries in
the order they were made, so a machine's last poll before it went down is never applied after
the down.
"""

from __future__ import annotations

import asyncio
import time
from collections import deque
from typing import Any

import cnc_api_client_core as cnc

from ..codes import CompileState
from ..link import Link, LinkStatus
from .values import system_values, values_of

__all__ = ["Feed", "LinkChange", "Poll", "PollReader"]

# A poll: (machine index, wall-clock time of the poll, its values or None when it found the machine down).
Poll = tuple[int, float, tuple[Any, ...] | None]
# A link change: (machine index, wall-clock time, new state, reason when down).
LinkChange = tuple[int, float, Link, str | None]

_FINAL = (CompileState.READY, CompileState.FINISHED)


class Feed:
    """What the pollers hand to the loop."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.entries: deque[Poll | LinkChange] = deque()
        self.ready = asyncio.Event()

    def put(self, entry: Poll | LinkChange) -> None:
        self.entries.append(entry)
        try:
            self.loop.call_soon_threadsafe(self.ready.set)
        except RuntimeError:  # the loop has closed: the bridge is going away
            pass

    def link_listener(self, index: int) -> Any:
        def changed(status: LinkStatus) -> None:
            self.put((index, time.time(), status.state, status.last_error))

        return changed


class PollReader:
    """One fleet's poll: the records to values, with the estimated time read once per analysed program."""

    def __init__(self, feed: Feed, count: int) -> None:
        self.feed = feed
        self._programs: list[tuple[Any, Any] | None] = [None] * count
        self._estimated: list[str | None] = [None] * count
        # The identification, read once per client: a reconnect makes a new client.
        self._system: list[tuple[cnc.CncAPIClientCore | None, tuple[str | None, ...]]] = [(None, ())] * count

    def _estimate(self, client: cnc.CncAPIClientCore, local: int, compiled: cnc.APICompileInfo | None) -> str | None:
        key = (compiled.state, compiled.file_name) if compiled is not None else None
        if key != self._programs[local]:
            self._programs[local] = key
            self._estimated[local] = None
            if compiled is not None and compiled.state in _FINAL:
                machining = client.get_machining_info()
                if machining.has_data and isinstance(machining.estimated_time, str):
                    self._estimated[local] = machining.estimated_time
        return self._estimated[local]

    def read(self, client: cnc.CncAPIClientCore, local: int) -> bool:
        stamp = time.time()
        info = client.get_cnc_info()
        if not info.has_data:
            return False
        axes = client.get_axes_info()
        compiled = client.get_compile_info()
        axes_ok, compiled_ok = axes.has_data, compiled.has_data
        estimated = self._estimate(client, local, compiled if compiled_ok else None)
        known, system = self._system[local]
        if known is not client:
            system = system_values(client.get_system_info())
            self._system[local] = (client, system)
        values = values_of(info, axes if axes_ok else None, compiled if compiled_ok else None, estimated, system)
        self.feed.put((local, stamp, values))
        return axes_ok and compiled_ok

    def missed(self, local: int) -> None:
        self.feed.put((local, time.time(), None))
