"""A compiled program: compact segment arrays, their machining statistics and timing.

Segments live in flat arrays (no object per move), so a program of a million lines
costs some tens of bytes a move and gives the garbage collector nothing to scan.
While a program is read, a move only appends what was programmed; `finish` then works
out lengths, extents, speed limits and durations for all moves in one pass.
Positions are machine coordinates; a segment's modal record carries the offset that
turns them into program coordinates.
"""

from __future__ import annotations

import bisect
import math
import operator
from array import array
from collections.abc import Callable, Hashable, Sequence
from itertools import chain, compress, islice, repeat
from typing import NamedTuple

from .config import DEFAULT_BLEND_TOLERANCE, MachineConfig
from .state import State

RAPID = 0
LINE = 1
ARC = 2
DWELL = 3
PAUSE = 4

DIAMETER = 10  # added to an arc's normal axis when its X positions are diameters

INF = math.inf
TWO_PI = 2.0 * math.pi
_PLANES = {2: (0, 1), 1: (2, 0), 0: (1, 2)}  # normal axis -> first, second axis of the plane


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
    """Path lengths, tools and extents of a finished program."""

    def __init__(self) -> None:
        self.length = [0.0, 0.0]  # mm in rapid, in feed
        self.seconds = 0.0  # the whole program
        self.tools: dict[int, list[float]] = {}
        # per offset: (offset, [min6 max6] for rapid, for feed), machine coordinates
        self.groups: list[tuple[tuple[float, ...], list[list[float]]]] = []


GUARD_EVERY = 1024


class Builder:
    """Collects the segments of a program as it is read."""

    def __init__(self, config: MachineConfig, start: list[float]) -> None:
        self.config = config
        self.kinds = array("b")
        self.ends = array("d")  # 6 per segment
        self.lines = array("i")
        self.modals = array("i")
        # mm/min (deg/min for rotary-only moves); 0 for rapids; -seconds for an inverse-time move
        self.feeds = array("d")
        self.arc_segments = array("i")  # segment of each arc, ascending
        self.arc_data = array("d")  # cx cy cz sweep normal-axis, per arc
        self.dwells: dict[int, float] = {}  # segment -> seconds
        self.breaks = array("i")  # segments that start from standstill
        self.blending: list[tuple[int, bool, float]] = []  # from segment: exact stop, corner tolerance
        self.durations = array("d")  # filled by finish()
        self.start = tuple(start)
        self.stats = Stats()
        self.modal_table: list[Modal] = []
        self._modal_index: dict[Modal, int] = {}
        self.monotonic = True  # line numbers never go back (no loops or calls)
        # what a stop mid-program leaves: from segment snapshot_at[k] on, states[snapshot_states[k]]
        self.snapshot_at = array("i")
        self.snapshot_states = array("i")
        self.states: list[State] = []
        self._state_numbers: dict[Hashable, int] = {}
        # Called every GUARD_EVERY segments: one block can make any number of them (a peck
        # cycle, a pattern repeat), so the line budget alone does not bound a program's moves.
        self.guard: Callable[[], None] | None = None

    def __len__(self) -> int:
        return len(self.kinds)

    def modal(self, m: Modal) -> int:
        index = self._modal_index.get(m)
        if index is None:
            index = self._modal_index[m] = len(self.modal_table)
            self.modal_table.append(m)
        return index

    def snapshot(self, key: Hashable, make: Callable[[], State]) -> None:
        """The state `key` stands for is in force from the next segment on; a state seen before
        is shared, and one equal to the state in force is not recorded again."""
        number = self._state_numbers.get(key)
        if number is None:
            number = self._state_numbers[key] = len(self.states)
            self.states.append(make())
        at, numbers = self.snapshot_at, self.snapshot_states
        n = len(self.kinds)
        if at and at[-1] == n:
            numbers[-1] = number
            if len(at) > 1 and numbers[-2] == number:
                at.pop()
                numbers.pop()
        elif not at or numbers[-1] != number:
            at.append(n)
            numbers.append(number)

    def state_at(self, segment: int) -> State | None:
        """Modes, offsets and tool in force while `segment` runs (None before any was recorded)."""
        k = bisect.bisect_right(self.snapshot_at, segment)
        return self.states[self.snapshot_states[k - 1]] if k else None

    def arc_index(self, segment: int) -> int:
        """Number of the arc that is `segment`."""
        return bisect.bisect_left(self.arc_segments, segment)

    # ----- segments ------------------------------------------------------------------------------

    def line(self, kind: int, t: list[float], line: int, modal: int, rate: float, seconds: float = 0.0) -> None:
        """A straight move to `t`: at `rate` mm/min (deg/min for rotary-only moves), or in `seconds`."""
        self.kinds.append(kind)
        self.ends.extend(t)
        self.lines.append(line)
        self.modals.append(modal)
        self.feeds.append(-seconds if seconds > 0.0 else rate)
        if self.guard is not None and not len(self.kinds) % GUARD_EVERY:
            self.guard()

    def arc(
        self,
        t: list[float],
        center: tuple[float, float],
        normal: int,
        sweep: float,
        line: int,
        modal: int,
        rate: float,
        seconds: float = 0.0,
        dia: bool = False,
    ) -> None:
        """A circular or helical move about `normal` (0 X, 1 Y, 2 Z), centre in the plane's axes.

        With `dia`, X positions are diameters: the centre is in radius terms."""
        i1, i2 = _PLANES[normal]
        cz = [0.0, 0.0, 0.0]
        cz[i1], cz[i2] = center
        self.arc_segments.append(len(self.kinds))
        self.arc_data.extend((cz[0], cz[1], cz[2], sweep, float(normal + (DIAMETER if dia else 0))))
        self.line(ARC, t, line, modal, rate, seconds)

    def dwell(self, p: list[float], seconds: float, line: int, modal: int) -> None:
        self.dwells[len(self.kinds)] = seconds
        self.line(DWELL, p, line, modal, 0.0)

    def pause(self, p: list[float], line: int, modal: int) -> None:
        self.line(PAUSE, p, line, modal, 0.0)

    def stop_blending(self) -> None:
        """The next move starts from standstill (tool change, spindle start, probing)."""
        n = len(self.kinds)
        if not self.breaks or self.breaks[-1] != n:
            self.breaks.append(n)

    def set_blending(self, exact_stop: bool, tolerance: float) -> None:
        """G61 / G64 P from the next segment on."""
        self.blending.append((len(self.kinds), exact_stop, tolerance))


