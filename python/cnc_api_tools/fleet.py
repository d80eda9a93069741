"""Polling many machines at a fixed rate from a few threads.

Machines are dealt out to a few pollers. Each poller turns a wheel of `SLOTS`
time slots that divides the period; every machine has one slot, and on each
wake-up the poller polls the machines of the slot that fell due, one after the
other, on its own thread: no heap, no lock and no object per poll, one wake-up
per slot. Connecting is never done by a poller: a machine that is down goes to
the connectors, which retry it after its back-off and hand it back once
connected, so a machine whose connect times out slows nobody. A machine that
stops answering on an open connection holds its poller for up to the module's
reply time-out (5 s) before it is dropped; meanwhile a standby thread, which
otherwise only looks in twenty times a second, turns that poller's wheel and
polls the machines it leaves waiting.
"""

from __future__ import annotations

import concurrent.futures
import heapq
import itertools
import logging
import math
import threading
import time
from collections import deque
from collections.abc import Callable, Sequence
from types import TracebackType
from typing import Protocol, Self

import cnc_api_client_core as cnc

from .link import Link
from .machine import Machine, Snapshot, read_snapshot

__all__ = ["Fleet", "PollObserver", "Reader", "SnapshotReader"]

# Called after every poll with (index of the machine, its snapshot or None, seconds the poll took).
PollObserver = Callable[[int, Snapshot | None, float], None]

_log = logging.getLogger(__name__)

# Slots per period. Polls made back to back in a batch cost measurably less CPU than the same
# polls spread thin (256 machines at 10 Hz: about 10 us a poll less with 2 slots than with 10);
# two halve the burst one would make.
SLOTS = 2

# A poller busy with one poll for longer than this is stalled: the standby polls for it.
STALL = 0.05

# Where a machine is: waiting for its slot, taken for a poll (in a batch or being polled), or
# with the connectors. Only the thread that took a machine gives it back, so no machine is
# ever polled by two threads at once.
_WAITING, _TAKEN, _AWAY = 0, 1, 2


class Reader(Protocol):
    """What one poll reads from a connected client and where it keeps it.

    `read` runs on a polling thread under the machine's lock; it returns True
    when every query brought data (False makes the fleet check the connection).
    `missed` stands for `read` when a poll found the machine without a client.
    """

    def read(self, client: cnc.CncAPIClientCore, index: int) -> bool: ...

    def missed(self, index: int) -> None: ...


class SnapshotReader:
    """Keeps a `Snapshot` per machine in `latest` and tells `on_poll` of each poll."""

    def __init__(self, count: int, axes: bool, compile: bool, on_poll: PollObserver | None) -> None:
        self.latest: list[Snapshot | None] = [None] * count
        self.axes = axes
        self.compile = compile
        self.on_poll = on_poll

    def read(self, client: cnc.CncAPIClientCore, index: int) -> bool:
        started = time.perf_counter()
        snap = read_snapshot(client, self.axes, self.compile)
        took = time.perf_counter() - started
        self.latest[index] = snap
        if self.on_poll is not None:
            self.on_poll(index, snap, took)
        return snap is not None

    def missed(self, index: int) -> None:
        self.latest[index] = None
        if self.on_poll is not None:
            self.on_poll(index, None, 0.0)


class _Shard:
    """One poller's wheel: its slots, where it stands, and the batch being polled."""

    def __init__(self) -> None:
        self.slots: list[tuple[float, list[int]]] = []  # (offset in the period, machines), by offset
        self.pos = 0  # next slot
        self.turn = 0  # periods since the epoch of the next slot
        self.batch: deque[int] = deque()  # taken machines not polled yet; popleft is atomic
        self.lock = threading.Lock()  # turning the wheel (once per slot, not per poll)
        self.started = 0.0  # perf_counter start of the poller's poll under way, 0 while it waits


