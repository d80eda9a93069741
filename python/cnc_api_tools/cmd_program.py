"""`cnc-api program` (the control's program: new, load, save, analysis) and `cnc-api start`."""

from __future__ import annotations

import click

from .clibase import EXIT_INTERRUPTED, MAX_WAIT, Seconds, Target, command, interruptible, target_options
from .cmd_run import _compile_error, _Interrupted, _wait_compiled
from .codes import AnalysisMode, CompileState
from .records import summary
from .safe import printable

__all__ = ["program", "start"]


def _file_name(name: str) -> str:
    if not name.strip():
        raise click.BadParameter("a file name cannot be empty", param_hint="NAME")
    return name


def _simple(target: Target, method: str, *args: object) -> None:
    m = target.connect()
    with m.use() as client:
        command(client, target.name, method, *args)
    m.close()


@click.group()
def program() -> None:
    """The control's loaded program: start a new one, load or save a file on the control's side, analyse it."""


@program.command("new")
@target_options
def program_new(target: Target) -> None:
    """Start a new, empty program."""
    _simple(target, "program_new")
    click.echo("new program")


@program.command("load")
@target_options
@click.argument("name")
def program_load(target: Target, name: str) -> None:
    """Load the program file NAME, a path as the control sees it."""
    _simple(target, "program_load", _file_name(name))
    click.echo(f"loaded {printable(name)}")


@program.command("save")
@target_options
@click.argument("name")
def program_save(target: Target, name: str) -> None:
    """Save the loaded program as the file NAME, a path as the control sees it."""
    _simple(target, "program_save", _file_name(name))
    click.echo(f"saved {printable(name)}")


@program.command("analysis")
@target_options
@click.option(
    "--mode",
    type=click.Choice([m.value for m in AnalysisMode]),
    default=AnalysisMode.MT.value,
    show_default=True,
    help="Analysis mode.",
)
@click.option("--wait/--no-wait", default=True, show_default=True, help="Wait for the result and show it.")
@click.option(
    "--wait-timeout", type=Seconds(0, MAX_WAIT), default=60.0, show_default=True, help="Longest wait, in seconds."
)
@click.option("--abort", is_flag=True, help="Abort the analysis under way instead.")
def program_analysis(target: Target, mode: str, wait: bool, wait_timeout: float, abort: bool) -> None:
    """Analyse the loaded program and show the compile result and the machining estimate.

    Exits 1 when the program does not compile (naming the file and line). Ctrl-C stops the wait;
    the analysis goes on.
    """
    if abort:
        _simple(target, "program_analysis_abort")
        click.echo("analysis aborted")
        return
    m = target.connect()
    with interruptible() as interrupt, m.use() as client:
        command(client, target.name, "program_analysis", mode)
        if wait:
            try:
                compiled = _wait_compiled(client, target.name, interrupt, wait_timeout, "analysing")
            except _Interrupted:
                click.echo("interrupted: the analysis goes on", err=True)
                raise SystemExit(EXIT_INTERRUPTED) from None
            if compiled.state == CompileState.ERROR:
                _compile_error(compiled, "<program>", False)
            machining = client.get_machining_info()
    m.close()
    if not wait:
        click.echo("analysis started")
        return
    click.echo(printable(summary(compiled)))
    click.echo(printable(summary(machining)))


@click.command()
@target_options
@click.option("--from-line", "line", type=click.IntRange(min=1), help="Start from this program line.")
def start(target: Target, line: int | None) -> None:
    """Start the loaded program (without following it: `run` does that)."""
    if line is None:
        _simple(target, "cnc_start")
        click.echo("started")
    else:
        _simple(target, "cnc_start_from_line", line)
        click.echo(f"started from line {line}")
