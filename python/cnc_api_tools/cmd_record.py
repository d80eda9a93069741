"""`cnc-api record`: poll chosen fields at a chosen rate into CSV or JSON lines."""

from __future__ import annotations

import csv
import datetime
import json
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import IO, Any

import click
import cnc_api_client_core as cnc

from .clibase import EXIT_UNREACHABLE, MAX_WAIT, CliError, Seconds, Target, interruptible, target_options
from .codes import CompileState, State, code_name
from .machine import Machine
from .records import field_names
from .safe import printable

DEFAULT_FIELDS = "state,gcode_line,feed_reference,spindle_actual,override_feed,program_position"

_SOURCES: dict[str, type] = {"cnc": cnc.APICncInfo, "axes": cnc.APIAxesInfo, "compile": cnc.APICompileInfo}
_AXES = "xyzabc"


@dataclass
class Column:
    name: str
    source: str  # which query
    read: Callable[[Any], Any]


def _list_item(field: str, index: int) -> Callable[[Any], Any]:
    def read(record: Any) -> Any:
        values = getattr(record, field)
        return values[index] if isinstance(values, list) and index < len(values) else None

    return read


def _attr(field: str) -> Callable[[Any], Any]:
    return lambda record: getattr(record, field)


def resolve(names: str) -> list[Column]:
    """Column list from names such as ``state,gcode_line,machine_position.x,program_position``."""
    columns: list[Column] = []
    for raw in names.replace(" ", ",").split(","):
        name = raw.strip()
        if not name:
            continue
        if name == "state":
            columns.append(Column(name, "cnc", lambda r: code_name(State, r.state_machine)))
            continue
        if name == "compile_state":
            columns.append(Column(name, "compile", lambda r: code_name(CompileState, r.state)))
            continue
        base, _, axis = name.partition(".")
        for source, cls in _SOURCES.items():
            if base in field_names(cls) and base != "has_data":
                default = getattr(cls, base)
                if isinstance(default, list):
                    if axis:
                        if axis not in _AXES or _AXES.index(axis) >= len(default):
                            raise click.BadParameter(f"{base} has no axis {axis!r}", param_hint="--fields")
                        columns.append(Column(name, source, _list_item(base, _AXES.index(axis))))
                    else:
                        columns += [
                            Column(f"{base}.{a}", source, _list_item(base, i))
                            for i, a in enumerate(_AXES[: len(default)])
                        ]
                elif axis:
                    raise click.BadParameter(f"{base} is not a list of axes", param_hint="--fields")
                else:
                    columns.append(Column(name, source, _attr(base)))
                break
        else:
            raise click.BadParameter(f"unknown field {name!r}", param_hint="--fields")
    if not columns:
        raise click.BadParameter("no field given", param_hint="--fields")
    return columns


class _Writer:
    def __init__(self, out: IO[str], columns: list[Column], fmt: str) -> None:
        self.out = out
        self.fmt = fmt
        # Rows shown on a terminal carry no control sequence from the machine; a file or a pipe
        # gets the data as it came.
        self.terminal = out.isatty()
        self.names = ["time", "t"] + [c.name for c in columns]
        if fmt == "csv":
            self._csv = csv.writer(out, lineterminator="\n")
            self._csv.writerow(self.names)
            out.flush()

    def row(self, values: list[Any]) -> None:
        if self.terminal:
            values = [printable(v) if isinstance(v, str) else v for v in values]
        if self.fmt == "csv":
            self._csv.writerow(values)
        else:
            self.out.write(json.dumps(dict(zip(self.names, values, strict=True)), default=str) + "\n")
        # Every row reaches the file at once, so an interruption loses nothing recorded.
        self.out.flush()


