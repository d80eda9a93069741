"""Motion: moves, arcs, splines, threads, probing, dwell, plane and path control."""

from __future__ import annotations

from ..config import DEFAULT_BLEND_TOLERANCE
from ..errors import ERR_UNSUPPORTED, ERR_VALUE, GCodeError
from ..words import num
from .context import Context
from .table import AXES, MODES, MOTION, Code, accepted, g, variant

IGNORED = AXES + 30  # after the codes that take the block's axis words: these take none


def dwell(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    """ISO-style controls give P in milliseconds, X or U in seconds; those X and U are the
    dwell's and no motion, so they leave the block here."""
    if ctx.config.dialect == "iso":
        letter = next((k for k in "PXU" if k in w), "")
        if not letter:
            raise GCodeError("G4 needs P (milliseconds), X or U (seconds), the time to dwell", "G4", ERR_VALUE)
        value, unit = w[letter], 0.001 if letter == "P" else 1.0
        w.pop("X", None)
        w.pop("U", None)
    else:
        if "P" not in w:
            raise GCodeError("G4 needs P, the time to dwell in seconds", "G4", ERR_VALUE)
        letter, value, unit = "P", w["P"], 1.0
    if value < 0:
        raise GCodeError("dwell time must not be negative", f"{letter}{num(value)}", ERR_VALUE)
    ctx.dwell(value * unit)


def straight(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.straight(w)


def arc(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.arc(key == 20, w)


def spline(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    if key == 52:
        raise GCodeError("NURBS blocks (G5.2/G5.3) are unsupported", "G5.2", ERR_UNSUPPORTED)
    ctx.spline(key == 50, w)


def thread_cut(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    """A turning control's G32: F (or K) is the lead."""
    lead = w.get("K", w.get("F", ctx.modes.feed)) * ctx.scale()
    if lead <= 0:
        raise GCodeError("G32 needs F, the lead of the thread", "G32", ERR_VALUE)
    ctx.feed_to(ctx.target(w, False), lead * ctx.spindle_rpm())


def synced(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.synced(w)


def rigid_tap(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    """G33.1: in at K per revolution, and back out to where it began."""
    t = ctx.target(w, False)
    start = list(ctx.position)
    rate = w.get("K", 0.0) * ctx.scale() * ctx.spindle_rpm()
    if rate <= 0:
        raise GCodeError("G33.1 needs a K pitch and a spindle speed", "K", ERR_VALUE)
    ctx.feed_to(t, rate)
    ctx.feed_to(start, rate)


def probe(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.probe_move(w)


def plane(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    m = ctx.modes
    new = key // 10
    if new != m.plane and m.cutter_comp not in (40, 400) and codes.get("comp") != 400:
        raise GCodeError(
            "the plane cannot change with cutter compensation on: cancel it with G40 first", f"G{new}", ERR_VALUE
        )
    m.plane = new


def path(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    m = ctx.modes
    m.exact_stop = key != 640
    if key == 640:
        m.tolerance = w.get("P", 0.0) * ctx.scale()
    ctx.set_blending(m.exact_stop, m.tolerance or DEFAULT_BLEND_TOLERANCE)


def _ignored(text: str, key: int, words: str, summary: str) -> Code:
    return variant(text, key, "ignored", words, IGNORED, summary, accepted)


CODES = [
    g("G0", "motion", "", MOTION, "rapid move", straight),
    g("G1", "motion", "F", MOTION, "straight feed move", straight),
    g("G2", "motion", "IJKRP F", MOTION, "clockwise arc or helix: I J K centre or R radius, P turns", arc),
    g("G3", "motion", "IJKRP F", MOTION, "counter-clockwise arc or helix", arc),
    g("G4", "dwell", "PXU", MODES + 10, "dwell: P seconds (`--dialect iso`: P milliseconds, X or U seconds)", dwell),
    g("G5", "motion", "IJPQ", MOTION, "cubic spline in the XY plane", spline),
    g("G5.1", "motion", "IJ", MOTION, "quadratic spline in the XY plane", spline),
    g("G5.2", "motion", "", MOTION, "NURBS: refused", spline),
    _ignored("G5 P", 1, "P", "a control's high-speed mode (no axis or I J words): ignored"),
    _ignored("G5.1 Q", 2, "Q", "a control's look-ahead mode (no axis or I J words): ignored"),
    _ignored("G103", 1030, "P", "look-ahead setting: ignored"),
    _ignored("G187", 1870, "P", "smoothing setting: ignored"),
    g("G17", "plane", "", MODES + 20, "XY plane", plane),
    g("G18", "plane", "", MODES + 20, "ZX plane", plane),
    g("G19", "plane", "", MODES + 20, "YZ plane", plane),
    g("G32", "motion", "FK", MOTION, "thread cut, F or K the lead (turning)", thread_cut),
    g("G33", "motion", "K", MOTION, "spindle-synchronised move, K per revolution", synced),
    g("G33.1", "motion", "K", MOTION, "rigid tapping, in and out", rigid_tap),
    g("G38.2", "motion", "F", MOTION, "probe towards the work: trips at the end or at a --probe-trip position", probe),
    g("G38.3", "motion", "F", MOTION, "probe towards the work, as G38.2", probe),
    g("G38.4", "motion", "F", MOTION, "probe away from the work, as G38.2", probe),
    g("G38.5", "motion", "F", MOTION, "probe away from the work, as G38.2", probe),
    g("G61", "path", "", MODES + 70, "exact path: stop at every corner", path),
    g("G61.1", "path", "", MODES + 70, "exact stop", path),
    g("G64", "path", "PQ", MODES + 70, "blend corners, P the tolerance", path),
]
