"""Reading a G-code file for `run`: only regular files, only what the control can take, any encoding."""

from __future__ import annotations

import codecs
import os
import stat
from typing import TYPE_CHECKING, Any

import click

from .errors import CliError

__all__ = ["DEFAULT_MAX_SIZE", "ByteSize", "check_encoding", "human_size", "read_program"]

# A program travels in one request line, which the control takes up to 64 MiB long; escaping a
# text for that line can double it.
DEFAULT_MAX_SIZE = 32 * 1024 * 1024

_UNITS = {"": 1, "K": 1024, "M": 1024**2, "G": 1024**3}
# Far beyond any request line a control takes; bounds what a typing slip makes the command try.
MAX_MAX_SIZE = 4 * 1024**3


if TYPE_CHECKING:
    _SizeBase = click.ParamType[int]
else:  # generic only in newer click
    _SizeBase = click.ParamType


class ByteSize(_SizeBase):
    """A size in bytes: 1000000, 500K, 64M, 1G (binary multiples)."""

    name = "size"

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> int:
        if isinstance(value, int):
            return value
        text = str(value).strip().upper().removesuffix("B").removesuffix("I")
        unit = text[-1:] if text[-1:] in _UNITS else ""
        number = text[: len(text) - len(unit)]
        if not number.isdigit() or int(number) == 0:
            self.fail(f"{value!r} is not a size such as 500K or 64M", param, ctx)
        size = int(number) * _UNITS[unit]
        if size > MAX_MAX_SIZE:
            self.fail(f"{value!r} is more than the largest size, 4G", param, ctx)
        return size


def human_size(size: int) -> str:
    if size < 1024:
        return f"{size} bytes"
    if size < 1024**2:
        return f"{size / 1024:.1f} KB"
    return f"{size / 1024**2:.1f} MB"


def _read_bytes(path: str, max_size: int) -> bytes:
    try:
        # Non-blocking, so a FIFO or a device cannot hold the command before fstat says what it is.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except OSError as exc:
        raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise CliError(f"{path} is not a regular file")
        if info.st_size > max_size:
            raise CliError(
                f"{path} holds {human_size(info.st_size)}, more than the {human_size(max_size)} a program may have "
                "(--max-size raises the limit)"
            )
        os.set_blocking(fd, True)
        with os.fdopen(fd, "rb", closefd=False) as f:
            # As much as fstat said, then on in slices (the file may have grown since): never a
            # buffer of --max-size bytes for a small file.
            data = bytearray(f.read(info.st_size + 1))
            while len(data) <= max_size:
                more = f.read(min(1 << 20, max_size + 1 - len(data)))
                if not more:
                    break
                data += more
    except OSError as exc:
        raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None
    finally:
        os.close(fd)
    if len(data) > max_size:
        raise CliError(f"{path} holds more than the {human_size(max_size)} a program may have")
    return bytes(data)


def read_program(path: str, max_size: int, encoding: str | None) -> tuple[str, str | None]:
    """The program's text and a note on how it was decoded (None for plain UTF-8).

    Without `encoding`: UTF-8, else Latin-1, which decodes any byte (comments in a
    Western European language written by older editors are the usual case).
    """
    data = _read_bytes(path, max_size)
    if encoding is not None:
        try:
            return data.decode(encoding), None
        except UnicodeDecodeError as exc:
            raise CliError(f"cannot read {path} as {encoding}: byte {exc.start + 1} is not {encoding}") from None
    try:
        return data.decode("utf-8-sig"), None
    except UnicodeDecodeError as exc:
        note = f"{path} is not UTF-8 (byte {exc.start + 1}); read as Latin-1 (--encoding chooses another)"
        return data.decode("latin-1"), note


def check_encoding(ctx: click.Context, param: click.Parameter, value: str | None) -> str | None:
    if value is None:
        return None
    try:
        info = codecs.lookup(value)
    except LookupError:
        raise click.BadParameter(f"unknown encoding {value!r}") from None
    # rot13, base64, zlib and the like are codecs too, but turn bytes into bytes, not into text.
    if not getattr(info, "_is_text_encoding", True):
        raise click.BadParameter(f"{value!r} is not a text encoding")
    return info.name
