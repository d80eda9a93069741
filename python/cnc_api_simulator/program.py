"""A compiled program: compact segment arrays, their machining statistics and timing.

Segments live in flat arrays (no object per move), so a program of a million lines
costs some tens of bytes a move and gives the garbage collector nothing to scan.
Positions are machine coordinates; a segment's modal record carries the offset that
turns them into program coordinates.
"""

from __future__ import annotations

import math
from array import array
from typing import NamedTuple

from .config import MachineConfig

RAPID = 0
LINE = 1
ARC = 2
DWELL = 3
PAUSE = 4

DIAMETER = 10  # added to an arc's normal axis when its X positions are diameters

INF = math.inf
TWO_PI = 2.0 * math.pi


class Modal(NamedTuple):
    """What the status queries report while a segment runs."""

    units: int = 0
    feed: float = 0.0  # F as programmed
    speed: float = 0.0  # S as programmed
    spindle: int = 1  # SS_OFF
    mist: bool = False
    flood: bool = False
    tool: int = 0
    wcs: int = 1
    offset: tuple[float, ...] = (0.0,) * 6  # program = machine - offset


class Stats:
    """Path lengths, tools and extents, gathered while the segments are made."""

    def __init__(self) -> None:
        self.length = [0.0, 0.0]  # mm in rapid, in feed
        self.tools: dict[int, list[float]] = {}
        # per offset group: (offset, [min6 max6] for rapid, for feed)
        self.groups: list[tuple[tuple[float, ...], list[list[float]]]] = []

    def new_group(self, offset: tuple[float, ...]) -> list[list[float]]:
        boxes = [[INF] * 6 + [-INF] * 6, [INF] * 6 + [-INF] * 6]
        self.groups.append((offset, boxes))
        return boxes


