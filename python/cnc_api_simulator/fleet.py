"""Many simulated machines in one process, each with its own state, program, clock and faults."""

from __future__ import annotations

import dataclasses
import os
import time
from collections.abc import Callable, Iterator, Mapping
from typing import Any

from .config import AXES, MachineConfig
from .faults import Faults
from .fleetfile import SimMachine, fault_problem, parse_m_codes
from .limits import IDLE_TIMEOUT, MAX_CONNECTIONS, MEMORY_BUDGET, Budget
from .reqlog import RequestLog
from .server import DEFAULT_HOST, DEFAULT_SPEED, Simulator


def apply_faults(faults: Faults, settings: Mapping[str, Any]) -> None:
    """Set the faults of a fleet file's `[machine.faults]` table or of the fault options.

    Raises ValueError (naming the key) on an unknown key or a bad value."""
    for key, value in settings.items():
        problem = fault_problem(key, value)
        if problem:
            raise ValueError(f"faults: {key} {problem}")
    try:
        _apply(faults, settings)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"faults: {exc}") from None


def _apply(faults: Faults, settings: Mapping[str, Any]) -> None:
    latency = settings.get("latency")
    if latency is not None:
        low, high = (latency, latency) if isinstance(latency, (int, float)) else latency
        faults.latency(float(low), float(high), settings.get("latency_requests"))
    if settings.get("stall"):
        faults.stall(settings["stall"])
    probability = settings.get("cut_probability")
    if settings.get("cut") or probability:
        faults.cut(settings.get("cut") or 1, settings.get("cut_mode", "close"), probability or 1.0)
    if settings.get("garbage"):
        faults.garbage(settings["garbage"], settings.get("garbage_count", 1))
    refuse = settings.get("refuse")
    if isinstance(refuse, list):  # these requests, every time
        faults.refuse(None, refuse)
    elif refuse:
        faults.refuse(refuse)
    at_time, at_line = settings.get("alarm_at_time"), settings.get("alarm_at_line")
    if at_time is not None or at_line is not None:
        code, message = settings.get("alarm_code", 1000), settings.get("alarm_message", "alarm")
        faults.alarm(int(code), str(message), at_time=at_time, at_line=at_line)


def machine_config(machine: SimMachine, base: MachineConfig) -> MachineConfig:
    """The machine's settings: the fleet file's axes, travel limits and M codes over `base`,
    its dialect where the interpreter takes one (else it stays on the SimMachine)."""
    changes: dict[str, Any] = {
        "ignored_m": parse_m_codes(machine.ignore_m, base.ignored_m) if machine.ignore_m else base.ignored_m,
        "axes_mask": sum(1 << AXES.index(a) for a in machine.axes),
        "travel": {AXES.index(a): limits for a, limits in machine.limits.items()},
    }
    names = {f.name for f in dataclasses.fields(MachineConfig)}
    if machine.dialect is not None and "dialect" in names:
        changes["dialect"] = machine.dialect
    return dataclasses.replace(base, **changes)


class Fleet:
    """Serve `machines` on background threads: a machine without a port of its own listens on
    `port + its index` (every one on a free port when `port` is 0). Of several machines, each
    has a folder of its own in `programs_dir`, named after it.

        with Fleet.of(16) as fleet:
            for name, host, port in fleet.addresses(): ...
    """

    def __init__(
        self,
        machines: list[SimMachine],
        host: str = DEFAULT_HOST,
        port: int = 0,
        programs_dir: str | None = None,
        speed: float = DEFAULT_SPEED,
        config: MachineConfig | None = None,
        log: RequestLog | None = None,
        clock: Callable[[], float] = time.monotonic,
        *,
        max_connections: int = MAX_CONNECTIONS,
        idle_timeout: float = IDLE_TIMEOUT,
    ) -> None:
        base = config or MachineConfig()
        self._max_connections = max_connections
        self._idle_timeout = idle_timeout
        self.described = {m.name: m for m in machines}
        self.log = log
        self.sims: dict[str, Simulator] = {}
        # what the connections of all the machines may hold together, as for one machine
        self.budget = Budget(MEMORY_BUDGET)
        try:
            for i, m in enumerate(machines):
                self.sims[m.name] = self._simulator(m, i, host, port, programs_dir, speed, base, clock)
                self.sims[m.name].budget = self.budget
                apply_faults(self.sims[m.name].faults, m.faults)
        except BaseException:
            self.stop()  # the temporary folders of those made so far
            raise

    def _simulator(
        self,
        m: SimMachine,
        index: int,
        host: str,
        port: int,
        programs_dir: str | None,
        speed: float,
        base: MachineConfig,
        clock: Callable[[], float],
    ) -> Simulator:
        folder = programs_dir
        if programs_dir is not None and len(self.described) > 1:  # a folder of its own each
            folder = os.path.join(programs_dir, m.name)
            os.makedirs(folder, exist_ok=True)
        return Simulator(
            m.host or host,
            m.port if m.port is not None else (port + index if port else 0),
            folder,
            m.speed or speed,
            machine_config(m, base),
            clock=clock,
            name=m.name,
            log=self.log,
            seed=m.faults.get("seed"),
            max_connections=self._max_connections,
            idle_timeout=self._idle_timeout,
        )

    @classmethod
    def of(cls, count: int, prefix: str = "sim-", **kw: Any) -> Fleet:
        return cls([SimMachine(f"{prefix}{i}") for i in range(1, count + 1)], **kw)

    def start(self) -> list[tuple[str, str, int]]:
        """Bind and serve every machine; on a failure the ones started are stopped again."""
        try:
            for sim in self.sims.values():
                sim.start()
        except BaseException:
            self.stop()
            raise
        return self.addresses()

    def addresses(self) -> list[tuple[str, str, int]]:
        return [(name, sim.host, sim.port or 0) for name, sim in self.sims.items()]

    def stop(self) -> None:
        for sim in self.sims.values():
            sim.stop()
        if self.log is not None:
            self.log.close()

    def __getitem__(self, name: str) -> Simulator:
        return self.sims[name]

    def __iter__(self) -> Iterator[Simulator]:
        return iter(self.sims.values())

    def __len__(self) -> int:
        return len(self.sims)

    def __enter__(self) -> Fleet:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()
