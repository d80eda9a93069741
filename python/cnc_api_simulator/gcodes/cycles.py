"""Canned cycles (drilling, tapping, boring) and the turning cycles. Their moves are made
in cnc_api_simulator.cycles; here are their rows and the retract mode."""

from __future__ import annotations

from .context import Context
from .table import AXES, MOTION, SETTINGS, Code, g, variant

LATHE = AXES + 10  # after the block's G10, G28, G92 and before a turning control's G50


def retract(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    """G98/G99: the retract level of drilling cycles; on a turning control (G18, outside a
    cycle) feed per minute and per revolution."""
    m = ctx.modes
    plane = codes["plane"] // 10 if "plane" in codes else m.plane
    if plane == 18 and not m.cycle and "cycle" not in codes:
        m.feed_mode = 94 if key == 980 else 95
    else:
        m.retract_to_r = key == 990


def threading(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.threading_cycle(w)


def drilling(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    """The drilling cycle in force, at the block's axis words (its mode is set by the interpreter,
    on the line of its code, before the block's Q word is checked)."""
    ctx.drilling_cycle(w)


def lathe(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> bool:
    ctx.lathe_cycle(key, w)
    return True  # the axis words are the cycle's


def cancel(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    """G80: no cycle; a motion mode that only cycles use falls back to G1."""
    m = ctx.modes
    m.cycle = 0
    if m.motion not in (0.0, 1.0, 2.0, 3.0):
        m.motion = 1.0


def _cycle(text: str, words: str, summary: str) -> Code:
    return g(text, "cycle", words, MOTION, summary, drilling)


def _lathe(text: str, words: str, summary: str, key: int = 0) -> Code:
    if key:
        return variant(text, key, "lathe", words, LATHE, summary, lathe)
    return g(text, "lathe", words, LATHE, summary, lathe)


CODES = [
    _lathe("G70", "PQ", "lathe: finish along the profile N P to N Q"),
    _lathe("G71", "PQUWRDF", "lathe: rough along Z (two-block form: U R first)"),
    _lathe("G72", "PQUWRDF", "lathe: rough along X (two-block form: W R first)"),
    _cycle("G73", "RQL", "high-speed peck drilling, Q the peck"),
    _lathe("G73 turning", "PQUWR", "lathe: pattern repeat (P Q, or U W R first)", 7300),
    _cycle("G74", "RPL", "left-hand tapping"),
    _lathe("G74 turning", "RPQ", "lathe: face pecking along Z", 7400),
    _lathe("G75", "RPQ", "lathe: grooving along X"),
    g("G76", "motion", "PQRIJKHLE", MOTION, "threading cycle (one-block and two-block forms)", threading),
    g("G80", "cancel", "", MOTION, "canned cycle off", cancel),
    _cycle("G81", "RL", "drilling"),
    _cycle("G82", "RPL", "drilling with a dwell"),
    _cycle("G83", "RQL", "peck drilling, back to R after each peck, Q the peck"),
    _cycle("G84", "RPL", "tapping"),
    _cycle("G85", "RL", "boring, feed out"),
    _cycle("G86", "RPL", "boring, spindle stop, rapid out"),
    _cycle("G87", "RPL", "back boring"),
    _cycle("G88", "RPL", "boring, dwell, manual out"),
    _cycle("G89", "RPL", "boring, dwell, feed out"),
    g("G98", "retract", "", SETTINGS + 30, "cycles back to the start level (turning: feed per minute)", retract),
    g("G99", "retract", "", SETTINGS + 30, "cycles back to R (turning: feed per revolution)", retract),
]
