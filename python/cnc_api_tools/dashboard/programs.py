"""Program text for the G-code view, read from folders on the dashboard's own host.

The API has no request that returns the loaded program's text; the control
reports only the file name in its compile result. Given folders (the folder
the control loads from, shared or copied), the dashboard finds that file by
its base name in them and shows the lines around the current one.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Sequence
from dataclasses import dataclass

__all__ = ["ProgramFiles", "ProgramText", "base_name", "window"]

MAX_PROGRAM_BYTES = 256 * 1024 * 1024
CACHED_PROGRAMS = 8


def base_name(reported: str) -> str:
    """The file name a control reports, without its folder (either slash), or '' when unusable."""
    if not isinstance(reported, str) or "\x00" in reported:
        return ""
    name = reported.replace("\\", "/").rsplit("/", 1)[-1].strip()
    return "" if name in ("", ".", "..") else name


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
        text = ProgramText(path, data.decode("utf-8", errors="replace").splitlines(), stamp)
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
