"""Program text with the O-word and N-label indexes that jumps need.

The text is kept whole (line feeds only) and read line by line with a regular
expression, so a program costs its own size plus a few bytes a label, not an object
per line. A place in the text is a pair: the line's index (0-based) and the offset of
its first character.
"""

from __future__ import annotations

import bisect
import re

from .lexer import Block

_OWORD = re.compile(r"^[ \t]*(?:/[ \t]*)?(?:[Nn][ \t]*\d+[ \t]*)?[Oo:][ \t]*(\d+|<[^>\n]*>)[ \t]*([A-Za-z]*)", re.M)
_M6 = re.compile(r"[Mm][ \t]*0*6(?![\d.])")
# signs of a program-number control's macros, where an unset parameter reads as vacant
_MACRO = (
    re.compile(r"GOTO", re.I),
    re.compile(r"^[ \t]*(?:N[ \t]*\d+[ \t]*)?(?:WHILE|IF[ \t]*\[)", re.I | re.M),
    re.compile(r"[Mm][ \t]*0*98(?![\d.])"),
    re.compile(r"[Gg][ \t]*65(?![\d.])"),
    re.compile(r"#[ \t]*0(?![\d.])"),
)
_NLABEL = re.compile(r"^[ \t]*/?[ \t]*[Nn][ \t]*(\d+)", re.M)

Place = tuple[int, int]  # line index, offset of the line in the text


def label_of(text: str) -> str:
    """O-word label as the interpreter compares it: number without leading zeros, or upper-case name."""
    if text.startswith("<"):
        return "".join(text[1:-1].upper().split())
    return str(int(text))


def normalise(text: str) -> str:
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    return text


class Source:
    """One file of program text (the main program or a subroutine file)."""

    def __init__(self, name: str, text: str) -> None:
        self.name = name
        self.text = text = normalise(text)
        self.line_count = text.count("\n") + (1 if text and not text.endswith("\n") else 0)
        # blocks of lines with expressions, by line number, for the lines that run more than once
        self.cache: dict[int, Block] = {}
        self.furthest = 0  # the furthest line read so far: one read again is in a loop or a call
        # indexes made on first use: a plain CAM program never needs them
        self._olabels: dict[str, list[tuple[int, str, int]]] | None = None
        self._nlabels: dict[int, list[Place]] | None = None
        self._has_m6: bool | None = None
        self._has_macro: bool | None = None

    @property
    def olabels(self) -> dict[str, list[tuple[int, str, int]]]:
        """O-word label -> [(line index, keyword, offset)], in file order."""
        if self._olabels is None:
            self._olabels = {}
            counted, at = 0, 0
            text = self.text
            for m in _OWORD.finditer(text):
                counted += text.count("\n", at, m.start())
                at = m.start()
                self._olabels.setdefault(label_of(m.group(1)), []).append((counted, m.group(2).upper(), m.start()))
        return self._olabels

    @property
    def has_m6(self) -> bool:
        if self._has_m6 is None:
            self._has_m6 = _M6.search(self.text) is not None
        return self._has_m6

    @property
    def has_macro(self) -> bool:
        """Whether the program uses a program-number control's macros (GOTO, WHILE, IF, M98, G65, #0)."""
        if self._has_macro is None:
            self._has_macro = any(p.search(self.text) for p in _MACRO)
        return self._has_macro

    # ----- lines -----------------------------------------------------------------------------------

    def line_at(self, offset: int) -> str:
        end = self.text.find("\n", offset)
        return self.text[offset:] if end < 0 else self.text[offset:end]

    def next_line(self, offset: int) -> int:
        """Offset of the line after the one at `offset` (the text's length at the end)."""
        end = self.text.find("\n", offset)
        return len(self.text) if end < 0 else end + 1

    def lines_from(self, place: Place, count: int) -> list[tuple[int, int, str]]:
        """`count` lines from `place`: (index, offset, text) each."""
        index, offset = place
        out = []
        n = len(self.text)
        while count > 0 and offset < n:
            end = self.text.find("\n", offset)
            end = n if end < 0 else end
            out.append((index, offset, self.text[offset:end]))
            index += 1
            offset = end + 1
            count -= 1
        return out

    # ----- lookups ---------------------------------------------------------------------------------

    def find(self, label: str, keywords: frozenset[str], after: int) -> tuple[int, str, int] | None:
        """First O-word `label` with one of `keywords` on a line after index `after`."""
        entries = self.olabels.get(label)
        if not entries:
            return None
        k = bisect.bisect_right(entries, (after, "\uffff", 0))
        for entry in entries[k:]:
            if entry[1] in keywords:
                return entry
        return None

    def find_before(self, label: str, keywords: frozenset[str], before: int) -> tuple[int, str, int] | None:
        entries = self.olabels.get(label)
        if not entries:
            return None
        k = bisect.bisect_left(entries, (before, "", 0))
        for entry in reversed(entries[:k]):
            if entry[1] in keywords:
                return entry
        return None

    def previous_keyword(self, label: str, before: int) -> str:
        entries = self.olabels.get(label)
        if not entries:
            return ""
        k = bisect.bisect_left(entries, (before, "", 0))
        return entries[k - 1][1] if k else ""

    def definition(self, label: str, keyword: str) -> tuple[int, str, int] | None:
        for entry in self.olabels.get(label, ()):
            if entry[1] == keyword:
                return entry
        return None

    def n_label(self, number: int, after: int) -> Place | None:
        """Place of `N<number>`: the first after line index `after`, else the first in the file."""
        if self._nlabels is None:
            self._nlabels = {}
            counted, at = 0, 0
            text = self.text
            for m in _NLABEL.finditer(text):
                counted += text.count("\n", at, m.start())
                at = m.start()
                self._nlabels.setdefault(int(m.group(1)), []).append((counted, m.start()))
        found = self._nlabels.get(number)
        if not found:
            return None
        k = bisect.bisect_right(found, (after, len(self.text) + 1))
        return found[k] if k < len(found) else found[0]

    def end_of_loop(self, loop: int, after: Place) -> Place | None:
        """Place of the line after the first `END<loop>` past `after`."""
        pattern = re.compile(rf"^[ \t]*(?:/[ \t]*)?(?:N[ \t]*\d+[ \t]*)?END[ \t]*0*{loop}(?![\d.])", re.M | re.I)
        m = pattern.search(self.text, after[1])
        if m is None:
            return None
        index = after[0] + self.text.count("\n", after[1], m.start())
        return index + 1, self.next_line(m.start())

    def release(self) -> None:
        self.cache.clear()
