"""What every command of `cnc-api` shares: the connection options, errors and Ctrl-C handling."""

from __future__ import annotations

import functools
import math
import os
import select
import signal
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from types import FrameType
from typing import Any, NoReturn

import click
import cnc_api_client_core as cnc
from click.core import ParameterSource

from .codes import State, code_name, condition
from .errors import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_UNREACHABLE, CliError
from .explain import explain_refusal
from .link import DEFAULT_PORT, Backoff, parse_endpoint
from .trace import ENV_VAR, trace
from .watchdog import BoundedMachine, peek_reply

__all__ = [
    "EXIT_FAILED",
    "EXIT_INTERRUPTED",
    "EXIT_UNREACHABLE",
    "MAX_WAIT",
    "CliError",
    "Seconds",
    "Target",
    "cnc_info",
    "command",
    "connection_options",
    "echo_json",
    "interruptible",
    "lost",
    "target_options",
    "wait_until_settled",
]


class Seconds(click.FloatRange):
    """A finite number of seconds (or a rate): nan and inf would make a wait that never ends or breaks."""

    name = "seconds"

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> Any:
        number = super().convert(value, param, ctx)
        if not math.isfinite(number):
            self.fail(f"{value!r} is not a finite number", param, ctx)
        return number


# Longest wait any option asks for: larger values overflow the system's time-outs.
MAX_WAIT = 1e6


@dataclass
class Target:
    """Where a command connects, and how."""

    host: str
    port: int
    timeout: float
    trace_to: str | None  # "-" for stderr, a path, or None

    @property
    def name(self) -> str:
        return f"[{self.host}]:{self.port}" if ":" in self.host else f"{self.host}:{self.port}"

    def prepare(self, client: cnc.CncAPIClientCore) -> None:
        if self.trace_to is not None:
            trace(client, None if self.trace_to == "-" else self.trace_to)

    def machine(
        self, host: str | None = None, port: int | None = None, backoff: Backoff | None = None
    ) -> BoundedMachine:
        host = host or self.host
        port = self.port if port is None else port
        return BoundedMachine(
            host,
            port,
            connect_timeout=self.timeout,
            backoff=backoff,
            prepare=self.prepare,
            name=Target(host, port, self.timeout, None).name,
            exchange_timeout=self.timeout,
        )

    def connect(self) -> BoundedMachine:
        """A connected machine handle, or exit with one line saying why not."""
        m = self.machine()
        if not m.connect():
            raise CliError(f"cannot reach {self.name}: {m.status.last_error}", EXIT_UNREACHABLE)
        return m


def _diagnosis(name: str) -> str:
    """What the server at `name` answers instead of this API, as ": ..." (empty when nothing to tell)."""
    try:
        host, port = parse_endpoint(name)
    except ValueError:
        return ""
    ctx = click.get_current_context(silent=True)
    seconds = ctx.meta.get(_TIMEOUT_KEY, 5.0) if ctx is not None else 5.0
    said = peek_reply(host, port, seconds)
    return f": {said}" if said else ""


def lost(name: str) -> NoReturn:
    raise CliError(f"lost the connection to {name}{_diagnosis(name)}", EXIT_UNREACHABLE)


_TARGET_KEYS = ("host", "port", "timeout", "trace", "trace_file")
_TIMEOUT_KEY = "cnc_api.timeout"


def _connection_option_list() -> list[Callable[[Callable[..., Any]], Callable[..., Any]]]:
    return [
        click.option(
            "--host",
            envvar="CNC_API_HOST",
            default="127.0.0.1",
            show_default=True,
            help="API server address (HOST, HOST:PORT or [V6]:PORT; env CNC_API_HOST).",
        ),
        click.option(
            "--port",
            envvar="CNC_API_PORT",
            type=click.IntRange(1, 65535),
            default=DEFAULT_PORT,
            show_default=True,
            help="API server port (env CNC_API_PORT).",
        ),
        click.option(
            "--timeout",
            type=Seconds(min=0, max=86400, min_open=True),
            default=5.0,
            show_default=True,
            help="Seconds to wait for the connection and for each reply.",
        ),
        click.option("--trace", is_flag=True, help="Write every request and reply line to stderr."),
        click.option(
            "--trace-file",
            type=click.Path(dir_okay=False),
            help=f"Write the trace to this file instead (env {ENV_VAR}=FILE does the same).",
        ),
    ]


def connection_options(func: Callable[..., Any]) -> Callable[..., Any]:
    """The connection and trace options on the group, so they may come before the command."""
    for option in reversed(_connection_option_list()):
        func = option(func)
    return func


def _given(ctx: click.Context, values: dict[str, Any]) -> dict[str, Any]:
    """The command's own values, with those it left at their defaults taken from the group's command line."""
    merged = dict(values)
    root = ctx.find_root()
    if root is ctx:
        return merged
    for key in _TARGET_KEYS:
        if ctx.get_parameter_source(key) is ParameterSource.COMMANDLINE:
            continue
        if root.get_parameter_source(key) is ParameterSource.COMMANDLINE:
            merged[key] = root.params[key]
    return merged


