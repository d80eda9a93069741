"""Canned cycles: drilling, tapping and boring; turning cycles (profiles, roughing,
pattern repeat, pecking, threading). Each takes the interpreter it works for."""

from __future__ import annotations

import copy
import math
from collections.abc import Iterable
from itertools import chain, repeat
from typing import TYPE_CHECKING

from .config import PECK_CLEARANCE
from .errors import ERR_FLOW, ERR_LIMIT, ERR_VALUE, GCodeError
from .lexer import clean, parse_block
from .program import ARC, DIAMETER, RAPID, Builder
from .program import LINE as FEED
from .source import Place
from .words import AXES, PLANE_AXES, has_axes, num, with_axis

if TYPE_CHECKING:
    from .interp import Interpreter

_ENDSUB = frozenset(("ENDSUB",))

MAX_PASSES = 10000  # of one thread's roughing or spring passes


def lathe_or_other(key: int, w: dict[str, float]) -> int:
    """G70 to G75 mean different things on turning and milling controls: the words decide."""
    profile = "P" in w or "Q" in w
    if key in (700, 710) and not w:
        return 200 if key == 700 else 210  # inch and metric of older controls
    if key == 730:
        return 7300 if "Z" not in w and (profile or "U" in w or "W" in w) else 730
    if key == 740:
        axes = has_axes(w)
        return 7400 if (not axes and "R" in w) or (axes and "R" not in w) else 740
    return key


def lathe_cycle(it: Interpreter, key: int, w: dict[str, float]) -> None:
    if key in (7400, 750):
        _lathe_peck(it, key == 7400, w)
        return
    if key in (710, 720, 7300) and "P" not in w and "Q" not in w:  # first block: depth and retract
        scale = it.scale()
        if key == 7300:
            it.cycle_words = {k: w[k] for k in "UWR" if k in w}
            return
        depth = w.get("U" if key == 710 else "W", w.get("D"))
        if depth is not None:
            it.lathe_depth = abs(depth) * scale
        if "R" in w:
            it.lathe_retract = abs(w["R"]) * scale
        return
    first, count, after = _profile(it, w, f"G{key // 10}")
    start = list(it.pos)
    if key == 700:
        _run_lines(it, first, count, collect=False)
        it._line(RAPID, start)
        return
    points = _run_lines(it, first, count, collect=True)
    scale = it.scale()
    du, dw = w.get("U", 0.0) * scale, w.get("W", 0.0) * scale
    shifted = [(x + du, z + dw) for x, z in points[1:]]
    if not shifted:
        raise GCodeError("the cycle's profile has no moves", f"G{key // 10}", ERR_VALUE)
    if key == 7300:
        _pattern(it, start, shifted, w)
    else:
        fanuc = "P" in w
        if "D" in w and "P" in w:  # one-block form: D is the depth of cut
            it.lathe_depth = abs(w["D"]) * scale
        elif "D" in w:
            it.lathe_depth = abs(w["D"]) * scale
        diameter = fanuc or it.m.diameter
        _rough(it, start, shifted, key == 720, diameter)
    it._line(RAPID, start)
    if after is not None:
        it._jump(after)


def _profile(it: Interpreter, w: dict[str, float], word: str) -> tuple[Place, int, Place | None]:
    """Lines of a cycle's profile, N-numbered P to Q or the O-word subroutine Q: the first
    line and the count. Also where to go on when the profile follows the cycle block."""
    src = it.src
    if "P" in w and "Q" in w:
        first = src.n_label(int(w["P"]), it.i - 1)
        last = src.n_label(int(w["Q"]), it.i - 1)
        if first is None or last is None or last[0] < first[0]:
            raise GCodeError(f"no profile from N{num(w['P'])} to N{num(w['Q'])}", word, ERR_FLOW)
        after = (last[0] + 1, src.next_line(last[1])) if first[0] >= it.i else None
        return first, last[0] - first[0] + 1, after
    if "Q" in w:
        label = str(int(w["Q"]))
        head = src.definition(label, "SUB")
        end = src.find(label, _ENDSUB, head[0]) if head is not None else None
        if head is None or end is None:
            raise GCodeError(f"no profile subroutine O{label}", word, ERR_FLOW)
        return it._after(head), end[0] - head[0] - 1, None
    raise GCodeError("the cycle needs P and Q, the first and last line of its profile", word, ERR_VALUE)


