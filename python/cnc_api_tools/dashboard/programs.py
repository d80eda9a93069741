"""Program text for the G-code view, read from folders on the dashboard's own host.

The API has no request that returns the loaded program's text; the control
reports only the file name in its compile result. Given folders (the folder
the control loads from, shared or copied), the dashboard finds that file by
its base name in them and shows the lines around the current one.
"""

from __future__ import annotations

import os
import threading
from array import array
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from itertools import accumulate, islice
from typing import overload

__all__ = ["Lines", "ProgramFiles", "ProgramText", "base_name", "window"]

MAX_PROGRAM_BYTES = 256 * 1024 * 1024
CACHED_PROGRAMS = 8


def base_name(reported: str) -> str:
    """The file name a control reports, without its folder (either slash), or '' when unusable."""
    if not isinstance(reported, str) or "\x00" in reported:
        return ""
    name = reported.replace("\\", "/").rsplit("/", 1)[-1].strip()
    return "" if name in ("", ".", "..") else name


_BLOCK = 1 << 20  # bytes split at a time while indexing: the pieces of a whole file would cost ten times its size


class Lines(Sequence[str]):
    """A program's lines, kept as its bytes and where each line starts.

    A list of millions of short str objects costs several times the file's
    size; this costs the file and four bytes a line. Lines end at LF (a CR
    before it is dropped) and are decoded as UTF-8, bad bytes replaced, when read.
    """

    def __init__(self, data: bytes) -> None:
        self._data = data
        starts = array("I", [0]) if data else array("I")
        view = memoryview(data)
        for begin in range(0, len(data), _BLOCK):
            # the block's LF-ended pieces (the piece after its last LF goes on in the next block)
            pieces = bytes(view[begin : begin + _BLOCK]).split(b"\n")[:-1]
            # a line starts after each LF: at the running sum of the pieces' lengths and their LFs
            starts.extend(islice(accumulate(map((1).__add__, map(len, pieces)), initial=begin), 1, None))
        if len(starts) > 1 and starts[-1] == len(data):
            starts.pop()  # the LF ending the last line begins no line of its own
        self._starts = starts

    def __len__(self) -> int:
        return len(self._starts)

    @overload
    def __getitem__(self, index: int) -> str: ...
    @overload
    def __getitem__(self, index: slice) -> list[str]: ...
    def __getitem__(self, index: int | slice) -> str | list[str]:
        if isinstance(index, slice):
            return [self._line(i) for i in range(*index.indices(len(self)))]
        count = len(self)
        if index < 0:
            index += count
        if not 0 <= index < count:
            raise IndexError("line index out of range")
        return self._line(index)

    def __iter__(self) -> Iterator[str]:
        return (self._line(i) for i in range(len(self)))

    def _line(self, i: int) -> str:
        start = self._starts[i]
        end = self._starts[i + 1] - 1 if i + 1 < len(self._starts) else len(self._data)
        if end > start and self._data[end - 1] == 10:  # the LF ending the last line
            end -= 1
        if end > start and self._data[end - 1] == 13:  # CR
            end -= 1
        return self._data[start:end].decode("utf-8", errors="replace")


@dataclass(frozen=True)
class ProgramText:
    path: str
    lines: Sequence[str]
    stamp: tuple[int, int] = (0, 0)  # modification time (ns) and size when read


class ProgramFiles:
    """Finds program files by base name in a few folders; caches the last text read per path."""

    def __init__(self, folders: Sequence[str] = ()) -> None:
        self.folders = [os.path.realpath(f) for f in folders]
        self._cache: dict[str, tuple[tuple[int, int], ProgramText]] = {}
        self._lock = threading.Lock()

    def find(self, reported: str) -> str | None:
        """The path of the reported file inside one of the folders (first folder first), or None."""
        name = base_name(reported)
        if not name:
            return None
        for folder in self.folders:
            path = os.path.realpath(os.path.join(folder, name))
            # A link that leads out of the folder is not followed.
            if os.path.commonpath([folder, path]) != folder:
                continue
            if os.path.isfile(path):
                return path
        return None

    def read(self, reported: str) -> ProgramText | None:
        """The text of the reported file, split into lines, or None when it is not found or unreadable."""
        path = self.find(reported)
        if path is None:
            return None
        try:
            st = os.stat(path)
        except OSError:
            return None
        stamp = (st.st_mtime_ns, st.st_size)
        with self._lock:
            cached = self._cache.get(path)
        if cached is not None and cached[0] == stamp:
            return cached[1]
        if st.st_size > MAX_PROGRAM_BYTES:
            return None
        try:
            with open(path, "rb") as f:
                data = f.read(MAX_PROGRAM_BYTES + 1)
        except OSError:
            return None
        text = ProgramText(path, Lines(data), stamp)
        with self._lock:
            self._cache.pop(path, None)
            self._cache[path] = (stamp, text)
            while len(self._cache) > CACHED_PROGRAMS:  # the oldest goes first
                del self._cache[next(iter(self._cache))]
        return text


def window(lines: Sequence[str], current: int, before: int = 8, after: int = 12) -> dict[str, object]:
    """The lines around `current` (1-based): first line number, the lines, and the current one."""
    total = len(lines)
    if total == 0:
        return {"first": 1, "lines": [], "current": current, "total": 0}
    centre = min(max(current, 1), total)
    first = max(1, centre - before)
    last = min(total, centre + after)
    return {
        "first": first,
        "lines": [line[:400] for line in lines[first - 1 : last]],
        "current": current,
        "total": total,
    }
