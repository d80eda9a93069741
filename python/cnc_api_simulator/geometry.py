"""Moves: where they go and how fast (targets under offsets, rotation and polar words,
feed rates, arc centres), and the moves themselves (lines, arcs, splines, threads,
probing), through cutter compensation when it is on."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

from .comp import CutterComp
from .errors import ERR_ARC, ERR_LIMIT, ERR_SYNTAX, ERR_UNSUPPORTED, ERR_VALUE, GCodeError
from .program import LINE as FEED
from .program import RAPID
from .state import AXIS_COUNT
from .words import AXES, PLANE_AXES, has_axes, num

if TYPE_CHECKING:
    from .config import MachineConfig
    from .program import Builder
    from .state import Modes, State

# mm/min of a feed set by a word with no value here (a pin of a control's configuration)
UNKNOWN_FEED = 1000.0
ARC_TOLERANCE = 0.005  # mm the end of an arc may miss its circle (plus 0.1 % of the radius)
_INCREMENTAL = {"U": 0, "V": 1, "W": 2}  # lathe-style incremental X, Y, Z
_ARC_WORDS = {17: ("I", "J"), 18: ("K", "I"), 19: ("J", "K")}
_SPLINE_CHORD = 0.2  # mm: a spline is run as chords of about this length


class Geometry:
    """Targets, rates, arc geometry and moves of the interpreter (a part of Interpreter)."""

    if TYPE_CHECKING:  # what the rest of the interpreter holds
        m: Modes
        pos: list[float]
        off: tuple[float, ...]
        feed_unknown: bool
        polar: bool
        polar_last: list[float]
        rot: tuple[float, float, float, float] | None
        spline_last: tuple[float, float] | None
        transformed: bool
        b: Builder
        comp: CutterComp | None
        config: MachineConfig
        probe: list[float]
        state: State
        tool: int

        def _modal_index(self) -> int: ...

        def _report_line(self) -> int: ...

        def scale(self) -> float: ...

    def _target(self, w: dict[str, float], machine: bool) -> list[float]:
        if self.transformed and not machine:
            return self._target_transformed(w)
        t = list(self.pos)
        off = self.off
        scale = 25.4 if self.m.imperial else 1.0
        absolute = self.m.absolute or machine
        for i in range(AXIS_COUNT):
            a = AXES[i]
            if a in w:
                v = w[a] * scale if i < 3 else w[a]
                if machine:
                    t[i] = v
                elif absolute:
                    t[i] = v + off[i]
                else:
                    t[i] += v
        for letter, i in _INCREMENTAL.items():
            # beside its X, Y or Z a U, V or W is an axis of its own (a second tower of a
            # foam cutter, say), which this machine has not: left out
            if letter in w and AXES[i] not in w:
                t[i] += w[letter] * scale
        if "@" in w or "^" in w:
            i1, i2, _ = PLANE_AXES[self.m.plane]
            if AXES[i1] in w or AXES[i2] in w:
                raise GCodeError("polar and cartesian coordinates on one line", "@", ERR_SYNTAX)
            base1 = off[i1] if absolute else self.pos[i1]
            base2 = off[i2] if absolute else self.pos[i2]
            r0 = math.hypot(self.pos[i1] - base1, self.pos[i2] - base2)
            a0 = math.degrees(math.atan2(self.pos[i2] - base2, self.pos[i1] - base1))
            r = w["@"] * scale if "@" in w else r0
            ang = math.radians(w["^"] if "^" in w else a0)
            t[i1] = base1 + r * math.cos(ang)
            t[i2] = base2 + r * math.sin(ang)
        return t

    def _target_transformed(self, w: dict[str, float]) -> list[float]:
        """Target under G68 rotation or G16 polar words: worked out in the unrotated program
        coordinates, then turned into the plane and shifted to the machine."""
        off = self.off
        scale = self.scale()
        i1, i2, _ = PLANE_AXES[self.m.plane]
        prog = [p - o for p, o in zip(self.pos, off, strict=True)]
        if self.rot is not None:
            prog[i1], prog[i2] = self._rotate(prog[i1], prog[i2], -1.0)
        t = list(prog)
        absolute = self.m.absolute
        for i in range(AXIS_COUNT):
            a = AXES[i]
            if a in w and not (self.polar and i in (i1, i2)):
                v = w[a] * scale if i < 3 else w[a]
                t[i] = v if absolute else t[i] + v
        for letter, i in _INCREMENTAL.items():
            if letter in w and AXES[i] not in w:
                t[i] += w[letter] * scale
        if self.polar and (AXES[i1] in w or AXES[i2] in w):
            radius = w[AXES[i1]] * scale if AXES[i1] in w else self.polar_last[0]
            angle = w[AXES[i2]] if AXES[i2] in w else self.polar_last[1]
            self.polar_last = [radius, angle]
            c1, c2 = (0.0, 0.0) if absolute else (prog[i1], prog[i2])
            t[i1] = c1 + radius * math.cos(math.radians(angle))
            t[i2] = c2 + radius * math.sin(math.radians(angle))
        if "@" in w or "^" in w:
            b1, b2 = (0.0, 0.0) if absolute else (prog[i1], prog[i2])
            r = w["@"] * scale if "@" in w else math.hypot(prog[i1] - b1, prog[i2] - b2)
            ang = math.radians(w["^"]) if "^" in w else math.atan2(prog[i2] - b2, prog[i1] - b1)
            t[i1], t[i2] = b1 + r * math.cos(ang), b2 + r * math.sin(ang)
        if self.rot is not None:
            t[i1], t[i2] = self._rotate(t[i1], t[i2], 1.0)
        return [v + o for v, o in zip(t, off, strict=True)]

    def _rotate(self, a: float, b: float, sense: float) -> tuple[float, float]:
        """A plane point turned about the G68 centre (sense -1 turns it back)."""
        assert self.rot is not None
        c1, c2, cos, sin = self.rot
        sin *= sense
        da, db = a - c1, b - c2
        return c1 + da * cos - db * sin, c2 + da * sin + db * cos

    def set_rotation(self, key: int, w: dict[str, float]) -> None:
        if key == 690:
            self.rot = None
        else:
            i1, i2, _ = PLANE_AXES[self.m.plane]
            if "R" not in w:
                raise GCodeError("G68 needs R, the angle of rotation", "G68", ERR_VALUE)
            scale = self.scale()
            here = [p - o for p, o in zip(self.pos, self.off, strict=True)]
            c1 = w[AXES[i1]] * scale if AXES[i1] in w else here[i1]
            c2 = w[AXES[i2]] * scale if AXES[i2] in w else here[i2]
            angle = math.radians(w["R"])
            self.rot = (c1, c2, math.cos(angle), math.sin(angle))
        self.transformed = self.polar or self.rot is not None

    def _rate(self, t: list[float], linear: bool = False) -> tuple[float, float]:
        """Feed of a move to `t`: (mm/min or deg/min, seconds for the move in inverse time).

        `linear` when the move runs on linear axes whatever its end: a full circle ends where it began."""
        m = self.m
        if m.feed_mode == 93:
            if m.feed <= 0:
                raise GCodeError("inverse-time feed needs a positive F", "F", ERR_VALUE)
            return 0.0, 60.0 / m.feed
        p = self.pos
        linear = linear or t[0] != p[0] or t[1] != p[1] or t[2] != p[2]
        if not m.feed_given:
            if self.feed_unknown:
                return UNKNOWN_FEED, 0.0
            word = f"G{num(m.motion)}" if not m.cycle else f"G{m.cycle}"
            raise GCodeError(
                "feed move with no feed rate in force: give an F word before it or on its line", word, ERR_VALUE
            )
        f = m.feed * (25.4 if m.imperial and linear else 1.0)
        if m.feed_mode == 95:
            f *= self._rpm()
        if f <= 0:
            raise GCodeError("feed move with a zero feed rate (no F, or F0)", "F", ERR_VALUE)
        return f, 0.0

    def _rpm(self) -> float:
        m = self.m
        if m.css:
            radius = abs(self.pos[0] - self.off[0]) * (0.5 if m.diameter else 1.0)
            top = m.css_max or 1e9
            surface = m.speed * (0.3048 if m.imperial else 1.0) * 1000.0  # mm/min
            rpm = surface / (2 * math.pi * radius) if radius > 1e-6 else top
            rpm = min(rpm, top)
        else:
            rpm = m.speed
        if rpm <= 0:
            raise GCodeError("feed per revolution with no spindle speed", "S", ERR_VALUE)
        return rpm

    def _spline(self, cubic: bool, w: dict[str, float]) -> None:
        """G5 cubic and G5.1 quadratic splines in the XY plane, run as short chords."""
        word = "G5" if cubic else "G5.1"
        if self.m.plane != 17:
            raise GCodeError("splines are only in the XY plane (G17)", word, ERR_UNSUPPORTED)
        scale = self.scale()
        p = self.pos
        t = self._target(w, False)
        p0, p3 = (p[0], p[1]), (t[0], t[1])
        if cubic:
            if "I" in w or "J" in w:
                v1 = (w.get("I", 0.0) * scale, w.get("J", 0.0) * scale)
            elif self.spline_last is not None:
                v1 = (-self.spline_last[0], -self.spline_last[1])
            else:
                raise GCodeError("the first G5 of a curve needs I and J", word, ERR_VALUE)
            if "P" not in w or "Q" not in w:
                raise GCodeError("G5 needs P and Q", word, ERR_VALUE)
            v2 = (w["P"] * scale, w["Q"] * scale)
            c1 = (p0[0] + v1[0], p0[1] + v1[1])
            c2 = (p3[0] + v2[0], p3[1] + v2[1])
            self.spline_last = v2
        else:
            if "I" not in w and "J" not in w:
                raise GCodeError("G5.1 needs I and J", word, ERR_VALUE)
            cq = (p0[0] + w.get("I", 0.0) * scale, p0[1] + w.get("J", 0.0) * scale)
            c1 = (p0[0] + 2.0 / 3.0 * (cq[0] - p0[0]), p0[1] + 2.0 / 3.0 * (cq[1] - p0[1]))
            c2 = (p3[0] + 2.0 / 3.0 * (cq[0] - p3[0]), p3[1] + 2.0 / 3.0 * (cq[1] - p3[1]))
            self.spline_last = None
        hull = math.dist(p0, c1) + math.dist(c1, c2) + math.dist(c2, p3)
        n = max(4, min(1000, math.ceil(hull / _SPLINE_CHORD)))
        rate, seconds = self._rate(t, linear=True)
        seconds /= n
        for k in range(1, n + 1):
            u = k / n
            a, b, c, d = (1 - u) ** 3, 3 * u * (1 - u) ** 2, 3 * u * u * (1 - u), u**3
            q = list(p) if k < n else t
            if k < n:
                q[0] = a * p0[0] + b * c1[0] + c * c2[0] + d * p3[0]
                q[1] = a * p0[1] + b * c1[1] + c * c2[1] + d * p3[1]
                for i in (2, 3, 4, 5):
                    q[i] = p[i] + (t[i] - p[i]) * u
            self._line(FEED, q, rate, seconds)

    def _synced(self, w: dict[str, float]) -> None:
        if "K" not in w:
            raise GCodeError("G33 needs K, the distance per revolution", "G33", ERR_VALUE)
        t = self._target(w, False)
        self._line(FEED, t, w["K"] * self.scale() * self._rpm())

    def _arc_centre(
        self, clockwise: bool, w: dict[str, float], target: list[float], dia: bool
    ) -> tuple[float, float, list[float], list[float]]:
        """Centre of an arc and its start and end, X as a radius when `dia` (X words are diameters)."""
        m = self.m
        i1, i2, _ = PLANE_AXES[m.plane]
        scale = self.scale()
        w1, w2 = _ARC_WORDS[m.plane]
        p = list(self.pos)
        t = list(target)
        off = list(self.off)
        if dia:
            p[0] *= 0.5
            t[0] *= 0.5
            off[0] *= 0.5
        word = f"G{2 if clockwise else 3}"
        if "R" in w:
            if w1 in w or w2 in w:
                raise GCodeError("arc with both R and a centre offset", "R", ERR_ARC)
            c1, c2 = self._radius_centre(clockwise, p, t, w["R"] * scale, (i1, i2))
        else:
            if w1 not in w and w2 not in w:
                raise GCodeError(f"arc needs {w1}/{w2} centre offsets or R in this plane", word, ERR_ARC)
            o1 = w.get(w1, 0.0) * scale
            o2 = w.get(w2, 0.0) * scale
            if m.arc_absolute:
                if self.rot is not None:
                    o1, o2 = self._rotate(o1, o2, 1.0)
                c1, c2 = o1 + off[i1], o2 + off[i2]
            else:
                if self.rot is not None:
                    cos, sin = self.rot[2], self.rot[3]
                    o1, o2 = o1 * cos - o2 * sin, o1 * sin + o2 * cos
                c1, c2 = p[i1] + o1, p[i2] + o2
        r0 = math.hypot(p[i1] - c1, p[i2] - c2)
        r1 = math.hypot(t[i1] - c1, t[i2] - c2)
        if r0 < 1e-9:
            raise GCodeError("arc radius is zero", word, ERR_ARC)
        if abs(r0 - r1) > ARC_TOLERANCE + 0.001 * r0:
            raise GCodeError(
                f"arc end point is not on the arc: radius {r0:.4f} at the start, {r1:.4f} at the end", word, ERR_ARC
            )
        return c1, c2, p, t

    @staticmethod
    def _radius_centre(
        clockwise: bool, p: list[float], t: list[float], r: float, axes: tuple[int, int]
    ) -> tuple[float, float]:
        i1, i2 = axes
        d1, d2 = t[i1] - p[i1], t[i2] - p[i2]
        chord = math.hypot(d1, d2)
        if chord < 1e-9:
            raise GCodeError("R-format arc with the same start and end point", "R", ERR_ARC)
        half = chord / 2
        if abs(r) < half:
            if half - abs(r) > ARC_TOLERANCE + 0.001 * half:
                raise GCodeError(f"arc radius {abs(r):.4f} is less than half the chord {half:.4f}", "R", ERR_ARC)
            r = math.copysign(half, r)
        h = math.sqrt(max(0.0, r * r - half * half))
        # centre to the left of the chord for a short counter-clockwise arc
        side = 1.0 if (r > 0) != clockwise else -1.0
        m1, m2 = p[i1] + d1 / 2, p[i2] + d2 / 2
        return m1 - side * h * d2 / chord, m2 + side * h * d1 / chord

    # ----- motion -----------------------------------------------------------------------------------

    def _line(self, kind: int, t: list[float], rate: float = 0.0, seconds: float = 0.0) -> None:
        if self.comp is not None:  # cycles, homing, probing, threads, splines, machine coordinates
            raise GCodeError(
                "this move cannot run with cutter compensation on: cancel it with G40 first", self.comp.word, ERR_VALUE
            )
        if len(self.b.kinds) > self.config.max_segments:  # a cycle's moves may be endless on one line
            raise GCodeError("the program makes too many moves", "", ERR_LIMIT)
        self.b.line(kind, t, self._report_line(), self._modal_index(), rate, seconds)
        self.pos = t

    def _straight(self, w: dict[str, float], machine: bool) -> None:
        t = self._target(w, machine)
        kind, rate, seconds = RAPID, 0.0, 0.0
        if self.m.motion != 0.0:
            kind = FEED
            rate, seconds = self._rate(t)
        if self.comp is not None and not machine:
            self.comp.straight(kind, self.pos, t, self._report_line(), self._modal_index(), rate, seconds)
            self.pos = t
        else:
            self._line(kind, t, rate, seconds)

    def set_comp(self, key: int, w: dict[str, float]) -> None:
        """G40 ends compensation; G41/G42 D take the radius of tool D (of the tool in the spindle
        without D), G41.1/G42.1 D the tool's diameter itself."""
        programmed = self.pos
        self._comp_off()
        actual = self.pos
        if has_axes(w):  # the move of this line starts from the programmed point (G91 counts from there)
            self.pos = programmed
        self.m.cutter_comp = key
        if key == 400:
            return
        word = f"G{num(key / 10)}"
        if key in (411, 421):
            if "D" not in w:
                raise GCodeError(f"{word} needs D, the tool diameter", word, ERR_VALUE)
            diameter = w["D"] * self.scale()
        else:
            number = w.get("D", float(self.tool))
            if number != int(number) or number < 0:
                raise GCodeError("D must be a tool number", f"D{num(number)}", ERR_VALUE)
            diameter = self.state.tool_diameters.get(int(number), 0.0)
        if diameter < 0:
            raise GCodeError("the tool diameter must not be negative", word, ERR_VALUE)
        if diameter > 0:
            side = 1.0 if key in (410, 411) else -1.0
            i1, i2, _ = PLANE_AXES[self.m.plane]
            fastest = min(self.config.max_feed[i1], self.config.max_feed[i2])
            self.comp = CutterComp(self.b, side, diameter / 2, PLANE_AXES[self.m.plane], actual, word, fastest)

    def _comp_off(self) -> None:
        """The held move runs to its own end; the machine stands where the tool is."""
        if self.comp is not None:
            self.pos = self.comp.finish()
            self.comp = None

    def _arc(self, clockwise: bool, w: dict[str, float]) -> None:
        m = self.m
        plane = m.plane
        i1, i2, ih = PLANE_AXES[plane]
        t = self._target(w, False)
        turns = 1
        if "P" in w:
            turns = int(w["P"])
            if turns != w["P"] or turns < 1:
                raise GCodeError("arc P (turns) must be a whole number from 1", f"P{num(w['P'])}", ERR_ARC)
        dia = m.diameter and plane == 18
        try:
            c1, c2, pp, tt = self._arc_centre(clockwise, w, t, dia)
        except GCodeError:
            # A turning program that never says G7 may still give X as a diameter: take the
            # arc that way when only that reading puts its end on its circle.
            if plane != 18 or m.diameter_set or dia:
                raise
            c1, c2, pp, tt = self._arc_centre(clockwise, w, t, True)
            m.diameter = dia = True
        a0 = math.atan2(pp[i2] - c2, pp[i1] - c1)
        a1 = math.atan2(tt[i2] - c2, tt[i1] - c1)
        if clockwise:
            sweep = (a0 - a1) % (2 * math.pi)
        else:
            sweep = (a1 - a0) % (2 * math.pi)
        if sweep < 1e-9:
            sweep = 2 * math.pi
        sweep += 2 * math.pi * (turns - 1)
        if clockwise:
            sweep = -sweep
        rate, seconds = self._rate(t, linear=True)
        if self.comp is not None and not dia:
            if self.comp.ih != ih:
                raise GCodeError("an arc out of the plane of cutter compensation", f"G{2 if clockwise else 3}", ERR_ARC)
            self.comp.arc(pp, tt, (c1, c2), sweep, self._report_line(), self._modal_index(), rate, seconds)
        else:
            self.b.arc(t, (c1, c2), ih, sweep, self._report_line(), self._modal_index(), rate, seconds, dia)
        self.pos = t

    def _probe(self, w: dict[str, float]) -> None:
        t = self._target(w, False)
        trip = list(t)
        p = self.pos
        best = 1.0
        for axis, level in self.config.probe_trip.items():
            d = t[axis] - p[axis]
            if d and (p[axis] - level) * (t[axis] - level) <= 0:
                f = (level - p[axis]) / d
                if 0.0 <= f < best:
                    best = f
        if best < 1.0:
            trip = [a + (b - a) * best for a, b in zip(p, t, strict=True)]
        rate, seconds = self._rate(t)
        self.b.stop_blending()
        self._line(FEED, trip, rate, seconds)
        self.probe = [trip[i] - self.off[i] for i in range(AXIS_COUNT)]
        self.state.params[5070] = 1.0
        self.b.stop_blending()
