"""`cnc-api dashboard`: the command. The web libraries are imported only when it runs,
so the rest of the command line works without the dashboard extra."""

from __future__ import annotations

import importlib
import logging
import math
import socket
import sys
from typing import NoReturn

import click

from ..fleetopt import fleet_option, gather
from ..link import DEFAULT_PORT, parse_endpoint

__all__ = ["dashboard", "parse_machine"]

EXTRA_HINT = "pip install 'cnc_api_client_core[dashboard]'"
EXTRA_MODULES = ("starlette", "uvicorn", "jinja2")


def parse_machine(text: str, default_port: int = DEFAULT_PORT) -> tuple[str, str, int]:
    """``[NAME=]HOST[:PORT]`` as (name, host, port); the name defaults to HOST:PORT."""
    name, sep, address = text.partition("=")
    if not sep:
        name, address = "", text
    host, port = parse_endpoint(address, default_port)
    shown = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    return (name.strip() or shown), host, port


def _missing(exc: ImportError) -> str:
    """The library the extra would bring that cannot be imported (an ImportError may not name it)."""
    for name in EXTRA_MODULES:
        try:
            importlib.import_module(name)
        except ImportError:
            return name
    return exc.name or str(exc)


def _interval(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not (math.isfinite(seconds) and seconds >= 0.05):  # nan fails every comparison
        _fail(f"--interval must be a number of seconds, 0.05 or more, not {text!r}", 2)
    return seconds


def _fail(message: str, status: int) -> NoReturn:
    click.echo(f"cnc-api dashboard: {message}", err=True)
    raise SystemExit(status)


@click.command(context_settings={"help_option_names": ["-h", "--help"]})
@click.argument("machines", nargs=-1, metavar="[[NAME=]HOST[:PORT]]...")
@click.option(
    "--listen",
    default="127.0.0.1:8050",
    show_default=True,
    metavar="ADDR:PORT",
    help="Address and port of the web page (port 0 picks a free one).",
)
@click.option(
    "--host",
    "hosts",
    multiple=True,
    envvar="CNC_API_HOST",
    metavar="HOST[:PORT]",
    help="A machine (same as an argument; env CNC_API_HOST). Default: 127.0.0.1.",
)
@click.option(
    "--port",
    envvar="CNC_API_PORT",
    type=click.IntRange(1, 65535),
    default=DEFAULT_PORT,
    show_default=True,
    help="API port of machines given without one (env CNC_API_PORT).",
)
@click.option(
    "--timeout",
    type=click.FloatRange(min=0.1),
    default=3.0,
    show_default=True,
    help="Seconds to wait for a machine to accept a connection.",
)
@click.option(
    "--interval",
    default="0.5",
    show_default=True,
    metavar="SECONDS",
    help="Seconds between polls of each machine, 0.05 or more (the pages update at this rate).",
)
@click.option(
    "--programs",
    multiple=True,
    type=click.Path(exists=True, file_okay=False),
    metavar="DIR",
    help="Folder of the controls' program files, for the G-code view (repeatable).",
)
@click.option(
    "--allow-control",
    is_flag=True,
    help="Offer start, pause, continue and stop (loopback only unless --token is given).",
)
@click.option(
    "--token",
    envvar="CNC_API_DASHBOARD_TOKEN",
    metavar="TOKEN",
    help="Secret that control requests must carry (also $CNC_API_DASHBOARD_TOKEN).",
)
@click.option(
    "--allowed-host",
    "allowed_hosts",
    multiple=True,
    metavar="NAME",
    help="Another host name the pages may be opened by (repeatable; '*' for any). Addresses, "
    "localhost, this computer's name and the --listen name are always allowed.",
)
@click.option("--title", default="CNC dashboard", show_default=True, help="Title of the pages.")
@fleet_option
def dashboard(
    machines: tuple[str, ...],
    listen: str,
    hosts: tuple[str, ...],
    port: int,
    timeout: float,
    interval: str,
    programs: tuple[str, ...],
    allow_control: bool,
    token: str | None,
    allowed_hosts: tuple[str, ...],
    title: str,
    fleet: str | None,
) -> None:
    """A live web view of machines: an overview tile per machine, and per machine
    its tool path, position, G-code and estimate. Without a machine named, the
    one of --host and --port (127.0.0.1:8000 by default), as for every command.

    Read-only unless --allow-control is given; then control is offered on a
    loopback address only, or with --token, which the page asks for once
    (or open http://ADDR:PORT/#token=TOKEN).
    """
    try:
        from .app import ControlPolicy, create_app
        from .hub import Endpoint, Settings
        from .server import DashboardServer, control_listen_error, is_loopback, parse_listen
    except ImportError as exc:
        _fail(f"the dashboard needs its extra ({_missing(exc)} is missing): {EXTRA_HINT}", 1)

    given = [*hosts, *machines]
    if not given and fleet is None:
        given = ["127.0.0.1"]
    seconds = _interval(interval)
    try:
        endpoints = [Endpoint(*parse_machine(text, port)) for text in given]
        if fleet is not None:
            endpoints += [Endpoint(m.name, m.host, m.port) for m in gather((), fleet, None, None)]
        listen_host, listen_port = parse_listen(listen)
    except ValueError as exc:
        _fail(str(exc), 2)
    except click.BadParameter as exc:
        _fail(exc.message, 2)
    problem = control_listen_error(listen_host, allow_control, token)
    if problem:
        _fail(problem, 2)
    if token and not allow_control:
        click.echo("cnc-api dashboard: --token has no effect without --allow-control", err=True)

    policy = ControlPolicy(allowed=allow_control, token=token or None, loopback_only=is_loopback(listen_host))
    app = create_app(
        endpoints,
        settings=Settings(interval=seconds, connect_timeout=timeout),
        programs=programs,
        policy=policy,
        title=title,
        allowed_hosts=[*allowed_hosts, listen_host, socket.gethostname()],
    )
    try:
        server = DashboardServer(app, listen_host, listen_port)
    except OSError as exc:
        _fail(f"cannot listen on {listen}: {exc.strerror or exc}", 1)

    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(message)s", "%H:%M:%S"))
    logger = logging.getLogger("cnc_api_tools.dashboard")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)

    mode = "read-only"
    if allow_control:
        mode = "control allowed, token required" if token else "control allowed"
    count = len(endpoints)
    click.echo(f"cnc-api dashboard: {server.url} ({count} machine{'s' if count != 1 else ''}, {mode})")
    sys.stdout.flush()
    try:
        server.run()
    except KeyboardInterrupt:
        pass
