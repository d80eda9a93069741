"""Prometheus metrics for a fleet of machines.

A poll keeps only the few values the metrics show (one tuple per machine) and
counts the request latencies into a preallocated bucket array per machine; the
records themselves are dropped at once, while they are still in the cache. The
text the endpoint serves is written from those when Prometheus scrapes, so a
poll costs no metric objects and no locks, and a scrape of hundreds of
machines costs milliseconds.

    exporter = Exporter([Machine("10.0.0.5"), Machine("10.0.0.6")], rate=10)
    port = exporter.serve("0.0.0.0", 9108)
    ...
    exporter.stop()
"""

from __future__ import annotations

import operator
import time
from bisect import bisect_left
from collections.abc import Collection, Iterable, Iterator, Mapping, Sequence
from typing import Any

import cnc_api_client_core as cnc
from prometheus_client.core import Metric
from prometheus_client.parser import text_string_to_metric_families
from prometheus_client.registry import Collector, CollectorRegistry

from .codes import State, axis_letters, code_name, condition
from .fleet import Fleet, PollObserver
from .link import Link
from .machine import Machine, Snapshot
from .metrics_http import MetricsServer
from .ratefleet import RatedFleet, make_fleet
from .views import OVERRIDES

__all__ = ["BUCKETS", "CONTENT_TYPE", "Exporter", "FleetCollector"]

# Request latency buckets, in seconds: loopback answers take a fraction of a millisecond.
BUCKETS = (0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0)
CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"

_AXES = "xyzabc"
_FEEDS = (("programmed", "feed_programmed"), ("target", "feed_target"), ("actual", "feed_reference"))
_SPINDLES = (("programmed", "spindle_programmed"), ("target", "spindle_target"), ("actual", "spindle_actual"))
# The cnc info fields the metrics show, read in one call per poll.
_FIELDS = (
    ("state_machine", "gcode_line", "axes_mask", "spindle_load")
    + tuple(field for _, field in _FEEDS + _SPINDLES)
    + tuple(OVERRIDES.values())
)
_read_fields = operator.attrgetter(*_FIELDS)
_FEED_AT = {kind: _FIELDS.index(field) for kind, field in _FEEDS}
_SPINDLE_AT = {kind: _FIELDS.index(field) for kind, field in _SPINDLES}
_OVERRIDE_AT = {key: _FIELDS.index(field) for key, field in OVERRIDES.items()}
_STATE_NAMES = tuple(s.name for s in State)
_LE = tuple(f'le="{b}"' for b in BUCKETS) + ('le="+Inf"',)

# (name as exposed, type, help) in the order they are served.
_FAMILIES = (
    ("cnc_up", "gauge", "1 while the machine's API server is connected and answering."),
    ("cnc_state", "gauge", "The state machine's state: 1 for the current one, 0 for the others."),
    ("cnc_state_code", "gauge", "The state machine's state as its code."),
    ("cnc_alarm", "gauge", "1 while the machine is in alarm, limit or safety."),
    ("cnc_gcode_line", "gauge", "G-code line being executed."),
    ("cnc_feed_rate", "gauge", "Feed rate, in the machine's units per minute."),
    ("cnc_spindle_speed_rpm", "gauge", "Spindle speed."),
    ("cnc_spindle_load_percent", "gauge", "Spindle load."),
    ("cnc_override_percent", "gauge", "Override values."),
    ("cnc_position", "gauge", "Axis positions."),
    ("cnc_last_poll_timestamp_seconds", "gauge", "Time of the last good poll."),
    ("cnc_polls_total", "counter", "Polls made."),
    ("cnc_poll_failures_total", "counter", "Polls that brought no status."),
    ("cnc_connects_total", "counter", "Successful connects."),
    ("cnc_request_duration_seconds", "histogram", "Duration of each request to the API server."),
)
_HISTOGRAM_SAMPLES = ("_bucket", "_count", "_sum")
# Label names the metrics use themselves; a fleet label of one of these names would clash.
RESERVED_LABELS = frozenset({"machine", "state", "kind", "override", "frame", "axis", "le", "instance", "job"})

# What one good poll keeps: (wall-clock time, the _FIELDS values, machine and program positions).
_Status = tuple[float, tuple[Any, ...], Any, Any]


def number(value: object) -> str | None:
    """A reply value as exposition text, or None when it is no number (the sample is left out)."""
    if value.__class__ is float:
        f: float = value
    elif isinstance(value, bool):
        return "1.0" if value else "0.0"
    elif isinstance(value, int | float):
        try:
            f = float(value)
        except OverflowError:  # an integer beyond any float
            return "+Inf" if value > 0 else "-Inf"
    else:
        return None
    if f - f == 0.0:
        return repr(f)
    return "NaN" if f != f else "+Inf" if f > 0 else "-Inf"


