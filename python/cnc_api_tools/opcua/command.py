"""`cnc-api opcua`: an OPC UA server showing machines, with methods to drive them when allowed."""

from __future__ import annotations

import asyncio
import logging
import os
import threading
from concurrent.futures import Future
from pathlib import Path
from typing import Any

import click

from ..clibase import CliError, Target, interruptible, target_options
from ..fleetopt import fleet_option, gather, shard_option
from ..link import parse_endpoint

DEFAULT_PORT = 4840


def _state_dir() -> Path:
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return Path(base) / "cnc-api" / "opcua"


class _Running:
    """The bridge on an event loop of its own thread, so the main thread keeps Ctrl-C."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, name="cnc-api-opcua", daemon=True)
        self.thread.start()

    def run(self, coro: Any, timeout: float | None = None) -> Any:
        future: Future[Any] = asyncio.run_coroutine_threadsafe(coro, self.loop)
        return future.result(timeout)

    def close(self) -> None:
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()
        self.loop.close()


@click.command()
@target_options
@click.argument("machines", nargs=-1, metavar="[[NAME=]HOST[:PORT]]...")
@click.option("--listen", default=f"127.0.0.1:{DEFAULT_PORT}", show_default=True, help="HOST:PORT of the server.")
@click.option(
    "--rate",
    type=click.FloatRange(0.1, 100),
    default=1.0,
    show_default=True,
    help="Polls per second of a machine without a fleet file poll_rate.",
)
@fleet_option
@shard_option
@click.option("--allow-control", is_flag=True, help="Add the methods (start, stop, ...) for authenticated users.")
@click.option(
    "--users",
    type=click.Path(dir_okay=False, path_type=Path),
    help="File of NAME:PASSWORD lines, readable by its owner only (env CNC_API_OPCUA_USER and "
    "CNC_API_OPCUA_PASSWORD add one user).",
)
@click.option(
    "--client-cert",
    "client_certs",
    multiple=True,
    type=click.Path(dir_okay=False, path_type=Path),
    help="Trusted client certificate (PEM or DER), its file name the user name; may be repeated.",
)
@click.option(
    "--state-dir",
    type=click.Path(file_okay=False, path_type=Path),
    help="Where the server's certificate is made at first start [default: ~/.local/state/cnc-api/opcua].",
)
@click.option("--cert", type=click.Path(dir_okay=False, path_type=Path), help="Server certificate (DER or PEM).")
@click.option("--key", type=click.Path(dir_okay=False, path_type=Path), help="Private key of --cert (PEM).")
@click.option(
    "--max-sessions",
    type=click.IntRange(1, 1000),
    default=64,
    show_default=True,
    help="Connections at once; more are refused.",
)
@click.option(
    "--max-monitored-items",
    type=click.IntRange(1, 1_000_000),
    default=50_000,
    show_default=True,
    help="Monitored items over all subscriptions.",
)
def opcua(
    target: Target,
    machines: tuple[str, ...],
    listen: str,
    rate: float,
    fleet: str | None,
    shard: tuple[int, int] | None,
    allow_control: bool,
    users: Path | None,
    client_certs: tuple[Path, ...],
    state_dir: Path | None,
    cert: Path | None,
    key: Path | None,
    max_sessions: int,
    max_monitored_items: int,
) -> None:
    """Serve machines (default: --host and --port) as an OPC UA server on opc.tcp://--listen/.

    One object per machine under Objects/Machines, its values updated at each poll. Anonymous
    sessions read and subscribe; with --allow-control, users given by --users or --client-cert
    call the methods on the Basic256Sha256 SignAndEncrypt endpoint.
    """
    try:
        from .bridge import OpcUaBridge, Settings
        from .security import SecurityError, given_certificate, load_users, server_certificate
    except ImportError:
        raise CliError("the OPC UA server needs asyncua: pip install 'cnc_api_client_core[opcua]'") from None
    try:
        host, port = parse_endpoint(listen, DEFAULT_PORT)
    except ValueError as exc:
        raise click.BadParameter(str(exc), param_hint="--listen") from None
    if (cert is None) != (key is None):
        raise click.BadParameter("--cert and --key go together", param_hint="--cert")
    endpoints = gather(machines, fleet, shard, (target.host, target.port))
    try:
        credentials = load_users(users, client_certs, os.environ)
        if allow_control and credentials.empty:
            raise CliError("--allow-control needs users: --users FILE, CNC_API_OPCUA_USER/PASSWORD or --client-cert")
        if cert is not None and key is not None:
            certificate = given_certificate(cert, key)
        else:
            certificate = server_certificate(state_dir or _state_dir(), host)
    except SecurityError as exc:
        raise CliError(str(exc)) from None
    settings = Settings(
        host=host,
        port=port,
        rate=rate,
        allow_control=allow_control,
        credentials=credentials,
        certificate=certificate,
        connect_timeout=target.timeout,
        max_connections=max_sessions,
        max_monitored_items=max_monitored_items,
    )
    try:
        bridge = OpcUaBridge(endpoints, settings, target.prepare)
    except ValueError as exc:
        raise click.BadParameter(str(exc), param_hint="[NAME=]HOST[:PORT]") from None
    _serve(bridge, listen, shard)


def _unless_start_failed(record: logging.LogRecord) -> bool:
    # The library logs a failed start with its traceback before raising it; the one line below says it.
    return not record.getMessage().endswith("error starting server")


def _serve(bridge: Any, listen: str, shard: tuple[int, int] | None) -> None:
    logging.getLogger("asyncua.server.server").addFilter(_unless_start_failed)
    running = _Running()
    try:
        with interruptible() as interrupt:
            try:
                bound = running.run(bridge.start())
            except OSError as exc:
                raise CliError(f"cannot listen on {listen}: {exc.strerror or exc}") from None
            part = f" (shard {shard[0]}/{shard[1]})" if shard else ""
            host = bridge.settings.host
            url = f"opc.tcp://{'[' + host + ']' if ':' in host else host}:{bound}/"
            click.echo(f"serving {len(bridge.machines)} machine(s){part} on {url}", err=True)
            try:
                while not interrupt.sleep(0.5):
                    pass
            finally:
                running.run(bridge.stop(), 30.0)
    finally:
        running.close()
