"""What a poll's values become on the broker: the JSON topic tree, or Sparkplug B births, data and deaths.

Both run on the polling threads, under the broker link's lock while they publish; each keeps per machine
the values it last published, so only changes go out.
"""

from __future__ import annotations

import json
import math
import time
from typing import Any, Protocol

from ..fleetfile import FleetMachine
from . import sparkplug as spb
from .link import BrokerLink
from .topics import base_topic, level

__all__ = ["JsonTree", "Sink", "SparkplugNode", "dumps"]

ONLINE, OFFLINE = b"online", b"offline"


def _finite(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_finite(v) for v in value]
    return value


def dumps(value: Any) -> bytes:
    """Strict JSON: a value that is no finite number (NaN, infinity) becomes null."""
    try:
        return json.dumps(value, allow_nan=False, separators=(",", ":")).encode()
    except ValueError:
        return json.dumps(_finite(value), separators=(",", ":")).encode()


class Sink(Protocol):
    def start(self) -> None: ...

    def values(self, index: int, values: dict[str, dict[str, Any]], ts: float) -> None: ...

    def offline(self, index: int) -> None: ...

    def last_words(self) -> list[tuple[str, bytes, bool]]: ...


class JsonTree:
    """PREFIX/SITE/CELL/MACHINE/TOPIC, retained JSON with the reply's time stamp `ts`, published on change
    (on every poll with `every_poll`); MACHINE/availability says online or offline."""

    def __init__(self, link: BrokerLink, prefix: str, machines: list[FleetMachine], every_poll: bool = False) -> None:
        self.link = link
        self.bases = [base_topic(prefix, m) for m in machines]
        self.every_poll = every_poll
        self._last: list[dict[str, dict[str, Any]]] = [{} for _ in machines]
        self._online: list[bool | None] = [None] * len(machines)

    def start(self) -> None:
        # Every machine shows offline until its first good poll, also over a retained "online" of a run before.
        for i in range(len(self.bases)):
            self.offline(i)

    def values(self, index: int, values: dict[str, dict[str, Any]], ts: float) -> None:
        base, last = self.bases[index], self._last[index]
        out: list[tuple[str, bytes]] = []
        for topic, value in values.items():
            if self.every_poll or last.get(topic) != value:
                last[topic] = value
                out.append((f"{base}/{topic}", dumps({**value, "ts": ts})))
        if self._online[index] is not True:
            self._online[index] = True
            out.append((f"{base}/availability", ONLINE))
        if out:
            self.link.publish_many(out)

    def offline(self, index: int) -> None:
        if self._online[index] is not False:
            self._online[index] = False
            # Published again in full when it is back, so its retained values are then current.
            self._last[index] = {}
            self.link.publish(f"{self.bases[index]}/availability", OFFLINE)

    def last_words(self) -> list[tuple[str, bytes, bool]]:
        return [(f"{base}/availability", OFFLINE, True) for base in self.bases]


class SparkplugNode:
    """The bridge as a Sparkplug B edge node, each machine a device: NBIRTH on every connect (NDEATH is
    the will), DBIRTH when a machine comes up with all its metrics, DDATA with the changed ones, DDEATH
    when it goes down. One sequence number 0..255 runs over the node's messages."""

    def __init__(self, link: BrokerLink, group: str, node: str, machines: list[FleetMachine]) -> None:
        self.link = link
        self.group, self.node = group, node
        self.devices = [level(m.name) for m in machines]
        self.bd_seq = 0
        self._seq = 0
        self._last: list[dict[str, object] | None] = [None] * len(machines)  # None: not born
        link.on_connect.append(self._birth)
        link.on_disconnect.append(self._next_will)
        link.subscribe(spb.topic(group, "NCMD", node))

    def will(self) -> tuple[str, bytes, bool]:
        return spb.topic(self.group, "NDEATH", self.node), self._death_payload(), False

    def _death_payload(self) -> bytes:
        payload = spb.Payload()
        payload.timestamp = _millis()
        spb.add_metric(payload, "bdSeq", self.bd_seq, payload.timestamp, spb.UINT64)
        data: bytes = payload.SerializeToString()
        return data

    def _next_will(self) -> None:
        # Each session has a birth/death sequence number of its own; the next connect carries the next.
        self.bd_seq = (self.bd_seq + 1) % 256
        topic, payload, retain = self.will()
        self.link.client.will_set(topic, payload, qos=1, retain=retain)

    def _send(
        self,
        kind: str,
        device: str | None,
        metrics: dict[str, object],
        millis: int,
        types: dict[str, int] | None = None,
    ) -> None:
        payload = spb.Payload()
        payload.timestamp = millis
        payload.seq = self._seq
        self._seq = (self._seq + 1) % 256
        for name, value in metrics.items():
            spb.add_metric(payload, name, value, millis, (types or {}).get(name))
        self.link.publish(spb.topic(self.group, kind, self.node, device), payload.SerializeToString(), retain=False)

    def _birth(self) -> None:
        """On (re)connect, under the link's lock: the node's birth, then each live machine's."""
        self._seq = 0
        now = _millis()
        self._send("NBIRTH", None, {"bdSeq": self.bd_seq, "Node Control/Rebirth": False}, now, {"bdSeq": spb.UINT64})
        for i, last in enumerate(self._last):
            if last is not None:
                self._send("DBIRTH", self.devices[i], last, now)

    def start(self) -> None:
        pass

    def values(self, index: int, values: dict[str, dict[str, Any]], ts: float) -> None:
        flat = spb.flatten(values)
        last = self._last[index]
        millis = int(ts * 1000)
        with self.link.lock:
            if last is None:
                self._last[index] = flat
                if self.link.connected.is_set():
                    self._send("DBIRTH", self.devices[index], flat, millis)
                return
            if not flat.keys() <= last.keys():
                # A metric its birth did not have (axes that answered late): born again with all of them.
                last.update(flat)
                if self.link.connected.is_set():
                    self._send("DBIRTH", self.devices[index], last, millis)
                return
            changed = {k: v for k, v in flat.items() if last[k] != v}
            if changed:
                last.update(changed)
                if self.link.connected.is_set():
                    self._send("DDATA", self.devices[index], changed, millis)

    def offline(self, index: int) -> None:
        with self.link.lock:
            if self._last[index] is not None:
                self._last[index] = None
                if self.link.connected.is_set():
                    self._send("DDEATH", self.devices[index], {}, _millis())

    def rebirth(self) -> None:
        with self.link.lock:
            if self.link.connected.is_set():
                self._birth()

    def last_words(self) -> list[tuple[str, bytes, bool]]:
        return [self.will()]


def _millis() -> int:
    return int(time.time() * 1000)
