"""Cutter radius compensation (G41/G42): the tool runs beside the programmed path, one
tool radius to its left or right, in the working plane.

A move's end on the tool path depends on the move after it (an inside corner ends where
the two offset moves cross, an outside corner is rounded by an arc about the programmed
corner), so each plane move is held back until the next one arrives. Moves out of the
plane, dwells and pauses met meanwhile wait behind it and run at its end.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field

from .errors import ERR_VALUE, GCodeError
from .program import ARC, Builder

TOL = 1e-6  # mm a crossing may lie outside a move and still be on it
PARALLEL = 1e-9  # |sin| of the turn below which two moves meet without a corner

Point = tuple[float, float]


@dataclass
class Move:
    """One plane move on the tool path; `start` and `end` move as its corners are settled."""

    kind: int  # RAPID, LINE or ARC
    start: Point
    end: Point
    target: list[float]  # all axes of its end; the plane's two are replaced by `end`
    line: int
    modal: int
    rate: float
    seconds: float
    direction: Point = (0.0, 0.0)  # a straight move's unit direction
    centre: Point = (0.0, 0.0)  # an arc's centre and radius on the tool path
    radius: float = 0.0
    sweep: float = 0.0  # an arc's programmed sweep (radians, + counter-clockwise)
    angles: Point = (0.0, 0.0)  # an arc's angles of its start and end before any corner moved them
    held: list[Callable[[], None]] = field(default_factory=list)  # run at its end: moves out of the plane, dwells


def _wrap(a: float) -> float:
    """An angle in (-pi, pi]."""
    a = math.fmod(a, 2.0 * math.pi)
    if a <= -math.pi:
        a += 2.0 * math.pi
    elif a > math.pi:
        a -= 2.0 * math.pi
    return a


def _angle(p: Point, c: Point) -> float:
    return math.atan2(p[1] - c[1], p[0] - c[0])


class CutterComp:
    """Compensation from G41/G42 until G40: `side` +1 keeps the tool left of the path, -1 right."""

    def __init__(
        self,
        b: Builder,
        side: float,
        radius: float,
        axes: tuple[int, int, int],
        here: list[float],
        word: str,
        fastest: float,
    ) -> None:
        self.b = b
        self.side = side
        self.r = radius
        self.i1, self.i2, self.ih = axes
        self.word = word
        self.fastest = fastest  # mm/min of a corner between rapids or inverse-time moves
        self.actual = list(here)  # where the tool is, all axes (the end of the last segment made)
        self.pending: Move | None = None
        self.entered = False

    # ----- moves of the program ------------------------------------------------------------------

    def straight(
        self, kind: int, p: list[float], t: list[float], line: int, modal: int, rate: float, seconds: float
    ) -> None:
        i1, i2 = self.i1, self.i2
        d1, d2 = t[i1] - p[i1], t[i2] - p[i2]
        length = math.hypot(d1, d2)
        if length <= TOL:  # out of the plane: at the tool's place in it
            self._after(lambda: self._out_of_plane(kind, t, line, modal, rate, seconds))
            return
        if not self.entered:
            self._enter(kind, t, line, modal, rate, seconds)
            return
        u = (d1 / length, d2 / length)
        n1, n2 = -u[1] * self.side * self.r, u[0] * self.side * self.r
        move = Move(kind, (p[i1] + n1, p[i2] + n2), (t[i1] + n1, t[i2] + n2), list(t), line, modal, rate, seconds, u)
        self._join(move, (p[i1], p[i2]))

    def arc(
        self,
        p: list[float],
        t: list[float],
        centre: Point,
        sweep: float,
        line: int,
        modal: int,
        rate: float,
        seconds: float,
    ) -> None:
        i1, i2 = self.i1, self.i2
        if not self.entered:
            raise GCodeError(
                "the first move with cutter compensation on (the entry move) must be a straight line",
                self.word,
                ERR_VALUE,
            )
        radius = math.hypot(p[i1] - centre[0], p[i2] - centre[1])
        tool_radius = radius - self.side * self.r * (1.0 if sweep > 0 else -1.0)
        if tool_radius <= TOL:
            raise GCodeError(
                f"the tool (radius {self.r:g}) cannot fit inside this arc (radius {radius:.4g}): "
                "cutter compensation would gouge",
                self.word,
                ERR_VALUE,
            )
        a0, a1 = _angle((p[i1], p[i2]), centre), _angle((t[i1], t[i2]), centre)
        at = (centre[0] + tool_radius * math.cos(a0), centre[1] + tool_radius * math.sin(a0))
        to = (centre[0] + tool_radius * math.cos(a1), centre[1] + tool_radius * math.sin(a1))
        move = Move(ARC, at, to, list(t), line, modal, rate, seconds, (0.0, 0.0), centre, tool_radius, sweep, (a0, a1))
        self._join(move, (p[i1], p[i2]))

    def dwell(self, seconds: float, line: int, modal: int) -> None:
        self._after(lambda: self.b.dwell(self.actual, seconds, line, modal))

    def pause(self, line: int, modal: int) -> None:
        self._after(lambda: self.b.pause(self.actual, line, modal))

    def finish(self) -> list[float]:
        """G40 (or the program's end): the held move runs to its own offset end; the tool's place."""
        if self.pending is not None:
            self._emit(self.pending)
            self.pending = None
        return list(self.actual)

    # ----- the path ------------------------------------------------------------------------------

    def _enter(self, kind: int, t: list[float], line: int, modal: int, rate: float, seconds: float) -> None:
        """From where the tool stands to one radius beside the programmed end, square to the move."""
        i1, i2 = self.i1, self.i2
        s = (self.actual[i1], self.actual[i2])
        d1, d2 = t[i1] - s[0], t[i2] - s[1]
        distance = math.hypot(d1, d2)
        if distance <= self.r + TOL:
            raise GCodeError(
                f"the entry move of cutter compensation ({distance:.4g}) must be longer than the tool radius "
                f"{self.r:g}",
                self.word,
                ERR_VALUE,
            )
        k = self.side * self.r / distance
        end = (t[i1] - d2 * k, t[i2] + d1 * k)
        e1, e2 = end[0] - s[0], end[1] - s[1]
        length = math.hypot(e1, e2)
        self.pending = Move(kind, s, end, list(t), line, modal, rate, seconds, (e1 / length, e2 / length))
        self.entered = True

    def _after(self, run: Callable[[], None]) -> None:
        if self.pending is not None:
            self.pending.held.append(run)
        else:
            run()

    def _out_of_plane(self, kind: int, t: list[float], line: int, modal: int, rate: float, seconds: float) -> None:
        target = list(t)
        target[self.i1], target[self.i2] = self.actual[self.i1], self.actual[self.i2]
        self.b.line(kind, target, line, modal, rate, seconds)
        self.actual = target

    def _join(self, new: Move, corner: Point) -> None:
        """Settle the corner between the held move and `new`, run the held move, hold `new`."""
        old = self.pending
        assert old is not None
        ta, tb = _tangent(old, True), _tangent(new, False)
        cross = ta[0] * tb[1] - ta[1] * tb[0]
        dot = ta[0] * tb[0] + ta[1] * tb[1]
        if abs(cross) <= PARALLEL and dot > 0.0:
            self._emit(old)
        elif self.side * cross > 0.0:  # turning towards the tool's side: an inside corner
            x = _crossing(old, new, ((old.end[0] + new.start[0]) / 2, (old.end[1] + new.start[1]) / 2))
            if x is None or not (_holds(old, x) and _holds(new, x)):
                raise GCodeError(
                    f"the tool (radius {self.r:g}) cannot fit in this corner: cutter compensation would gouge",
                    self.word,
                    ERR_VALUE,
                )
            old.end = new.start = x
            self._emit(old)
        else:  # an outside corner: round it about the programmed corner
            self._emit(old)
            a0, a1 = _angle(old.end, corner), _angle(new.start, corner)
            sweep = -((a0 - a1) % (2 * math.pi)) if self.side > 0 else (a1 - a0) % (2 * math.pi)
            if abs(sweep) > 1e-9:
                target = list(self.actual)
                target[self.i1], target[self.i2] = new.start
                rate = _corner_rate(old, new) or self.fastest
                self.b.arc(target, corner, self.ih, sweep, new.line, new.modal, rate)
                self.actual = target
        self.pending = new

    def _emit(self, m: Move) -> None:
        target = list(m.target)
        target[self.i1], target[self.i2] = m.end
        if m.kind == ARC:
            moved = _wrap(_angle(m.end, m.centre) - m.angles[1]) - _wrap(_angle(m.start, m.centre) - m.angles[0])
            self.b.arc(target, m.centre, self.ih, m.sweep + moved, m.line, m.modal, m.rate, m.seconds)
        else:
            self.b.line(m.kind, target, m.line, m.modal, m.rate, m.seconds)
        self.actual = target
        for run in m.held:
            run()


def _tangent(m: Move, at_end: bool) -> Point:
    if m.kind != ARC:
        return m.direction
    p = m.end if at_end else m.start
    r1, r2 = p[0] - m.centre[0], p[1] - m.centre[1]
    k = (1.0 if m.sweep > 0 else -1.0) / math.hypot(r1, r2)
    return -r2 * k, r1 * k


def _corner_rate(old: Move, new: Move) -> float:
    """The corner arc runs at the feed of the move after it (of the one before, for a rapid);
    0 when neither has a feed rate (rapids, inverse time)."""
    for m in (new, old):
        if m.kind != 0 and m.rate > 0.0:
            return m.rate
    return 0.0


def _crossing(a: Move, b: Move, near: Point) -> Point | None:
    """Where the paths of `a` and `b` (as whole lines and circles) cross, nearest `near`."""
    if a.kind != ARC and b.kind != ARC:
        (p1, p2), (u1, u2) = a.end, a.direction
        (q1, q2), (v1, v2) = b.start, b.direction
        det = u1 * v2 - u2 * v1
        if abs(det) <= PARALLEL:
            return None
        s = ((q1 - p1) * v2 - (q2 - p2) * v1) / det
        return p1 + s * u1, p2 + s * u2
    if a.kind == ARC and b.kind == ARC:
        points = _circles(a.centre, a.radius, b.centre, b.radius)
    else:
        line, circle = (b, a) if a.kind == ARC else (a, b)
        points = _line_circle(line.start, line.direction, circle.centre, circle.radius)
    if not points:
        return None
    return min(points, key=lambda x: math.dist(x, near))


def _line_circle(p: Point, u: Point, c: Point, r: float) -> list[Point]:
    f1, f2 = p[0] - c[0], p[1] - c[1]
    bq = f1 * u[0] + f2 * u[1]
    disc = bq * bq - (f1 * f1 + f2 * f2 - r * r)
    if disc < -TOL:
        return []
    root = math.sqrt(max(0.0, disc))
    return [(p[0] + s * u[0], p[1] + s * u[1]) for s in (-bq - root, -bq + root)]


def _circles(c0: Point, r0: float, c1: Point, r1: float) -> list[Point]:
    d = math.dist(c0, c1)
    if d <= PARALLEL or d > r0 + r1 + TOL or d < abs(r0 - r1) - TOL:
        return []
    a = (r0 * r0 - r1 * r1 + d * d) / (2 * d)
    h = math.sqrt(max(0.0, r0 * r0 - a * a))
    m1, m2 = c0[0] + a * (c1[0] - c0[0]) / d, c0[1] + a * (c1[1] - c0[1]) / d
    o1, o2 = -(c1[1] - c0[1]) / d * h, (c1[0] - c0[0]) / d * h
    return [(m1 + o1, m2 + o2), (m1 - o1, m2 - o2)]


def _holds(m: Move, x: Point) -> bool:
    """Whether `x` lies on move `m` between its start and its (offset) end."""
    if m.kind != ARC:
        u = m.direction
        length = (m.end[0] - m.start[0]) * u[0] + (m.end[1] - m.start[1]) * u[1]
        s = (x[0] - m.start[0]) * u[0] + (x[1] - m.start[1]) * u[1]
        return -TOL <= s <= length + TOL
    span = abs(m.sweep)
    if span >= 2 * math.pi - 1e-9:
        return True
    turn = _angle(x, m.centre) - _angle(m.start, m.centre)
    turn = turn % (2 * math.pi) if m.sweep > 0 else (-turn) % (2 * math.pi)
    return turn <= span + TOL / max(m.radius, TOL) or turn >= 2 * math.pi - TOL / max(m.radius, TOL)
