"""`cnc-api mqtt`: the command. paho-mqtt and protobuf are imported only when it runs."""

from __future__ import annotations

import logging
import os
import sys

import click

from ..clibase import CliError, Target, interruptible, target_options
from ..fleetopt import fleet_option, gather, handles, shard_option
from ..link import Backoff, parse_endpoint

__all__ = ["mqtt"]

EXTRA_HINT = "pip install 'cnc_api_client_core[mqtt]'"
PASSWORD_ENV = "CNC_API_MQTT_PASSWORD"
TOKEN_ENV = "CNC_API_MQTT_TOKEN"


def _secret(path: str | None, env: str, what: str) -> str | None:
    """A secret from a file (first line) or else the environment; never from the command line itself."""
    if path is not None:
        try:
            with open(path, encoding="utf-8") as f:
                value = f.readline().rstrip("\r\n")
        except OSError as exc:
            raise CliError(f"cannot read the {what} file {path}: {exc.strerror or exc}") from None
        if not value:
            raise CliError(f"the {what} file {path} is empty")
        return value
    return os.environ.get(env) or None


def _prefix(ctx: click.Context, param: click.Parameter, value: str) -> str:
    value = value.strip("/")
    if not value or any(c in value for c in "+#\x00"):
        raise click.BadParameter("a topic prefix without wildcards, e.g. cnc or plant1/cnc", ctx, param)
    return value


@click.command()
@target_options
@click.argument("machines", nargs=-1, metavar="[NAME=]HOST[:PORT]...")
@fleet_option
@shard_option
@click.option("--broker", default="127.0.0.1", show_default=True, metavar="HOST[:PORT]", help="MQTT broker.")
@click.option("--prefix", default="cnc", show_default=True, callback=_prefix, help="First level(s) of every topic.")
@click.option("--client-id", help="MQTT client id (default: cnc-api-mqtt-HOSTNAME[-KofN]).")
@click.option("--rate", type=click.FloatRange(0.1, 100), default=1.0, show_default=True, help="Polls per second.")
@click.option("--pollers", type=click.IntRange(1, 64), default=1, show_default=True, help="Polling threads.")
@click.option("--qos", type=click.IntRange(0, 1), default=0, show_default=True, help="QoS of the published values.")
@click.option("--every-poll", is_flag=True, help="Publish every value on every poll, not only on change.")
@click.option("--heartbeat", type=click.FloatRange(0), default=10.0, show_default=True, help="Seconds (0: none).")
@click.option("--sparkplug", metavar="GROUP", help="Publish as a Sparkplug B edge node in GROUP instead of JSON.")
@click.option("--allow-control", is_flag=True, help="Carry out commands sent to .../cmd/COMMAND topics.")
@click.option("--token-file", type=click.Path(dir_okay=False), help=f"Secret commands must carry (or ${TOKEN_ENV}).")
@click.option("--username", envvar="CNC_API_MQTT_USERNAME", help="Broker user (env CNC_API_MQTT_USERNAME).")
@click.option("--password-file", type=click.Path(dir_okay=False), help=f"Broker password (or ${PASSWORD_ENV}).")
@click.option("--tls", is_flag=True, help="Connect with TLS (implied by --ca and --cert); port 8883 by default.")
@click.option("--ca", type=click.Path(exists=True, dir_okay=False), help="CA certificate file of the broker.")
@click.option("--cert", type=click.Path(exists=True, dir_okay=False), help="Client certificate (PEM).")
@click.option("--key", type=click.Path(exists=True, dir_okay=False), help="Client certificate's private key.")
def mqtt(
    target: Target,
    machines: tuple[str, ...],
    fleet: str | None,
    shard: tuple[int, int] | None,
    broker: str,
    prefix: str,
    client_id: str | None,
    rate: float,
    pollers: int,
    qos: int,
    every_poll: bool,
    heartbeat: float,
    sparkplug: str | None,
    allow_control: bool,
    token_file: str | None,
    username: str | None,
    password_file: str | None,
    tls: bool,
    ca: str | None,
    cert: str | None,
    key: str | None,
) -> None:
    """Publish machines to an MQTT broker: retained JSON under PREFIX/SITE/CELL/MACHINE/..., or Sparkplug B.

    A machine that is down shows offline on .../availability and comes back by itself; the bridge's
    status topic says offline when it leaves or is lost (its last will). A broker that is down or goes
    away is retried with back-off, and every retained value is published again once it is back.
    """
    try:
        from .bridge import MqttBridge, default_client_id
        from .link import BrokerSettings
    except ImportError as exc:
        raise CliError(f"the MQTT bridge needs its extra ({exc.name or exc} is missing): {EXTRA_HINT}") from None
    tls = tls or bool(ca or cert)
    if key and not cert:
        raise click.BadParameter("--key goes with --cert", param_hint="--key")
    try:
        host, port = parse_endpoint(broker, 8883 if tls else 1883)
    except ValueError as exc:
        raise click.BadParameter(str(exc), param_hint="--broker") from None
    password = _secret(password_file, PASSWORD_ENV, "password")
    if password is not None and not username:
        raise click.BadParameter("a password needs --username", param_hint="--password-file")
    settings = BrokerSettings(
        host, port, client_id or default_client_id(shard), username, password, tls, ca, cert, key, qos=qos
    )
    endpoints = gather(machines, fleet, shard, (target.host, target.port))
    backoff = Backoff(initial=0.5, factor=2.0, maximum=30.0)
    token = _secret(token_file, TOKEN_ENV, "token")
    try:
        bridge = MqttBridge(
            endpoints,
            handles(endpoints, target.timeout, backoff, target.prepare),
            settings,
            prefix=prefix,
            rate=rate,
            pollers=pollers,
            sparkplug=sparkplug,
            allow_control=allow_control,
            token=token,
            every_poll=every_poll,
            heartbeat=heartbeat,
            shard=shard,
        )
    except ValueError as exc:  # two machines whose names make one topic
        raise click.BadParameter(str(exc), param_hint="[NAME=]HOST[:PORT]") from None
    except OSError as exc:  # a CA, certificate or key file that TLS cannot use
        given = ", ".join(f"{name} {path}" for name, path in (("--ca", ca), ("--cert", cert), ("--key", key)) if path)
        hint = " (give --key unless the key is in the certificate's file)" if cert and not key else ""
        raise click.BadParameter(f"cannot use them for TLS: {exc}{hint}", param_hint=given) from None
    if allow_control and not (token or username or cert):
        click.echo("cnc-api mqtt: note: anyone who can publish to the broker can command the machines", err=True)
    logging.basicConfig(stream=sys.stderr, level=logging.INFO, format="%(asctime)s %(message)s", datefmt="%H:%M:%S")
    part = f" (shard {shard[0]}/{shard[1]})" if shard else ""
    mode = f"Sparkplug B group {sparkplug}" if sparkplug else f"{prefix}/..."
    control = ", control allowed" if allow_control else ""
    click.echo(f"publishing {len(endpoints)} machine(s){part} to {host}:{port} as {mode}{control}", err=True)
    with interruptible() as interrupt:
        bridge.start()
        try:
            while not interrupt.sleep(0.5):
                pass
        finally:
            bridge.stop()
