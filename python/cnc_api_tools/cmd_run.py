"""`cnc-api run`: upload or load a program, analyse it, start it and follow it to its end."""

from __future__ import annotations

import sys
import time
from typing import NoReturn

import click
import cnc_api_client_core as cnc
from rich.console import Console
from rich.progress import BarColumn, Progress, ProgressColumn, Task, TextColumn, TimeElapsedColumn
from rich.text import Text

from .clibase import (
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_UNREACHABLE,
    MAX_WAIT,
    CliError,
    Interrupt,
    Seconds,
    Target,
    command,
    interruptible,
    lost,
    target_options,
)
from .codes import FINAL_COMPILE_STATES, UNDER_WAY, AnalysisMode, CompileState, State, code_name, condition
from .explain import explain_refusal
from .program_file import DEFAULT_MAX_SIZE, ByteSize, check_encoding, human_size, read_program
from .safe import printable
from .watchdog import allowing

# A started program that shows no run state within this time has already ended.
START_GRACE = 1.0


def parse_hms(text: object) -> float | None:
    """Seconds of an "HH:MM:SS" (or "MM:SS", "SS", fractions allowed) text; None when it is none."""
    if not isinstance(text, str) or not text.strip():
        return None
    total = 0.0
    try:
        for part in text.strip().split(":"):
            total = total * 60 + float(part)
    except ValueError:
        return None
    return total


def _hms(seconds: float) -> str:
    seconds = max(0, int(seconds + 0.5))
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


class _Interrupted(Exception):
    pass


class _Remaining(ProgressColumn):
    """Time left by the machining estimate, counting only the time the machine ran."""

    def render(self, task: Task) -> Text:
        left = task.fields.get("remaining")
        return Text("remaining " + ("-:--:--" if left is None else _hms(left)), style="progress.remaining")


def _stage(text: str) -> None:
    """One line per stage on stderr, terminal or not: a large program takes seconds to upload and analyse."""
    click.echo(printable(text), err=True)


class _Waiting:
    """A wait shown on stderr: a line per state; in a terminal the line counts the seconds in place."""

    def __init__(self, stage: str) -> None:
        self.stage = stage
        self.started = time.monotonic()
        self.state: str | None = None
        self.tty = sys.stderr.isatty()
        self.open = False  # a terminal line without its line feed yet

    def show(self, state: str) -> None:
        if state != self.state:
            self.end_line()
            self.state = state
            if not self.tty:
                _stage(f"{self.stage}: {state}")
        if self.tty:
            elapsed = time.monotonic() - self.started
            click.echo(f"\r{printable(self.stage)}: {printable(state)} {elapsed:.1f} s", nl=False, err=True)
            self.open = True

    def done(self, final: str) -> None:
        self.end_line()
        if self.state is not None:  # only a wait that was shown gets its end shown
            _stage(f"{self.stage}: {final} after {time.monotonic() - self.started:.1f} s")

    def end_line(self) -> None:
        if self.open:
            click.echo("", err=True)
            self.open = False


def _wait_compiled(
    client: cnc.CncAPIClientCore, name: str, interrupt: Interrupt, timeout: float, stage: str = "compiling"
) -> cnc.APICompileInfo:
    waiting = _Waiting(stage)
    deadline = waiting.started + timeout
    try:
        while True:
            compiled = client.get_compile_info()
            if not compiled.has_data:
                if not client.is_connected:
                    lost(name)
                raise CliError(f"{name} sent no compile information")
            state = code_name(CompileState, compiled.state)
            if compiled.state in FINAL_COMPILE_STATES:
                waiting.done(state)
                return compiled
            waiting.show(state)
            if time.monotonic() > deadline:
                raise CliError(f"no compile result within {timeout:g} s (compile state {state})")
            if interrupt.sleep(0.05):
                raise _Interrupted
    finally:
        waiting.end_line()


def _wait_startable(client: cnc.CncAPIClientCore, interrupt: Interrupt, timeout: float) -> None:
    """An analysis can still be under way once the compile state is final; the enabled commands tell."""
    waiting = _Waiting("analysing")
    deadline = waiting.started + timeout
    try:
        while time.monotonic() < deadline:
            enabled = client.get_enabled_commands()
            if not enabled.has_data or enabled.cnc_start is True:
                waiting.done("done")
                return
            waiting.show("the control is still at it")
            if interrupt.sleep(0.05):
                raise _Interrupted
    finally:
        waiting.end_line()