def _run_lines(it: Interpreter, first: Place, count: int, collect: bool) -> list[tuple[float, float]]:
    """Run `count` lines from `first` in place. Collecting, the moves are not made:
    their X-Z points come back (arcs sampled) and the machine state is left as it was."""
    saved = (it.b, list(it.pos), copy.copy(it.m), it.tool, it.i, it.line, it.spline_last)
    if collect:
        it.b = Builder(it.config, it.pos)
        it._modal_dirty = True
    try:
        for k, _, raw in it.src.lines_from(first, count):
            s = clean(raw)
            it.i = it.line = k + 1
            if not s:
                continue
            block = parse_block(s)
            word = s.lstrip("N0123456789")[:12]
            if block.oword is not None or block.macro is not None:
                raise GCodeError("program flow inside a cycle's profile", word, ERR_FLOW)
            it._block(block)
            if it.jumped or it.ended:
                raise GCodeError("program flow inside a cycle's profile", word, ERR_FLOW)
        points: list[tuple[float, float]] = [(saved[1][0], saved[1][2])]
        if collect:
            points.extend(_xz_points(it.b))
        return points
    finally:
        if collect:
            it.b, it.pos, it.m, it.tool = saved[0], saved[1], saved[2], saved[3]
            it._modal_dirty = it._changed = True
        it.i, it.line, it.spline_last = saved[4], saved[5], saved[6]


def _rough(
    it: Interpreter, start: list[float], profile: list[tuple[float, float]], facing: bool, diameter: bool
) -> None:
    """G71 (along Z) and G72 (along X) roughing: passes a depth apart down to the profile."""
    cut, step_axis = (0, 2) if facing else (2, 0)  # axis fed along, axis stepped in
    depth = it.lathe_depth * (2.0 if diameter and step_axis == 0 else 1.0)
    retract = it.lathe_retract
    s_step, s_cut = start[step_axis], start[cut]
    levels = [p[0] if step_axis == 0 else p[1] for p in profile]
    far = min(levels) if min(levels) < s_step else max(levels)
    sign = -1.0 if far < s_step else 1.0
    if depth <= 0:
        raise GCodeError("roughing depth must be positive", "U", ERR_VALUE)
    rate, _ = it._rate(start, linear=True)
    count = 0
    level = s_step + sign * depth
    while (far - level) * sign > -1e-9 and count < 10000:
        end = _crossing(profile, step_axis == 0, level, s_cut)
        q = list(it.pos)
        q[step_axis] = level
        it._line(RAPID, q)
        q = list(q)
        q[cut] = end
        it._line(FEED, q, rate)
        back = 1.0 if s_cut > end else -1.0
        q = list(q)
        q[step_axis] -= sign * retract * (2.0 if diameter and step_axis == 0 else 1.0)
        q[cut] += back * retract
        it._line(FEED, q, rate)
        q = list(q)
        q[cut] = s_cut
        it._line(RAPID, q)
        level += sign * depth
        count += 1
    _follow(it, profile, rate)