def _trace_to(trace_flag: bool, trace_file: str | None) -> str | None:
    trace_to = trace_file if trace_file is not None else ("-" if trace_flag else None)
    if trace_to is None and os.environ.get(ENV_VAR, "").strip():
        value = os.environ[ENV_VAR].strip()
        trace_to = "-" if value in ("-", "stderr") else value
    if trace_to not in (None, "-"):
        try:  # fail here as wrong usage, not in the middle of the first exchange
            with open(trace_to, "a", encoding="ascii"):
                pass
        except OSError as exc:
            hint = "--trace-file" if trace_file is not None else ENV_VAR
            raise click.BadParameter(f"cannot write {trace_to}: {exc.strerror or exc}", param_hint=hint) from None
    return trace_to


def target_options(func: Callable[..., Any]) -> Callable[..., Any]:
    """Adds --host, --port, --timeout, --trace and --trace-file; the command receives `target`.

    The same options given before the command (on the group) count where the command's are not given.
    """

    @functools.wraps(func)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        ctx = click.get_current_context()
        given = _given(ctx, {key: kwargs.pop(key) for key in _TARGET_KEYS})
        host, port, timeout = given["host"], given["port"], given["timeout"]
        trace_to = _trace_to(given["trace"], given["trace_file"])
        try:
            host, port = parse_endpoint(host, port)
        except ValueError as exc:
            raise click.BadParameter(str(exc), param_hint="--host") from None
        ctx.meta[_TIMEOUT_KEY] = timeout
        return func(*args, target=Target(host, port, timeout, trace_to), **kwargs)

    for option in reversed(_connection_option_list()):
        wrapper = option(wrapper)
    return wrapper


class Interrupt:
    """Ctrl-C as a request: the first one sets the request (the command winds down in its own way,
    with the client in step); a second one raises KeyboardInterrupt.

    The handler takes no lock: it runs in the main thread between any two bytecodes, also while
    that thread holds the lock of an Event or Condition, so setting one from it can deadlock.
    It sets a flag and writes a byte to a pipe that sleepers wait on.
    """

    def __init__(self) -> None:
        self._requested = False
        self._wake_read, self._wake_write = os.pipe()
        os.set_blocking(self._wake_write, False)

    def _handler(self, signum: int, frame: FrameType | None) -> None:
        if self._requested:
            raise KeyboardInterrupt
        self._requested = True
        try:
            os.write(self._wake_write, b"!")
        except OSError:  # closed, or full of earlier wake-ups: the flag says it all
            pass

    def sleep(self, seconds: float) -> bool:
        """Sleep; True when interrupted meanwhile."""
        if not self._requested:
            select.select([self._wake_read], [], [], max(0.0, seconds))
        return self._requested

    def close(self) -> None:
        for fd in (self._wake_read, self._wake_write):
            try:
                os.close(fd)
            except OSError:
                pass

    def __bool__(self) -> bool:
        return self._requested


@contextmanager
def interruptible() -> Iterator[Interrupt]:
    interrupt = Interrupt()
    previous = signal.signal(signal.SIGINT, interrupt._handler)
    previous_term = signal.signal(signal.SIGTERM, interrupt._handler)
    try:
        yield interrupt
    finally:
        signal.signal(signal.SIGINT, previous)
        signal.signal(signal.SIGTERM, previous_term)
        interrupt.close()


def command(client: cnc.CncAPIClientCore, name: str, method: str, *args: Any) -> None:
    """Call a command method; on False exit with the control's reason."""
    if getattr(client, method)(*args) is True:
        return
    if not client.is_connected:
        lost(name)
    reason = explain_refusal(client, method, *args)
    if not client.is_connected:  # the queries that look for the reason found the connection gone
        lost(name)
    raise CliError(reason)


def no_data(client: cnc.CncAPIClientCore, name: str, what: str) -> NoReturn:
    """A query came back empty: the connection went, the server speaks something else, or the
    control has nothing to give (`what` says which, as "returned no ...")."""
    if not client.is_connected:
        lost(name)
    said = _diagnosis(name)
    # A server that speaks something else is as good as no machine there.
    raise CliError(f"{name} {what}{said}", EXIT_UNREACHABLE if said else EXIT_FAILED)


def cnc_info(client: cnc.CncAPIClientCore, name: str) -> cnc.APICncInfo:
    info = client.get_cnc_info()
    if not info.has_data:
        no_data(client, name, "sent no usable status")
    return info


def wait_until_settled(
    client: cnc.CncAPIClientCore, name: str, interrupt: Interrupt, timeout: float, grace: float = 0.5
) -> cnc.APICncInfo:
    """After a command that may move the machine: wait until it has moved and stopped again.

    A machine that shows no motion within `grace` seconds is taken to be done.
    Ends in an error on an alarm, a lost connection or the time-out.
    """
    started = time.monotonic()
    moved = False
    while True:
        info = cnc_info(client, name)
        word = condition(info.state_machine)
        if word == "alarm":
            raise CliError(f"{name} went into {code_name(State, info.state_machine)}")
        if word in ("run", "pause"):
            moved = True
        elif moved or time.monotonic() - started > grace:
            return info
        if time.monotonic() - started > timeout:
            raise CliError(f"{name} still {code_name(State, info.state_machine)} after {timeout:g} s")
        if interrupt.sleep(0.05):
            client.cnc_stop()
            click.echo("interrupted: machine stopped", err=True)
            raise SystemExit(EXIT_INTERRUPTED)


def echo_json(data: Any) -> None:
    import json

    sys.stdout.write(json.dumps(data, indent=2, default=str) + "\n")