@click.command()
@target_options
@click.option("--fields", "-f", "fields", multiple=True, help=f"Fields to record, comma separated [{DEFAULT_FIELDS}].")
@click.option("--rate", type=Seconds(0.01, 1000), default=10.0, show_default=True, help="Samples per second.")
@click.option(
    "--duration", type=Seconds(min=0, max=MAX_WAIT, min_open=True), help="Seconds to record (default: until Ctrl-C)."
)
@click.option(
    "--format", "fmt", type=click.Choice(["csv", "jsonl"]), help="Output format (default: by the file name, else csv)."
)
@click.option("--output", "-o", type=click.Path(dir_okay=False, writable=True), help="File to write (default: stdout).")
@click.option("--list-fields", is_flag=True, help="List the field names and exit.")
def record(
    target: Target,
    fields: tuple[str, ...],
    rate: float,
    duration: float | None,
    fmt: str | None,
    output: str | None,
    list_fields: bool,
) -> None:
    """Poll chosen fields into CSV or JSON lines, timestamped, until --duration ends or Ctrl-C.

    Fields are those of the cnc, axes and compile records (gcode_line, feed_target, override_feed,
    machine_position.x, ...); a list field alone gives one column per axis; state and compile_state
    give names. Rows are flushed as they are written.
    """
    if list_fields:
        # "state" names the machine's state; the compile record's own "state" is compile_state.
        names = ["state", "compile_state"] + [n for cls in _SOURCES.values() for n in field_names(cls)]
        click.echo("\n".join(dict.fromkeys(n for n in names if n != "has_data")))
        return
    columns = resolve(",".join(fields) or DEFAULT_FIELDS)
    if fmt is None:
        fmt = "jsonl" if output and output.endswith((".jsonl", ".json", ".ndjson")) else "csv"
    m = target.connect()
    try:
        out: IO[str] = open(output, "w", encoding="utf-8", newline="") if output else sys.stdout  # noqa: SIM115
    except OSError as exc:
        m.close()
        raise CliError(f"cannot write {output}: {exc.strerror}") from None
    where = output or "stdout"
    try:
        writer = _Writer(out, columns, fmt)
        samples, lost = _sample(m, writer, columns, rate, duration)
    except OSError as exc:  # a full disk, a closed pipe: what was written stays, the rest is lost
        m.close()
        raise CliError(f"cannot write {where}: {exc.strerror or exc}") from None
    finally:
        if output:
            try:
                out.close()
            except OSError:
                pass
    m.close()
    if lost:
        raise CliError(
            f"lost the connection to {target.name} after {samples} samples (saved in {where})", EXIT_UNREACHABLE
        )
    click.echo(f"recorded {samples} samples to {where}", err=True)


def _sample(
    m: Machine, writer: _Writer, columns: list[Column], rate: float, duration: float | None
) -> tuple[int, bool]:
    """Write rows until the duration ends, Ctrl-C or a lost connection; returns (rows, lost)."""
    sources = {c.source for c in columns}
    period = 1.0 / rate
    samples = 0
    lost = False
    with interruptible() as interrupt, m.use() as client:
        queries: dict[str, Callable[[], Any]] = {
            "cnc": client.get_cnc_info,
            "axes": client.get_axes_info,
            "compile": client.get_compile_info,
        }
        start = time.monotonic()
        tick = 0
        while not interrupt:
            stamp = datetime.datetime.now(datetime.UTC)
            elapsed = time.monotonic() - start
            if duration is not None and elapsed >= duration:
                break
            records = {s: queries[s]() for s in sources}
            if all(r.has_data for r in records.values()):
                writer.row(
                    [stamp.isoformat(timespec="milliseconds").replace("+00:00", "Z"), round(elapsed, 3)]
                    + [c.read(records[c.source]) for c in columns]
                )
                samples += 1
            elif not client.is_connected:
                lost = True
                break
            # else a reply that did not decode: that sample is skipped, the rate kept
            tick += 1
            due = start + tick * period
            now = time.monotonic()
            if due < now:  # fell behind: skip the missed ticks
                tick += int((now - due) / period) + 1
                due = start + tick * period
            if duration is not None:
                due = min(due, start + duration)
            if interrupt.sleep(due - now):
                break
    return samples, lost
