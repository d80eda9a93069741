"""A compiled program as the machine runs it: positions along segments, statistics."""

from __future__ import annotations

import bisect
import json
import math
from collections.abc import Iterator
from itertools import compress, count, islice, repeat
from operator import add, ge, sub
from typing import Any

from .errors import GCodeError
from .interp import Result
from .program import ARC, DIAMETER, LINE, PAUSE, RAPID, Builder, Modal
from .state import State

Key = tuple[tuple[float, ...], int]

POINTS_SLICE = 20000  # points encoded per step of the programmed.points reply
_MOVES = bytes([1, 1, 1, 0, 0]) + bytes(251)  # segment kind -> whether it is a programmed point


def hms(seconds: float) -> str:
    seconds = max(0, int(round(seconds))) if math.isfinite(seconds) else 0
    return f"{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


def _round(value: float) -> float:
    return round(value, 6) + 0.0  # + 0.0 turns -0.0 into 0.0


def _extents(low: list[float], high: list[float], axes: str) -> dict[str, float]:
    empty = low[0] == math.inf
    if empty:
        low = high = [0.0] * len(axes)
    out: dict[str, float] = {}
    for prefix, values in (("min", low), ("max", high), ("length", [h - lo for lo, h in zip(low, high, strict=True)])):
        for axis, value in zip(axes, values, strict=True):
            out[f"{prefix}.{axis}"] = _round(value)
    return out


def machining_info(b: Builder | None) -> dict[str, Any]:
    """The machining statistics reply; all zero for no program."""
    inf = math.inf
    fast_tcp, feed_tcp = [inf] * 3 + [-inf] * 3, [inf] * 3 + [-inf] * 3
    fast_j, feed_j = [inf] * 6 + [-inf] * 6, [inf] * 6 + [-inf] * 6
    length = [0.0, 0.0]
    tools: dict[int, list[float]] = {}
    seconds = 0.0
    if b is not None:
        st = b.stats
        length = st.length
        tools = st.tools
        seconds = st.seconds
        for offset, boxes in st.groups:
            for box, tcp, joints in ((boxes[0], fast_tcp, fast_j), (boxes[1], feed_tcp, feed_j)):
                if box[0] == inf:
                    continue
                for i in range(6):
                    joints[i] = min(joints[i], box[i])
                    joints[i + 6] = max(joints[i + 6], box[i + 6])
                for i in range(3):
                    tcp[i] = min(tcp[i], box[i] - offset[i])
                    tcp[i + 3] = max(tcp[i + 3], box[i + 6] - offset[i])
    return {
        "tool.path": {
            "in.fast": _round(length[0]),
            "in.feed": _round(length[1]),
            "total.path": _round(length[0] + length[1]),
            "estimated.time": hms(seconds),
            "used.tool": [
                {"id": tool, "in.fast": _round(p[0]), "in.feed": _round(p[1])}
                for tool, p in tools.items()
                if tool and (p[0] or p[1])
            ],
        },
        "tcp.extents.in.fast": _extents(fast_tcp[:3], fast_tcp[3:], "xyz"),
        "tcp.extents.in.feed": _extents(feed_tcp[:3], feed_tcp[3:], "xyz"),
        "joints.in.fast": _extents(fast_j[:6], fast_j[6:], "xyzabc"),
        "joints.in.feed": _extents(feed_j[:6], feed_j[6:], "xyzabc"),
    }


