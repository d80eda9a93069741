"""`cnc-api geometry`: the virtual machine's geometry elements."""

from __future__ import annotations

import click
import cnc_api_client_core as cnc
from rich.console import Console
from rich.table import Table

from .clibase import CliError, Target, echo_json, no_data, target_options
from .records import as_dict, field_names
from .safe import literal, printable

# The API reads elements by name and has no listing: `list` asks for the names models usually have.
USUAL_NAMES = (
    "base",
    "table",
    "bridge",
    "gantry",
    "carriage",
    "column",
    "saddle",
    "head",
    "spindle",
    "tool",
    "x",
    "y",
    "z",
    "a",
    "b",
    "c",
    "rotary",
    "chuck",
    "tailstock",
    "workpiece",
)


def _read(client: cnc.CncAPIClientCore, name: str, names: list[str]) -> list[cnc.APIVMGeometryInfo]:
    records = client.get_vm_geometry_info(names)
    if records is None:
        no_data(client, name, f"returned no geometry for {', '.join(names)}")
    return records


def _present(records: list[cnc.APIVMGeometryInfo]) -> list[cnc.APIVMGeometryInfo]:
    # A control answers a name it does not have with an element of an empty name.
    return [r for r in records if r.has_data and r.name]


def _show(records: list[cnc.APIVMGeometryInfo], as_json: bool) -> None:
    rows = [as_dict(r) for r in records]
    if as_json:
        echo_json(rows)
        return
    table = Table(box=None, header_style="bold")
    fields = [f for f in field_names(records[0]) if f != "has_data"] if records else []
    for f in fields:
        table.add_column(f)
    for row in rows:
        table.add_row(*(literal(row[f]) for f in fields))
    Console(highlight=False).print(table)


@click.group()
def geometry() -> None:
    """Read the virtual machine's geometry elements."""


@geometry.command("get")
@target_options
@click.argument("names", nargs=-1, required=True)
@click.option("--json", "as_json", is_flag=True, help="Print a JSON list.")
def geometry_get(target: Target, names: tuple[str, ...], as_json: bool) -> None:
    """Read the geometry elements NAMES; exits 1 naming those the machine does not have."""
    for name in names:
        if not name:
            raise click.BadParameter("an element name cannot be empty", param_hint="NAMES")
    m = target.connect()
    with m.use() as client:
        records = _read(client, target.name, list(names))
        missing = [n for n, r in zip(names, records, strict=False) if not (r.has_data and r.name)]
        found = _present(_read(client, target.name, list(USUAL_NAMES))) if missing else []
    m.close()
    if missing:
        have = ", ".join(printable(r.name) for r in found) or "none of the usual names"
        noun = "element" if len(missing) == 1 else "elements"
        raise CliError(f"{target.name} has no geometry {noun} {', '.join(map(repr, missing))} (it has: {have})")
    _show(records, as_json)


@geometry.command("list")
@target_options
@click.option("--json", "as_json", is_flag=True, help="Print a JSON list.")
def geometry_list(target: Target, as_json: bool) -> None:
    """The geometry elements the machine has among the usual names (the API has no listing)."""
    m = target.connect()
    with m.use() as client:
        records = _present(_read(client, target.name, list(USUAL_NAMES)))
    m.close()
    _show(records, as_json)