# ----- finishing: statistics and timing ------------------------------------------------------------


def finish(b: Builder) -> None:
    """Lengths, tools, extents and the duration of every segment."""
    limits = _limits(b)
    _extents(b)
    _plan(b, *limits)
    lines = b.lines
    b.monotonic = all(map(operator.le, lines, islice(lines, 1, None)))


Limits = tuple["array[float]", "array[float]", "array[float]", "array[float]"]


def _junction(cos: float, v: float, prev_v: float, acc: float, prev_a: float, tol: float) -> float:
    """The speed through a corner between the move before (top speed `prev_v`, acceleration
    `prev_a`) and this one, whose directions meet at `cos` (-1 straight on, 1 a reversal):
    what the blending tolerance `tol` allows, never more than either move's top speed."""
    if cos < -0.999999:
        return v if v < prev_v else prev_v
    if cos > 0.999999:
        return 0.0
    sin_half = math.sqrt(0.5 * (1.0 - cos))
    vj = math.sqrt((acc if acc < prev_a else prev_a) * tol * sin_half / (1.0 - sin_half))
    return min(v, prev_v, vj)


def _rotary_limits(
    delta: tuple[float, ...], f: float, lims: tuple[float, ...], accel: tuple[float, ...], rapid: bool
) -> tuple[float, float, float, float]:
    """A move with rotary axes: its linear length, path length (degrees where it has no
    linear part), top speed and acceleration."""
    dx, dy, dz, da, db, dc = delta
    length = math.sqrt(dx * dx + dy * dy + dz * dz)
    plen = length if length > 1e-12 else math.sqrt(da * da + db * db + dc * dc)
    v = INF if rapid else (plen / -f if f < 0.0 else f / 60.0)
    acc = INF
    for axis, d in enumerate(delta):
        if d:
            r = plen / abs(d)
            if lims[axis] * r < v:
                v = lims[axis] * r
            if accel[axis] * r < acc:
                acc = accel[axis] * r
    return length, plen, v, acc


