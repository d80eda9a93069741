"""What every command of `cnc-api` shares: the connection options, errors and Ctrl-C handling."""

from __future__ import annotations

import functools
import os
import select
import signal
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from types import FrameType
from typing import IO, Any, NoReturn

import click
import cnc_api_client_core as cnc

from .codes import State, code_name, condition
from .explain import explain_refusal
from .link import DEFAULT_PORT, Backoff, parse_endpoint
from .machine import Machine
from .trace import ENV_VAR, trace

EXIT_FAILED = 1  # refused, failed, or the program did not run to its end
EXIT_UNREACHABLE = 3  # the machine cannot be reached or the connection was lost
EXIT_INTERRUPTED = 130  # Ctrl-C


class CliError(click.ClickException):
    """Ends the command with one line on stderr and the given exit status."""

    def __init__(self, message: str, exit_code: int = EXIT_FAILED) -> None:
        super().__init__(message)
        self.exit_code = exit_code  # type: ignore[misc]  # click declares it on the class

    def show(self, file: IO[Any] | None = None) -> None:
        click.echo(f"cnc-api: {self.format_message()}", err=True)


@dataclass
class Target:
    """Where a command connects, and how."""

    host: str
    port: int
    timeout: float
    trace_to: str | None  # "-" for stderr, a path, or None

    @property
    def name(self) -> str:
        return f"{self.host}:{self.port}"

    def prepare(self, client: cnc.CncAPIClientCore) -> None:
        if self.trace_to is not None:
            trace(client, None if self.trace_to == "-" else self.trace_to)

    def machine(self, host: str | None = None, port: int | None = None, backoff: Backoff | None = None) -> Machine:
        return Machine(
            host or self.host,
            self.port if port is None else port,
            connect_timeout=self.timeout,
            backoff=backoff,
            prepare=self.prepare,
        )

    def connect(self) -> Machine:
        """A connected machine handle, or exit with one line saying why not."""
        m = self.machine()
        if not m.connect():
            raise CliError(f"cannot reach {self.name}: {m.status.last_error}", EXIT_UNREACHABLE)
        return m


def lost(name: str) -> NoReturn:
    raise CliError(f"lost the connection to {name}", EXIT_UNREACHABLE)


def target_options(func: Callable[..., Any]) -> Callable[..., Any]:
    """Adds --host, --port, --timeout, --trace and --trace-file; the command receives `target`."""

    @functools.wraps(func)
    def wrapper(
        *args: Any, host: str, port: int, timeout: float, trace: bool, trace_file: str | None, **kwargs: Any
    ) -> Any:
        trace_to = trace_file if trace_file is not None else ("-" if trace else None)
        if trace_to is None and os.environ.get(ENV_VAR, "").strip():
            value = os.environ[ENV_VAR].strip()
            trace_to = "-" if value in ("-", "stderr") else value
        if ":" in host and not host.startswith("["):
            try:
                host, port = parse_endpoint(host, port)
            except ValueError as exc:
                raise click.BadParameter(str(exc), param_hint="--host") from None
        return func(*args, target=Target(host, port, timeout, trace_to), **kwargs)

    options = [
        click.option(
            "--host",
            envvar="CNC_API_HOST",
            default="127.0.0.1",
            show_default=True,
            help="API server address (HOST or HOST:PORT; env CNC_API_HOST).",
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
            type=click.FloatRange(min=0, min_open=True),
            default=5.0,
            show_default=True,
            help="Seconds to wait for the connection.",
        ),
        click.option("--trace", is_flag=True, help="Write every request and reply line to stderr."),
        click.option(
            "--trace-file",
            type=click.Path(dir_okay=False, writable=True),
            help=f"Write the trace to this file instead (env {ENV_VAR}=FILE does the same).",
        ),
    ]
    for option in reversed(options):
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
    raise CliError(explain_refusal(client, method, *args))


def cnc_info(client: cnc.CncAPIClientCore, name: str) -> cnc.APICncInfo:
    info = client.get_cnc_info()
    if not info.has_data:
        if not client.is_connected:
            lost(name)
        raise CliError(f"{name} sent no usable status")
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
