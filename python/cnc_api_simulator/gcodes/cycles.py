"""Canned cycles (drilling, tapping, boring) and the turning cycles. Their moves are made
in cnc_api_simulator.cycles; here are their rows and the retract mode."""

from __future__ import annotations

from .context import Context
from .table import AXES, MOTION, SETTINGS, Code, g, variant


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


def _cycle(text: str, words: str, summary: str) -> Code:
    return g(text, "cycle", words, MOTION, summary)


CODES = [
    g("G70", "lathe", "PQ", AXES, "lathe: finish along the profile N P to N Q"),
    g("G71", "lathe", "PQUWRDF", AXES, "lathe: rough along Z (two-block form: U R first)"),
    g("G72", "lathe", "PQUWRDF", AXES, "lathe: rough along X (two-block form: W R first)"),
    _cycle("G73", "RQL", "high-speed peck drilling, Q the peck"),
    variant("G73 turning", 7300, "lathe", "PQUWR", AXES, "lathe: pattern repeat (P Q, or U W R first)"),
    _cycle("G74", "RPL", "left-hand tapping"),
    variant("G74 turning", 7400, "lathe", "RPQ", AXES, "lathe: face pecking along Z"),
    g("G75", "lathe", "RPQ", AXES, "lathe: grooving along X"),
    g("G76", "motion", "PQRIJKHLE", MOTION, "threading cycle (one-block and two-block forms)", threading),
    g("G80", "cancel", "", MOTION, "canned cycle off"),
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