def _pattern(it: Interpreter, start: list[float], profile: list[tuple[float, float]], w: dict[str, float]) -> None:
    """G73: the profile repeated, shifted a little less each pass."""
    scale = it.scale()
    cw = it.cycle_words
    relief_x = cw.get("U", 0.0) * scale * 2.0
    relief_z = cw.get("W", 0.0) * scale
    passes = max(1, int(cw.get("R", 1.0)))
    rate, _ = it._rate(start, linear=True)
    for k in range(passes):
        f = (passes - 1 - k) / (passes - 1) if passes > 1 else 0.0
        shifted = [(x + relief_x * f, z + relief_z * f) for x, z in profile]
        it._line(RAPID, with_axis(with_axis(it.pos, 0, shifted[0][0]), 2, shifted[0][1]))
        _follow(it, shifted, rate)
        it._line(RAPID, start)


def _follow(it: Interpreter, profile: list[tuple[float, float]], rate: float) -> None:
    for x, z in profile:
        it._line(FEED, with_axis(with_axis(it.pos, 0, x), 2, z), rate)


def _lathe_peck(it: Interpreter, along_z: bool, w: dict[str, float]) -> None:
    """G74 face pecking (along Z) and G75 grooving (along X), shifting across between holes."""
    scale = it.scale()
    if not has_axes(w):
        if "R" in w:
            it.lathe_retract = abs(w["R"]) * scale
        return
    micro = 0.001 * scale
    start = list(it.pos)
    t = it._target(w, False)
    feed_axis, shift_axis = (2, 0) if along_z else (0, 2)
    peck = abs(w.get("Q" if along_z else "P", 0.0)) * micro
    shift = abs(w.get("P" if along_z else "Q", 0.0)) * micro
    rate, _ = it._rate(t)
    first, span = start[shift_axis], t[shift_axis] - start[shift_axis]
    stations: Iterable[float] = [first]
    if shift > 0 and abs(span) > 1e-9:
        n = math.ceil(abs(span) / shift - 1e-9)
        if n > it.config.max_segments:
            raise GCodeError("the program makes too many moves", "", ERR_LIMIT)
        stations = (first + span * k / n for k in range(n + 1))  # made one at a time
    elif abs(span) > 1e-9:
        stations = [first, t[shift_axis]]
    origin, bottom = start[feed_axis], t[feed_axis]
    down = 1.0 if bottom > origin else -1.0
    for station in stations:
        it._line(RAPID, with_axis(it.pos, shift_axis, station))
        depth = origin
        while (bottom - depth) * down > 1e-9:
            depth = bottom if peck <= 0 else depth + down * peck
            if (depth - bottom) * down > 0:
                depth = bottom
            it._line(FEED, with_axis(it.pos, feed_axis, depth), rate)
            if (bottom - depth) * down > 1e-9:
                it._line(RAPID, with_axis(it.pos, feed_axis, depth - down * it.lathe_retract))
        it._line(RAPID, with_axis(it.pos, feed_axis, origin))
    it._line(RAPID, start)


# ----- canned cycles ------------------------------------------------------------------------------


def drilling_cycle(it: Interpreter, w: dict[str, float]) -> None:
    m = it.m
    cw = it.cycle_words
    for k in "RQP":
        if k in w:
            cw[k] = w[k]
    i1, i2, ia = PLANE_AXES[m.plane]
    drill = AXES[ia]
    if drill in w:
        cw["depth"] = w[drill]
    if "R" not in cw:
        raise GCodeError("canned cycle needs an R level", f"G{m.cycle}", ERR_VALUE)
    if "depth" not in cw:
        raise GCodeError(f"canned cycle needs a {drill} depth", f"G{m.cycle}", ERR_VALUE)
    if m.cycle in (73, 83) and cw.get("Q", 0.0) <= 0.0:
        raise GCodeError(f"G{m.cycle} needs Q, the depth of each peck (above 0)", f"G{m.cycle}", ERR_VALUE)
    scale = it.scale()
    repeat = int(w.get("L", w.get("K", 1.0)))
    if repeat < 0:
        raise GCodeError("canned cycle repeat count must not be negative", "L", ERR_VALUE)
    hole_keys = [k for k in (AXES[i1], AXES[i2], "UVW"[i1], "UVW"[i2], "@", "^") if k in w]
    q = abs(cw.get("Q", 0.0)) * scale
    dwell = cw.get("P", 0.0)
    for _ in range(repeat):
        level = it.pos[ia]
        off = it.off[ia]
        if m.absolute:
            r_level = cw["R"] * scale + off
            bottom = cw["depth"] * scale + off
        else:
            r_level = level + cw["R"] * scale
            bottom = r_level + cw["depth"] * scale
        clear = r_level if m.retract_to_r else max(it.init_level, r_level)
        if level < r_level:
            it._line(RAPID, with_axis(it.pos, ia, r_level))
        if hole_keys:
            hole = it._target({k: w[k] for k in hole_keys}, False)
            hole[ia] = it.pos[ia]
            if hole != it.pos:
                it._line(RAPID, hole)
        _drill(it, m.cycle, ia, r_level, bottom, clear, q, dwell)


