"""The OPC UA server of `cnc-api opcua`: a machine object per machine, fed by the fleet's polls.

bridge = OpcUaBridge([FleetMachine("mill-1", "10.0.0.5", 8000)], Settings(port=4840))
port = await bridge.start()
...
await bridge.stop()
"""

from __future__ import annotations

import asyncio
import datetime
import logging
import socket
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from asyncua import Server, ua
from asyncua.server.internal_session import InternalSession

from ..fleet import Fleet
from ..fleetfile import FleetMachine
from ..fleetopt import handles
from ..link import Backoff, Link
from ..machine import TracePrepare
from ..ratefleet import RatedFleet, make_fleet
from .control import Controller, add_methods
from .feed import Feed, LinkChange, Poll, PollReader
from .limits import bound_chunks, bound_monitored_items
from .model import NAMESPACE, MachineNodes, add_machine, add_machines_folder
from .security import APPLICATION_URI, Credentials, ReadOnly, UserRegistry, WithControl
from .values import ALARM, COMPILE_STATE, NOT_ON_MACHINE, PROGRAM, STATE_NAME, VARIABLES

__all__ = ["OpcUaBridge", "Settings"]

_log = logging.getLogger(__name__)

_VARIANT = {k: getattr(ua.VariantType, k) for k in ("String", "Int32", "Double", "Boolean")}
_GOOD = ua.StatusCode(ua.StatusCodes.Good)
_DOWN = ua.StatusCode(ua.StatusCodes.BadNoCommunication)
_STALE = ua.StatusCode(ua.StatusCodes.BadCommunicationError)
_NO_DATA = ua.StatusCode(ua.StatusCodes.BadDataUnavailable)
_NO_AXIS = ua.StatusCode(ua.StatusCodes.BadOutOfService)
_NULL = ua.Variant(None, ua.VariantType.Null)
_ENCRYPTED = ua.SecurityPolicyType.Basic256Sha256_SignAndEncrypt


@dataclass
class Settings:
    host: str = "127.0.0.1"
    port: int = 4840
    rate: float = 1.0  # polls per second of machines without a rate of their own
    allow_control: bool = False
    credentials: Credentials = field(default_factory=lambda: Credentials({}, {}))
    certificate: tuple[Path, Path] | None = None  # (DER certificate, PEM key); None serves unencrypted only
    connect_timeout: float = 3.0
    # What a peer can make the server hold.
    max_connections: int = 64
    max_subscriptions: int = 256
    max_message_size: int = 4 * 1024 * 1024
    max_session_timeout: float = 300.0  # seconds an idle session is kept
    max_queue: int = 100  # notifications queued per monitored item
    max_monitored_items: int = 50_000  # over all subscriptions


def _stamp(wall: float) -> datetime.datetime:
    return datetime.datetime.fromtimestamp(wall, datetime.UTC)


