"""The fleet file (TOML) as the simulator reads it: which machines to serve, of which kind,
with which limits and faults. The tools read the same file for where to connect; each side
ignores the other's keys (`labels`, `poll_rate` belong to the tools)."""

from __future__ import annotations

import math
import os
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from .config import AXES, DEFAULT_IGNORED_M
from .faults import CUT_MODES, GARBAGE
from .fleetrules import MACHINE_KEYS, NAME, TOP_KEYS, read_document

KINDS = ("mill", "lathe", "plasma", "laser")
DIALECTS = ("rs274ngc", "iso")
KIND_AXES = {"mill": "XYZABC", "lathe": "XZ", "plasma": "XY", "laser": "XY"}


class FleetFileError(ValueError):
    """A fleet file that cannot be served; the message is one line naming file, machine and key."""


@dataclass(frozen=True)
class SimMachine:
    name: str
    host: str | None = None
    port: int | None = None
    kind: str = "mill"
    axes: str = "XYZABC"
    limits: dict[str, tuple[float, float]] = field(default_factory=dict)
    ignore_m: tuple[str, ...] = ()  # as written; empty keeps the command line's list
    dialect: str | None = None
    speed: float | None = None
    faults: dict[str, Any] = field(default_factory=dict)


def parse_m_codes(
    items: list[str] | list[str | int] | tuple[str, ...], base: frozenset[int] = DEFAULT_IGNORED_M
) -> frozenset[int]:
    """`["+428", "900", "100-199"]`: a `+` item adds to the default list; plain items replace it."""
    added: set[int] = set()
    plain: set[int] = set()
    for item in items:
        text = str(item).strip().upper()
        into = added if text.startswith("+") else plain
        low, sep, high = text.lstrip("+M").partition("-")
        try:
            first, last = int(low), int(high.lstrip("M")) if sep else int(low)
        except ValueError:
            raise ValueError(f"{item!r} is not an M code or a range of them") from None
        if not 0 <= first <= last <= 9999:
            raise ValueError(f"{item!r} is not a range of M codes")
        into.update(range(first, last + 1))
    return frozenset((plain if plain else base) | added)


def _split_address(text: str) -> tuple[str, int]:
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit():
        raise ValueError("must be HOST:PORT or [v6]:PORT")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    elif ":" in host:
        raise ValueError("must put an IPv6 address in brackets: [v6]:PORT")
    return host, int(port)


def _number(v: Any) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)


def _whole(v: Any) -> bool:
    return isinstance(v, int) and not isinstance(v, bool) and v > 0


def _names(v: Any) -> bool:
    return isinstance(v, list) and all(isinstance(n, str) for n in v)


_FAULT_CHECKS: dict[str, tuple[Callable[[Any], bool], str]] = {
    "latency": (
        lambda v: (
            (_number(v) and v >= 0)
            or (isinstance(v, list) and len(v) == 2 and all(_number(x) for x in v) and 0 <= v[0] <= v[1])
        ),
        "must be seconds, or [low, high] seconds",
    ),
    "latency_requests": (_names, "must be a list of operation names"),
    "stall": (_whole, "must be a positive whole number"),
    "cut": (_whole, "must be a positive whole number"),
    "cut_mode": (lambda v: v in CUT_MODES, f"must be one of {', '.join(CUT_MODES)}"),
    "cut_probability": (lambda v: _number(v) and 0 < v <= 1, "must be above 0 and at most 1"),
    "garbage": (lambda v: v in GARBAGE, f"must be one of {', '.join(GARBAGE)}"),
    "garbage_count": (_whole, "must be a positive whole number"),
    "refuse": (lambda v: _whole(v) or _names(v), "must be a count or a list of operation names"),
    "alarm_code": (lambda v: isinstance(v, int) and not isinstance(v, bool), "must be a whole number"),
    "alarm_message": (lambda v: isinstance(v, str), "must be a string"),
    "alarm_at_time": (lambda v: _number(v) and v >= 0, "must be seconds"),
    "alarm_at_line": (_whole, "must be a line number"),
    "seed": (lambda v: isinstance(v, int) and not isinstance(v, bool), "must be a whole number"),
}
FAULT_KEYS = frozenset(_FAULT_CHECKS)


def fault_problem(key: str, value: Any) -> str | None:
    """What is wrong with one member of a `[machine.faults]` table, or None."""
    check = _FAULT_CHECKS.get(key)
    if check is None:
        return "is not a fault"
    return None if check[0](value) else check[1]