class Builder:
    """Collects segments, their statistics and the figures the time planner needs."""

    def __init__(self, config: MachineConfig, start: list[float]) -> None:
        self.kinds = array("b")
        self.ends = array("d")  # 6 per segment
        self.lines = array("i")
        self.modals = array("i")
        self.arcs: dict[int, int] = {}  # segment -> arc number
        self.dwells: dict[int, float] = {}  # segment -> seconds
        self.durations = array("d")  # filled by plan()
        self.arc_data = array("d")  # cx cy cz sweep normal-axis, per arc
        # planner input, 4 per segment: path length, top speed, acceleration, junction speed
        self.pdata = array("d")
        self.start = tuple(start)
        self.stats = Stats()
        self.modal_table: list[Modal] = []
        self._modal_index: dict[Modal, int] = {}
        self.rapid = tuple(v / 60.0 for v in config.rapid)
        self.max_feed = tuple(v / 60.0 for v in config.max_feed)
        self.accel = config.accel
        self.exact_stop = False
        self.tolerance = 0.05
        self._dir: tuple[float, float, float] | None = None  # exit direction of the last move
        self._prev_v = 0.0
        self._prev_a = INF
        self._offset: tuple[float, ...] | None = None
        self._boxes: list[list[float]] = []
        self._last_kind = -1
        self.monotonic = True
        self._last_line = 0

    def __len__(self) -> int:
        return len(self.kinds)

    def modal(self, m: Modal) -> int:
        index = self._modal_index.get(m)
        if index is None:
            index = self._modal_index[m] = len(self.modal_table)
            self.modal_table.append(m)
        return index

    # ----- segments ------------------------------------------------------------------------------

    def _append(
        self, kind: int, end: list[float], line: int, modal: int, plen: float, v: float, a: float, vj: float
    ) -> None:
        self.kinds.append(kind)
        self.ends.extend(end)
        self.lines.append(line)
        if line < self._last_line:
            self.monotonic = False
        self._last_line = line
        self.modals.append(modal)
        self.pdata.extend((plen, v, a, vj))

    def _junction(self, u: tuple[float, float, float] | None, v: float, a: float) -> float:
        prev = self._dir
        if prev is None or u is None or self.exact_stop:
            return 0.0
        cos = -(prev[0] * u[0] + prev[1] * u[1] + prev[2] * u[2])
        if cos < -0.999999:
            vj = INF
        elif cos > 0.999999:
            return 0.0
        else:
            sin_half = math.sqrt(0.5 * (1.0 - cos))
            vj = math.sqrt(min(a, self._prev_a) * self.tolerance * sin_half / (1.0 - sin_half))
        return min(vj, v, self._prev_v)

    def _track(
        self, kind: int, p: list[float], t: list[float], offset: tuple[float, ...], tool: int, length: float
    ) -> list[float]:
        k = 0 if kind == RAPID else 1
        st = self.stats
        st.length[k] += length
        used = st.tools.get(tool)
        if used is None:
            used = st.tools[tool] = [0.0, 0.0]
        used[k] += length
        if offset is not self._offset:
            self._offset = offset
            self._boxes = st.new_group(offset)
            self._last_kind = -1
        box = self._boxes[k]
        if self._last_kind != k:
            self._last_kind = k
            _grow(box, p)
        _grow(box, t)
        return box

    def line(
        self,
        kind: int,
        p: list[float],
        t: list[float],
        line: int,
        modal: int,
        offset: tuple[float, ...],
        tool: int,
        rate: float,
        seconds: float = 0.0,
    ) -> None:
        """A straight move; `rate` in mm/min (deg/min for rotary-only moves), or `seconds` for it."""
        dx = t[0] - p[0]
        dy = t[1] - p[1]
        dz = t[2] - p[2]
        length = math.sqrt(dx * dx + dy * dy + dz * dz)
        deltas = [dx, dy, dz, t[3] - p[3], t[4] - p[4], t[5] - p[5]]
        rotary = deltas[3] != 0.0 or deltas[4] != 0.0 or deltas[5] != 0.0
        plen = length if length > 1e-12 else (math.sqrt(sum(d * d for d in deltas[3:])) if rotary else 0.0)
        u: tuple[float, float, float] | None = None
        if plen > 0.0:
            limits = self.rapid if kind == RAPID else self.max_feed
            v = INF if kind == RAPID else rate / 60.0
            if seconds > 0.0:
                v = plen / seconds
            a = INF
            accel = self.accel
            for i in range(6 if rotary else 3):
                d = deltas[i]
                if d:
                    r = plen / abs(d)
                    if limits[i] * r < v:
                        v = limits[i] * r
                    if accel[i] * r < a:
                        a = accel[i] * r
            if length > 1e-12:
                u = (dx / length, dy / length, dz / length)
            vj = self._junction(u, v, a)
        else:  # a move to where the machine stands: no time, and the path goes on as it was
            v, a, vj = INF, INF, INF
            u = self._dir
        self._append(kind, t, line, modal, plen, v, a, vj)
        self._track(kind, p, t, offset, tool, length)
        if plen > 0.0:
            self._dir, self._prev_v, self._prev_a = u, v, a

    def arc(
        self,
        p: list[float],
        t: list[float],
        center: tuple[float, float],
        axes: tuple[int, int, int],
        sweep: float,
        line: int,
        modal: int,
        offset: tuple[float, ...],
        tool: int,
        rate: float,
        seconds: float = 0.0,
        dia: bool = False,
    ) -> None:
        """A circular or helical move in the plane of `axes` (first, second, normal axis).

        With `dia`, X positions are diameters: the centre is in radius terms and the
        geometry is worked out on halved X values."""
        i1, i2, ih = axes
        c1, c2 = center
        end = t
        if dia:
            p = list(p)
            t = list(t)
            p[0] *= 0.5
            t[0] *= 0.5
        r0 = math.hypot(p[i1] - c1, p[i2] - c2)
        r1 = math.hypot(t[i1] - c1, t[i2] - c2)
        radius = 0.5 * (r0 + r1)
        h = t[ih] - p[ih]
        planar = radius * abs(sweep)
        plen = math.hypot(planar, h)
        v = rate / 60.0
        if seconds > 0.0:
            v = plen / seconds
        feed_lim, accel = self.max_feed, self.accel
        v = min(v, feed_lim[i1], feed_lim[i2])
        a = min(accel[i1], accel[i2])
        if h:
            r = plen / abs(h)
            v = min(v, feed_lim[ih] * r)
            a = min(a, accel[ih] * r)
        if radius > 0.0:
            v = min(v, math.sqrt(a * radius))  # centripetal limit
        # unit tangents at both ends
        sign = 1.0 if sweep > 0 else -1.0
        k = planar / plen if plen else 0.0
        kh = h / plen if plen else 0.0

        def tangent(q: list[float], r_: float) -> tuple[float, float, float]:
            out = [0.0, 0.0, 0.0]
            if r_ > 0.0:
                out[i1] = -sign * (q[i2] - c2) / r_ * k
                out[i2] = sign * (q[i1] - c1) / r_ * k
            out[ih] = kh
            return (out[0], out[1], out[2])

        u0 = tangent(p, r0)
        vj = self._junction(u0, v, a)
        self.arcs[len(self.kinds)] = len(self.arc_data) // 5
        cz = [0.0, 0.0, 0.0]
        cz[i1], cz[i2] = c1, c2
        self.arc_data.extend((cz[0], cz[1], cz[2], sweep, float(ih + (DIAMETER if dia else 0))))
        self._append(ARC, end, line, modal, plen, v, a, vj)
        box = self._track(ARC, p, end, offset, tool, plen)
        _grow_arc(box, p, center, axes, sweep, max(r0, r1), 2.0 if dia else 1.0)
        self._dir, self._prev_v, self._prev_a = tangent(t, r1), v, a

    def dwell(self, p: list[float], seconds: float, line: int, modal: int) -> None:
        self.dwells[len(self.kinds)] = seconds
        self._append(DWELL, p, line, modal, 0.0, 0.0, INF, 0.0)
        self._dir = None

    def pause(self, p: list[float], line: int, modal: int) -> None:
        self._append(PAUSE, p, line, modal, 0.0, 0.0, INF, 0.0)
        self._dir = None

    def xyz(
        self,
        kind: int,
        p: list[float],
        t: list[float],
        line: int,
        modal: int,
        offset: tuple[float, ...],
        tool: int,
        rate: float,
        seconds: float,
    ) -> None:
        """line() for the common move of the linear axes only, written out for speed."""
        dx = t[0] - p[0]
        dy = t[1] - p[1]
        dz = t[2] - p[2]
        length = math.sqrt(dx * dx + dy * dy + dz * dz)
        if length <= 1e-12:
            self.line(kind, p, t, line, modal, offset, tool, rate, seconds)
            return
        if kind == RAPID:
            limits = self.rapid
            v = INF
        else:
            limits = self.max_feed
            v = length / seconds if seconds > 0.0 else rate / 60.0
        accel = self.accel
        a = INF
        if dx:
            r = length / abs(dx)
            if limits[0] * r < v:
                v = limits[0] * r
            a = accel[0] * r
        if dy:
            r = length / abs(dy)
            if limits[1] * r < v:
                v = limits[1] * r
            if accel[1] * r < a:
                a = accel[1] * r
        if dz:
            r = length / abs(dz)
            if limits[2] * r < v:
                v = limits[2] * r
            if accel[2] * r < a:
                a = accel[2] * r
        u = (dx / length, dy / length, dz / length)
        prev = self._dir
        if prev is None or self.exact_stop:
            vj = 0.0
        else:
            cos = -(prev[0] * u[0] + prev[1] * u[1] + prev[2] * u[2])
            if cos < -0.999999:
                vj = v if v < self._prev_v else self._prev_v
            elif cos > 0.999999:
                vj = 0.0
            else:
                sin_half = math.sqrt(0.5 * (1.0 - cos))
                pa = self._prev_a
                vj = math.sqrt((a if a < pa else pa) * self.tolerance * sin_half / (1.0 - sin_half))
                if v < vj:
                    vj = v
                if self._prev_v < vj:
                    vj = self._prev_v
        self.kinds.append(kind)
        self.ends.extend(t)
        self.lines.append(line)
        if line < self._last_line:
            self.monotonic = False
        self._last_line = line
        self.modals.append(modal)
        self.pdata.extend((length, v, a, vj))
        self._dir = u
        self._prev_v = v
        self._prev_a = a
        # statistics
        k = 0 if kind == RAPID else 1
        st = self.stats
        st.length[k] += length
        used = st.tools.get(tool)
        if used is None:
            used = st.tools[tool] = [0.0, 0.0]
        used[k] += length
        if offset is not self._offset or self._last_kind != k:
            self._track_start(k, p, offset)
        box = self._boxes[k]
        x, y, z = t[0], t[1], t[2]
        if x < box[0]:
            box[0] = x
        if x > box[6]:
            box[6] = x
        if y < box[1]:
            box[1] = y
        if y > box[7]:
            box[7] = y
        if z < box[2]:
            box[2] = z
        if z > box[8]:
            box[8] = z

    def _track_start(self, k: int, p: list[float], offset: tuple[float, ...]) -> None:
        if offset is not self._offset:
            self._offset = offset
            self._boxes = self.stats.new_group(offset)
        self._last_kind = k
        box = self._boxes[k]
        _grow(box, p)
        for i in range(3, 6):  # the rotary axes stand still in a move of the linear ones
            if p[i] < box[i]:
                box[i] = p[i]
            if p[i] > box[i + 6]:
                box[i + 6] = p[i]

    def stop_blending(self) -> None:
        """The next move starts from standstill (tool change, spindle start, probing)."""
        self._dir = None


