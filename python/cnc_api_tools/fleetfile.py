"""The fleet file: the machines a long-running command serves, with their names, addresses, labels and poll rates.

    # fleet.toml
    [defaults]
    poll_rate = 1.0
    [defaults.labels]
    site = "plant1"

    [[machine]]
    name = "mill-1"
    address = "10.0.0.5:8000"
    labels = { line = "A", cell = "c1" }

The simulator reads the same file (`kind`, `axes`, `limits`, ... are its keys; they are accepted and
ignored here). Any problem is one `FleetFileError` line naming the file, the machine and the key.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from typing import Any

from cnc_api_simulator.fleetrules import MACHINE_KEYS, NAME, TOP_KEYS, read_document

from .link import parse_endpoint

__all__ = ["FleetFileError", "FleetMachine", "load_fleet", "parse_fleet"]

# Label names as Prometheus takes them; values are free text without control characters.
_LABEL = re.compile(r"[A-Za-z_][A-Za-z0-9_]{0,63}")
_CONTROL = re.compile(r"[\x00-\x1f\x7f]")
MAX_LABEL_VALUE = 128
MAX_POLL_RATE = 100.0
WELL_KNOWN_LABELS = ("site", "line", "cell")


class FleetFileError(ValueError):
    """A fleet file that cannot be used; the message is one line naming the file (and machine and key)."""


@dataclass(frozen=True)
class FleetMachine:
    name: str
    host: str
    port: int
    labels: dict[str, str] = field(default_factory=dict)
    poll_rate: float | None = None  # polls per second; None: the command's own rate

    @property
    def address(self) -> str:
        return f"[{self.host}]:{self.port}" if ":" in self.host else f"{self.host}:{self.port}"


def load_fleet(path: str | os.PathLike[str]) -> list[FleetMachine]:
    """The machines of a fleet file, in file order; raises FleetFileError."""
    where, data = read_document(path, FleetFileError, "not valid TOML")
    return parse_fleet(data, where)


def parse_fleet(data: dict[str, Any], where: str = "fleet file") -> list[FleetMachine]:
    """The machines of an already parsed fleet document; `where` names it in errors."""
    unknown = sorted(set(data) - TOP_KEYS)
    if unknown:
        raise FleetFileError(f"{where}: unknown top-level key {unknown[0]!r} (expected [defaults] and [[machine]])")
    defaults = data.get("defaults", {})
    if not isinstance(defaults, dict):
        raise FleetFileError(f"{where}: 'defaults' must be a table ([defaults])")
    _check_keys(defaults, f"{where}: [defaults]")
    if "name" in defaults:
        raise FleetFileError(f"{where}: [defaults]: key 'name' belongs to each machine")
    entries = data.get("machine", [])
    if not isinstance(entries, list) or not all(isinstance(e, dict) for e in entries):
        raise FleetFileError(f"{where}: 'machine' must be an array of tables ([[machine]])")
    if not entries:
        raise FleetFileError(f"{where}: no machines ([[machine]] tables)")
    machines: list[FleetMachine] = []
    names: set[str] = set()
    addresses: dict[tuple[str, int], str] = {}
    for number, entry in enumerate(entries, 1):
        machine = _machine(defaults, entry, where, number)
        if machine.name in names:
            raise FleetFileError(f"{where}: machine {machine.name!r}: name used twice")
        other = addresses.get((machine.host.lower(), machine.port))
        if other is not None:
            raise FleetFileError(f"{where}: machine {machine.name!r}: same address as {other!r} ({machine.address})")
        names.add(machine.name)
        addresses[(machine.host.lower(), machine.port)] = machine.name
        machines.append(machine)
    return machines


def _check_keys(table: dict[str, Any], context: str) -> None:
    for key in table:
        if key not in MACHINE_KEYS:
            raise FleetFileError(f"{context}: unknown key {key!r}")


def _machine(defaults: dict[str, Any], entry: dict[str, Any], where: str, number: int) -> FleetMachine:
    name = entry.get("name")
    if not isinstance(name, str) or not NAME.fullmatch(name):
        shown = f"machine #{number}"
        if name is None:
            raise FleetFileError(f"{where}: {shown}: key 'name' is missing")
        raise FleetFileError(f"{where}: {shown}: key 'name': {name!r} is not 1 to 64 letters, digits, '-', '_' or '.'")
    context = f"{where}: machine {name!r}"
    _check_keys(entry, context)
    host, port = _address(defaults, entry, context)
    labels = _labels(defaults.get("labels", {}), f"{where}: [defaults]")
    labels.update(_labels(entry.get("labels", {}), context))
    rate = entry.get("poll_rate", defaults.get("poll_rate"))
    if rate is not None:
        in_defaults = "poll_rate" not in entry
        if isinstance(rate, bool) or not isinstance(rate, int | float) or not 0 < rate <= MAX_POLL_RATE:
            ctx = f"{where}: [defaults]" if in_defaults else context
            raise FleetFileError(f"{ctx}: key 'poll_rate': must be a number above 0 and at most {MAX_POLL_RATE:g}")
        rate = float(rate)
    return FleetMachine(name, host, port, labels, rate)


def _address(defaults: dict[str, Any], entry: dict[str, Any], context: str) -> tuple[str, int]:
    if "address" in entry and ("host" in entry or "port" in entry):
        raise FleetFileError(f"{context}: give either 'address' or 'host' and 'port', not both")
    if "address" in entry or ("address" in defaults and "host" not in entry and "port" not in entry):
        text = entry.get("address", defaults.get("address"))
        if not isinstance(text, str):
            raise FleetFileError(f"{context}: key 'address': must be a string HOST:PORT")
        try:
            host, port = parse_endpoint(text, 0)
        except ValueError as exc:
            raise FleetFileError(f"{context}: key 'address': {exc}") from None
        if port == 0:
            raise FleetFileError(f"{context}: key 'address': {text!r} has no port (HOST:PORT)")
        return host, port
    name = entry.get("host", defaults.get("host", "127.0.0.1"))
    if not isinstance(name, str) or not name.strip() or _CONTROL.search(name):
        raise FleetFileError(f"{context}: key 'host': must be a host name or address")
    number = entry.get("port", defaults.get("port"))
    if number is None:
        raise FleetFileError(f"{context}: no address: give 'address' (HOST:PORT) or 'port'")
    if isinstance(number, bool) or not isinstance(number, int) or not 1 <= number <= 65535:
        raise FleetFileError(f"{context}: key 'port': must be a whole number from 1 to 65535")
    return name.strip().strip("[]"), number


def _labels(table: object, context: str) -> dict[str, str]:
    if not isinstance(table, dict):
        raise FleetFileError(f"{context}: key 'labels': must be a table of strings")
    labels: dict[str, str] = {}
    for key, value in table.items():
        if not _LABEL.fullmatch(key):
            raise FleetFileError(f"{context}: label {key!r}: names are letters, digits and '_', not first a digit")
        if not isinstance(value, str):
            raise FleetFileError(f"{context}: label {key!r}: must be a string")
        if len(value) > MAX_LABEL_VALUE or _CONTROL.search(value):
            raise FleetFileError(
                f"{context}: label {key!r}: at most {MAX_LABEL_VALUE} characters, no control characters"
            )
        labels[key] = value
    return labels
