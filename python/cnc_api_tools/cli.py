"""The `cnc-api` command line."""

from __future__ import annotations

import contextlib
import importlib
import math
import os
import sys
from typing import Any

import click
from rich.console import Console
from rich.table import Table

from .clibase import (
    EXIT_FAILED,
    MAX_WAIT,
    Seconds,
    Target,
    cnc_info,
    command,
    connection_options,
    echo_json,
    interruptible,
    lost,
    no_data,
    target_options,
    wait_until_settled,
)
from .codes import State, axes_from_letters, axis_letters
from .safe import literal, printable
from .views import OVERRIDES, status_dict, status_table


@click.group(context_settings={"help_option_names": ["-h", "--help"], "max_content_width": 100})
@click.version_option(package_name="cnc_api_client_core", prog_name="cnc-api", message="%(prog)s %(version)s")
@connection_options
def cli(**connection: Any) -> None:
    """Look at, drive and monitor CNC machines through the API server of their control software.

    Every command connecting to a machine takes --host, --port, --timeout, --trace and --trace-file,
    before or after the command's name.
    Exit status: 0 done, 1 refused or failed, 2 wrong usage, 3 machine not reachable or connection
    lost, 130 interrupted.
    """


# ----- looking -------------------------------------------------------------------------------


@cli.command()
@target_options
@click.option("--json", "as_json", is_flag=True, help="Print one JSON object instead.")
def status(target: Target, as_json: bool) -> None:
    """One look at a machine: state, line, positions, feed, spindle, overrides, compile state."""
    m = target.connect()
    with m.use() as client:
        info = cnc_info(client, target.name)
        axes = client.get_axes_info()
        compiled = client.get_compile_info()
        if not client.is_connected:
            lost(target.name)
    m.close()
    data = status_dict(target.name, info, axes if axes.has_data else None, compiled if compiled.has_data else None)
    if as_json:
        echo_json(data)
    else:
        Console(highlight=False).print(status_table(data))


# ----- driving -------------------------------------------------------------------------------


def _simple(method: str, done: str) -> Any:
    def run(target: Target) -> None:
        m = target.connect()
        with m.use() as client:
            command(client, target.name, method)
        m.close()
        click.echo(done)

    return run


@cli.command()
@target_options
def stop(target: Target) -> None:
    """Stop the machine."""
    _simple("cnc_stop", "stopped")(target)


@cli.command()
@target_options
def pause(target: Target) -> None:
    """Pause the running program."""
    _simple("cnc_pause", "paused")(target)


@cli.command()
@target_options
@click.option("--line", type=click.IntRange(min=1), help="Resume from this program line.")
@click.option("--from-line", type=click.IntRange(min=1), help="Resume from this line by the control's own command.")
def resume(target: Target, line: int | None, from_line: int | None) -> None:
    """Resume a paused program (continue) or a stopped one (resume)."""
    if line is not None and from_line is not None:
        raise click.UsageError("give either --line or --from-line")
    m = target.connect()
    with m.use() as client:
        if from_line is not None:
            command(client, target.name, "cnc_resume_from_line", from_line)
        elif line is None and cnc_info(client, target.name).state_machine == State.PAUSE:
            command(client, target.name, "cnc_continue")
        else:
            command(client, target.name, "cnc_resume", line or 0)
    m.close()
    click.echo("resumed")


@cli.command()
@target_options
@click.argument("codes", nargs=-1, required=True)
@click.option("--wait/--no-wait", default=True, show_default=True, help="Wait for the motion of the last line.")
@click.option(
    "--wait-timeout", type=Seconds(0, MAX_WAIT), default=600.0, show_default=True, help="Longest wait, in seconds."
)
def mdi(target: Target, codes: tuple[str, ...], wait: bool, wait_timeout: float) -> None:
    """Execute G-code lines by manual data input, one argument a line, in order."""
    for code in codes:
        if not code.strip():
            raise click.BadParameter("an empty line executes nothing", param_hint="CODES")
    m = target.connect()
    with interruptible() as interrupt, m.use() as client:
        for n, code in enumerate(codes, 1):
            command(client, target.name, "cnc_mdi_command", code)
            if wait or n < len(codes):
                wait_until_settled(client, target.name, interrupt, wait_timeout)
    m.close()
    click.echo("done" if wait else "sent")


@cli.command()
@target_options
@click.argument("axes", required=False)
@click.option("--wait/--no-wait", default=True, show_default=True, help="Wait until homing has ended.")
@click.option(
    "--wait-timeout", type=Seconds(0, MAX_WAIT), default=600.0, show_default=True, help="Longest wait, in seconds."
)
def home(target: Target, axes: str | None, wait: bool, wait_timeout: float) -> None:
    """Home AXES (letters such as XYZ; default: every axis the machine has)."""
    try:
        mask = int(axes_from_letters(axes)) if axes is not None else None
    except ValueError as exc:
        raise click.BadParameter(str(exc), param_hint="AXES") from None
    if mask == 0:
        raise click.BadParameter("no axis given", param_hint="AXES")
    m = target.connect()
    with interruptible() as interrupt, m.use() as client:
        if mask is None:
            reported = cnc_info(client, target.name).axes_mask
            mask = reported if isinstance(reported, int) and reported > 0 else 0b111
        command(client, target.name, "cnc_homing", mask)
        if wait:
            wait_until_settled(client, target.name, interrupt, wait_timeout)
    m.close()
    click.echo(f"homed {axis_letters(mask)}" if wait else f"homing {axis_letters(mask)}")


