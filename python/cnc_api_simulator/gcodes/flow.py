"""Program flow: calls, stops, the program's end, saved modal state, inputs and outputs."""

from __future__ import annotations

from ..errors import ERR_VALUE, GCodeError
from ..flow import G65_LETTERS
from ..words import num
from .context import Context
from .table import MOTION, STOPS, WORDS, accepted, g, m


def stop(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    if key != 1 or ctx.config.optional_stop:
        ctx.pause()


def end(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.end_program()


def modal_state(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.save_modes(key)


def call(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    if "P" not in w:
        raise GCodeError("M98 needs P and the program number", "M98", ERR_VALUE)
    ctx.call_program(int(w["P"]), int(w.get("L", w.get("K", 1))), f"M98 P{num(w['P'])}")


def call_line(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    if "P" not in w:
        raise GCodeError("M97 needs P and the line number", "M97", ERR_VALUE)
    ctx.call_line(int(w["P"]), int(w.get("L", 1)))


def back(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    ctx.subprogram_end()


def macro_call(ctx: Context, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
    """G65: the block's other words are the arguments (A as #1, B as #2 ...)."""
    if "P" not in w:
        raise GCodeError("G65 needs P and the program number", "G65", ERR_VALUE)
    args = {k: v for k, v in w.items() if k in G65_LETTERS}
    ctx.call_program(int(w["P"]), int(w.get("L", 1)), f"G65 P{num(w['P'])}", args)


CODES = [
    g("G65", "g65", "PL", MOTION + 50, "macro call of program P with A B C ... as #1 to #26", macro_call),
    m("M0", "", STOPS, "pause until cnc_continue", stop),
    m("M1", "", STOPS, "optional stop: pauses with --optional-stop, else skipped", stop),
    m("M2", "", STOPS, "end of program: G54, G92 offsets cleared, default modes", end),
    m("M30", "", STOPS, "end of program, as M2", end),
    m("M60", "", STOPS, "pause until cnc_continue (pallet change)", stop),
    m("M62", "P", WORDS, "digital output on with the next move: accepted, changes nothing", accepted),
    m("M63", "P", WORDS, "digital output off with the next move: accepted, changes nothing", accepted),
    m("M64", "P", WORDS, "digital output on: accepted, changes nothing", accepted),
    m("M65", "P", WORDS, "digital output off: accepted, changes nothing", accepted),
    m("M66", "PELQ", WORDS, "wait for an input: accepted, changes nothing", accepted),
    m("M67", "EQ", WORDS, "analog output with the next move: accepted, changes nothing", accepted),
    m("M68", "EQ", WORDS, "analog output: accepted, changes nothing", accepted),
    m("M70", "", WORDS, "save the modal state", modal_state),
    m("M71", "", WORDS, "forget the saved modal state", modal_state),
    m("M72", "", WORDS, "restore the saved modal state", modal_state),
    m("M73", "", WORDS, "save the modal state, restored at the subroutine's end", modal_state),
    m("M97", "PL", STOPS, "call the N line P of this program, L times", call_line),
    m("M98", "PL", STOPS, "call program P, L times (P30100: 3 times O0100)", call),
    m("M99", "", STOPS, "return from a subprogram; ends a main program", back),
]