class _Reader:
    def __init__(self, path: str) -> None:
        self.path = path

    def fail(self, where: str, message: str) -> FleetFileError:
        return FleetFileError(f"{self.path}: {where}: {message}")

    def machine(self, entry: dict[str, Any], where: str) -> SimMachine:
        for key in entry:
            if key not in MACHINE_KEYS:
                raise self.fail(where, f"unknown key {key!r}")
        try:
            return self._machine(entry)
        except _KeyError as exc:
            raise self.fail(where, f"key {exc.key!r} {exc}") from None

    def _machine(self, e: dict[str, Any]) -> SimMachine:
        name = _typed(e, "name", str)
        if not NAME.fullmatch(name):
            raise _KeyError("name", "must be letters, digits, '-', '_' or '.'")
        host, port = e.get("host"), e.get("port")
        if "address" in e:
            if host is not None or port is not None:
                raise _KeyError("address", "and host/port both given")
            try:
                host, port = _split_address(_typed(e, "address", str))
            except _KeyError:
                raise
            except ValueError as exc:
                raise _KeyError("address", str(exc)) from None
        if host is not None and not isinstance(host, str):
            raise _KeyError("host", "must be a string")
        if port is not None and (type(port) is not int or not 0 <= port <= 65535):
            raise _KeyError("port", "must be a port number 0-65535")
        kind = e.get("kind", "mill")
        if kind not in KINDS:
            raise _KeyError("kind", f"must be one of {', '.join(KINDS)}")
        axes = _typed(e, "axes", str, KIND_AXES[kind]).upper()
        if not axes or any(a not in AXES for a in axes) or len(set(axes)) != len(axes):
            raise _KeyError("axes", f"must be distinct letters of {AXES}")
        dialect = e.get("dialect")
        if dialect is not None and dialect not in DIALECTS:
            raise _KeyError("dialect", f"must be one of {', '.join(DIALECTS)}")
        speed = e.get("speed")
        if speed is not None and (
            isinstance(speed, bool) or not isinstance(speed, (int, float)) or not 0 < speed < math.inf
        ):
            raise _KeyError("speed", "must be a positive number")
        ignore = e.get("ignore_m", [])
        if not isinstance(ignore, list) or not all(isinstance(i, (str, int)) for i in ignore):
            raise _KeyError("ignore_m", "must be a list of M codes")
        try:
            parse_m_codes(ignore)
        except ValueError as exc:
            raise _KeyError("ignore_m", str(exc)) from None
        faults = _typed(e, "faults", dict, {})
        for key, value in faults.items():
            problem = fault_problem(key, value)
            if problem:
                raise _KeyError(f"faults.{key}", problem)
        return SimMachine(
            name,
            host,
            port,
            kind,
            axes,
            _limits(e.get("limits", {}), axes),
            tuple(str(i) for i in ignore),
            dialect,
            speed,
            dict(faults),
        )


class _KeyError(ValueError):
    def __init__(self, key: str, message: str) -> None:
        super().__init__(message)
        self.key = key


def _typed(entry: dict[str, Any], key: str, kind: type, default: Any = None) -> Any:
    if key not in entry:
        if default is None:
            raise _KeyError(key, "is required")
        return default
    value = entry[key]
    if not isinstance(value, kind):
        raise _KeyError(key, f"must be a {kind.__name__}")
    return value


def _limits(value: Any, axes: str) -> dict[str, tuple[float, float]]:
    if not isinstance(value, dict):
        raise _KeyError("limits", "must be a table of AXIS = [low, high]")
    out: dict[str, tuple[float, float]] = {}
    for axis, pair in value.items():
        ok = isinstance(pair, list) and len(pair) == 2 and all(isinstance(v, (int, float)) for v in pair)
        if axis.upper() not in axes or not ok or not math.isfinite(pair[0]) or not pair[0] < pair[1] < math.inf:
            raise _KeyError("limits", f"{axis}: expected one of the machine's axes = [low, high], low < high")
        out[axis.upper()] = (float(pair[0]), float(pair[1]))
    return out


def load_fleet(path: str | os.PathLike[str]) -> list[SimMachine]:
    """The machines of a fleet file, defaults merged in; FleetFileError on anything wrong."""
    name, doc = read_document(path, FleetFileError, "not TOML")
    reader = _Reader(name)
    for key in doc:
        if key not in TOP_KEYS:
            raise reader.fail("top level", f"unknown key {key!r}")
    defaults = doc.get("defaults", {})
    entries = doc.get("machine", [])
    if not isinstance(defaults, dict):
        raise reader.fail("defaults", "must be a table")
    if not isinstance(entries, list) or not entries or not all(isinstance(m, dict) for m in entries):
        raise reader.fail("machine", "needs at least one [[machine]] table")
    if "name" in defaults:
        raise reader.fail("defaults", "a name belongs to one machine")
    machines: list[SimMachine] = []
    seen: set[str] = set()
    for i, entry in enumerate(entries, 1):
        merged = {**defaults, **entry}
        if isinstance(defaults.get("faults"), dict) and isinstance(entry.get("faults"), dict):
            merged["faults"] = {**defaults["faults"], **entry["faults"]}
        where = f"machine {entry.get('name')!r}" if isinstance(entry.get("name"), str) else f"machine #{i}"
        machine = reader.machine(merged, where)
        if machine.name in seen:
            raise reader.fail(where, "duplicate name")
        seen.add(machine.name)
        machines.append(machine)
    return machines