def _blend_events(b: Builder, n: int) -> list[tuple[int, int, bool, float]]:
    """Where the blending mode changes (G61/G64: kind 0 with exact stop and tolerance) and where
    the machine starts from standstill (kind 1), by segment, ending with a sentinel at `n`."""
    events = sorted([(i, 0, e, t) for i, e, t in b.blending] + [(i, 1, False, 0.0) for i in b.breaks])
    events.append((n, 0, False, 0.0))
    return events


def _events_at(
    events: list[tuple[int, int, bool, float]], k: int, exact: bool, tol: float
) -> tuple[int, int, bool, float, bool]:
    """The events at one segment from the `k`th on: the index of the next one and the segment it
    is at, the blending mode now, and whether the machine starts this segment from standstill."""
    standstill = False
    at = events[k][0]
    while k < len(events) - 1 and events[k][0] == at:
        _, what, e, t = events[k]
        if what:
            standstill = True  # a tool change, spindle start or probe
        else:
            exact, tol = e, t or DEFAULT_BLEND_TOLERANCE
        k += 1
    return k, events[k][0] if k < len(events) - 1 else -1, exact, tol, standstill


def _add_lengths(b: Builder, per_modal: list[list[float]]) -> None:
    """The rapid and feed path lengths in all and per tool."""
    st = b.stats
    for index, (fast, feed) in enumerate(per_modal):
        st.length[0] += fast
        st.length[1] += feed
        if fast or feed:
            used = st.tools.setdefault(b.modal_table[index].tool, [0.0, 0.0])
            used[0] += fast
            used[1] += feed