def label_value(text: str) -> str:
    return text.replace("\\", r"\\").replace("\n", r"\n").replace('"', r"\"")


class _Reader:
    """The exporter's poll: reads the two records, keeps what the metrics show, drops the rest."""

    def __init__(self, count: int, on_poll: PollObserver | None) -> None:
        self.status: list[_Status | None] = [None] * count
        self.counts = [[0] * (len(BUCKETS) + 1) for _ in range(count)]
        self.sums = [0.0] * count
        self.on_poll = on_poll

    def read(self, client: cnc.CncAPIClientCore, index: int) -> bool:
        clock = time.perf_counter
        wall = time.time()
        t0 = clock()
        info = client.get_cnc_info()
        t1 = clock()
        counts = self.counts[index]
        counts[bisect_left(BUCKETS, t1 - t0)] += 1
        if not info.has_data:
            self.status[index] = None
            self.sums[index] += t1 - t0
            if self.on_poll is not None:
                self.on_poll(index, None, t1 - t0)
            return False
        axes = client.get_axes_info()
        t2 = clock()
        counts[bisect_left(BUCKETS, t2 - t1)] += 1
        self.sums[index] += t2 - t0
        complete: bool = axes.has_data
        if complete:
            self.status[index] = (wall, _read_fields(info), axes.machine_position, axes.program_position)
        elif client.is_connected:
            self.status[index] = (wall, _read_fields(info), None, None)
        else:  # dropped: nothing of it is shown again until it answers
            self.status[index] = None
        if self.on_poll is not None:
            snap = Snapshot(wall, t2 - t0, info, axes if complete else None, None, [t1 - t0, t2 - t1])
            self.on_poll(index, snap, t2 - t0)
        return complete

    def missed(self, index: int) -> None:
        self.status[index] = None
        if self.on_poll is not None:
            self.on_poll(index, None, 0.0)


