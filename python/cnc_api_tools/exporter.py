"""Prometheus metrics for a fleet of machines.

The pollers only keep each machine's latest records and count request
latencies into plain per-machine buckets; metrics are made from them when
Prometheus scrapes, so a poll costs no metric objects and no locks.

    exporter = Exporter([Machine("10.0.0.5"), Machine("10.0.0.6")], rate=10)
    port = exporter.serve("0.0.0.0", 9108)
    ...
    exporter.stop()
"""

from __future__ import annotations

import bisect
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

from prometheus_client import start_http_server
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, HistogramMetricFamily, Metric
from prometheus_client.registry import Collector, CollectorRegistry

from .codes import State, code_name, condition
from .fleet import Fleet, PollObserver
from .link import Link
from .machine import Machine, Snapshot
from .views import OVERRIDES, position_axes

__all__ = ["BUCKETS", "Exporter", "FleetCollector"]

# Request latency buckets, in seconds: loopback answers take a fraction of a millisecond.
BUCKETS = (0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0)
_AXES = "xyzabc"


class _Latency:
    """Per-machine request latency counts; written by the one poller polling the machine at a time."""

    __slots__ = ("counts", "total")

    def __init__(self) -> None:
        self.counts = [0] * (len(BUCKETS) + 1)
        self.total = 0.0

    def observe(self, seconds: float) -> None:
        self.counts[bisect.bisect_left(BUCKETS, seconds)] += 1
        self.total += seconds

    def buckets(self) -> list[tuple[str, float]]:
        out, running = [], 0
        for bound, count in zip([*map(str, BUCKETS), "+Inf"], self.counts, strict=True):
            running += count
            out.append((bound, float(running)))
        return out


class FleetCollector(Collector):
    """Turns the fleet's latest snapshots into metrics at scrape time."""

    def __init__(self, fleet: Fleet, latency: Sequence[_Latency]) -> None:
        self.fleet = fleet
        self.latency = latency

    def collect(self) -> Iterator[Metric]:
        fleet = self.fleet
        m = "machine"
        up = GaugeMetricFamily("cnc_up", "1 while the machine's API server is connected and answering.", labels=[m])
        state = GaugeMetricFamily(
            "cnc_state", "The state machine's state: 1 for the current one, 0 for the others.", labels=[m, "state"]
        )
        code = GaugeMetricFamily("cnc_state_code", "The state machine's state as its code.", labels=[m])
        alarm = GaugeMetricFamily("cnc_alarm", "1 while the machine is in alarm, limit or safety.", labels=[m])
        line = GaugeMetricFamily("cnc_gcode_line", "G-code line being executed.", labels=[m])
        feed = GaugeMetricFamily("cnc_feed_rate", "Feed rate, in the machine's units per minute.", labels=[m, "kind"])
        spindle = GaugeMetricFamily("cnc_spindle_speed_rpm", "Spindle speed.", labels=[m, "kind"])
        load = GaugeMetricFamily("cnc_spindle_load_percent", "Spindle load.", labels=[m])
        override = GaugeMetricFamily("cnc_override_percent", "Override values.", labels=[m, "override"])
        position = GaugeMetricFamily("cnc_position", "Axis positions.", labels=[m, "frame", "axis"])
        seen = GaugeMetricFamily("cnc_last_poll_timestamp_seconds", "Time of the last good poll.", labels=[m])
        polls = CounterMetricFamily("cnc_polls", "Polls made.", labels=[m])
        failures = CounterMetricFamily("cnc_poll_failures", "Polls that brought no status.", labels=[m])
        connects = CounterMetricFamily("cnc_connects", "Successful connects.", labels=[m])
        latency = HistogramMetricFamily(
            "cnc_request_duration_seconds", "Duration of each request to the API server.", labels=[m]
        )
        states = [s.name for s in State]
        for i, machine in enumerate(fleet.machines):
            name = machine.name
            snap = fleet.latest[i]
            connected = machine.state is Link.CONNECTED
            up.add_metric([name], 1.0 if connected and snap is not None else 0.0)
            polls.add_metric([name], fleet.polls[i])
            failures.add_metric([name], fleet.failures[i])
            connects.add_metric([name], machine.status.connects)
            lat = self.latency[i]
            latency.add_metric([name], lat.buckets(), lat.total)
            if snap is None or snap.cnc_info is None or not connected:
                continue
            info = snap.cnc_info
            seen.add_metric([name], snap.time)
            current = code_name(State, info.state_machine)
            for s in states:
                state.add_metric([name, s], 1.0 if s == current else 0.0)
            if current not in states:
                state.add_metric([name, current], 1.0)
            _add(code, [name], info.state_machine)
            alarm.add_metric([name], 1.0 if condition(info.state_machine) == "alarm" else 0.0)
            _add(line, [name], info.gcode_line)
            _add(feed, [name, "programmed"], info.feed_programmed)
            _add(feed, [name, "target"], info.feed_target)
            _add(feed, [name, "actual"], info.feed_reference)
            _add(spindle, [name, "programmed"], info.spindle_programmed)
            _add(spindle, [name, "target"], info.spindle_target)
            _add(spindle, [name, "actual"], info.spindle_actual)
            _add(load, [name], info.spindle_load)
            for key, field in OVERRIDES.items():
                _add(override, [name, key], getattr(info, field))
            axes = snap.axes_info
            if axes is not None:
                letters = position_axes(info).lower()
                for frame, values in (("machine", axes.machine_position), ("program", axes.program_position)):
                    if isinstance(values, list):
                        for ch in letters:
                            j = _AXES.index(ch)
                            if j < len(values):
                                _add(position, [name, frame, ch], values[j])
        yield from (up, state, code, alarm, line, feed, spindle, load, override, position, seen)
        yield from (polls, failures, connects, latency)


def _add(family: GaugeMetricFamily, labels: list[str], value: Any) -> None:
    # A reply value is stored as decoded: skip what is no number rather than fail the scrape.
    if isinstance(value, int | float) and not isinstance(value, bool):
        family.add_metric(labels, float(value))
    elif isinstance(value, bool):
        family.add_metric(labels, 1.0 if value else 0.0)


class Exporter:
    """Polls `machines` at `rate` per second and serves their metrics."""

    def __init__(
        self,
        machines: Iterable[Machine],
        rate: float = 10.0,
        *,
        pollers: int = 1,
        connectors: int = 4,
        on_poll: PollObserver | None = None,
    ) -> None:
        self.machines = list(machines)
        self.latency = [_Latency() for _ in self.machines]
        self._observer = on_poll
        self.fleet = Fleet(self.machines, rate, pollers=pollers, connectors=connectors, on_poll=self._polled)
        self.registry = CollectorRegistry(auto_describe=False)
        self.registry.register(FleetCollector(self.fleet, self.latency))
        self._server: Any = None
        self._thread: Any = None

    def _polled(self, index: int, snap: Snapshot | None, took: float) -> None:
        if snap is not None:
            lat = self.latency[index]
            for seconds in snap.requests:
                lat.observe(seconds)
        if self._observer is not None:
            self._observer(index, snap, took)

    def start(self) -> Exporter:
        self.fleet.start()
        return self

    def serve(self, addr: str, port: int) -> int:
        """Start polling and the HTTP endpoint (/metrics); returns the bound port."""
        self._server, self._thread = start_http_server(port, addr, self.registry)
        self.start()
        bound: int = self._server.server_port
        return bound

    def stop(self) -> None:
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
        self.fleet.stop()
