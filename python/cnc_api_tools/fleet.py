"""Polling many machines at a fixed rate from a few threads.

Machines are dealt out to a few pollers; each poller keeps its own schedule and
polls every machine that is due on one wake-up, on its own thread, so a poll
costs no hand-over between threads and little waking. Polls fall on ticks of a
tenth of the period, which keeps the wake-ups few. Connecting is never done by
a poller: a machine that is down goes to the connectors, which retry it after
its back-off and hand it back once connected, so a machine whose connect times
out slows nobody. A machine that stops answering on an open connection holds
its poller for up to the module's reply time-out (5 s) before it is dropped;
meanwhile a standby thread, which otherwise only looks in a few times a second,
polls the machines that poller leaves waiting.
"""

from __future__ import annotations

import concurrent.futures
import heapq
import itertools
import math
import threading
import time
from collections.abc import Callable, Sequence
from types import TracebackType
from typing import Self

from .link import Link
from .machine import Machine, Snapshot

__all__ = ["Fleet", "PollObserver"]

# Called after every poll with (index of the machine, its snapshot or None, seconds the poll took).
PollObserver = Callable[[int, Snapshot | None, float], None]

_Entry = tuple[float, int, int]  # (due time, tie-break, machine index)


# A poller busy with one poll for longer than this is stalled: the standby polls for it.
STALL = 0.05


class _Shard:
    """One poller's schedule."""

    def __init__(self) -> None:
        self.heap: list[_Entry] = []
        self.lock = threading.Lock()
        self.wake = threading.Event()
        self.busy_since = 0.0  # monotonic start of the poll under way, 0 when none


class Fleet:
    """Polls `machines` `rate` times a second each, keeping the latest snapshot of each.

    `latest[i]`, `polls[i]` and `failures[i]` belong to `machines[i]`.
    `on_poll` runs on the poller's thread after every poll and must be quick.
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
    ) -> None:
        if not rate > 0 or not math.isfinite(rate):
            raise ValueError("rate must be a positive number")
        self.machines = list(machines)
        self.period = 1.0 / rate
        self.tick = min(self.period / 10.0, 0.01)
        self.axes = axes
        self.compile = compile
        self.on_poll = on_poll
        self.latest: list[Snapshot | None] = [None] * len(self.machines)
        self.polls = [0] * len(self.machines)
        self.failures = [0] * len(self.machines)
        self._shards = [_Shard() for _ in range(max(1, min(pollers, len(self.machines) or 1)))]
        self._connect_pool = concurrent.futures.ThreadPoolExecutor(
            max(1, connectors), thread_name_prefix="cnc-api-connect"
        )
        self._retry: list[_Entry] = []
        self._retry_cond = threading.Condition()
        self._seq = itertools.count()
        self._stopping = threading.Event()
        self._threads: list[threading.Thread] = []
        self._epoch = 0.0

    # ----- lifecycle --------------------------------------------------------------------------

    def start(self) -> Self:
        self._epoch = time.monotonic()
        n = max(1, len(self.machines))
        with self._retry_cond:
            for i in range(len(self.machines)):
                # Spread the machines over one period so the polls do not come in one burst.
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
        for shard in self._shards:
            shard.wake.set()
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

    def _on_tick(self, t: float) -> float:
        """`t` moved up to the next tick, so machines due close together share a wake-up."""
        k = math.ceil((t - self._epoch) / self.tick - 1e-9)
        return self._epoch + k * self.tick

    def _schedule(self, index: int, due: float) -> None:
        shard = self._shards[index % len(self._shards)]
        with shard.lock:
            first = not shard.heap or due < shard.heap[0][0]
            heapq.heappush(shard.heap, (due, next(self._seq), index))
        if first:
            shard.wake.set()

    def _poll_one(self, shard: _Shard, due: float, index: int) -> None:
        machine = self.machines[index]
        started = time.perf_counter()
        snap = machine.poll_if_connected(self.axes, self.compile)
        took = time.perf_counter() - started
        self.latest[index] = snap
        self.polls[index] += 1
        if snap is None:
            self.failures[index] += 1
        if self.on_poll is not None:
            self.on_poll(index, snap, took)
        if not machine.connected:
            self._retry_later(index, machine.status.retry_in())
            return
        period = self.period
        due += period
        now = time.monotonic()
        if due < now:  # fell behind: skip the missed polls, keep the phase
            due += period * (int((now - due) / period) + 1)
        with shard.lock:
            heapq.heappush(shard.heap, (due, next(self._seq), index))

    def _take_due(self, shard: _Shard, now: float) -> _Entry | float | None:
        """The next due entry (taken off the schedule), else the wait until one is due (None: empty)."""
        with shard.lock:
            heap = shard.heap
            if heap and heap[0][0] <= now:
                return heapq.heappop(heap)
            return heap[0][0] - now if heap else None

    def _poll_loop(self, shard: _Shard) -> None:
        clock = time.monotonic
        while not self._stopping.is_set():
            now = clock()
            entry = self._take_due(shard, now)
            if isinstance(entry, tuple):
                # One entry at a time: nothing this poller has not started stays off the schedule,
                # where the standby could not see it.
                shard.busy_since = now
                self._poll_one(shard, entry[0], entry[2])
                shard.busy_since = 0.0
                continue
            shard.wake.wait(entry)
            shard.wake.clear()

    def _standby_loop(self) -> None:
        while not self._stopping.wait(STALL):
            for shard in self._shards:
                while not self._stopping.is_set():
                    busy = shard.busy_since
                    now = time.monotonic()
                    if not busy or now - busy < STALL:
                        break
                    entry = self._take_due(shard, now)
                    if not isinstance(entry, tuple):
                        break
                    self._poll_one(shard, entry[0], entry[2])

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
            self._schedule(index, self._on_tick(time.monotonic()))
        else:
            self._retry_later(index, machine.status.retry_in())