class Exporter:
    """Polls `machines` at `rate` per second and serves their metrics.

    Machine names are the `machine` label, so they must differ. `on_poll`
    runs on the polling thread after every poll, with a snapshot made for it.
    `labels[i]` adds labels to every sample of `machines[i]` (site, line, cell
    from a fleet file); `rates[i]` polls it at a rate of its own.
    """

    def __init__(
        self,
        machines: Iterable[Machine],
        rate: float = 10.0,
        *,
        pollers: int = 1,
        connectors: int = 4,
        on_poll: PollObserver | None = None,
        labels: Sequence[Mapping[str, str]] | None = None,
        rates: Sequence[float] | None = None,
    ) -> None:
        self.machines = list(machines)
        seen: set[str] = set()
        for m in self.machines:
            if m.name in seen:
                raise ValueError(f"two machines named {m.name!r}: each needs a name of its own")
            seen.add(m.name)
        self._reader = _Reader(len(self.machines), on_poll)
        self.fleet: Fleet | RatedFleet = make_fleet(
            self.machines,
            list(rates) if rates is not None else [rate] * len(self.machines),
            pollers=pollers,
            connectors=connectors,
            reader=self._reader,
        )
        self._labels = [f'machine="{label_value(m.name)}"' for m in self.machines]
        for i, extra in enumerate(labels or ()):
            clash = sorted(k for k in extra if k in RESERVED_LABELS or k.startswith("__"))
            if clash:
                raise ValueError(f"machine {self.machines[i].name!r}: label {clash[0]!r} is one the metrics use")
            self._labels[i] += "".join(f',{k}="{label_value(v)}"' for k, v in sorted(extra.items()))
        self._state_lines: dict[tuple[int, str], str] = {}
        self._positions: dict[int, str] = {}
        # For those who serve the metrics from a registry of their own (slower than `serve`).
        self.registry = CollectorRegistry(auto_describe=False)
        self.registry.register(FleetCollector(self))
        self._server: MetricsServer | None = None

    # ----- running ----------------------------------------------------------------------------

    def start(self) -> Exporter:
        self.fleet.start()
        return self

    def serve(self, addr: str, port: int) -> int:
        """Start polling and the HTTP endpoint (metrics on any path); returns the bound port."""
        self._server = MetricsServer(addr, port, self.exposition, CONTENT_TYPE)
        self._server.start()
        self.start()
        return self._server.port

    def stop(self) -> None:
        if self._server is not None:
            self._server.stop()
            self._server = None
        self.fleet.stop()

    # ----- the exposition ---------------------------------------------------------------------

    def exposition(self, names: Collection[str] | None = None) -> bytes:
        """The metrics in Prometheus' text format; only the families in `names` when given."""
        out: dict[str, list[str]] = {name: [] for name, _, _ in _FAMILIES}
        fleet, reader = self.fleet, self._reader
        for i, machine in enumerate(self.machines):
            self._machine(i, machine, out, fleet.polls[i], fleet.failures[i], reader.status[i])
        text: list[str] = []
        for name, kind, help_text in _FAMILIES:
            if names is not None and not _wanted(name, kind, names):
                continue
            text.append(f"# HELP {name} {help_text}\n# TYPE {name} {kind}\n")
            text.extend(out[name])
        return "".join(text).encode()

    def _machine(
        self, i: int, machine: Machine, out: dict[str, list[str]], polls: int, failures: int, status: _Status | None
    ) -> None:
        lab = self._labels[i]
        connected = machine.state is Link.CONNECTED
        out["cnc_up"].append(f"cnc_up{{{lab}}} {'1.0' if connected and status is not None else '0.0'}\n")
        out["cnc_polls_total"].append(f"cnc_polls_total{{{lab}}} {polls}\n")
        out["cnc_poll_failures_total"].append(f"cnc_poll_failures_total{{{lab}}} {failures}\n")
        out["cnc_connects_total"].append(f"cnc_connects_total{{{lab}}} {machine.status.connects}\n")
        counts = list(self._reader.counts[i])  # one copy, so the buckets and the count agree
        lines, running = out["cnc_request_duration_seconds"], 0
        for le, n in zip(_LE, counts, strict=True):
            running += n
            lines.append(f"cnc_request_duration_seconds_bucket{{{lab},{le}}} {running}\n")
        lines.append(f"cnc_request_duration_seconds_count{{{lab}}} {running}\n")
        lines.append(f"cnc_request_duration_seconds_sum{{{lab}}} {number(self._reader.sums[i])}\n")
        if status is None or not connected:
            return
        wall, values, machine_position, program_position = status
        state = values[0]
        current = code_name(State, state)
        out["cnc_state"].append(self._state_block(i, current))
        self._gauge(out, "cnc_state_code", lab, state)
        out["cnc_alarm"].append(f"cnc_alarm{{{lab}}} {'1.0' if condition(state) == 'alarm' else '0.0'}\n")
        out["cnc_last_poll_timestamp_seconds"].append(f"cnc_last_poll_timestamp_seconds{{{lab}}} {number(wall)}\n")
        self._gauge(out, "cnc_gcode_line", lab, values[1])
        for kind, at in _FEED_AT.items():
            self._gauge(out, "cnc_feed_rate", f'{lab},kind="{kind}"', values[at])
        for kind, at in _SPINDLE_AT.items():
            self._gauge(out, "cnc_spindle_speed_rpm", f'{lab},kind="{kind}"', values[at])
        self._gauge(out, "cnc_spindle_load_percent", lab, values[3])
        for key, at in _OVERRIDE_AT.items():
            self._gauge(out, "cnc_override_percent", f'{lab},override="{key}"', values[at])
        if machine_position is not None:
            letters = self._letters(values[2])
            for frame, positions in (("machine", machine_position), ("program", program_position)):
                if isinstance(positions, list):
                    for ch in letters:
                        j = _AXES.index(ch)
                        if j < len(positions):
                            self._gauge(out, "cnc_position", f'{lab},frame="{frame}",axis="{ch}"', positions[j])

    @staticmethod
    def _gauge(out: dict[str, list[str]], name: str, labels: str, value: object) -> None:
        text = number(value)
        if text is not None:
            out[name].append(f"{name}{{{labels}}} {text}\n")

    def _state_block(self, i: int, current: str) -> str:
        """The cnc_state lines of machine `i`, made once per state it is seen in."""
        key = (i, current)
        block = self._state_lines.get(key)
        if block is None:
            lab = self._labels[i]
            names = _STATE_NAMES if current in _STATE_NAMES else (*_STATE_NAMES, current)
            block = "".join(
                f'cnc_state{{{lab},state="{label_value(s)}"}} {"1.0" if s == current else "0.0"}\n' for s in names
            )
            if len(self._state_lines) < 64 * max(1, len(self.machines)):  # unknown codes are not kept forever
                self._state_lines[key] = block
        return block

    def _letters(self, mask: object) -> str:
        """The lower-case letters of the axes among X..C in `mask` (x, y, z when it does not say)."""
        bits = (mask if isinstance(mask, int) else 0) & 0b111111
        letters = self._positions.get(bits)
        if letters is None:
            letters = self._positions[bits] = (axis_letters(bits) or "XYZ").lower()
        return letters


def _wanted(name: str, kind: str, names: Collection[str]) -> bool:
    if name in names:
        return True
    return kind == "histogram" and any(name + suffix in names for suffix in _HISTOGRAM_SAMPLES)


class FleetCollector(Collector):
    """The exporter's metrics for a prometheus-client registry, read back from its exposition."""

    def __init__(self, exporter: Exporter) -> None:
        self.exporter = exporter

    def collect(self) -> Iterator[Metric]:
        yield from text_string_to_metric_families(self.exporter.exposition().decode())
