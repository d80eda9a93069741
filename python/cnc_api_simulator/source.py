"""Program text split into lines, with the O-word and label indexes that jumps need."""

from __future__ import annotations

import bisect
import re
from collections.abc import Callable

from .lexer import Block

CHUNK = 1 << 18  # characters handled per step, so no single step holds the interpreter long

_OWORD = re.compile(r"^[ \t]*(?:/[ \t]*)?(?:[Nn][ \t]*\d+[ \t]*)?[Oo:][ \t]*(\d+|<[^>\n]*>)[ \t]*([A-Za-z]*)", re.M)
_M6 = re.compile(r"[Mm][ \t]*0*6(?![\d.])")
# signs of a program-number control's macros, where an unset parameter reads as vacant
_MACRO = re.compile(r"GOTO|WHILE\s*\[|[Mm]\s*98|[Gg]\s*65(?![\d.])|#\s*0(?![\d.])", re.I)
_NLABEL = re.compile(r"[ \t]*/?[ \t]*[Nn][ \t]*(\d+)")


def label_of(text: str) -> str:
    """O-word label as the interpreter compares it: number without leading zeros, or upper-case name."""
    if text.startswith("<"):
        return "".join(text[1:-1].upper().split())
    return str(int(text))


class Source:
    """One file of program text (the main program or a subroutine file)."""

    def __init__(self, name: str, text: str, cancelled: Callable[[], bool] | None = None) -> None:
        self.name = name
        self.lines: list[str] = []
        self.olabels: dict[str, list[tuple[int, str]]] = {}
        self.cache: dict[int, Block] = {}
        self.has_m6 = False
        self.has_macro = False
        self._nlabels: dict[int, list[int]] | None = None
        pos = 0
        n = len(text)
        while pos < n:
            if cancelled is not None and cancelled():
                return
            end = text.find("\n", pos + CHUNK)
            end = n if end < 0 else end + 1
            self._add_chunk(text[pos:end])
            pos = end

    def _add_chunk(self, chunk: str) -> None:
        if "\r" in chunk:
            chunk = chunk.replace("\r\n", "\n").replace("\r", "\n")
        base = len(self.lines)
        parts = chunk.split("\n")
        if chunk.endswith("\n"):
            parts.pop()
        self.lines.extend(parts)
        counted, at = 0, 0
        for m in _OWORD.finditer(chunk):
            counted += chunk.count("\n", at, m.start())
            at = m.start()
            label = label_of(m.group(1))
            self.olabels.setdefault(label, []).append((base + counted, m.group(2).upper()))
        if not self.has_m6 and _M6.search(chunk):
            self.has_m6 = True
        if not self.has_macro and _MACRO.search(chunk):
            self.has_macro = True

    # ----- lookups ---------------------------------------------------------------------------------

    def find(self, label: str, keywords: frozenset[str], after: int) -> tuple[int, str] | None:
        """First line after index `after` with O-word `label` and one of `keywords`."""
        entries = self.olabels.get(label)
        if not entries:
            return None
        k = bisect.bisect_right(entries, (after, "\uffff"))
        for index, keyword in entries[k:]:
            if keyword in keywords:
                return index, keyword
        return None

    def find_before(self, label: str, keywords: frozenset[str], before: int) -> tuple[int, str] | None:
        entries = self.olabels.get(label)
        if not entries:
            return None
        k = bisect.bisect_left(entries, (before, ""))
        for index, keyword in reversed(entries[:k]):
            if keyword in keywords:
                return index, keyword
        return None

    def previous_keyword(self, label: str, before: int) -> str:
        entries = self.olabels.get(label)
        if not entries:
            return ""
        k = bisect.bisect_left(entries, (before, ""))
        return entries[k - 1][1] if k else ""

    def definition(self, label: str, keyword: str) -> int | None:
        for index, kw in self.olabels.get(label, ()):
            if kw == keyword:
                return index
        return None

    def n_label(self, number: int, after: int) -> int | None:
        """Line index of `N<number>`: the first after `after`, else the first in the file."""
        if self._nlabels is None:
            self._nlabels = {}
            for index, raw in enumerate(self.lines):
                m = _NLABEL.match(raw)
                if m:
                    self._nlabels.setdefault(int(m.group(1)), []).append(index)
        found = self._nlabels.get(number)
        if not found:
            return None
        k = bisect.bisect_right(found, after)
        return found[k] if k < len(found) else found[0]

    def release(self) -> None:
        """Drop the lines a slice at a time: freeing a million strings at once would hold the
        interpreter lock long enough to stall the server's replies."""
        lines = self.lines
        while lines:
            del lines[-20000:]
        self.cache.clear()