@cli.command()
@target_options
@click.argument("name", required=False, type=click.Choice(list(OVERRIDES)))
@click.argument("value", required=False, type=int)
def override(target: Target, name: str | None, value: int | None) -> None:
    """Show the overrides, or set override NAME to VALUE percent (override feed 80)."""
    m = target.connect()
    with m.use() as client:
        if name is not None and value is not None:
            command(client, target.name, "set_override_" + name.replace("-", "_"), value)
        info = cnc_info(client, target.name)
    m.close()
    names = [name] if name else list(OVERRIDES)
    table = Table(box=None, show_header=True, header_style="bold")
    for col in ("override", "value", "range", "state"):
        table.add_column(col)
    for key in names:
        field = OVERRIDES[key]
        low, high = getattr(info, f"{field}_min"), getattr(info, f"{field}_max")
        flags = [
            w
            for w, on in (
                ("locked", getattr(info, f"{field}_locked")),
                ("disabled", not getattr(info, f"{field}_enabled")),
            )
            if on
        ]
        table.add_row(key, literal(f"{getattr(info, field)}%"), literal(f"{low}..{high}"), ", ".join(flags))
    Console(highlight=False).print(table)
    if name is not None and value is not None and getattr(info, OVERRIDES[name]) != value:
        click.echo(
            f"cnc-api: note: the control holds {name} at {printable(getattr(info, OVERRIDES[name]))}%, not {value}%",
            err=True,
        )


# ----- data sets -----------------------------------------------------------------------------


@cli.group()
def param() -> None:
    """Read or write CNC parameters."""


def _number(text: str) -> int | float:
    try:
        return int(text)
    except ValueError:
        try:
            value = float(text)
        except ValueError:
            raise click.BadParameter(f"{text!r} is not a number", param_hint="VALUE") from None
    if not math.isfinite(value):  # nan and inf have no form on the wire, 1e400 is inf
        raise click.BadParameter(f"{text!r} is not a finite number", param_hint="VALUE")
    return value


@param.command("get")
@target_options
@click.argument("address", type=click.IntRange(min=0))
@click.argument("count", type=click.IntRange(min=1), default=1)
@click.option("--json", "as_json", is_flag=True, help="Print a JSON object {address: value}.")
def param_get(target: Target, address: int, count: int, as_json: bool) -> None:
    """Read COUNT parameters from ADDRESS on."""
    m = target.connect()
    with m.use() as client:
        record = client.get_cnc_parameters(address, count)
        if not record.has_data:
            no_data(client, target.name, f"returned no parameters at {address}")
    m.close()
    values = dict(zip(range(address, address + len(record.parameters)), record.parameters, strict=False))
    if as_json:
        echo_json({str(k): v for k, v in values.items()})
    else:
        for k, v in values.items():
            click.echo(f"{k}\t{printable(v)}")


@param.command("set", context_settings={"ignore_unknown_options": True})
@target_options
@click.argument("address", type=click.IntRange(min=0))
@click.argument("values", nargs=-1, required=True)
def param_set(target: Target, address: int, values: tuple[str, ...]) -> None:
    """Write VALUES to the parameters from ADDRESS on."""
    numbers = [_number(v) for v in values]
    m = target.connect()
    with m.use() as client:
        command(client, target.name, "set_cnc_parameters", address, numbers)
    m.close()
    click.echo(f"set {len(numbers)} parameter(s) from {address}")


# ----- the simulator -------------------------------------------------------------------------


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


def _register() -> None:
    from . import (
        cmd_export,
        cmd_geometry,
        cmd_io,
        cmd_jog,
        cmd_program,
        cmd_raw,
        cmd_record,
        cmd_run,
        cmd_shell,
        cmd_watch,
    )
    from .dashboard.command import dashboard
    from .mqtt.command import mqtt
    from .opcua.command import opcua

    cli.add_command(cmd_run.run)
    cli.add_command(cmd_watch.watch)
    cli.add_command(cmd_record.record)
    cli.add_command(cmd_export.export)
    cli.add_command(cmd_geometry.geometry)
    cli.add_command(cmd_raw.raw)
    cli.add_command(cmd_io.io)
    cli.add_command(cmd_jog.jog)
    cli.add_command(cmd_program.program)
    cli.add_command(cmd_program.start)
    cli.add_command(cmd_shell.shell)
    cli.add_command(dashboard)
    cli.add_command(mqtt)
    cli.add_command(opcua)


_register()


# Raised for a group given no command (newer click); older click prints the help itself.
_HELP_ERRORS: tuple[type[Exception], ...] = tuple(
    t for t in (getattr(click.exceptions, "NoArgsIsHelpError", None),) if isinstance(t, type)
)


def usage_line(exc: click.UsageError) -> str:
    """Wrong usage in one line, naming the help that explains it."""
    message = printable(" ".join(exc.format_message().split())).rstrip(".")
    where = exc.ctx.command_path if exc.ctx is not None else "cnc-api"
    return f"cnc-api: error: {message} (see {where} --help)"


def main(argv: list[str] | None = None) -> int:
    """Console-script entry point; returns the exit status."""
    try:
        code = cli.main(args=argv, prog_name="cnc-api", standalone_mode=False)
    except click.UsageError as exc:
        if isinstance(exc, _HELP_ERRORS):  # a group named alone: its help is the answer
            exc.show()
        else:
            click.echo(usage_line(exc), err=True)
        return exc.exit_code
    except click.ClickException as exc:
        exc.show()
        return exc.exit_code
    except click.Abort:
        click.echo("Aborted!", err=True)
        return EXIT_FAILED
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else (0 if exc.code is None else EXIT_FAILED)
    except BrokenPipeError:
        # The reader went away (| head): nothing more can be shown, and nothing to report.
        with contextlib.suppress(OSError, ValueError, AttributeError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    return code if isinstance(code, int) else 0