def _compile_error(compiled: cnc.APICompileInfo, shown: str, uploaded: bool) -> NoReturn:
    where = shown if uploaded else (compiled.file_name or shown)
    code = f" (code {compiled.code})" if compiled.code else ""
    raise CliError(f"{where}:{compiled.file_line}: {compiled.message or 'compile error'}{code}")


def _stop(target: Target, client: cnc.CncAPIClientCore, no_stop: bool) -> NoReturn:
    if no_stop:
        click.echo(f"interrupted: the program keeps running on {target.name}", err=True)
        raise SystemExit(EXIT_INTERRUPTED)
    if client.is_connected and client.cnc_stop():
        click.echo("interrupted: machine stopped", err=True)
        raise SystemExit(EXIT_INTERRUPTED)
    # An interrupted exchange leaves the client dropped: stop through a connection of our own.
    m = target.machine()
    if not m.connect() or m.client is None:
        raise CliError(f"interrupted, but could not stop the machine: cannot reach {target.name}", EXIT_UNREACHABLE)
    stopper = m.client
    if not stopper.cnc_stop():
        reason = explain_refusal(stopper, "cnc_stop")
        m.close()
        raise CliError(f"interrupted, but could not stop the machine: {reason}")
    m.close()
    click.echo("interrupted: machine stopped", err=True)
    raise SystemExit(EXIT_INTERRUPTED)


def _time_left(running: float, line: int, total_lines: int | None, estimate: float | None) -> float | None:
    """Seconds left, from the pace so far: a simulated or overridden machine runs faster or slower
    than the estimate's machine time, so wall time spent is scaled by the share of lines done."""
    if total_lines and 0 < line <= total_lines and running >= 1.0:
        return running * (total_lines - line) / line
    return None if estimate is None else max(0.0, estimate - running)


def _follow(
    client: cnc.CncAPIClientCore,
    name: str,
    interrupt: Interrupt,
    total_lines: int | None,
    estimate: float | None,
    poll: float,
) -> str:
    """Show progress until the program ends; returns the time it took. Raises _Interrupted on Ctrl-C."""
    started = time.monotonic()
    running = 0.0  # seconds spent in the run states, for the time left
    last = started
    seen_run = False
    total = float(total_lines) if total_lines else (estimate or None)
    progress = Progress(
        # What the control reports is shown as it is, never read as markup.
        TextColumn("{task.description:<12}", style="bold", markup=False),
        BarColumn(),
        TextColumn("{task.fields[where]}", markup=False),
        TimeElapsedColumn(),
        _Remaining(),
        console=Console(stderr=False, highlight=False),
        transient=False,
        # Redrawn after each look instead: rich's refresh thread is not joined on
        # stop and may outlive the command at interpreter exit.
        auto_refresh=False,
    )
    with progress:
        task = progress.add_task("starting", total=total, where="", remaining=estimate)
        while True:
            info = client.get_cnc_info()
            now = time.monotonic()
            if interrupt:
                raise _Interrupted
            if not info.has_data:
                if not client.is_connected:
                    raise CliError(f"lost the connection to {name}; the machine may still be running", EXIT_UNREACHABLE)
                raise CliError(f"{name} sent no usable status")
            state = info.state_machine
            line = info.gcode_line if isinstance(info.gcode_line, int) else 0
            if state == State.RUN:
                running += now - last
            last = now
            left = _time_left(running, line, total_lines, estimate)
            where = f"line {line}/{total_lines}" if total_lines else f"line {line}"
            done = line if total_lines else (running if estimate else None)
            progress.update(
                task, description=printable(code_name(State, state)), completed=done, where=where, remaining=left
            )
            progress.refresh()
            if state in UNDER_WAY:
                seen_run = True
            elif condition(state) == "alarm":
                raise CliError(f"the program ended in {code_name(State, state)} at line {line}")
            elif seen_run or now - started > START_GRACE:
                if condition(state) != "idle":
                    raise CliError(f"the program ended in state {code_name(State, state)} at line {line}")
                enabled = client.get_enabled_commands()
                if enabled.has_data and enabled.cnc_resume is True:
                    raise CliError(f"the program was stopped at line {line}")
                if total_lines:
                    progress.update(task, completed=total_lines, where=f"line {line}/{total_lines}", remaining=0.0)
                break
            if interrupt.sleep(poll):
                raise _Interrupted
    return _hms(time.monotonic() - started)


# The slowest link a program is expected to travel over, for the upload's time-out.
UPLOAD_BYTES_PER_SECOND = 128 * 1024


