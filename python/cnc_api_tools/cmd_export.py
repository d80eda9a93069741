"""`cnc-api export`: a Prometheus endpoint for many machines."""

from __future__ import annotations

import click

from .clibase import CliError, Target, interruptible, target_options
from .fleetopt import fleet_option, gather, handles, shard_option
from .link import Backoff, parse_endpoint


@click.command()
@target_options
@click.argument("machines", nargs=-1, metavar="[HOST[:PORT]]...")
@click.option("--listen", default="127.0.0.1:9108", show_default=True, help="ADDR:PORT of the metrics endpoint.")
@click.option("--rate", type=click.FloatRange(0.1, 100), default=1.0, show_default=True, help="Polls per second.")
@click.option("--pollers", type=click.IntRange(1, 64), default=1, show_default=True, help="Polling threads.")
@fleet_option
@shard_option
def export(
    target: Target,
    machines: tuple[str, ...],
    listen: str,
    rate: float,
    pollers: int,
    fleet: str | None,
    shard: tuple[int, int] | None,
) -> None:
    """Serve Prometheus metrics of machines (default: --host and --port) on --listen /metrics.

    Machines are polled concurrently by a few threads; a machine that is down is reconnected
    with back-off apart from the others and shows as cnc_up 0. Machines of a --fleet file are
    labelled with their fleet labels and polled at their own poll_rate (else --rate).
    """
    try:
        from .exporter import Exporter
    except ImportError:
        raise CliError("the exporter needs prometheus-client: pip install 'cnc_api_client_core[exporter]'") from None
    try:
        addr, port = parse_endpoint(listen, 9108)
    except ValueError as exc:
        raise click.BadParameter(str(exc), param_hint="--listen") from None
    endpoints = gather(machines, fleet, shard, (target.host, target.port))
    backoff = Backoff(initial=0.5, factor=2.0, maximum=30.0)
    try:
        exporter = Exporter(
            handles(endpoints, target.timeout, backoff, target.prepare),
            rate,
            pollers=pollers,
            labels=[m.labels for m in endpoints],
            rates=[m.poll_rate or rate for m in endpoints],
        )
    except ValueError as exc:  # a label the metrics use themselves
        raise click.BadParameter(str(exc), param_hint="--fleet") from None
    with interruptible() as interrupt:
        try:
            bound = exporter.serve(addr, port)
        except OSError as exc:
            raise CliError(f"cannot listen on {listen}: {exc.strerror}") from None
        part = f" (shard {shard[0]}/{shard[1]})" if shard else ""
        click.echo(f"serving metrics of {len(endpoints)} machine(s){part} on http://{addr}:{bound}/metrics", err=True)
        try:
            while not interrupt.sleep(0.5):
                pass
        finally:
            exporter.stop()