def _limits(b: Builder) -> Limits:  # noqa: C901
    """Per segment: path length, top speed, acceleration, and the squared speed at its start
    as the junction and the moves before it allow (the planner's forward pass); path lengths
    per tool as a side effect. Speeds in mm/s (deg/s). Straight moves of the linear axes, the
    bulk of every program, are worked out inline."""
    cfg = b.config
    rapid = tuple(v / 60.0 for v in cfg.rapid)
    max_feed = tuple(v / 60.0 for v in cfg.max_feed)
    accel = cfg.accel
    kinds, ends, feeds, modals = b.kinds, b.ends, b.feeds, b.modals
    n = len(kinds)
    lengths, tops, accs, starts = array("d"), array("d"), array("d"), array("d")
    add_len, add_top, add_acc, add_start = lengths.append, tops.append, accs.append, starts.append
    # The forward pass of the planner rides along: `reach` is the squared speed the moves so
    # far can reach at the start of this one; a move's start speed is no more than that.
    reach = INF
    per_modal = [[0.0, 0.0] for _ in b.modal_table]
    sqrt = math.sqrt
    px, py, pz, pa, pb, pc = b.start
    ux = uy = uz = 0.0
    have_dir = False
    prev_v = prev_a = 0.0
    exact, tol = False, DEFAULT_BLEND_TOLERANCE
    events = _blend_events(b, n)
    event_k = 0
    next_event = events[0][0]
    arc_k = 0
    rx, ry, rz, fx, fy, fz = rapid[0], rapid[1], rapid[2], max_feed[0], max_feed[1], max_feed[2]
    ax, ay, az = accel[0], accel[1], accel[2]
    points = zip(*[iter(ends)] * 6, strict=True)
    for i, kind, f, mi, (x, y, z, a_, b_, c_) in zip(range(n), kinds, feeds, modals, points, strict=True):
        if i == next_event:
            event_k, next_event, exact, tol, standstill = _events_at(events, event_k, exact, tol)
            have_dir = have_dir and not standstill
        if kind <= LINE and a_ == pa and b_ == pb and c_ == pc:
            # Written out with `if`s rather than calls to min() or helpers: a third of the analysis time.
            dx, dy, dz = x - px, y - py, z - pz
            length = sqrt(dx * dx + dy * dy + dz * dz)
            if length <= 1e-12:  # a move to where the machine stands: no time, the path goes on
                add_len(0.0), add_top(INF), add_acc(0.0), add_start(reach)
                continue
            lx, ly, lz, v = (rx, ry, rz, INF) if kind == RAPID else (fx, fy, fz, length / -f if f < 0.0 else f / 60.0)
            acc = INF
            if dx:
                r = length / abs(dx)
                if lx * r < v:
                    v = lx * r
                acc = ax * r
            if dy:
                r = length / abs(dy)
                if ly * r < v:
                    v = ly * r
                if ay * r < acc:
                    acc = ay * r
            if dz:
                r = length / abs(dz)
                if lz * r < v:
                    v = lz * r
                if az * r < acc:
                    acc = az * r
            nx, ny, nz = dx / length, dy / length, dz / length
            vj = 0.0
            if have_dir and not exact:  # _junction, written out
                cos = -(ux * nx + uy * ny + uz * nz)
                if cos < -0.999999:
                    vj = v if v < prev_v else prev_v
                elif cos <= 0.999999:
                    sin_half = sqrt(0.5 * (1.0 - cos))
                    vj = sqrt((acc if acc < prev_a else prev_a) * tol * sin_half / (1.0 - sin_half))
                    if v < vj:
                        vj = v
                    if prev_v < vj:
                        vj = prev_v
            ux, uy, uz = nx, ny, nz
            have_dir = True
            add_len(length)
            add_top(v)
            add_acc(acc)
            vj *= vj
            if reach < vj:
                vj = reach
            add_start(vj)
            reach = vj + 2.0 * acc * length
            prev_v, prev_a = v, acc
            per_modal[mi][kind] += length
            px, py, pz = x, y, z
            continue
        if kind > ARC:  # dwell or pause: the machine stands still
            add_len(0.0), add_top(0.0), add_acc(0.0), add_start(0.0)
            reach, have_dir = 0.0, False
        else:  # an arc, or a move of rotary axes (maybe with linear ones)
            tangent: tuple[tuple[float, float, float], tuple[float, float, float]] | None
            if kind == ARC:
                plen, v, acc, t0, t1 = _arc_limits(b, arc_k, (px, py, pz), (x, y, z), f, max_feed, accel)
                arc_k += 1
                length, tangent = plen, (t0, t1)
            else:
                delta = (x - px, y - py, z - pz, a_ - pa, b_ - pb, c_ - pc)
                lims = rapid if kind == RAPID else max_feed
                length, plen, v, acc = _rotary_limits(delta, f, lims, accel, kind == RAPID)
                direction = (delta[0] / length, delta[1] / length, delta[2] / length) if length > 1e-12 else None
                tangent = (direction, direction) if direction else None
            vj = 0.0
            if tangent is None:  # rotary only: from standstill, and the next move too
                have_dir = False
            else:
                if have_dir and not exact:
                    t0 = tangent[0]
                    vj = _junction(-(ux * t0[0] + uy * t0[1] + uz * t0[2]), v, prev_v, acc, prev_a, tol)
                (ux, uy, uz), have_dir = tangent[1], True
            add_len(plen), add_top(v), add_acc(acc)
            vj = min(vj * vj, reach)
            add_start(vj)
            reach = vj + 2.0 * acc * plen
            prev_v, prev_a = v, acc
            per_modal[mi][1 if kind == ARC else kind] += length  # degrees never count as tool path
        px, py, pz, pa, pb, pc = x, y, z, a_, b_, c_
    _add_lengths(b, per_modal)
    return lengths, tops, accs, starts


