"""Program text as the requests deliver it, made whole off the request's path.

A large set or add request is answered as soon as its line is in: the JSON string it
carries is kept as the raw bytes it arrived in, and a large file named by a load
request as its path. The text is decoded or read by whoever first needs it (the
analysis thread, or a save), a slice at a time, so the server's other threads keep
their turns; a body that turns out malformed becomes the program's compile error.
"""

from __future__ import annotations

import json
import mmap
import re
import threading
from collections.abc import Callable

from . import storage
from .errors import ERR_SYNTAX, GCodeError

SLICE = 1 << 17  # bytes of a JSON string decoded in one step
JOIN_NOW = 1 << 20  # pieces of text up to this size in all are joined on the request's path

Cancelled = Callable[[], bool]
Line = bytes | bytearray | mmap.mmap  # a request line as it was received

_scanstring: Callable[[str, int], tuple[str, int]] = json.decoder.scanstring  # type: ignore[attr-defined]
_ESCAPE = re.compile(r"\\(.)", re.S)
_RAW_ESCAPE = re.compile(rb"\\(.)", re.S)
_UNQUOTED = re.compile(rb'(?:[^"\\]|\\.)*', re.S)  # up to the first quote that ends the string


def _never() -> bool:
    return False


def _error(message: str, line: int = 0, file: str = "") -> GCodeError:
    error = GCodeError(message, "", ERR_SYNTAX)
    error.line, error.file = line, file
    return error


class Pending:
    """Text that is made on first use and kept; `value` returns None when `cancelled` said so
    before it was through (the next caller starts again), and raises GCodeError when the text
    cannot be had, with `line` counted from the part's own first line. `portable` parts can
    be made in an analysis process instead (see `worker`)."""

    portable = False

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._text: str | None = None
        self._error: GCodeError | None = None

    def value(self, cancelled: Cancelled = _never) -> str | None:
        with self._lock:
            if self._error is not None:
                raise self._error
            if self._text is None:
                try:
                    self._text = self._make(cancelled)
                except GCodeError as exc:
                    self._error = exc
                    raise
            return self._text

    def _make(self, cancelled: Cancelled) -> str | None:
        raise NotImplementedError

    def size(self) -> int:
        """About how many characters the text has (it may be fewer)."""
        raise NotImplementedError


class JsonString(Pending):
    """The body of a JSON string, `line[first:stop]` without its quotes, with the bytes of the
    whole request line (what follows the body is looked at only when the body ends early)."""

    portable = True

    def __init__(self, line: Line, first: int, stop: int) -> None:
        super().__init__()
        self._line: Line | None = line
        self._first = first
        self._stop = stop

    def size(self) -> int:
        return self._stop - self._first

    def raw(self) -> tuple[Line, int, int] | None:
        """The request line and where the string's body begins and ends in it; None once the
        text is made (the line is let go then)."""
        line = self._line
        return None if line is None else (line, self._first, self._stop)

    def _make(self, cancelled: Cancelled) -> str | None:
        line = self._line
        assert line is not None
        parts: list[str] = []
        pos, stop = self._first, self._stop
        with memoryview(line) as view:
            while pos < stop:
                if cancelled():
                    return None
                end = _cut(line, pos, stop)
                piece = view[pos:end]
                try:
                    chars = str(piece, "utf-8", "surrogatepass")
                except UnicodeDecodeError as exc:
                    raise _error("the text is not valid UTF-8", self._line_at(parts, piece[: exc.start])) from None
                try:
                    text, after = _scanstring(chars + '"', 0)
                except json.JSONDecodeError as exc:
                    where = _line_of(parts) + _ESCAPE.sub(_newline_only, chars[: exc.pos]).count("\n")
                    reason = exc.msg.removesuffix(" at")
                    raise _error(f"the text is not a valid JSON string: {reason}", where) from None
                parts.append(text)
                if after != len(chars) + 1:  # a quote ended the string before the request's end
                    quote = pos + _end_of_string(piece)
                    return self._members_after(parts, line, quote)
                pos = end
        self._line = None  # the request's bytes go as soon as the text is made
        return "".join(parts)

    def _line_at(self, parts: list[str], raw: memoryview) -> int:
        return _line_of(parts) + _RAW_ESCAPE.sub(_raw_newline_only, bytes(raw)).count(b"\n")

    def _members_after(self, parts: list[str], line: Line, quote: int) -> str:
        """The text when more members follow it: `{"cmd":..,"text":"..","id":1}` is a request
        too; a later "text" member wins, as it would in the whole request decoded at once."""
        rest = b'{"\\u0000":"' + bytes(line[quote:])
        try:
            members = json.loads(rest.decode("utf-8", "surrogatepass"))
        except (UnicodeDecodeError, ValueError, RecursionError):
            members = None
        where = _line_of(parts)
        if not isinstance(members, dict):
            raise _error("the request is not valid JSON after its text", where)
        if "cmd" in members:
            raise _error("the request names its command twice", where)
        text = members.get("text", "".join(parts))
        if not isinstance(text, str):
            raise _error("the request's text is not a string", where)
        self._line = None
        return text


