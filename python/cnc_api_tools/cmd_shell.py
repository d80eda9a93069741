"""`cnc-api shell`: an interactive session on one machine, calling the client's methods by name."""

from __future__ import annotations

import cmd
import os
import sys
from pathlib import Path
from types import ModuleType
from typing import Any

import click
import cnc_api_client_core as cnc

from .clibase import EXIT_FAILED, CliError, Target, target_options
from .explain import explain_refusal
from .machine import NotConnected
from .records import is_record, summary
from .safe import printable
from .shell_args import CONSTANTS, ArgumentError, parse_arguments
from .stubdoc import Method, load_stubs
from .watchdog import BoundedMachine

__all__ = ["Shell", "history_path", "shell"]

HISTORY_LENGTH = 1000  # lines kept in the history file
# The session manages its connection itself.
_HIDDEN = frozenset({"connect", "close"})
# The constants offered for the argument of these methods; other whole-number arguments are offered all.
_FAMILIES = {"cnc_jog_command": "JC_", "program_analysis": "ANALYSIS_", "cnc_homing": "_AXIS_MASK"}


def history_path() -> Path:
    """$XDG_STATE_HOME/cnc-api/shell_history, or under ~/.local/state where that is unset or relative."""
    state = os.environ.get("XDG_STATE_HOME", "")
    base = Path(state) if os.path.isabs(state) else Path.home() / ".local" / "state"
    return base / "cnc-api" / "shell_history"


def _methods() -> dict[str, Method | None]:
    """Every public method of the client: those the stubs describe, and any they miss."""
    described = load_stubs().methods
    names = [n for n in dir(cnc.CncAPIClientCore) if not n.startswith("_") and n not in _HIDDEN]
    return {n: described.get(n) for n in sorted(names) if callable(getattr(cnc.CncAPIClientCore, n))}


def _is_command(name: str) -> bool:
    return not name.startswith("get_")


def _shown(result: Any) -> str:
    if is_record(result):
        return summary(result)
    if isinstance(result, list) and result and all(is_record(r) for r in result):
        return "\n".join(summary(r) for r in result)
    return repr(result)