class Fleet:
    """Polls `machines` `rate` times a second each.

    By default each poll keeps a snapshot of the machine: `latest[i]`,
    `polls[i]` and `failures[i]` belong to `machines[i]`, and `on_poll` runs
    on the polling thread after every poll and must be quick. A `reader`
    replaces that (`axes`, `compile` and `on_poll` are then its business).
    """

    def __init__(
        self,
        machines: Sequence[Machine],
        rate: float,
        *,
        pollers: int = 1,
        connectors: int = 4,
        axes: bool = True,
        compile: bool = False,
        on_poll: PollObserver | None = None,
        reader: Reader | None = None,
    ) -> None:
        if not rate > 0 or not math.isfinite(rate):
            raise ValueError("rate must be a positive number")
        self.machines = list(machines)
        count = len(self.machines)
        self.period = 1.0 / rate
        self.tick = self.period / SLOTS  # time between two slots of a wheel
        self.axes = axes
        self.compile = compile
        self.on_poll = on_poll
        self._snapshots: SnapshotReader | None = None
        if reader is None:
            reader = self._snapshots = SnapshotReader(count, axes, compile, on_poll)
        self.reader = reader
        self.polls = [0] * count
        self.failures = [0] * count
        self._where = [_AWAY] * count
        self._faulted: set[int] = set()
        self._shards = [_Shard() for _ in range(max(1, min(pollers, count or 1)))]
        self._deal()
        self._connect_pool = concurrent.futures.ThreadPoolExecutor(
            max(1, connectors), thread_name_prefix="cnc-api-connect"
        )
        self._retry: list[tuple[float, int, int]] = []  # (due, tie-break, machine index)
        self._retry_cond = threading.Condition()
        self._seq = itertools.count()
        self._stopping = threading.Event()
        self._threads: list[threading.Thread] = []
        self._epoch = 0.0

    @property
    def latest(self) -> list[Snapshot | None]:
        """The last snapshot of each machine (None while down); all None when a reader replaced them."""
        if self._snapshots is None:
            return [None] * len(self.machines)
        return self._snapshots.latest

    def _deal(self) -> None:
        """Deal the machines to the pollers and spread each poller's machines over the period."""
        count = len(self.machines)
        slots = max(1, math.ceil(self.period / self.tick - 1e-9))
        width = self.period / slots
        for k, shard in enumerate(self._shards):
            mine = range(k, count, len(self._shards))
            by_slot: dict[int, list[int]] = {}
            for j, index in enumerate(mine):
                by_slot.setdefault(j * slots // len(mine), []).append(index)
            shard.slots = [(s * width, by_slot[s]) for s in sorted(by_slot)]

    # ----- lifecycle --------------------------------------------------------------------------

    def start(self) -> Self:
        self._epoch = time.monotonic()
        n = max(1, len(self.machines))
        with self._retry_cond:
            for i in range(len(self.machines)):
                # First connects spread over one period, so they do not come in one burst.
                heapq.heappush(self._retry, (self._epoch + self.period * i / n, next(self._seq), i))
        for k, shard in enumerate(self._shards):
            t = threading.Thread(target=self._poll_loop, args=(shard,), name=f"cnc-api-poll-{k}", daemon=True)
            t.start()
            self._threads.append(t)
        for target, name in ((self._connect_loop, "cnc-api-connect"), (self._standby_loop, "cnc-api-standby")):
            t = threading.Thread(target=target, name=name, daemon=True)
            t.start()
            self._threads.append(t)
        return self

    def stop(self, close: bool = True) -> None:
        """Stop polling (polls under way end first) and close the machines unless told not to."""
        self._stopping.set()
        with self._retry_cond:
            self._retry_cond.notify_all()
        for t in self._threads:
            t.join()
        self._connect_pool.shutdown(wait=True, cancel_futures=True)
        if close:
            for m in self.machines:
                m.close()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.stop()

    # ----- polling ----------------------------------------------------------------------------

    def _poll(self, index: int) -> None:
        """One poll of a machine this thread took; gives it back to the wheel or to the connectors."""
        machine = self.machines[index]
        try:
            complete = machine.read_if_connected(self.reader.read, index)
        except Exception:
            # A fault in a reader or an observer must not end the thread that polls the others.
            if index not in self._faulted:
                self._faulted.add(index)
                _log.exception("polling %s failed (reported once per machine)", machine.name)
            complete = False
        self.polls[index] += 1
        if complete:
            self._where[index] = _WAITING
            return
        self.failures[index] += 1
        if complete is None:
            self.reader.missed(index)
        if machine.connected:
            self._where[index] = _WAITING
            return
        self._where[index] = _AWAY
        self._retry_later(index, machine.status.retry_in())

    def _turn(self, shard: _Shard) -> float:
        """Take the machines of the next slot into the batch once it is due; else the wait until it is."""
        with shard.lock:
            if shard.batch:  # the other thread turned it meanwhile
                return 0.0
            offset, members = shard.slots[shard.pos]
            period = self.period
            now = time.monotonic()
            due = self._epoch + shard.turn * period + offset
            if due > now:
                return due - now
            if now - due >= period:  # fell behind by whole periods: skip the missed polls, keep the phase
                shard.turn += int((now - due) / period)
            shard.pos += 1
            if shard.pos == len(shard.slots):
                shard.pos = 0
                shard.turn += 1
            where = self._where
            batch = shard.batch
            for index in members:
                if where[index] == _WAITING:
                    where[index] = _TAKEN
                    batch.append(index)
            return 0.0

    def _poll_loop(self, shard: _Shard) -> None:
        stopping = self._stopping
        if not shard.slots:
            stopping.wait()
            return
        batch = shard.batch
        take = batch.popleft
        poll = self._poll
        clock = time.perf_counter
        while not stopping.is_set():
            while True:
                try:
                    index = take()
                except IndexError:
                    break
                shard.started = clock()
                poll(index)
            shard.started = 0.0
            wait = self._turn(shard)
            if wait > 0:
                stopping.wait(wait)

    def _standby_loop(self) -> None:
        clock = time.perf_counter
        pause = STALL
        while not self._stopping.wait(pause):
            pause = STALL
            for shard in self._shards:
                while not self._stopping.is_set():
                    started = shard.started
                    if not started or clock() - started < STALL or not shard.slots:
                        break
                    # The poller is stuck in one poll: poll what it leaves waiting, on time.
                    try:
                        index = shard.batch.popleft()
                    except IndexError:
                        wait = self._turn(shard)
                        if wait > 0:
                            pause = min(pause, wait)
                            break
                        continue
                    self._poll(index)

    # ----- connecting -------------------------------------------------------------------------

    def _retry_later(self, index: int, delay: float) -> None:
        with self._retry_cond:
            due = time.monotonic() + delay
            first = not self._retry or due < self._retry[0][0]
            heapq.heappush(self._retry, (due, next(self._seq), index))
            if first:
                self._retry_cond.notify()

    def _connect_loop(self) -> None:
        while True:
            with self._retry_cond:
                while True:
                    if self._stopping.is_set():
                        return
                    if self._retry:
                        wait = self._retry[0][0] - time.monotonic()
                        if wait <= 0:
                            _, _, index = heapq.heappop(self._retry)
                            break
                        self._retry_cond.wait(wait)
                    else:
                        self._retry_cond.wait()
            try:
                self._connect_pool.submit(self._connect, index)
            except RuntimeError:  # the pool is shutting down
                return

    def _connect(self, index: int) -> None:
        machine = self.machines[index]
        if self._stopping.is_set() or machine.state is Link.CLOSED:
            return
        if machine.connect():
            self._where[index] = _WAITING  # polled from its next slot on
        else:
            self._retry_later(index, machine.status.retry_in())