def _newline_only(m: re.Match[str]) -> str:
    return "\n" if m.group(1) == "n" else ""


def _raw_newline_only(m: re.Match[bytes]) -> bytes:
    return b"\n" if m.group(1) == b"n" else b""


def _line_of(parts: list[str]) -> int:
    """Line number of the next character after `parts`, 1 for the first."""
    return 1 + sum(p.count("\n") for p in parts)


def _end_of_string(piece: memoryview) -> int:
    """Offset in `piece` of the first quote that is not escaped."""
    m = _UNQUOTED.match(bytes(piece))
    assert m is not None
    return m.end()


def _cut(line: Line, pos: int, stop: int) -> int:
    """Where the slice from `pos` ends: a slice's length on, before the next `\\n` escape, so a
    slice never splits an escape or a character."""
    end = pos + SLICE
    if end >= stop:
        return stop
    k = line.find(b"\\n", end, stop)
    while k >= 0:
        j = k
        while j > pos and line[j - 1] == 0x5C:
            j -= 1
        if (k - j) % 2 == 0:  # an even run of backslashes before it: k starts an escape
            return k
        k = line.find(b"\\n", k + 1, stop)
    return stop


class ProgramFile(Pending):
    """A program file named by a load request, read when first needed."""

    portable = True

    def __init__(self, path: str, name: str, size: int = 0) -> None:
        super().__init__()
        self.path = path
        self.name = name
        self._size = size

    def size(self) -> int:
        return self._size

    def _make(self, cancelled: Cancelled) -> str | None:
        text = storage.read(self.path)
        if text is None:
            raise _error("the program file cannot be read", 0, self.name)
        return text


Part = str | Pending


def _has_text(part: Part) -> bool:
    """Whether the part holds anything but blanks; a part not made yet is taken to."""
    return not isinstance(part, str) or (bool(part) and not part.isspace())


class ProgramText:
    """The program: its parts in order, joined with a line feed after any part (but an empty
    first one) that does not end in one. Made whole once, by `value`; `ready` is set then."""

    def __init__(self, parts: list[Part], has_text: bool) -> None:
        self._parts = parts
        self._has_text = has_text
        self._lock = threading.Lock()
        self.ready = threading.Event()
        self._value: str | None = None
        self._error: GCodeError | None = None
        self._maker: threading.Thread | None = None
        self._guard = threading.Lock()
        if sum(len(p) if isinstance(p, str) else JOIN_NOW + 1 for p in parts) <= JOIN_NOW:
            self.value()  # small enough to join at once: ready for an analysis before the reply

    @classmethod
    def of(cls, part: Part) -> ProgramText:
        return cls([part], _has_text(part))

    def add(self, part: Part) -> ProgramText:
        """This program with `part` added at its end."""
        return ProgramText([*self._parts, part], self._has_text or _has_text(part))

    @property
    def has_text(self) -> bool:
        """Anything but blanks in the text; until it is made, true when any part may hold some."""
        return self._has_text

    def found_blank(self) -> None:
        """Told by whoever made the text elsewhere (an analysis process) that it is all blanks."""
        self._has_text = False

    def parts(self) -> list[Part]:
        return list(self._parts)

    @property
    def portable(self) -> bool:
        """Whether an analysis process can make the text from its parts."""
        return all(isinstance(p, str) or p.portable for p in self._parts)

    def size(self) -> int:
        """About how many characters the whole text has."""
        return sum(len(p) if isinstance(p, str) else p.size() for p in self._parts)

    @property
    def error(self) -> GCodeError | None:
        return self._error

    def value(self, cancelled: Cancelled = _never) -> str | None:
        """The whole text, or None when `cancelled` said so first; raises GCodeError (with the
        line counted in the whole text) when a part cannot be had."""
        with self._lock:
            if self._error is not None:
                raise self._error
            if self._value is None:
                whole = self._join(cancelled)
                if whole is None:
                    return None
                self._value = whole
                self._parts = [whole]
                self._has_text = bool(whole) and not whole.isspace()
                self.ready.set()
            return self._value

    def _join(self, cancelled: Cancelled) -> str | None:
        out: list[str] = []
        open_line = False  # the text so far is not empty and does not end in a line feed
        for index, part in enumerate(self._parts):
            if index and open_line:
                out.append("\n")
                open_line = False
            if isinstance(part, str):
                text = part
            else:
                try:
                    made = part.value(cancelled)
                except GCodeError as exc:
                    self._error = _error(exc.message, exc.line and exc.line + _line_of(out) - 1, exc.file)
                    self.ready.set()
                    raise self._error from None
                if made is None:
                    return None
                text = made
            out.append(text)
            if text:
                open_line = not text.endswith("\n")
        return "".join(out)

    def start(self) -> None:
        """Make the text on a thread of its own, unless it is made or being made already."""
        with self._guard:  # not the text's lock: that is held while the text is made
            if self.ready.is_set() or self._maker is not None:
                return
            self._maker = threading.Thread(target=self._make_quietly, name="cnc_api_simulator text", daemon=True)
            self._maker.start()

    def _make_quietly(self) -> None:
        try:
            self.value()
        except GCodeError:
            pass  # kept as `error`
