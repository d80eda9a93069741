"""Program files, confined to one directory."""

from __future__ import annotations

import os
import stat

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


def read(path: str) -> str | None:
    """Text of a program file, or None when it cannot be read."""
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_PROGRAM_BYTES + 1)
    except OSError:
        return None
    if len(data) > MAX_PROGRAM_BYTES:
        return None
    return data.decode("utf-8", errors="replace")


def write(path: str, text: str) -> bool:
    """Write the program; False when the directory is missing or the file cannot be written."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_NOFOLLOW", 0)
    try:
        fd = os.open(path, flags, 0o644)
        with os.fdopen(fd, "wb") as f:
            f.write(text.encode("utf-8"))
    except (OSError, UnicodeEncodeError):
        return False
    return True