class OpcUaBridge:
    """An OPC UA server showing `machines`, polling them at their rates."""

    def __init__(
        self, machines: Sequence[FleetMachine], settings: Settings, prepare: TracePrepare | None = None
    ) -> None:
        names = [m.name for m in machines]
        if len(set(names)) != len(names):
            raise ValueError("machine names must be unique")
        for name in names:
            if not name or "/" in name:
                raise ValueError(f"machine name {name!r}: empty or with a '/', which the node ids use")
        self.fleet_machines = list(machines)
        self.settings = settings
        backoff = Backoff(initial=0.5, factor=2.0, maximum=30.0)
        self.machines = handles(machines, settings.connect_timeout, backoff, prepare)
        self.server = Server(user_manager=UserRegistry(settings.credentials))
        self.nodes: list[MachineNodes] = []
        self.controller = Controller(self.machines) if settings.allow_control else None
        self._fleet: Fleet | RatedFleet | None = None
        self._last: list[tuple[Any, ...] | None] = [None] * len(machines)
        self._updated = [0.0] * len(machines)  # monotonic time of the last poll applied, 0 while down
        self._stale = [False] * len(machines)
        self._feed: Feed | None = None
        self._task: asyncio.Task[None] | None = None
        self._stopping = False
        self.port = 0

    # ----- set-up -----------------------------------------------------------------------------

    def _limits(self) -> None:
        s, iserver = self.settings, self.server.iserver
        iserver.max_connections = s.max_connections
        # Activated sessions: counted by the library per process, so one bridge per process.
        InternalSession.max_connections = s.max_connections
        iserver.max_subscriptions = s.max_subscriptions
        iserver.max_session_timeout_ms = s.max_session_timeout * 1000
        iserver.max_monitored_item_queue_size = s.max_queue
        iserver.max_pending_activation_seconds = 10.0
        iserver.max_lifetime_count = 1000  # an orphaned subscription lasts 1000 publishing intervals
        iserver.max_keep_alive_count = 300  # a third of the lifetime at most, as clients expect
        self.server.limits.max_message_size = s.max_message_size
        bound_monitored_items(iserver.subscription_service, s.max_monitored_items)
        bound_chunks()
        self.server.limits.max_chunk_count = -(-s.max_message_size // self.server.limits.max_recv_buffer)

    async def _security(self) -> None:
        policies = [ua.SecurityPolicyType.NoSecurity]
        tokens: list[type] = [ua.AnonymousIdentityToken]
        if self.settings.certificate is not None:
            cert, key = self.settings.certificate
            # By its content, not by its file name's suffix as the library would.
            kind = "pem" if b"-----BEGIN" in cert.read_bytes() else "der"
            await self.server.load_certificate(str(cert), format=kind)
            await self.server.load_private_key(str(key), format="pem")
            policies.append(_ENCRYPTED)
            if self.settings.allow_control:
                tokens += [ua.UserNameIdentityToken, ua.X509IdentityToken]
        self.server.set_security_policy(policies, ReadOnly())
        self.server.set_identity_tokens(tokens)

    def _open_control_on_encrypted_channels(self) -> None:
        # One ruleset serves every policy; only the SignAndEncrypt ones may carry calls.
        for factory in self.server._policies:
            if factory.mode == ua.MessageSecurityMode.SignAndEncrypt and self.settings.allow_control:
                factory.permission_ruleset = WithControl()

    async def _build(self) -> None:
        await self.server.init()
        self.server.set_endpoint(f"opc.tcp://{self._url_host()}:{self.settings.port}/")
        self.server.set_server_name("cnc-api opcua")
        await self.server.set_application_uri(APPLICATION_URI)
        self._limits()
        await self._security()
        idx = await self.server.register_namespace(NAMESPACE)
        folder = await add_machines_folder(self.server, idx)
        for i, fm in enumerate(self.fleet_machines):
            nodes = await add_machine(self.server, idx, folder, fm.name, f"{fm.host}:{fm.port}", fm.labels)
            if self.controller is not None:
                obj = self.server.get_node(nodes.object_id)
                nodes.methods = await add_methods(obj, idx, fm.name, i, self.controller)
            self.nodes.append(nodes)

    def _url_host(self) -> str:
        host = self.settings.host
        return f"[{host}]" if ":" in host else host

    # ----- lifecycle --------------------------------------------------------------------------

    async def start(self) -> int:
        """Build the address space, listen, and start polling; returns the bound port."""
        await self._check_listen()
        await self._build()
        await self.server.start()
        self._open_control_on_encrypted_channels()
        bserver = self.server.bserver
        sockets = bserver._server.sockets if bserver is not None and bserver._server is not None else []
        self.port = sockets[0].getsockname()[1] if sockets else self.settings.port
        self._feed = Feed(asyncio.get_running_loop())
        self._task = asyncio.create_task(self._apply_loop(self._feed))
        self._start_fleet(self._feed)
        return self.port

    async def _check_listen(self) -> None:
        """Raises the OSError that listening would, before the address space takes seconds to build.

        Binds as the event loop's server will (SO_REUSEADDR, IPv6 sockets IPv6 only), and lets go.
        """
        host, port = self.settings.host, self.settings.port
        infos = await asyncio.get_running_loop().getaddrinfo(
            host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE
        )
        for family, kind, proto, _, address in infos:
            with socket.socket(family, kind, proto) as probe:
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                if family == socket.AF_INET6:
                    probe.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
                probe.bind(address)

    def _start_fleet(self, feed: Feed) -> None:
        for i, machine in enumerate(self.machines):
            machine.add_listener(feed.link_listener(i))
        rates = [fm.poll_rate or self.settings.rate for fm in self.fleet_machines]
        pollers = max(1, min(4, len(self.machines) // 64))
        self._fleet = make_fleet(self.machines, rates, reader=PollReader(feed, len(self.machines)), pollers=pollers)
        self._fleet.start()

    async def stop(self) -> None:
        fleet, self._fleet = self._fleet, None
        if fleet is not None:
            await asyncio.get_running_loop().run_in_executor(None, fleet.stop)
        if self._task is not None and self._feed is not None:
            # A flag, not cancel(): wait_for of Python 3.11 can swallow a cancellation.
            self._stopping = True
            self._feed.ready.set()
            await self._task
        if self.controller is not None:
            self.controller.close()
        await self.server.stop()

    # ----- applying ---------------------------------------------------------------------------

    async def _apply_loop(self, feed: Feed) -> None:
        entries = feed.entries
        checked = 0.0
        while not self._stopping:
            try:
                await asyncio.wait_for(feed.ready.wait(), 0.5)
            except TimeoutError:
                pass
            feed.ready.clear()
            while entries:
                entry = entries.popleft()
                try:
                    if len(entry) == 3:
                        await self._apply_poll(entry)
                    else:
                        await self._apply_link(entry)
                except Exception:
                    _log.exception("updating %s failed", self.fleet_machines[entry[0]].name)
            if time.monotonic() >= checked + 0.5:  # not at every wake-up: a look at every machine
                checked = time.monotonic()
                await self._mark_stale()

    async def _write(self, node: ua.NodeId, value: ua.DataValue) -> None:
        await self.server.write_attribute_value(node, value)

    async def _apply_poll(self, entry: Poll) -> None:
        index, wall, values = entry
        nodes, last = self.nodes[index], self._last[index]
        if values is None:
            return  # the link change that goes with it tells why
        stamp = _stamp(wall)
        self._updated[index] = time.monotonic()
        fresh = last is None or self._stale[index]
        self._stale[index] = False
        for i, (var, node, value) in enumerate(zip(VARIABLES, nodes.variables, values, strict=True)):
            if not fresh and last is not None and last[i] == value:
                continue
            if value is None:
                dv = ua.DataValue(_NULL, _NO_DATA, SourceTimestamp=stamp)
            elif value is NOT_ON_MACHINE:
                dv = ua.DataValue(_NULL, _NO_AXIS, SourceTimestamp=stamp)
            else:
                dv = ua.DataValue(ua.Variant(value, _VARIANT[var.kind]), _GOOD, SourceTimestamp=stamp)
            await self._write(node, dv)
        self._last[index] = values
        if last is None:
            return
        if last[STATE_NAME] != values[STATE_NAME]:
            alarm = bool(values[ALARM])
            await self._event(nodes, wall, f"state {last[STATE_NAME]} -> {values[STATE_NAME]}", 800 if alarm else 200)
        if values[COMPILE_STATE] == "ERROR" and last[COMPILE_STATE] != "ERROR":
            await self._event(nodes, wall, f"program {values[PROGRAM] or ''} does not compile", 700)

    async def _event(self, nodes: MachineNodes, wall: float, message: str, severity: int) -> None:
        nodes.events.event.Severity = severity
        await nodes.events.trigger(_stamp(wall), f"{nodes.name}: {message}")

    async def _apply_link(self, entry: LinkChange) -> None:
        index, wall, state, reason = entry
        nodes = self.nodes[index]
        stamp = _stamp(wall)
        text = state.value if state is not Link.DOWN else f"down: {reason or 'unknown'}"
        await self._write(nodes.connection_state, ua.DataValue(ua.Variant(text, ua.VariantType.String), _GOOD, stamp))
        up = state is Link.CONNECTED
        await self._write(nodes.connected, ua.DataValue(ua.Variant(up, ua.VariantType.Boolean), _GOOD, stamp))
        if state in (Link.DOWN, Link.CLOSED):
            was_up = self._last[index] is not None
            await self._bad(index, _DOWN, stamp)
            if was_up:
                await self._event(nodes, wall, f"connection lost ({reason or 'closed'})", 600)
        elif up:
            await self._event(nodes, wall, "connected", 300)

    async def _bad(self, index: int, code: ua.StatusCode, stamp: datetime.datetime) -> None:
        """Every polled variable of a machine to `code`: its last values are no longer good."""
        self._last[index] = None
        self._updated[index] = 0.0
        for node in self.nodes[index].variables:
            await self._write(node, ua.DataValue(_NULL, code, SourceTimestamp=stamp))

    async def _mark_stale(self) -> None:
        """A machine connected but not answering for a few periods shows bad values until it does."""
        now = time.monotonic()
        for i, fm in enumerate(self.fleet_machines):
            updated = self._updated[i]
            if not updated or self._stale[i]:
                continue
            period = 1.0 / (fm.poll_rate or self.settings.rate)
            if now - updated > 3 * period + 1.0:
                self._stale[i] = True
                last = self._last[i]
                await self._bad(i, _STALE, _stamp(time.time()))
                self._last[i] = last
                self._updated[i] = updated
