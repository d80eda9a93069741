"""`cnc-api io`: the machine's digital and analog inputs and outputs."""

from __future__ import annotations

from typing import Any

import click
import cnc_api_client_core as cnc

from .clibase import CliError, Target, echo_json, lost, target_options
from .records import analog_text, digital_text
from .safe import printable

__all__ = ["io"]

# (label, JSON key, the client's query)
_PORTS = (
    ("digital inputs", "digital_inputs", "get_digital_inputs"),
    ("digital outputs", "digital_outputs", "get_digital_outputs"),
    ("analog inputs", "analog_inputs", "get_analog_inputs"),
    ("analog outputs", "analog_outputs", "get_analog_outputs"),
)


def _read(client: cnc.CncAPIClientCore, name: str) -> dict[str, list[Any]]:
    values: dict[str, list[Any]] = {}
    for label, key, query in _PORTS:
        record = getattr(client, query)()
        if not record.has_data:
            if not client.is_connected:
                lost(name)
            raise CliError(f"{name} sent no {label}")
        # A reply value is kept as the control sent it: a field that is not a list shows as one value.
        value = record.value
        values[key] = list(value) if isinstance(value, list) else [value]
    return values


@click.command()
@target_options
@click.option("--json", "as_json", is_flag=True, help="Print one JSON object of the four lists instead.")
def io(target: Target, as_json: bool) -> None:
    """The digital inputs and outputs (the number of each and those that are on) and the analog values."""
    m = target.connect()
    with m.use() as client:
        values = _read(client, target.name)
    m.close()
    if as_json:
        echo_json(values)
        return
    for label, key, _ in _PORTS:
        shown = digital_text(values[key]) if key.startswith("digital") else analog_text(values[key], "  ")
        click.echo(f"{label:<16} {printable(shown)}")