def _grow(box: list[float], q: list[float]) -> None:
    for i in range(6):
        v = q[i]
        if v < box[i]:
            box[i] = v
        if v > box[i + 6]:
            box[i + 6] = v


def _grow_arc(
    box: list[float],
    p: list[float],
    center: tuple[float, float],
    axes: tuple[int, int, int],
    sweep: float,
    radius: float,
    xscale: float = 1.0,
) -> None:
    """Widen the box by the points where the arc crosses the axis directions of its plane
    (`xscale` 2 turns the X of those points back into diameters)."""
    i1, i2, _ = axes
    a0 = math.atan2(p[i2] - center[1], p[i1] - center[0])
    for k in range(4):
        ang = k * math.pi / 2
        if abs(sweep) >= TWO_PI:
            inside = True
        elif sweep > 0:
            inside = (ang - a0) % TWO_PI <= sweep
        else:
            inside = (a0 - ang) % TWO_PI <= -sweep
        if inside:
            q = list(p)
            q[i1] = center[0] + radius * math.cos(ang)
            q[i2] = center[1] + radius * math.sin(ang)
            q[0] *= xscale
            for i in (i1, i2):
                if q[i] < box[i]:
                    box[i] = q[i]
                if q[i] > box[i + 6]:
                    box[i + 6] = q[i]


