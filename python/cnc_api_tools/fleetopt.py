"""`--fleet FILE` and `--shard K/N` for the long-running commands, and the machines they come to."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import click

from .fleetfile import FleetFileError, FleetMachine, load_fleet
from .link import DEFAULT_PORT, Backoff, parse_endpoint
from .machine import Machine, TracePrepare
from .shard import parse_shard, select

__all__ = ["fleet_option", "gather", "handles", "shard_option"]


def fleet_option(func: Callable[..., Any]) -> Callable[..., Any]:
    """Adds --fleet FILE; the command receives `fleet` (the path or None)."""
    return click.option(
        "--fleet",
        type=click.Path(dir_okay=False),
        metavar="FILE",
        help="Fleet file (TOML) naming the machines, their addresses, labels and poll rates.",
    )(func)


def _shard(ctx: click.Context, param: click.Parameter, value: str | None) -> tuple[int, int] | None:
    if value is None:
        return None
    try:
        return parse_shard(value)
    except ValueError as exc:
        raise click.BadParameter(str(exc), ctx, param) from None


def shard_option(func: Callable[..., Any]) -> Callable[..., Any]:
    """Adds --shard K/N; the command receives `shard` as (K, N) or None."""
    return click.option(
        "--shard",
        callback=_shard,
        metavar="K/N",
        help="Serve only shard K of N of the machines (split by name; run N processes for the whole fleet).",
    )(func)


def gather(
    addresses: Sequence[str],
    fleet: str | None,
    shard: tuple[int, int] | None,
    default: tuple[str, int] | None,
    default_port: int = DEFAULT_PORT,
) -> list[FleetMachine]:
    """The machines a command serves: those given as [NAME=]HOST[:PORT], then those of the fleet file, cut to
    the shard. Without either, the one machine `default` (from --host and --port) when there is one.
    Raises click.BadParameter.
    """
    if default is not None:
        default_port = default[1]
    machines: list[FleetMachine] = []
    for text in addresses:
        name, sep, address = text.partition("=")
        if not sep:
            name, address = "", text
        try:
            host, port = parse_endpoint(address, default_port)
        except ValueError as exc:
            raise click.BadParameter(str(exc), param_hint="HOST[:PORT]") from None
        given = _given(host, port)
        machines.append(FleetMachine(name.strip(), host, port) if name.strip() else given)
    if fleet is not None:
        try:
            machines.extend(load_fleet(fleet))
        except FleetFileError as exc:
            raise click.BadParameter(str(exc), param_hint="--fleet") from None
    if not machines and default is not None:
        machines.append(_given(*default))
    seen: dict[str, str] = {}
    for m in machines:
        key = f"{m.host.lower()}:{m.port}"
        if m.name in seen or key in seen.values():
            raise click.BadParameter(f"machine {m.name!r} ({m.address}) is named twice", param_hint="--fleet")
        seen[m.name] = key
    if shard is not None:
        machines = select(machines, *shard)
    return machines


def _given(host: str, port: int) -> FleetMachine:
    shown = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    return FleetMachine(shown, host, port, {}, None)


def handles(
    machines: Sequence[FleetMachine], timeout: float, backoff: Backoff, prepare: TracePrepare | None = None
) -> list[Machine]:
    """A machine handle per fleet machine, named as the fleet names it."""
    return [
        Machine(m.host, m.port, connect_timeout=timeout, backoff=backoff, name=m.name, prepare=prepare)
        for m in machines
    ]
