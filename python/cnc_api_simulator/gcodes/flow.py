"""Program flow: calls, stops, the program's end, saved modal state, inputs and outputs."""

from __future__ import annotations

from .table import MOTION, STOPS, WORDS, g, m

CODES = [
    g("G65", "g65", "PL", MOTION + 50, "macro call of program P with A B C ... as #1 to #26"),
    m("M0", "", STOPS, "pause until cnc_continue"),
    m("M1", "", STOPS, "optional stop: pauses with --optional-stop, else skipped"),
    m("M2", "", STOPS, "end of program: G54, G92 offsets cleared, default modes"),
    m("M30", "", STOPS, "end of program, as M2"),
    m("M60", "", STOPS, "pause until cnc_continue (pallet change)"),
    m("M62", "P", WORDS, "digital output on with the next move: accepted, changes nothing"),
    m("M63", "P", WORDS, "digital output off with the next move: accepted, changes nothing"),
    m("M64", "P", WORDS, "digital output on: accepted, changes nothing"),
    m("M65", "P", WORDS, "digital output off: accepted, changes nothing"),
    m("M66", "PELQ", WORDS, "wait for an input: accepted, changes nothing"),
    m("M67", "EQ", WORDS, "analog output with the next move: accepted, changes nothing"),
    m("M68", "EQ", WORDS, "analog output: accepted, changes nothing"),
    m("M70", "", WORDS, "save the modal state"),
    m("M71", "", WORDS, "forget the saved modal state"),
    m("M72", "", WORDS, "restore the saved modal state"),
    m("M73", "", WORDS, "save the modal state, restored at the subroutine's end"),
    m("M97", "PL", STOPS, "call the N line P of this program, L times"),
    m("M98", "PL", STOPS, "call program P, L times (P30100: 3 times O0100)"),
    m("M99", "", STOPS, "return from a subprogram; ends a main program"),
]