def _drill(
    it: Interpreter, cycle: int, ia: int, r_level: float, bottom: float, clear: float, q: float, dwell: float
) -> None:
    def to(level: float, kind: int) -> None:
        if abs(it.pos[ia] - level) < 1e-12:
            return
        t = list(it.pos)
        t[ia] = level
        if kind == RAPID:
            it._line(RAPID, t)
        else:
            rate, seconds = it._rate(t)
            it._line(FEED, t, rate, seconds)

    to(r_level, RAPID)
    down = -1.0 if bottom < r_level else 1.0
    if cycle in (73, 83) and q > 0:
        depth = r_level
        while (bottom - depth) * down > 1e-9:
            nxt = depth + down * q
            if (nxt - bottom) * down > 0:
                nxt = bottom
            if cycle == 83 and depth != r_level:
                to(depth - down * PECK_CLEARANCE, RAPID)
            to(nxt, FEED)
            depth = nxt
            if (bottom - depth) * down > 1e-9:
                to(r_level if cycle == 83 else depth - down * PECK_CLEARANCE, RAPID)
    else:
        to(bottom, FEED)
    if cycle in (82, 86, 88, 89) and dwell > 0:
        it.b.dwell(it.pos, dwell, it._report_line(), it._modal_index())
    if cycle in (84, 85, 89):
        to(r_level, FEED)
        if clear != r_level:
            to(clear, RAPID)
    else:
        to(clear, RAPID)


