"""How pytest-xdist hands the tests out to the workers of `make test`.

Work stealing as pytest-xdist does it, with two changes:

- Tests that share an expensive fixture of module or session scope (a server
  process with its simulators, a browser) stay together on one worker, so the
  fixture is set up once rather than once on every worker that steals a few.
- Each worker's queue starts with its share of those groups and of the tests
  that wait out real time-outs, so the waits overlap while quick tests fill the
  cores.

The controller sees only node ids, so the workers, which see markers and
fixtures, write what it needs into a file while they collect.
"""

from __future__ import annotations

import json
import os
import shutil
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import pytest

try:
    from xdist.scheduler import WorkStealingScheduling
    from xdist.scheduler.worksteal import MIN_PENDING
except ImportError:  # without pytest-xdist the suite runs in one process
    WorkStealingScheduling = object  # type: ignore[assignment,misc]
    MIN_PENDING = 2

# Fixtures whose tests share one worker: set up once they take seconds.
SHARED_FIXTURES = ("bridge", "chromium")
PLAN = "cnc_test_plan"
_PLAN_KEY = pytest.StashKey[Path]()


def group_of(item: pytest.Item) -> str | None:
    defs = getattr(item, "_fixtureinfo", None)
    for name in SHARED_FIXTURES:
        if name not in getattr(item, "fixturenames", ()):
            continue
        found = defs.name2fixturedefs.get(name) if defs is not None else None
        if found and found[-1].scope != "function":
            return name if found[-1].scope == "session" else f"{item.path.name}:{name}"
    return None


def write_plan(config: pytest.Config, items: Sequence[pytest.Item]) -> None:
    """On a worker: the groups and the slow tests, by node id, for the controller."""
    path = getattr(config, "workerinput", {}).get(PLAN)
    if not path:
        return
    groups: dict[str, list[str]] = {}
    slow: list[str] = []
    for item in items:
        group = group_of(item)
        if group is not None:
            groups.setdefault(group, []).append(item.nodeid)
        elif item.get_closest_marker("slow"):
            slow.append(item.nodeid)
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path))
    with os.fdopen(fd, "w") as f:
        json.dump({"groups": list(groups.values()), "slow": slow}, f)
    os.replace(tmp, path)  # every worker writes the same plan; a reader never sees half of one


# A group keeps its worker about as long as this many time-outs do.
GROUP_WEIGHT = 4


def deal(groups: list[list[int]], slow: list[int], total: int, workers: int) -> list[list[int]]:
    """The first queue of each worker: test indices, every test once.

    The groups and the slow tests mostly wait rather than compute, so they head
    the queues of all but a quarter of the workers, spread evenly; the others
    start on quick tests and keep the cores busy meanwhile. The remaining tests
    follow in collection order, each queue filled up to an equal share.
    """
    queues: list[list[int]] = [[] for _ in range(workers)]
    waiting = queues[workers // 4 :]
    load = [0] * len(waiting)
    for unit, weight in [(g, GROUP_WEIGHT) for g in groups] + [([i], 1) for i in slow]:
        least = load.index(min(load))
        waiting[least] += unit
        load[least] += weight
    taken = {i for queue in queues for i in queue}
    rest = [i for i in range(total) if i not in taken]
    share = total // workers
    for queue in queues:
        need = max(0, share - len(queue))
        queue += rest[:need]
        del rest[:need]
    queues[-1] += rest
    return queues


class GroupedWorkStealing(WorkStealingScheduling):  # type: ignore[misc,valid-type]
    def __init__(self, config: pytest.Config, log: Any, plan: Path) -> None:
        super().__init__(config, log)
        self.plan = plan
        self.group_of: dict[int, int] = {}  # test index -> group number

    def schedule(self) -> None:
        if self.collection is not None or not self.plan.exists():
            super().schedule()
            return
        assert self.collection_is_completed
        if not self._check_nodes_have_same_collection():
            self.log("**Different tests collected, aborting run**")
            return
        self.collection = next(iter(self.node2collection.values()))
        index = {nodeid: i for i, nodeid in enumerate(self.collection)}
        plan = json.loads(self.plan.read_text())
        groups = [[index[n] for n in group if n in index] for group in plan["groups"]]
        groups = sorted((g for g in groups if g), key=len, reverse=True)
        for number, group in enumerate(groups):
            self.group_of.update(dict.fromkeys(group, number))
        slow = [index[n] for n in plan["slow"] if n in index]
        nodes = [node for node in self.node2pending if not node.shutting_down]
        queues = deal(groups, slow, len(self.collection), len(nodes))
        for node, queue in zip(nodes, queues, strict=True):
            if queue:
                self.node2pending[node].extend(queue)
                node.send_runtest_some(queue)
        self.pending = []

    def _same_group(self, a: int, b: int) -> bool:
        return a in self.group_of and self.group_of[a] == self.group_of.get(b)

    def _whole(self, pending: Sequence[int], start: int) -> int:
        """`start` moved back, if need be, to where the group it falls in begins."""
        while 0 < start < len(pending) and self._same_group(pending[start], pending[start - 1]):
            start -= 1
        return start

    def _send_tests(self, node: Any, num: int) -> None:
        # Tests handed back by a stolen-from or lost worker: their groups stay whole too.
        while 0 < num < len(self.pending) and self._same_group(self.pending[num], self.pending[num - 1]):
            num += 1
        super()._send_tests(node, num)

    def check_schedule(self) -> None:
        nodes_up = [(node, pending) for node, pending in self.node2pending.items() if not node.shutting_down]
        idle = [node for node, pending in nodes_up if len(pending) < MIN_PENDING]
        if not idle:
            return
        if self.pending:
            for i, node in enumerate(idle):
                self._send_tests(node, len(self.pending) // (len(idle) - i))
            idle = [node for node, pending in nodes_up if len(pending) < MIN_PENDING]
            if not idle:
                return
        if self.steal_requested_from_node is not None:
            return
        # Steal about half of the longest queue that can give any without splitting a group.
        best, best_from = 0, None
        for node, pending in nodes_up:
            want = min(len(pending) // 2, max(0, len(pending) - MIN_PENDING))
            start = self._whole(pending, len(pending) - want) if want else len(pending)
            if start < MIN_PENDING:
                start = len(pending)
            if len(pending) - start > best:
                best, best_from = len(pending) - start, (node, pending)
        if best_from is None:
            for node in idle:
                node.shutdown()
            return
        node, pending = best_from
        node.send_steal(pending[-best:])
        self.steal_requested_from_node = node


def plan_path(config: pytest.Config) -> Path:
    if _PLAN_KEY not in config.stash:
        folder = tempfile.mkdtemp(prefix="cnc-test-plan-")
        config.add_cleanup(lambda: shutil.rmtree(folder, ignore_errors=True))
        config.stash[_PLAN_KEY] = Path(folder) / "plan.json"
    return config.stash[_PLAN_KEY]


def make_scheduler(config: pytest.Config, log: Any) -> GroupedWorkStealing | None:
    if config.getvalue("dist") != "worksteal" or WorkStealingScheduling is object:
        return None
    return GroupedWorkStealing(config, log, plan_path(config))


def configure_node(node: Any) -> None:
    if node.config.getvalue("dist") == "worksteal":
        node.workerinput[PLAN] = str(plan_path(node.config))
