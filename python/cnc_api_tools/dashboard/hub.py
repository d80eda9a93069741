"""Polling the machines and telling the open pages what changed.

One task per machine polls it through an `AsyncMachine` (reconnecting with
back-off while it is down) at the chosen interval. Each poll bumps the
machine's version and wakes the live streams, which send each page the
machines whose version it has not seen; a slow page skips states rather
than queueing them.

The programmed points and the machining estimate are read again only when the
program may have changed (its compile result changed, a run began, or, while
idle, a few seconds passed and the estimate differs), since a long program's
points are megabytes on the wire.
"""

from __future__ import annotations

import asyncio
import contextlib
import hashlib
import json
import logging
import time
from array import array
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import cnc_api_client_core as cnc

from ..aio import AsyncClient, AsyncMachine
from ..explain import explain_refusal
from ..link import Backoff
from ..machine import NotConnected
from ..records import as_dict
from . import model
from .path import EMPTY_PATH, ToolPath, build_path, motion_moves, simplify
from .programs import ProgramFiles, ProgramText, base_name, window

__all__ = ["ACTIONS", "ControlResult", "Endpoint", "Hub", "MachineWatch", "Settings"]

log = logging.getLogger("cnc_api_tools.dashboard")

# Control actions the pages offer, and the command each sends.
ACTIONS = {"start": "cnc_start", "pause": "cnc_pause", "continue": "cnc_continue", "stop": "cnc_stop"}


# What the G-code panel says about where the program's text comes from.
TEXT_NOTES = {
    "shown": "Read from the file of this name in a --programs folder of the dashboard.",
    "no-name": "The control reports no file name for this program (it was sent as text, not loaded from a "
    "file), so its text cannot be looked up: the API does not return a program's text. To see it here, put the "
    "file in the folder the control loads from, run it with cnc-api run --load NAME, and start the dashboard "
    "with --programs DIR naming that folder.",
    "no-folders": "The API does not return a program's text: start the dashboard with --programs DIR naming "
    "the folder the control loads its programs from (shared or copied) to see it here.",
    "not-found": "No file of this name is in the dashboard's --programs folders.",
    "mismatch": "The file of this name in the --programs folders is not the program the control holds "
    "(its moves or its length differ), so it is not shown.",
}


