"""Program files, confined to one directory."""

from __future__ import annotations

import heapq
import os
import re
import stat
import tempfile
import threading

MAX_PROGRAM_BYTES = 64 * 1024 * 1024


def resolve(base: str, name: object) -> str | None:
    """Path of `name` inside `base`, or None when the name could reach anything outside it.

    Refused: non-texts, empty names, absolute paths, drive or backslash forms, ".."
    components, NUL bytes, and names whose real path (symlinks followed) leaves `base`.
    """
    if not isinstance(name, str) or not name or "\0" in name or "\\" in name or ":" in name:
        return None
    if os.path.isabs(name) or ".." in name.split("/"):
        return None
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:  # a lone surrogate names no file
        return None
    root = os.path.realpath(base)
    path = os.path.realpath(os.path.join(root, name))
    if path == root or os.path.commonpath([root, path]) != root:
        return None
    return path


def size(path: str) -> int | None:
    """Size of a program file that can be loaded: a readable regular file of at most
    MAX_PROGRAM_BYTES; None otherwise."""
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    if not stat.S_ISREG(info.st_mode) or info.st_size > MAX_PROGRAM_BYTES or not os.access(path, os.R_OK):
        return None
    return info.st_size


def _open_regular(path: str, flags: int) -> int | None:
    """A descriptor of the regular file at `path`, opened without waiting: a FIFO or a device
    put in the programs folder would otherwise hold the opening thread (and whoever waits for
    it) until some other process opens its other end. None for anything but a regular file."""
    flags |= getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
    try:
        fd = os.open(path, flags, 0o644)
    except (OSError, ValueError):
        return None
    try:
        if stat.S_ISREG(os.fstat(fd).st_mode):
            os.set_blocking(fd, True)
            return fd
    except OSError:
        pass
    os.close(fd)
    return None


def read(path: str) -> str | None:
    """Text of a program file, or None when it cannot be read or is no regular file."""
    fd = _open_regular(path, os.O_RDONLY)
    if fd is None:
        return None
    try:
        with os.fdopen(fd, "rb") as f:
            data = f.read(MAX_PROGRAM_BYTES + 1)
    except OSError:
        return None
    if len(data) > MAX_PROGRAM_BYTES:
        return None
    return data.decode("utf-8", errors="replace")


def write(path: str, text: str) -> bool:
    """Write the program; False when the directory is missing, the name is taken by anything
    but a regular file, or the file cannot be written. The text goes to a new file that then
    takes the name, so a load, or a second save of the same name at the same time, never
    sees half of it."""
    try:
        data = text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    try:
        info = os.lstat(path)
        if not stat.S_ISREG(info.st_mode):
            return False  # a folder, a FIFO, a device: not replaced
        mode = stat.S_IMODE(info.st_mode)
    except FileNotFoundError:
        mode = 0o644
    except (OSError, ValueError):
        return False
    try:
        fd, temporary = tempfile.mkstemp(prefix=".", suffix=".saving", dir=os.path.dirname(path))
    except OSError:
        return False
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            if hasattr(os, "fchmod"):
                os.fchmod(f.fileno(), mode)
        os.replace(temporary, path)
    except OSError:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        return False
    return True


# ----- subprograms found by the number their file declares --------------------------------------------

MAX_INDEXED_FILES = 2000  # files of the programs folder looked into for the number they declare
HEAD_BYTES = 512  # of each, only its start is read
_DECLARED = re.compile(rb"[ \t]*[Oo:][ \t]*0*(\d{1,9})(?![\d.])")
_SKIPPED = re.compile(rb"[ \t]*(?:%.*|\(.*|;.*)?")  # blank, the % line, a comment line


def declared_number(head: bytes) -> int | None:
    """The program number that a file's first program line declares (`O3001 (SIDE)` or
    `:3001`, after a `%` line, blank lines and comment lines); None for any other start."""
    for line in head.split(b"\n")[:8]:
        line = line.rstrip(b"\r")
        found = _DECLARED.match(line)
        if found:
            return int(found.group(1))
        if not _SKIPPED.fullmatch(line):
            return None
    return None


class _Index:
    def __init__(self, stamp: int, numbers: dict[int, str]) -> None:
        self.stamp = stamp
        self.numbers = numbers


_indexes: dict[str, _Index] = {}
_indexes_lock = threading.Lock()


def _head(path: str) -> bytes:
    fd = _open_regular(path, os.O_RDONLY)
    if fd is None:
        return b""
    try:
        return os.read(fd, HEAD_BYTES)
    except OSError:
        return b""
    finally:
        os.close(fd)


def _build(root: str) -> dict[int, str]:
    numbers: dict[int, str] = {}
    try:
        with os.scandir(root) as entries:
            files = (e.name for e in entries if e.is_file(follow_symlinks=False) and e.name[:1] != ".")
            names = heapq.nsmallest(MAX_INDEXED_FILES, files)  # in name order, however many there are
    except OSError:
        return numbers
    for name in names:
        number = declared_number(_head(os.path.join(root, name)))
        if number is not None:
            numbers.setdefault(number, name)  # the first in name order wins
    return numbers


def find_declared(base: str, number: int) -> str | None:
    """Name of the file in `base` (not its subfolders) that declares program `number` at its
    start. The folder is looked through once, and again when its modification time changes
    (a file added, removed or renamed) or the file found no longer declares the number."""
    root = os.path.realpath(base)
    try:
        stamp = os.stat(root).st_mtime_ns
    except OSError:
        return None
    with _indexes_lock:
        index = _indexes.get(root)
        if index is None or index.stamp != stamp:
            index = _indexes[root] = _Index(stamp, _build(root))
        name = index.numbers.get(number)
        if name is not None and declared_number(_head(os.path.join(root, name))) != number:
            index = _indexes[root] = _Index(stamp, _build(root))
            name = index.numbers.get(number)
    return name