def threading_cycle(it: Interpreter, w: dict[str, float]) -> None:
    scale = it.scale()
    if "I" in w or "J" in w or "K" in w:
        _g76_wordy(it, w, scale)
        return
    if not any(a in w for a in "XZUW"):
        p = w.get("P")
        if p is not None:
            it.fanuc_g76 = (float(int(p) // 10000 or 1), w.get("Q", 0.0) / 1000.0 * scale)
        return
    # two-block form: X/Z end of thread, P thread height and Q first cut (thousandths), F lead
    start = list(it.pos)
    t = it._target(w, False)
    height = w.get("P", 0.0) / 1000.0 * scale
    first = w.get("Q", 0.0) / 1000.0 * scale
    lead = it.m.feed * scale if "F" not in w else w["F"] * scale
    if height <= 0 or first <= 0 or lead <= 0:
        raise GCodeError("G76 needs P (thread height), Q (first cut) and F (lead)", "G76", ERR_VALUE)
    rate = lead * it._rpm()
    out = start[0]
    depth_dir = 1.0 if t[0] >= out else -1.0
    final_x = t[0]
    passes = _thread_depths(first, height, 2.0, it.fanuc_g76[0])
    for d in passes:
        x = final_x - depth_dir * (height - d)
        it._line(RAPID, with_axis(it.pos, 0, x))
        it._line(FEED, with_axis(it.pos, 2, t[2]), rate)
        it._line(RAPID, with_axis(it.pos, 0, out))
        it._line(RAPID, with_axis(it.pos, 2, start[2]))


def _g76_wordy(it: Interpreter, w: dict[str, float], scale: float) -> None:
    for letter in ("P", "Z", "I", "J", "K"):
        if letter not in w:
            raise GCodeError(f"G76 needs {letter}", "G76", ERR_VALUE)
    pitch, i, j, k = (w[a] * scale for a in "PIJK")
    if pitch <= 0 or j <= 0 or k <= 0:
        raise GCodeError("G76 pitch, first cut J and depth K must be positive", "G76", ERR_VALUE)
    degression = w.get("R", 1.0)
    if degression < 1.0:
        raise GCodeError("G76 depth degression R must be at least 1", "R", ERR_VALUE)
    springs = int(w.get("H", 0))
    start = list(it.pos)
    end_z = w["Z"] * scale + it.off[2] if it.m.absolute else start[2] + w["Z"] * scale
    drive = start[0]
    sign = 1.0 if i > 0 else -1.0
    rate = pitch * it._rpm()
    depths = _thread_depths(j, k, degression, springs + 1)
    for d in depths:
        x = drive + i + sign * d
        it._line(RAPID, with_axis(it.pos, 0, x))
        it._line(FEED, with_axis(it.pos, 2, end_z), rate)
        it._line(RAPID, with_axis(it.pos, 0, drive))
        it._line(RAPID, with_axis(it.pos, 2, start[2]))


def _thread_depths(first: float, full: float, degression: float, final_passes: float) -> Iterable[float]:
    depths: list[float] = []
    n = 1
    while True:
        d = first * n ** (1.0 / degression)
        if d >= full - 1e-9 or n > MAX_PASSES:
            break
        depths.append(d)
        n += 1
    if final_passes > MAX_PASSES:
        raise GCodeError("the program makes too many moves", "", ERR_LIMIT)
    return chain(depths, repeat(full, max(1, int(final_passes))))


def _xz_points(b: Builder) -> list[tuple[float, float]]:
    """X-Z points along a collected profile; arcs in a few steps, enough to find the passes."""
    out: list[tuple[float, float]] = []
    ends = b.ends
    prev = list(b.start)
    for i in range(len(b.kinds)):
        end = list(ends[6 * i : 6 * i + 6])
        if b.kinds[i] == ARC:
            k = b.arc_index(i)
            cx, cy, cz, sweep, normal = b.arc_data[5 * k : 5 * k + 5]
            ih = int(normal)
            xs = 1.0
            if ih >= DIAMETER:
                ih -= DIAMETER
                xs = 2.0
                prev[0] *= 0.5
            i1, i2 = {2: (0, 1), 1: (2, 0), 0: (1, 2)}[ih]
            c = (cx, cy, cz)
            a0 = math.atan2(prev[i2] - c[i2], prev[i1] - c[i1])
            r = math.hypot(prev[i1] - c[i1], prev[i2] - c[i2])
            for j in range(1, 16):
                q = list(prev)
                q[i1] = c[i1] + r * math.cos(a0 + sweep * j / 16)
                q[i2] = c[i2] + r * math.sin(a0 + sweep * j / 16)
                out.append((q[0] * xs, q[2]))
        if b.kinds[i] <= ARC:
            out.append((end[0], end[2]))
        prev = end
    return out


def _crossing(profile: list[tuple[float, float]], level_is_x: bool, level: float, default: float) -> float:
    """Where the profile first reaches `level` (an X, or a Z when facing): the end of a pass."""
    step, cut = (0, 1) if level_is_x else (1, 0)
    for a, b in zip(profile, profile[1:], strict=False):
        lo, hi = min(a[step], b[step]), max(a[step], b[step])
        if lo - 1e-9 <= level <= hi + 1e-9 and hi > lo:
            f = (level - a[step]) / (b[step] - a[step])
            return a[cut] + (b[cut] - a[cut]) * f
    # a level beyond the profile's first point: cut to the nearest end of the profile
    return profile[-1][cut] if profile else default
