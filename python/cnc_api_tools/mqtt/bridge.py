"""The MQTT bridge: polls the machines and publishes them through a sink; takes commands from the broker.

bridge = MqttBridge(machines, handles, BrokerSettings(port=1883), prefix="cnc")
bridge.start()
...
bridge.stop()
"""

from __future__ import annotations

import socket
import threading
import time
from collections.abc import Sequence
from typing import Any

import cnc_api_client_core as cnc

from ..fleet import Fleet
from ..fleetfile import FleetMachine
from ..machine import Machine
from ..ratefleet import RatedFleet, make_fleet
from ..shard import shard_of
from .control import Controller
from .link import BrokerLink, BrokerSettings
from .sinks import OFFLINE, ONLINE, JsonTree, Sink, SparkplugNode, dumps
from .topics import base_topic, bridge_topic, level, machine_values

__all__ = ["MqttBridge", "default_client_id"]


def default_client_id(shard: tuple[int, int] | None) -> str:
    """Unique per host and shard: two bridges of one client id would throw each other off the broker."""
    name = f"cnc-api-mqtt-{level(socket.gethostname())}"
    return f"{name}-{shard[0]}of{shard[1]}" if shard else name


class _Reader:
    """The fleet's poll: three records, their values to the sink; no reply is an offline machine."""

    def __init__(self, sink: Sink) -> None:
        self.sink = sink

    def read(self, client: cnc.CncAPIClientCore, index: int) -> bool:
        info = client.get_cnc_info()
        if not info.has_data:
            self.sink.offline(index)
            return False
        ts = time.time()
        axes = client.get_axes_info()
        compiled = client.get_compile_info()
        if not client.is_connected:
            # Dropped during the poll: down like a poll without any reply, so the machine shows
            # offline now and is published in full (with online) once it is back.
            self.sink.offline(index)
            return False
        values = machine_values(info, axes if axes.has_data else None, compiled if compiled.has_data else None)
        self.sink.values(index, values, ts)
        return axes.has_data

    def missed(self, index: int) -> None:
        self.sink.offline(index)


class MqttBridge:
    def __init__(
        self,
        machines: Sequence[FleetMachine],
        handles: Sequence[Machine],
        settings: BrokerSettings,
        *,
        prefix: str = "cnc",
        rate: float = 1.0,
        pollers: int = 1,
        sparkplug: str | None = None,
        allow_control: bool = False,
        token: str | None = None,
        every_poll: bool = False,
        heartbeat: float = 10.0,
        shard: tuple[int, int] | None = None,
    ) -> None:
        self.machines = list(machines)
        self.handles = list(handles)
        self.prefix = prefix
        self.shard = shard
        self.heartbeat = heartbeat
        self.status_topic = bridge_topic(prefix, settings.client_id, "status")
        self.link = BrokerLink(settings, (self.status_topic, OFFLINE, True))
        self.sink: JsonTree | SparkplugNode
        if sparkplug is not None:
            self.sink = SparkplugNode(self.link, level(sparkplug), level(settings.client_id), self.machines)
            topic, payload, retain = self.sink.will()
            self.link.client.will_set(topic, payload, qos=1, retain=retain)
        else:
            self.sink = JsonTree(self.link, prefix, self.machines, every_poll)
        self.controller = Controller(allow_control, token)
        self._by_base: dict[str, int] = {}
        for i, m in enumerate(self.machines):
            other = self._by_base.setdefault(base_topic(prefix, m), i)
            if other != i:
                raise ValueError(f"machines {self.machines[other].name!r} and {m.name!r} would share their topics")
        # PREFIX/SITE levels of the machines: a command for an unknown machine of another site is left to
        # the bridge of that site, which may share the prefix, rather than answered "unknown machine".
        self._sites = {base.rsplit("/", 2)[0] for base in self._by_base}
        self.link.on_message = self._on_message
        self.link.subscribe(f"{prefix}/+/+/+/cmd/+")
        if sparkplug is None:
            self.link.publish(self.status_topic, ONLINE)
        self.fleet: Fleet | RatedFleet = make_fleet(
            self.handles, [m.poll_rate or rate for m in self.machines], reader=_Reader(self.sink), pollers=pollers
        )
        self._stopping = threading.Event()
        self._beat: threading.Thread | None = None

    def start(self) -> MqttBridge:
        self.sink.start()
        self.link.start()
        self.fleet.start()
        if self.heartbeat > 0:
            self._beat = threading.Thread(target=self._heartbeat_loop, name="cnc-api-mqtt-heartbeat", daemon=True)
            self._beat.start()
        return self

    def stop(self) -> None:
        """Stop polling, mark every machine and the bridge offline (retained), and leave the broker."""
        self._stopping.set()
        self.fleet.stop()
        self.controller.stop()
        last = self.sink.last_words()
        if isinstance(self.sink, JsonTree):
            last.append((self.status_topic, OFFLINE, True))
        self.link.stop(last)
        if self._beat is not None:
            self._beat.join()

    def _heartbeat_loop(self) -> None:
        while not self._stopping.wait(self.heartbeat):
            up = sum(1 for m in self.handles if m.connected)
            beat: dict[str, Any] = {"ts": time.time(), "machines": len(self.handles), "up": up}
            if self.shard is not None:
                beat["shard"] = f"{self.shard[0]}/{self.shard[1]}"
            self.link.publish(bridge_topic(self.prefix, self.link.settings.client_id, "heartbeat"), dumps(beat), False)

    def _on_message(self, topic: str, payload: bytes) -> None:
        if isinstance(self.sink, SparkplugNode) and topic.startswith("spBv1.0/"):
            self._node_command(payload)
            return
        base, _, command = topic.rpartition("/cmd/")
        index = self._by_base.get(base)
        if index is None and base.rsplit("/", 2)[0] not in self._sites:
            return  # another site's machine: its own bridge answers
        if (
            index is None
            and self.shard is not None
            and shard_of(base.rpartition("/")[2], self.shard[1]) != self.shard[0]
        ):
            return  # another shard's machine: that bridge answers
        machine = self.handles[index] if index is not None else None
        self.controller.handle(machine, command, payload, self._reply, f"{base}/reply")

    def _reply(self, topic: str, payload: bytes) -> None:
        self.link.publish(topic, payload, retain=False, qos=1)

    def _node_command(self, payload: bytes) -> None:
        from . import sparkplug as spb

        assert isinstance(self.sink, SparkplugNode)
        message = spb.Payload()
        try:
            message.ParseFromString(payload)
        except Exception:  # a malformed NCMD changes nothing
            return
        if any(m.name == "Node Control/Rebirth" and spb.metric_value(m) is True for m in message.metrics):
            self.sink.rebirth()