def _upload(client: cnc.CncAPIClientCore, name: str, text: str) -> None:
    length = len(text.encode("utf-8"))
    size = human_size(length)
    _stage(f"uploading {size}")
    started = time.monotonic()
    command(allowing(client, length / UPLOAD_BYTES_PER_SECOND), name, "program_gcode_set_text", text)
    _stage(f"uploaded {size} in {time.monotonic() - started:.1f} s")


@click.command()
@target_options
@click.argument("file", required=False, type=click.Path(dir_okay=False))
@click.option("--load", "load_name", metavar="NAME", help="Run the control's own program file NAME instead of FILE.")
@click.option(
    "--analysis",
    type=click.Choice([m.value for m in AnalysisMode]),
    default=AnalysisMode.MT.value,
    show_default=True,
    help="Analysis mode requested before the start.",
)
@click.option("--no-analysis", is_flag=True, help="Start without asking for an analysis first.")
@click.option(
    "--compile-timeout",
    type=Seconds(0, MAX_WAIT),
    default=60.0,
    show_default=True,
    help="Longest wait for the compile result.",
)
@click.option(
    "--max-size",
    type=ByteSize(),
    default=DEFAULT_MAX_SIZE,
    show_default="32M",
    help="Largest FILE to send (500K, 64M, ...).",
)
@click.option(
    "--encoding",
    callback=check_encoding,
    help="FILE's text encoding (default: UTF-8, else Latin-1 with a note).",
)
@click.option("--no-stop", is_flag=True, help="On Ctrl-C leave the program running on the machine.")
@click.option("--poll", type=Seconds(0.01, 3600), default=0.1, show_default=True, help="Seconds between looks.")
def run(
    target: Target,
    file: str | None,
    load_name: str | None,
    analysis: str,
    no_analysis: bool,
    compile_timeout: float,
    max_size: int,
    encoding: str | None,
    no_stop: bool,
    poll: float,
) -> None:
    """Run a G-code FILE: upload, analyse, wait for the compile result, start, follow to the end.

    Exits 0 when the program ran to its end, 1 when it was refused, did not compile, ended in an
    alarm or was stopped, 3 when the connection was lost, 130 on Ctrl-C (which stops the machine
    unless --no-stop).
    """
    if (file is None) == (load_name is None):
        raise click.UsageError("give either FILE or --load NAME")
    text: str | None = None
    if file is not None:
        text, note = read_program(file, max_size, encoding)
        if note:
            click.echo(f"cnc-api: note: {printable(note)}", err=True)
        if not text.strip():
            raise CliError(f"{file} holds no program")
    shown = file if file is not None else str(load_name)
    m = target.connect()
    with interruptible() as interrupt, m.use() as client:
        try:
            if text is not None:
                _upload(client, target.name, text)
            else:
                command(client, target.name, "program_load", load_name)
            # A control may still be compiling the new program when the upload returns: its
            # result comes first, since a program that does not compile is refused its analysis.
            compiled = _wait_compiled(client, target.name, interrupt, compile_timeout)
            if compiled.state == CompileState.ERROR:
                _compile_error(compiled, shown, text is not None)
            if not no_analysis:
                command(client, target.name, "program_analysis", analysis)
                compiled = _wait_compiled(client, target.name, interrupt, compile_timeout, "analysing")
                if compiled.state == CompileState.ERROR:
                    _compile_error(compiled, shown, text is not None)
            _wait_startable(client, interrupt, compile_timeout)
            machining = client.get_machining_info()
            estimate = parse_hms(machining.estimated_time) if machining.has_data else None
            if interrupt:
                raise _Interrupted
        except _Interrupted:
            click.echo("interrupted: the program was not started", err=True)
            raise SystemExit(EXIT_INTERRUPTED) from None
        command(client, target.name, "cnc_start")
        click.echo(f"started {printable(shown)} on {target.name}", err=True)
        try:
            took = _follow(
                client, target.name, interrupt, len(text.splitlines()) if text else None, estimate or None, poll
            )
        except _Interrupted:
            _stop(target, client, no_stop)
        except CliError as exc:
            if exc.exit_code == EXIT_UNREACHABLE and "may still be running" not in exc.message:
                raise CliError(f"{exc.message}; the machine may still be running", EXIT_UNREACHABLE) from None
            raise
    m.close()
    click.echo(f"program finished in {took}")


__all__ = ["EXIT_FAILED", "parse_hms", "run"]
