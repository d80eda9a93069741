"""Offsets and units: inch and millimetre, absolute and incremental, work offsets, G92,
homes, machine coordinates, rotation and polar coordinates, lathe diameters."""

from __future__ import annotations

from ..errors import ERR_UNSUPPORTED, ERR_VALUE, GCodeError
from ..state import AXIS_COUNT, WCS_COUNT
from ..words import AXES as AXIS_LETTERS
from ..words import has_axes, num
from .context import Context
from .table import AXES, MODES, MOTION, SETTINGS, Code, g

_WCS = {540: 1, 550: 2, 560: 3, 570: 4, 580: 5, 590: 6, 591: 7, 592: 8, 593: 9}


def units(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    imperial = key == 200
    if imperial != ctx.modes.imperial:
        ctx.modes.imperial = imperial
        ctx.modes_changed()


def diameter(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.modes.diameter = key == 70
    ctx.modes.diameter_set = True


def work_offset(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    if key in (541, 1540):  # G54.1 Pn, G154 Pn: the extra work offsets
        p = w.get("P", 1.0)
        if p != int(p) or not 1 <= p <= 300:
            raise GCodeError("G54.1 needs P from 1 to 300", f"P{num(p)}", ERR_VALUE)
        number = WCS_COUNT + int(p)
        tables = ctx.state.wcs
        while len(tables) < number:
            tables.append([0.0] * AXIS_COUNT)
    else:
        number = _WCS[key]
    ctx.select_wcs(number)


def distance(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.modes.absolute = key == 900


def arc_distance(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.modes.arc_absolute = key == 901


def rotation(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.set_rotation(key, w)


def polar(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.set_polar(key == 160)


def set_origin(ctx: Context, w: dict[str, float]) -> None:
    """G92 (and a turning control's G50 with axes): the point here gets the coordinates given."""
    st = ctx.state
    scale = ctx.scale()
    wcs = st.wcs[st.active_wcs - 1]
    for i, a in enumerate(AXIS_LETTERS):
        if a in w:
            value = w[a] * (scale if i < 3 else 1.0)
            st.g92[i] = ctx.position[i] - wcs[i] - st.tlo[i] - value
    st.g92_saved = list(st.g92)
    ctx.offsets_changed()


def lathe_origin(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> bool:
    """A turning control's G50: with axis words the point here gets their coordinates; its S,
    the speed limit, is read with the block's S."""
    if has_axes(w):
        set_origin(ctx, w)
        return True
    return False


def machine_move(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    """G53: the block's axis words in machine coordinates, in the motion mode in force."""
    if not ctx.modes.absolute:
        raise GCodeError("G53 needs absolute distance mode (G90), not G91", "G53", ERR_VALUE)
    if has_axes(w):
        ctx.straight(w, machine=True)


def g92(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> bool:
    st = ctx.state
    if key == 920:
        set_origin(ctx, w)
    elif key in (921, 922):  # G92.2 keeps them for a G92.3
        st.g92 = [0.0] * AXIS_COUNT
        if key == 921:
            st.g92_saved = [0.0] * AXIS_COUNT
    else:
        st.g92 = list(st.g92_saved)
    ctx.offsets_changed()
    return True


def local_offset(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> bool:
    st = ctx.state
    scale = ctx.scale()
    for i, a in enumerate(AXIS_LETTERS):
        if a in w:
            st.g92[i] = w[a] * (scale if i < 3 else 1.0)
    st.g92_saved = list(st.g92)
    ctx.offsets_changed()
    return True


def home(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> bool:
    """G28/G30: through the point of the axis words, if any, to the stored home of those axes."""
    st = ctx.state
    stored = st.g28 if key == 280 else st.g30
    if has_axes(w):
        ctx.rapid(ctx.target(w, False))
        target = list(ctx.position)
        for i, a in enumerate(AXIS_LETTERS):
            if a in w or (i < 3 and "UVW"[i] in w):
                target[i] = stored[i]
    else:
        target = list(stored)
    ctx.rapid(target)
    return True


def store_home(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> bool:
    (ctx.state.g28 if key == 281 else ctx.state.g30)[:] = ctx.position
    return True


def set_tables(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> bool:
    """G10: L2/L20 work offsets, L1/L10/L11 (or P without L, on turning controls) tools."""
    st = ctx.state
    scale = ctx.scale()
    lw = w.get("L")
    if lw is None and "P" not in w:
        raise GCodeError("G10 needs an L word", "G10", ERR_VALUE)
    kind = 1 if lw is None else int(lw)
    p = int(w.get("P", 0))
    here = ctx.position
    if kind in (2, 20):
        if p == 0:
            p = st.active_wcs
        if not 1 <= p <= WCS_COUNT:
            raise GCodeError("coordinate system number out of range 0 to 9", f"P{p}", ERR_VALUE)
        table = st.wcs[p - 1]
        for i, a in enumerate(AXIS_LETTERS):
            if a in w:
                value = w[a] * (scale if i < 3 else 1.0)
                if kind == 2:
                    table[i] = value if ctx.modes.absolute else table[i] + value
                else:
                    table[i] = here[i] - st.g92[i] - st.tlo[i] - value
        ctx.offsets_changed()
    elif kind in (1, 10, 11):
        if "Z" in w:
            if kind == 1:
                st.tool_lengths[p] = w["Z"] * scale
            else:
                wcs = st.wcs[st.active_wcs - 1]
                st.tool_lengths[p] = here[2] - wcs[2] - st.g92[2] - w["Z"] * scale
        if "R" in w:
            st.tool_diameters[p] = 2.0 * w["R"] * scale
        ctx.offsets_changed()  # the tables are a part of the state a stop leaves
    else:
        raise GCodeError("unsupported G10 form", f"G10 L{kind}", ERR_UNSUPPORTED)
    return True


def _wcs(text: str, summary: str) -> Code:
    return g(text, "wcs", "", MODES + 60, summary, work_offset)


CODES = [
    g("G7", "diameter", "", MODES + 30, "lathe: X words are diameters", diameter),
    g("G8", "diameter", "", MODES + 30, "lathe: X words are radii", diameter),
    g("G10", "nonmodal", "LPR", AXES, "set tables: L2/L20 work offsets, L1/L10/L11 (or P alone) tools", set_tables),
    g("G15", "polar", "", MODES + 95, "polar coordinates off", polar),
    g("G16", "polar", "", MODES + 95, "polar coordinates: first axis word the radius, second the angle", polar),
    g("G20", "units", "", SETTINGS + 10, "inches", units),
    g("G21", "units", "", SETTINGS + 10, "millimetres", units),
    g("G28", "nonmodal", "", AXES, "home through the intermediate point", home),
    g("G28.1", "nonmodal", "", AXES, "store the home position", store_home),
    g("G30", "nonmodal", "", AXES, "second home through the intermediate point", home),
    g("G30.1", "nonmodal", "", AXES, "store the second home position", store_home),
    g("G50", "g50", "S", AXES + 20, "lathe: spindle speed limit (S) or coordinate setting (axes)", lathe_origin),
    g("G52", "nonmodal", "", AXES, "local offset", local_offset),
    g("G53", "nonmodal", "", MOTION, "machine coordinates for this line (under G90)", machine_move),
    _wcs("G54", "work offset 1"),
    _wcs("G54.1", "extra work offset P (1 to 300)"),
    _wcs("G55", "work offset 2"),
    _wcs("G56", "work offset 3"),
    _wcs("G57", "work offset 4"),
    _wcs("G58", "work offset 5"),
    _wcs("G59", "work offset 6"),
    _wcs("G59.1", "work offset 7"),
    _wcs("G59.2", "work offset 8"),
    _wcs("G59.3", "work offset 9"),
    _wcs("G154", "extra work offset P (1 to 300)"),
    g("G68", "rotation", "R", MODES + 90, "rotate the plane by R degrees about the axis words' point", rotation),
    g("G69", "rotation", "", MODES + 90, "rotation off", rotation),
    g("G90", "dist", "", MODES + 80, "absolute distances", distance),
    g("G90.1", "arcdist", "", MODES + 98, "absolute arc centres", arc_distance),
    g("G91", "dist", "", MODES + 80, "incremental distances", distance),
    g("G91.1", "arcdist", "", MODES + 98, "incremental arc centres", arc_distance),
    g("G92", "nonmodal", "", AXES, "coordinate system setting", g92),
    g("G92.1", "nonmodal", "", AXES, "G92 offsets cleared and forgotten", g92),
    g("G92.2", "nonmodal", "", AXES, "G92 offsets cleared, kept for G92.3", g92),
    g("G92.3", "nonmodal", "", AXES, "G92 offsets restored", g92),
]