class Compiled:
    """The outcome of one analysis: segments (or an error) for one start position and state."""

    def __init__(self, result: Result, key: Key, file_name: str) -> None:
        self.key = key
        self.error: GCodeError | None = result.error
        self.file_name = file_name
        b = result.builder
        self.b = b
        self.final: State = result.state
        self.line_count = result.line_count
        self.count = 0 if self.error else len(b.kinds)
        self.info = machining_info(None if self.error else b)
        self.total_time = b.stats.seconds if not self.error else 0.0
        self._points_reply: list[bytes] | None = None

    def state_at(self, i: int) -> State:
        """What the machine keeps when stopped in segment i: the modes, offsets and tool of the
        line that made it, with the parameters of the whole run."""
        final = self.final.copy()
        snap = self.b.state_at(i) if 0 <= i < self.count else None
        if snap is None:
            return final
        state = snap.copy()
        state.params, state.named = final.params, final.named
        modal = self.modal(i)
        state.modes.feed, state.modes.speed = modal.feed, modal.speed
        kind = self.b.kinds[i]
        if kind == RAPID or kind == LINE:
            state.modes.motion = float(kind)
        return state

    # ----- geometry -----------------------------------------------------------------------------------

    def start_of(self, i: int) -> list[float]:
        if i <= 0:
            return list(self.b.start)
        return list(self.b.ends[6 * (i - 1) : 6 * i])

    def end_of(self, i: int) -> list[float]:
        return list(self.b.ends[6 * i : 6 * i + 6])

    def modal(self, i: int) -> Modal:
        return self.b.modal_table[self.b.modals[i]]

    def at(self, i: int, frac: float) -> list[float]:
        """Machine position a fraction `frac` of the way through segment i."""
        p = self.start_of(i)
        t = self.end_of(i)
        if frac >= 1.0:
            return t
        if self.b.kinds[i] != ARC:
            return [a + (e - a) * frac for a, e in zip(p, t, strict=True)]
        k = self.b.arc_index(i)
        cx, cy, cz, sweep, normal = self.b.arc_data[5 * k : 5 * k + 5]
        ih = int(normal)
        dia = ih >= DIAMETER
        if dia:
            ih -= DIAMETER
            p[0] *= 0.5
            t[0] *= 0.5
        i1, i2 = {2: (0, 1), 1: (2, 0), 0: (1, 2)}[ih]
        c = (cx, cy, cz)
        r0 = math.hypot(p[i1] - c[i1], p[i2] - c[i2])
        r1 = math.hypot(t[i1] - c[i1], t[i2] - c[i2])
        a0 = math.atan2(p[i2] - c[i2], p[i1] - c[i1])
        ang = a0 + sweep * frac
        r = r0 + (r1 - r0) * frac
        out = [a + (e - a) * frac for a, e in zip(p, t, strict=True)]
        out[i1] = c[i1] + r * math.cos(ang)
        out[i2] = c[i2] + r * math.sin(ang)
        if dia:
            out[0] *= 2.0
        return out

    def motion_index(self, point: int) -> int | None:
        """Segment of the `point`-th programmed point (moves only, dwells and pauses skipped)."""
        if point < 0:
            return None
        kinds = self.b.kinds
        if not self.b.dwells and PAUSE not in kinds:
            return point if point < self.count else None
        # searched by the iterator machinery: a Python loop over a million moves would hold the
        # machine's lock for a tenth of a second or more
        moves = bytes(kinds[: self.count]).translate(_MOVES)
        return next(islice(compress(count(), moves), point, None), None)

    def first_at_line(self, line: int) -> int:
        """First segment made by `line` or a later one (in the order the program ran)."""
        lines = self.b.lines
        if self.b.monotonic:
            return bisect.bisect_left(lines, line, 0, self.count)
        return next(compress(count(), map(ge, islice(lines, self.count), repeat(line))), self.count)

    def is_rapid(self, i: int) -> bool:
        return self.b.kinds[i] == RAPID

    # ----- replies ------------------------------------------------------------------------------------

    def points_reply(self) -> Iterator[bytes]:
        """The `programmed.points` reply a slice at a time, so its first bytes go out at once
        and no step holds the interpreter long; kept once made whole."""
        if self._points_reply is not None:
            yield from self._points_reply
            return
        parts = []
        for part in self._points_parts():
            parts.append(part)
            yield part
        self._points_reply = parts

    def _points_parts(self) -> Iterator[bytes]:
        yield b'{"res":{"points":['
        b, n = self.b, self.count
        table, modals = b.modal_table, b.modals
        moves = bytes(b.kinds[:n]).translate(_MOVES)
        offsets = {table[m].offset for m in set(modals[:n])}
        first = True
        for start in range(0, n, POINTS_SLICE):
            stop = min(n, start + POINTS_SLICE)
            if len(offsets) == 1:
                off = next(iter(offsets))
                columns = [
                    map(
                        add,
                        map(
                            round,
                            map(sub, compress(b.ends[6 * start + a : 6 * stop : 6], moves[start:stop]), repeat(off[a])),
                            repeat(6),
                        ),
                        repeat(0.0),
                    )
                    for a in range(3)
                ]
                points: list[Any] = list(zip(*columns, strict=True))
            else:
                points = []
                for i in compress(range(start, stop), moves[start:stop]):
                    o = table[modals[i]].offset
                    j = 6 * i
                    points.append([round(b.ends[j + a] - o[a], 6) + 0.0 for a in range(3)])
            if points:
                text = json.dumps(points, separators=(",", ":"))[1:-1].encode("ascii")
                yield text if first else b"," + text
                first = False
        yield b"]}}\n"