# ----- time planning ---------------------------------------------------------------------------------


def plan(b: Builder) -> None:
    """Durations of the moves: acceleration-limited speeds through the junctions.

    A forward and a backward pass bound the speed at every junction by what the
    neighbouring moves can reach with their acceleration; each move then runs a
    trapezoid (or triangle) profile between its two junction speeds.
    """
    n = len(b.kinds)
    d = b.pdata  # plen, vmax, acc, vj per segment; vj is rewritten in place
    sqrt = math.sqrt
    # forward: the speed at the start of move i can be no more than move i-1 reaches
    prev = 0.0
    for j in range(0, 4 * n, 4):
        lim = d[j + 3]
        if j:
            length = d[j - 4]
            reach = sqrt(prev * prev + 2.0 * d[j - 2] * length) if length > 0.0 else prev
            if reach < lim:
                lim = reach
        d[j + 3] = prev = lim
    # backward: ... nor more than move i can shed before the next junction
    nxt = 0.0
    for j in range(4 * (n - 1), -1, -4):
        length = d[j]
        reach = sqrt(nxt * nxt + 2.0 * d[j + 2] * length) if length > 0.0 else nxt
        if reach < d[j + 3]:
            d[j + 3] = reach
        nxt = d[j + 3]
    durations = b.durations = array("d", bytes(8 * n))
    for i, seconds in b.dwells.items():
        durations[i] = seconds
    trapezoid = _trapezoid
    for i in range(n):
        j = 4 * i
        length = d[j]
        if length <= 0.0:
            continue
        durations[i] = trapezoid(length, d[j + 3], d[j + 7] if i + 1 < n else 0.0, d[j + 1], d[j + 2])
    b.pdata = array("d")  # no longer needed


def _trapezoid(length: float, v0: float, v1: float, vc: float, a: float) -> float:
    if vc <= 0.0:
        return INF
    if a == INF:
        return length / vc
    v0 = min(v0, vc)
    v1 = min(v1, vc)
    d_acc = (vc * vc - v0 * v0) / (2.0 * a)
    d_dec = (vc * vc - v1 * v1) / (2.0 * a)
    if d_acc + d_dec <= length:
        return (vc - v0) / a + (vc - v1) / a + (length - d_acc - d_dec) / vc
    peak = math.sqrt(max(0.0, (2.0 * a * length + v0 * v0 + v1 * v1) / 2.0))
    return max(0.0, (peak - v0) / a + (peak - v1) / a)
