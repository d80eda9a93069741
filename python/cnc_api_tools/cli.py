"""The `cnc-api` command line."""

from __future__ import annotations

import importlib
import importlib.metadata

import click

from .dashboard.command import dashboard


def _version() -> str:
    try:
        return importlib.metadata.version("cnc_api_client_core")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(_version(), "--version", prog_name="cnc-api", message="%(prog)s %(version)s")
def cli() -> None:
    """Look at, drive and monitor CNC machines through their API servers."""


@cli.command(
    context_settings={"ignore_unknown_options": True, "allow_extra_args": True, "help_option_names": []},
    add_help_option=False,
)
@click.argument("args", nargs=-1, type=click.UNPROCESSED)
def sim(args: tuple[str, ...]) -> None:
    """Start the bundled simulator (the options of python -m cnc_api_simulator; --help lists them)."""
    # Imported by name: the simulator's own parser owns its options, which keep growing.
    simulator = importlib.import_module("cnc_api_simulator.__main__")
    raise SystemExit(simulator.main(list(args)))


cli.add_command(dashboard)


def main(argv: list[str] | None = None) -> int:
    """Console-script entry point; returns the exit status."""
    try:
        cli.main(args=argv, prog_name="cnc-api", standalone_mode=True)
    except SystemExit as exc:
        code = exc.code
        return code if isinstance(code, int) else (0 if code is None else 1)
    return 0