class Shell(cmd.Cmd):
    """Lines are `METHOD ARGUMENTS`; the arguments are Python literals or the module's constants."""

    def __init__(self, machine: BoundedMachine, interactive: bool) -> None:
        # Lines from a pipe need no line editing: readline stays out of it.
        super().__init__(completekey="tab" if interactive else "")
        self.machine = machine
        self.interactive = interactive
        self.methods = _methods()
        self.failed = False
        self.jogging = False  # a jog this session started and has not ended
        self.prompt = f"cnc {machine.name}> " if interactive else ""

    # ----- output ---------------------------------------------------------------------------

    def say(self, text: str) -> None:
        # Line by line: documentation keeps its lines, while any control character within one is shown inert.
        click.echo("\n".join(printable(line) for line in text.split("\n")))

    def fail(self, text: str) -> None:
        self.failed = True
        click.echo(f"error: {printable(text)}", err=True)

    # ----- lines ----------------------------------------------------------------------------

    def emptyline(self) -> bool:
        return False  # an empty line does nothing (cmd would repeat the last one)

    def default(self, line: str) -> None:
        name, rest, _ = self.parseline(line)
        if not name or name not in self.methods:
            self.fail(f"unknown method {(name or line)!r}: help lists them")
            return
        try:
            args, kwargs = parse_arguments(rest or "")
        except ArgumentError as exc:
            self.fail(str(exc))
            return
        self.call(name, args, kwargs)

    def call(self, name: str, args: list[Any], kwargs: dict[str, Any]) -> None:
        if not self.machine.connected:  # dropped: wait out the back-off rather than fail the line
            self.machine.wait_connected(self.machine.exchange_timeout)
        try:
            with self.machine.use() as client:
                result = getattr(client, name)(*args, **kwargs)
                refused = explain_refusal(client, name, *args) if result is False and _is_command(name) else None
                lost = not client.is_connected
        except NotConnected as exc:
            self.fail(str(exc))
            return
        except CliError as exc:  # no reply within --timeout: the next line connects anew
            self.fail(exc.message)
            return
        except Exception as exc:  # a wrong argument (TypeError, ...) ends the line, not the session
            self.fail(f"{type(exc).__name__}: {exc}")
            return
        if name == "cnc_jog_command" and result is True:
            self.jogging = (args[0] if args else kwargs.get("command")) != cnc.JC_NONE
        if refused is not None:
            self.fail(f"False: {refused}")
        elif result is not None:
            self.say(_shown(result))
        if lost:
            self.fail(f"lost the connection to {self.machine.name}; the next line connects anew")

    def end_jog(self) -> None:
        """A jog started here must not outlive the session that can end it."""
        if not self.jogging:
            return
        self.jogging = False
        try:
            with self.machine.use() as client:
                ended = client.cnc_jog_command(cnc.JC_NONE)
        except (NotConnected, CliError):
            ended = False
        if ended:
            click.echo("cnc-api: ended the jog started in this session", err=True)
        else:
            self.fail("could not end the jog started in this session")

    def do_quit(self, arg: str) -> bool:
        """Leave the shell (so do exit and Ctrl-D)."""
        return True

    do_exit = do_quit

    def do_EOF(self, arg: str) -> bool:
        if self.interactive:
            click.echo()
        return True

    def do_help(self, arg: str) -> bool | None:
        """help lists the methods; help NAME shows a method's signature and documentation."""
        name = arg.strip()
        if not name:
            self.say("methods (help METHOD tells one; arguments are Python literals or the module's constants):")
            self.columnize(list(self.methods), 100)
            self.say("shell commands: help, quit, exit (Ctrl-D)")
            return None
        method = self.methods.get(name)
        stubs = load_stubs()
        if method is not None:
            self.say(method.signature + "\n\n" + method.doc)
        elif name in self.methods:
            self.say(f"{name}: no documentation (the stubs are not installed)")
        elif name in stubs.docs:
            self.say(f"{name}\n\n{stubs.docs[name]}")
        elif name in ("quit", "exit", "help"):
            self.say(getattr(self, f"do_{name}").__doc__ or "")
        else:
            self.fail(f"no help for {name!r}")
        return None

    # ----- completion -----------------------------------------------------------------------

    def completenames(self, text: str, *ignored: Any) -> list[str]:
        return [n for n in [*self.methods, "help", "quit", "exit"] if n.startswith(text)]

    def complete_help(self, text: str, *ignored: Any) -> list[str]:
        return [n for n in [*self.methods, *load_stubs().docs] if n.startswith(text)]

    def completedefault(self, text: str, line: str, begidx: int, endidx: int) -> list[str]:
        """The constants that fit the parameter being typed (JC_* for a jog, ANALYSIS_* for a mode)."""
        name = line.split("(", 1)[0].split(None, 1)[0] if line.strip() else ""
        method = self.methods.get(name)
        position = line[:begidx].count(",")
        family = _FAMILIES.get(name, "")
        if not family and method is not None and position < len(method.params):
            if "int" not in method.params[position][1]:
                return []  # text, lists: no constant fits
        matches = [c for c in CONSTANTS if c.startswith(text) and family in c]
        return sorted(matches)


def _readline() -> ModuleType | None:
    try:
        import readline
    except ImportError:  # a Python built without it: no history or completion, the rest works
        return None
    return readline


def _load_history(readline: ModuleType, path: Path) -> None:
    readline.set_history_length(HISTORY_LENGTH)
    try:
        readline.read_history_file(str(path))
    except (OSError, ValueError):
        pass  # no history yet, or unreadable: start afresh


def _save_history(readline: ModuleType, path: Path) -> None:
    try:
        path.parent.mkdir(parents=True, exist_ok=True, mode=0o700)
        readline.write_history_file(str(path))
    except OSError as exc:
        click.echo(f"cnc-api: note: history not saved to {printable(path)}: {exc.strerror or exc}", err=True)


@click.command()
@target_options
def shell(target: Target) -> None:
    """An interactive session on one machine: call the client's methods by name.

    A line is a method and its arguments as Python literals (or the module's constants):
    get_cnc_info, cnc_mdi_command 'G0 X10', get_cnc_parameters 100, 3. Tab completes method
    names and constants; help METHOD shows its documentation. Lines can also come from a
    pipe; then the shell exits 1 when any of them failed.
    """
    interactive = sys.stdin.isatty()
    m = target.connect()
    session = Shell(m, interactive)
    readline = _readline() if interactive else None
    path = history_path()
    if readline is not None:
        _load_history(readline, path)
        session.intro = f"connected to {target.name}; help lists the methods, quit or Ctrl-D leaves"
    try:
        while True:
            try:
                session.cmdloop()
                break
            except KeyboardInterrupt:  # Ctrl-C drops the line being typed, not the session
                click.echo("^C")
                session.intro = None
    finally:
        session.end_jog()
        if readline is not None:
            _save_history(readline, path)
        m.close()
    if session.failed and not interactive:
        raise SystemExit(EXIT_FAILED)