@dataclass(frozen=True)
class Endpoint:
    name: str
    host: str
    port: int

    @property
    def address(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{host}:{self.port}"


@dataclass(frozen=True)
class Settings:
    interval: float = 0.5  # seconds between polls of one machine
    connect_timeout: float = 3.0
    program_refresh: float = 5.0  # seconds between estimate checks while idle
    backoff: Backoff = Backoff(initial=0.5, maximum=10.0)
    gcode_before: int = 8
    gcode_after: int = 12


@dataclass(frozen=True)
class ControlResult:
    ok: bool
    command: str
    reason: str | None = None


def dumps(value: Any) -> str:
    return json.dumps(value, allow_nan=False, separators=(",", ":"))


class MachineWatch:
    """One machine: its poller, its latest records, and what the pages are sent about it."""

    def __init__(self, index: int, endpoint: Endpoint, settings: Settings, programs: ProgramFiles, hub: Hub) -> None:
        self.index = index
        self.endpoint = endpoint
        self.settings = settings
        self.programs = programs
        self.hub = hub
        self.machine = AsyncMachine(
            endpoint.host,
            endpoint.port,
            connect_timeout=settings.connect_timeout,
            backoff=settings.backoff,
            name=endpoint.name,
        )
        self.latest = model.Latest()
        self.clock = model.RunClock()
        self.version = 0
        self.path = EMPTY_PATH
        self.path_version = 0
        self._path_json: bytes | None = None
        self.program: ProgramText | None = None
        self._compile_key: tuple[Any, ...] | None = None
        self._program_key: tuple[Any, ...] | None = None
        self._checked_at = 0.0
        # A program file's version -> the digest of the points first seen with it: the name a control
        # reports may outlive its program (a text sent after a load keeps the loaded file's name).
        self._pairs: dict[tuple[str, tuple[int, int]], bytes] = {}
        self._refused: set[tuple[str, tuple[int, int], bytes | None]] = set()  # pairings a run proved wrong
        self._pair: tuple[str, tuple[int, int], bytes | None] | None = None  # the pairing shown
        self._recheck = False
        self.text_status = "no-name"  # why the text is or is not shown (see TEXT_NOTES)
        self._wake = asyncio.Event()
        self._summary_json: tuple[int, str] = (-1, "")
        self._detail_json: tuple[int, str] = (-1, "")
        self.polls = 0

    # ----- polling ----------------------------------------------------------------------------

    async def run(self) -> None:
        loop = asyncio.get_running_loop()
        while True:
            started = loop.time()
            try:
                await self.poll_once()
            except Exception:  # one odd poll must not end this machine's updates for good
                log.exception("polling %s failed", self.endpoint.name)
            self.hub.notify()
            pause = self.settings.interval - (loop.time() - started)
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(self._wake.wait(), max(pause, 0.0))
            self._wake.clear()

    def wake(self) -> None:
        """Poll again now (after a command, say) rather than at the next interval."""
        self._wake.set()

    async def poll_once(self) -> None:
        try:
            async with self.machine.use() as api:
                await self._read(api)
        except NotConnected:
            pass
        self.polls += 1
        self.version += 1

    async def _read(self, api: AsyncClient) -> None:
        info = await api.get_cnc_info()
        if not info.has_data:
            return  # a dropped client is marked down on leaving use(); an odd reply leaves the last values
        axes = await api.get_axes_info()
        compiled = await api.get_compile_info()
        enabled = await api.get_enabled_commands()
        now = time.time()
        latest = self.latest
        latest.info = info
        latest.axes = axes if axes.has_data else None
        latest.compiled = compiled if compiled.has_data else None
        latest.enabled = enabled if enabled.has_data else None
        latest.read_at = now
        began = self.clock.update(model.state_of(info), now)
        # During a run of the program the text was paired with (an idle control may still show the line
        # where an earlier, longer program stopped).
        if self.clock.active and not began and self._compile_key == _compile_key(latest.compiled):
            self._check_line(model.integer(info.gcode_line))
        await self._check_program(api, began, now)

    def _check_line(self, line: int | None) -> None:
        """A line beyond the text's end proves it another program's: not shown again with these points."""
        program, pair = self.program, self._pair
        if program is None or pair is None or line is None or line <= len(program.lines):
            return
        self._refused.add(pair)
        self._program_key = None
        self._recheck = True  # read the points again and draw them without this text
        self.program, self._pair, self.text_status = None, None, "mismatch"

    async def _check_program(self, api: AsyncClient, began: bool, now: float) -> None:
        compiled = self.latest.compiled
        compile_key = _compile_key(compiled)
        due = now - self._checked_at >= self.settings.program_refresh and not self.clock.active
        if not (began or due or self._recheck or compile_key != self._compile_key or self.latest.machining is None):
            return
        self._compile_key, self._recheck = compile_key, False
        self._checked_at = now
        machining = await api.get_machining_info()
        self.latest.machining = machining if machining.has_data else None
        name = compiled.file_name if compiled is not None and isinstance(compiled.file_name, str) else ""
        program = await asyncio.to_thread(self.programs.read, name)
        estimate = model.machining_json(self.latest.machining)
        program_key = (compile_key, dumps(estimate), (program.path, program.stamp) if program else None)
        if program_key == self._program_key:
            return
        points = await api.get_programmed_points()
        if not api.is_connected:
            return  # try again on the next connection
        self._program_key = program_key
        # No points (the control is still analysing) say nothing of which program the text is: a digest
        # of them pinned to the file would refuse its real points once they come.
        digest: bytes | None = None
        fits = True
        if points.has_data:
            digest, fits = await asyncio.to_thread(_points_check, points, program.lines if program else None)
        program, status = self._pairing(name, program, digest, fits)
        lines = program.lines if program else None
        # Built off the event loop: a long path takes a good part of a second.
        made = await asyncio.to_thread(_make_path, points, lines, self.path, self.path_version + 1)
        # The program's text and its path change together, so a page never sees one without the other.
        self.program, self.text_status = program, status
        self._pair = (program.path, program.stamp, digest) if program else None
        if made is not None:  # an unchanged path keeps its version, so pages keep their copy
            self.path, self._path_json = made
            self.path_version += 1

    def _pairing(
        self, name: str, program: ProgramText | None, digest: bytes | None, fits: bool
    ) -> tuple[ProgramText | None, str]:
        """The text to show with points of `digest` (None: no points yet; `fits`: the text's moves can be
        these points), and why it is shown or not."""
        if program is None:
            if not base_name(name):
                return None, "no-name"
            return None, "not-found" if self.programs.folders else "no-folders"
        version = (program.path, program.stamp)
        if not fits or (*version, digest) in self._refused:
            return None, "mismatch"
        if digest is None:
            return program, "shown"
        first = self._pairs.setdefault(version, digest)
        while len(self._pairs) > 64:  # the oldest go first
            del self._pairs[next(iter(self._pairs))]
        if first != digest:  # the same file, other points: the control holds another program under its name
            return None, "mismatch"
        return program, "shown"

    # ----- what the pages get -----------------------------------------------------------------

    def _progress(self, live: dict[str, Any]) -> dict[str, Any] | None:
        if not self.clock.active:
            return None
        machining = self.latest.machining
        estimate = model.parse_duration(machining.estimated_time) if machining is not None else None
        elapsed = self.clock.running
        remaining = None if estimate is None else max(0.0, estimate - elapsed)
        line = live.get("line")
        total = len(self.program.lines) if self.program is not None else 0
        if total and isinstance(line, int) and line > 0:
            fraction, basis = min(1.0, line / total), "line"
        elif estimate:
            fraction, basis = min(0.99, elapsed / estimate), "time"
        else:
            fraction, basis = None, None
        return {
            "fraction": fraction,
            "basis": basis,
            "elapsed": round(elapsed, 1),
            "remaining": None if remaining is None else round(remaining, 1),
        }

    def summary(self) -> dict[str, Any]:
        """The overview tile's values."""
        status = self.machine.status
        connected = self.machine.connected
        # While down, the last known figures would pass for live ones: only the program is kept.
        live = model.live_json(self.latest if connected else model.Latest())
        compiled = self.latest.compiled
        name = base_name(compiled.file_name) if compiled is not None and isinstance(compiled.file_name, str) else ""
        tile: dict[str, Any] = {
            "id": self.index,
            "name": self.endpoint.name,
            "address": self.endpoint.address,
            "version": self.version,
            "link": {
                "state": status.state.value,
                "error": status.last_error,
                "retry_in": round(status.retry_in(), 1) if not connected else None,
                "failures": status.failures,
            },
            "fresh": connected and self.latest.read_at is not None,
            "updated": self.latest.read_at,
            "program": {
                "name": name,
                "lines": len(self.program.lines) if self.program is not None else None,
            },
            "progress": self._progress(live) if connected else None,
            "compile": model.compile_json(compiled),
            "enabled": model.enabled_json(self.latest.enabled if connected else None),
        }
        tile.update(live)
        return tile

    def detail(self) -> dict[str, Any]:
        """The machine page's values: the tile's, the estimate, the G-code around the line, the path version."""
        out = self.summary()
        out["machining"] = model.machining_json(self.latest.machining)
        out["path_version"] = self.path_version
        out["path_count"] = self.path.count
        out["gcode"] = None
        out["text"] = {"status": self.text_status, "note": TEXT_NOTES[self.text_status]}
        if self.program is not None:
            line = out.get("line") or 0
            out["gcode"] = window(self.program.lines, line, self.settings.gcode_before, self.settings.gcode_after)
        return out

    def summary_json(self) -> str:
        """The tile's values as JSON, made once per poll however many pages are open."""
        if self._summary_json[0] != self.version:
            self._summary_json = (self.version, dumps(self.summary()))
        return self._summary_json[1]

    def detail_json(self) -> str:
        if self._detail_json[0] != self.version:
            self._detail_json = (self.version, dumps(self.detail()))
        return self._detail_json[1]

    def path_json(self) -> bytes:
        if self._path_json is None:
            self._path_json = dumps(self.path.as_json(self.path_version)).encode()
        return self._path_json

    # ----- control ----------------------------------------------------------------------------

    async def control(self, action: str) -> ControlResult:
        command = ACTIONS[action]
        try:
            async with self.machine.use() as api:
                ok = await getattr(api, command)()
                reason = None
                if ok is not True:
                    reason = await api._run(explain_refusal, api.client, command)
        except NotConnected as exc:
            return ControlResult(False, command, str(exc))
        finally:
            self.wake()
        return ControlResult(ok is True, command, reason)

    async def close(self) -> None:
        await self.machine.close()


def _compile_key(compiled: cnc.APICompileInfo | None) -> tuple[Any, ...] | None:
    return None if compiled is None else tuple(as_dict(compiled).values())


def _points_check(points: cnc.APIProgrammedPoints, lines: Sequence[str] | None) -> tuple[bytes, bool]:
    """What tells one program's points from another's, whatever shape they come in; and whether a text of
    `lines` can be their program. Every motion block ends at a point of its own (an arc may end at more),
    so a plain text with more motion blocks than the control has points is another program."""
    path = build_path(points.points) if points.has_data else EMPTY_PATH
    digest = hashlib.blake2b(array("d", path.xyz).tobytes(), digest_size=16)
    digest.update(b"%d" % path.reported)
    moves = motion_moves(lines) if lines is not None and points.has_data else None
    return digest.digest(), moves is None or len(moves) <= path.reported


def _make_path(
    points: cnc.APIProgrammedPoints, lines: Sequence[str] | None, old: ToolPath, version: int
) -> tuple[ToolPath, bytes] | None:
    """The new path and its encoding, or None when it is the path already shown."""
    path = simplify(build_path(points.points, lines)) if points.has_data else EMPTY_PATH
    if path == old:
        return None
    return path, dumps(path.as_json(version)).encode()


class Hub:
    """The watched machines and the signal that wakes the live streams."""

    def __init__(self, endpoints: Sequence[Endpoint], settings: Settings, programs: ProgramFiles) -> None:
        self.settings = settings
        self.watches = [MachineWatch(i, e, settings, programs, self) for i, e in enumerate(endpoints)]
        self._changed = asyncio.Event()
        self._tasks: list[asyncio.Task[None]] = []
        self.closing = False

    def notify(self) -> None:
        changed, self._changed = self._changed, asyncio.Event()
        changed.set()

    def changed(self) -> asyncio.Event:
        """The event the next change sets; take it before reading, then wait on it."""
        return self._changed

    def watch(self, index: int) -> MachineWatch | None:
        return self.watches[index] if 0 <= index < len(self.watches) else None

    def start(self) -> None:
        for w in self.watches:
            self._tasks.append(asyncio.create_task(w.run(), name=f"poll {w.endpoint.name}"))

    def begin_shutdown(self) -> None:
        """End the live streams (the server waits for open responses before it stops)."""
        self.closing = True
        self.notify()

    async def stop(self) -> None:
        self.begin_shutdown()
        for task in self._tasks:
            task.cancel()
        for task in self._tasks:
            with contextlib.suppress(asyncio.CancelledError):
                await task
        self._tasks.clear()
        await asyncio.gather(*(w.close() for w in self.watches), return_exceptions=True)