def _arc_limits(
    b: Builder,
    k: int,
    p: tuple[float, float, float],
    t: tuple[float, float, float],
    feed: float,
    max_feed: tuple[float, ...],
    accel: tuple[float, ...],
) -> tuple[float, float, float, tuple[float, float, float], tuple[float, float, float]]:
    """Path length, top speed, acceleration and the unit tangents at both ends of arc k."""
    j = 5 * k
    data = b.arc_data
    sweep = data[j + 3]
    ih = int(data[j + 4])
    ps, ts = list(p), list(t)
    if ih >= DIAMETER:
        ih -= DIAMETER
        ps[0] *= 0.5
        ts[0] *= 0.5
    i1, i2 = _PLANES[ih]
    c1, c2 = data[j + i1], data[j + i2]
    d1, d2, e1, e2 = ps[i1] - c1, ps[i2] - c2, ts[i1] - c1, ts[i2] - c2
    r0 = math.sqrt(d1 * d1 + d2 * d2)
    r1 = math.sqrt(e1 * e1 + e2 * e2)
    radius = 0.5 * (r0 + r1)
    h = ts[ih] - ps[ih]
    planar = radius * abs(sweep)
    plen = math.sqrt(planar * planar + h * h)
    v = plen / -feed if feed < 0.0 else feed / 60.0
    v = min(v, max_feed[i1], max_feed[i2])
    acc = min(accel[i1], accel[i2])
    if h:
        r = plen / abs(h)
        v = min(v, max_feed[ih] * r)
        acc = min(acc, accel[ih] * r)
    if radius > 0.0:
        v = min(v, math.sqrt(acc * radius))  # centripetal limit
    kp = (planar / plen if plen else 0.0) * (1.0 if sweep > 0 else -1.0)
    kh = h / plen if plen else 0.0
    u0 = [0.0, 0.0, 0.0]
    u1 = [0.0, 0.0, 0.0]
    if r0 > 0.0:
        u0[i1], u0[i2] = -d2 / r0 * kp, d1 / r0 * kp
    if r1 > 0.0:
        u1[i1], u1[i2] = -e2 / r1 * kp, e1 / r1 * kp
    u0[ih] = u1[ih] = kh
    return plen, v, acc, (u0[0], u0[1], u0[2]), (u1[0], u1[1], u1[2])


def _extents(b: Builder) -> None:
    """Machine-coordinate boxes of the rapid and the feed moves, per work offset.

    The end points are gathered a whole axis at a time by the array machinery; only arcs,
    which may bulge past their ends, are looked at one by one."""
    kinds, ends, modals = b.kinds, b.ends, b.modals
    n = len(kinds)
    offsets: dict[tuple[float, ...], int] = {}
    group_of = [offsets.setdefault(m.offset, len(offsets)) for m in b.modal_table]
    single = len(offsets) <= 1
    cls = bytes(kinds).translate(_CLASSES)  # 0 rapid, 1 feed (lines and arcs), 2 standing still
    groups = bytes(n) if single else bytes(map(min, map(group_of.__getitem__, modals), repeat(255)))
    starts = list(b.start)
    st = b.stats
    arc_boxes: dict[int, list[float]] = {}
    box = None
    for k, seg in enumerate(b.arc_segments):
        if box is None or not single:
            box = arc_boxes.setdefault(groups[seg], [INF] * 6 + [-INF] * 6)
        _grow_arc(box, b, k, starts if seg == 0 else ends[6 * seg - 6 : 6 * seg])
    for offset, g in offsets.items():
        boxes = [[INF] * 6 + [-INF] * 6, [INF] * 6 + [-INF] * 6]
        for c in (0, 1):
            mask = cls.translate(_ONE[c])
            if not single:
                mask = bytes(map(operator.and_, mask, map(operator.eq, groups, repeat(g))))
            box = boxes[c]
            if mask.find(1) < 0:
                continue
            # a run of moves begins where the machine stood: the end of the segment before
            run_starts = list(compress(range(n), map(operator.gt, mask, chain((0,), mask))))
            for axis in range(6):
                column = ends[axis::6]
                before = [starts[axis] if i == 0 else column[i - 1] for i in run_starts]
                box[axis] = min(min(compress(column, mask)), min(before))
                box[axis + 6] = max(max(compress(column, mask)), max(before))
            bulge = arc_boxes.get(g) if c == 1 else None
            if bulge is not None:
                for axis in range(6):
                    box[axis] = min(box[axis], bulge[axis])
                    box[axis + 6] = max(box[axis + 6], bulge[axis + 6])
        st.groups.append((offset, boxes))


