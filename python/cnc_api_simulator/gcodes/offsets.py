"""Offsets and units: inch and millimetre, absolute and incremental, work offsets, G92,
homes, machine coordinates, rotation and polar coordinates, lathe diameters."""

from __future__ import annotations

from ..errors import ERR_VALUE, GCodeError
from ..state import AXIS_COUNT, WCS_COUNT
from ..words import num
from .context import Context
from .table import AXES, MODES, SETTINGS, Code, g

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


def _wcs(text: str, summary: str) -> Code:
    return g(text, "wcs", "", MODES + 60, summary, work_offset)


CODES = [
    g("G7", "diameter", "", MODES + 30, "lathe: X words are diameters", diameter),
    g("G8", "diameter", "", MODES + 30, "lathe: X words are radii", diameter),
    g("G10", "nonmodal", "LPR", AXES, "set tables: L2/L20 work offsets, L1/L10/L11 (or P alone) tools"),
    g("G15", "polar", "", MODES + 95, "polar coordinates off", polar),
    g("G16", "polar", "", MODES + 95, "polar coordinates: first axis word the radius, second the angle", polar),
    g("G20", "units", "", SETTINGS + 10, "inches", units),
    g("G21", "units", "", SETTINGS + 10, "millimetres", units),
    g("G28", "nonmodal", "", AXES, "home through the intermediate point"),
    g("G28.1", "nonmodal", "", AXES, "store the home position"),
    g("G30", "nonmodal", "", AXES, "second home through the intermediate point"),
    g("G30.1", "nonmodal", "", AXES, "store the second home position"),
    g("G50", "g50", "S", AXES, "lathe: spindle speed limit (S) or coordinate setting (axes)"),
    g("G52", "nonmodal", "", AXES, "local offset"),
    g("G53", "nonmodal", "", AXES, "machine coordinates for this line (under G90)"),
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
    g("G92", "nonmodal", "", AXES, "coordinate system setting"),
    g("G92.1", "nonmodal", "", AXES, "G92 offsets cleared and forgotten"),
    g("G92.2", "nonmodal", "", AXES, "G92 offsets cleared, kept for G92.3"),
    g("G92.3", "nonmodal", "", AXES, "G92 offsets restored"),
]
