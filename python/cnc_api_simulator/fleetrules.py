"""What the simulator's and the tools' fleet file readers agree on: how the file is read, which keys
a machine may have and what a machine's name is. Each side checks the values of its own keys.

It imports nothing else of the simulator: the tools use it without loading the simulator."""

from __future__ import annotations

import os
import re
import tomllib
from collections.abc import Callable
from typing import Any

TOP_KEYS = frozenset(("defaults", "machine"))
# The machine's name and where it is: both sides read them.
COMMON_KEYS = frozenset(("name", "address", "host", "port"))
SIMULATOR_KEYS = frozenset(("kind", "axes", "limits", "ignore_m", "dialect", "speed", "faults"))
TOOL_KEYS = frozenset(("labels", "poll_rate"))
# What a machine or [defaults] may hold: each side accepts the other's keys and ignores them.
MACHINE_KEYS = COMMON_KEYS | SIMULATOR_KEYS | TOOL_KEYS

NAME = re.compile(r"[A-Za-z0-9._-]{1,64}")


def read_document(
    path: str | os.PathLike[str], error: Callable[[str], Exception], not_toml: str
) -> tuple[str, dict[str, Any]]:
    """The file's name as errors show it and its TOML document; what makes it unreadable is raised
    as `error(one line naming the file)`, `not_toml` saying what a file of bad TOML is not."""
    where = os.fspath(path)
    try:
        with open(where, "rb") as f:
            return where, tomllib.load(f)
    except OSError as exc:
        raise error(f"{where}: cannot read: {exc.strerror or exc}") from None
    except tomllib.TOMLDecodeError as exc:
        raise error(f"{where}: {not_toml}: {exc}") from None
    except UnicodeDecodeError:
        raise error(f"{where}: {not_toml}: not UTF-8 text") from None