_CLASSES = bytes([0, 1, 1, 2, 2]) + bytes(251)
_ONE = (bytes([1, 0, 0]) + bytes(253), bytes([0, 1, 0]) + bytes(253))


def _grow_arc(box: list[float], b: Builder, k: int, p: Sequence[float]) -> None:
    """Widen the box by the points where arc k crosses the axis directions of its plane."""
    j = 5 * k
    data = b.arc_data
    sweep = data[j + 3]
    ih = int(data[j + 4])
    xscale = 1.0
    if ih >= DIAMETER:
        ih -= DIAMETER
        xscale = 2.0
    i1, i2 = _PLANES[ih]
    c1, c2 = data[j + i1], data[j + i2]
    s1 = p[i1] * (0.5 if i1 == 0 and xscale != 1.0 else 1.0) - c1
    s2 = p[i2] * (0.5 if i2 == 0 and xscale != 1.0 else 1.0) - c2
    radius = math.sqrt(s1 * s1 + s2 * s2)
    quarter = 0.5 * math.pi
    a0 = math.atan2(s2, s1) / quarter  # in quarter turns
    a1 = a0 + sweep / quarter
    low, high = (a0, a1) if a1 >= a0 else (a1, a0)
    first = math.ceil(low - 1e-12)
    for q in range(first, min(math.floor(high + 1e-12), first + 3) + 1):
        side = q % 4
        v1 = c1 + (radius if side == 0 else -radius if side == 2 else 0.0)
        v2 = c2 + (radius if side == 1 else -radius if side == 3 else 0.0)
        if i1 == 0:
            v1 *= xscale
        if i2 == 0:
            v2 *= xscale
        if v1 < box[i1]:
            box[i1] = v1
        if v1 > box[i1 + 6]:
            box[i1 + 6] = v1
        if v2 < box[i2]:
            box[i2] = v2
        if v2 > box[i2 + 6]:
            box[i2 + 6] = v2


# ----- time planning ---------------------------------------------------------------------------------


def _plan(b: Builder, lengths: array[float], tops: array[float], accs: array[float], starts: array[float]) -> None:
    """Durations of the moves: acceleration-limited speeds through the junctions.

    `starts` bounds the speed at the start of each move by its junction and by what the
    moves before it can reach (the forward pass, made with the limits). Going backwards,
    the speed at each junction is bounded too by what the move after it can shed before
    the next junction; each move then runs a trapezoid (or triangle) profile between its
    two junction speeds.
    """
    n = len(lengths)
    durations = b.durations = array("d", bytes(8 * n))
    sqrt = math.sqrt
    after = 0.0  # squared speed at the end of the move: the program ends at standstill
    for i, length, s0, vc, a in zip(
        range(n - 1, -1, -1), reversed(lengths), reversed(starts), reversed(tops), reversed(accs), strict=True
    ):
        if length <= 0.0:
            if s0 < after:
                after = s0
            continue
        s1 = after
        after = s1 + 2.0 * a * length
        if s0 < after:
            after = s0
        if vc <= 0.0:
            durations[i] = INF
            continue
        if a == INF:
            durations[i] = length / vc
            continue
        v0 = sqrt(after) if after > 0.0 else 0.0
        v1 = sqrt(s1) if s1 > 0.0 else 0.0
        if v0 > vc:
            v0 = vc
        if v1 > vc:
            v1 = vc
        vc2 = vc * vc
        d_acc = (vc2 - v0 * v0) / (2.0 * a)
        d_dec = (vc2 - v1 * v1) / (2.0 * a)
        if d_acc + d_dec <= length:
            durations[i] = (2.0 * vc - v0 - v1) / a + (length - d_acc - d_dec) / vc
        else:
            peak = sqrt(max(0.0, a * length + 0.5 * (v0 * v0 + v1 * v1)))
            durations[i] = max(0.0, (2.0 * peak - v0 - v1) / a)
    for i, seconds in b.dwells.items():
        durations[i] = seconds
    b.stats.seconds = math.fsum(durations)


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
