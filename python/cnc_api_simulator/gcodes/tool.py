"""Tool and spindle: cutter and tool-length compensation, feed modes, constant surface
speed, spindle, coolant and tool-change M codes."""

from __future__ import annotations

from ..codes import SS_CCW, SS_CW, SS_OFF
from ..errors import ERR_VALUE, GCodeError
from .context import Context
from .table import MODES, SETTINGS, WORDS, Code, g, m


def comp(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.set_comp(key, w)


def tool_length(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.tool_length(key, w)


def feed_mode(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.modes.feed_mode = key // 10


def surface_speed(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    m = ctx.modes
    m.css = key == 960
    if m.css and "D" in w:
        m.css_max = w["D"]


def tool_change(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    if ctx.modes.next_tool >= 0:
        ctx.set_tool(ctx.modes.next_tool)
    ctx.stop_blending()


def current_tool(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    if "Q" not in w:
        raise GCodeError("M61 needs a Q word with the tool number", "M61", ERR_VALUE)
    ctx.set_tool(int(w["Q"]))


def spindle(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    m = ctx.modes
    new = SS_CW if key == 3 else SS_CCW if key == 4 else SS_OFF
    if new != m.spindle:
        m.spindle = new
        ctx.modes_changed()
        ctx.stop_blending()


def coolant(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    m = ctx.modes
    mist = key == 7 or (key == 8 and m.mist)
    flood = key == 8 or (key == 7 and m.flood)
    if (mist, flood) != (m.mist, m.flood):
        m.mist, m.flood = mist, flood
        ctx.modes_changed()


def _tlo(text: str, words: str, summary: str) -> Code:
    return g(text, "tlo", words, MODES + 50, summary, tool_length)


def _comp(text: str, summary: str) -> Code:
    return g(text, "comp", "D", MODES + 40, summary, comp)


CODES = [
    _comp("G40", "cutter compensation off"),
    _comp("G41", "cutter compensation, tool left of the path, D the tool number"),
    _comp("G41.1", "cutter compensation, tool left of the path, D the tool diameter"),
    _comp("G42", "cutter compensation, tool right of the path, D the tool number"),
    _comp("G42.1", "cutter compensation, tool right of the path, D the tool diameter"),
    _tlo("G43", "H", "tool length offset of tool H (of the tool in the spindle without H)"),
    _tlo("G43.1", "", "tool length offset given by the axis words"),
    _tlo("G43.2", "H", "tool length offset of tool H added"),
    _tlo("G43.4", "H", "as G43"),
    _tlo("G43.5", "H", "as G43"),
    _tlo("G49", "", "tool length offset off"),
    g("G93", "feedmode", "", SETTINGS + 20, "inverse-time feed: F moves a minute", feed_mode),
    g("G94", "feedmode", "", SETTINGS + 20, "feed per minute", feed_mode),
    g("G95", "feedmode", "", SETTINGS + 20, "feed per revolution", feed_mode),
    g("G96", "css", "SD", SETTINGS + 40, "constant surface speed, D the speed limit", surface_speed),
    g("G97", "css", "S", SETTINGS + 40, "spindle speed in revolutions a minute", surface_speed),
    m("M3", "S", WORDS, "spindle clockwise", spindle),
    m("M4", "S", WORDS, "spindle counter-clockwise", spindle),
    m("M5", "", WORDS, "spindle off", spindle),
    m("M6", "T", WORDS, "tool change to the tool T selected", tool_change),
    m("M7", "", WORDS, "mist", coolant),
    m("M8", "", WORDS, "flood", coolant),
    m("M9", "", WORDS, "coolant off", coolant),
    m("M61", "Q", WORDS, "the tool in the spindle is Q, with no change", current_tool),
]
