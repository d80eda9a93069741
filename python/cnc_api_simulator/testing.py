"""Simulated machines for the tests of automation written against the client module.

    from cnc_api_simulator.testing import simulated_machine

    with simulated_machine() as machine:
        api = machine.client()              # a connected CncAPIClientCore
        machine.faults.stall(1)             # the next request gets no reply
        machine.clock.advance(2.0)          # two seconds of machine time pass, at once

The pytest fixtures `cnc_machine` and `cnc_fleet` (see `pytest_plugin`) give the same objects.
Everything started here is stopped when the `with` block ends: clients, machines, threads.
"""

from __future__ import annotations

import contextlib
import dataclasses
import threading
import time
from collections.abc import Iterator, Mapping
from typing import Any

from .config import MachineConfig
from .faults import Faults
from .fleet import Fleet
from .fleetfile import SimMachine
from .reqlog import RequestLog
from .server import Simulator


class MachineClock:
    """The machines' time. Manual, it moves only when the test moves it: programs, jogs and
    homing advance by exactly the seconds given, however busy the computer is. Otherwise it
    follows the wall clock, and `advance` still jumps it forward."""

    def __init__(self, manual: bool = True) -> None:
        self.manual = manual
        self._now = 0.0
        self._lock = threading.Lock()

    def __call__(self) -> float:
        return self._now if self.manual else time.monotonic() + self._now

    def advance(self, seconds: float) -> None:
        if not seconds >= 0:
            raise ValueError("machine time only moves forward")
        with self._lock:
            self._now += seconds


class SimulatedMachine:
    """One running simulated machine: where it listens, a client factory, its fault controls,
    its request log and its clock."""

    def __init__(self, simulator: Simulator, log: RequestLog, clock: MachineClock) -> None:
        self.simulator = simulator
        self.name = simulator.name
        self.host = simulator.host
        self.port = simulator.port or 0
        self.log = log
        self.clock = clock
        self._clients: list[Any] = []

    @property
    def faults(self) -> Faults:
        return self.simulator.faults

    @property
    def address(self) -> tuple[str, int]:
        return self.host, self.port

    def client(self, connect: bool = True) -> Any:
        """A new `cnc_api_client_core.CncAPIClientCore`, connected unless told otherwise; closed
        when the machine stops."""
        import cnc_api_client_core

        api = cnc_api_client_core.CncAPIClientCore()
        self._clients.append(api)
        if connect and not api.connect(self.host, self.port):
            raise ConnectionError(f"cannot connect to {self.name} at {self.host}:{self.port}")
        return api

    def requests(self) -> list[dict[str, Any]]:
        """The request log's entries of this machine, oldest first."""
        return self.log.entries(self.name)

    def close_clients(self) -> None:
        for api in self._clients:
            api.close()
        self._clients.clear()


class SimulatedFleet(Mapping[str, SimulatedMachine]):
    """Several simulated machines by name, sharing one request log (and one clock)."""

    def __init__(self, machines: dict[str, SimulatedMachine], log: RequestLog, clock: MachineClock) -> None:
        self._machines = machines
        self.log = log
        self.clock = clock

    def __getitem__(self, name: str) -> SimulatedMachine:
        return self._machines[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._machines)

    def __len__(self) -> int:
        return len(self._machines)


@contextlib.contextmanager
def simulated_fleet(
    machines: int | list[str] | list[SimMachine] = 2,
    *,
    manual_clock: bool = True,
    speed: float = 1.0,
    config: MachineConfig | None = None,
    programs_dir: str | None = None,
    log_path: str | None = None,
) -> Iterator[SimulatedFleet]:
    """Serve machines on free loopback ports for the `with` block: a count (named sim-1...),
    names, or fleet file entries (`fleetfile.load_fleet`). With `manual_clock` (the default)
    machine time stands still until `clock.advance`; else it follows the wall clock times `speed`."""
    if isinstance(machines, int):
        described = [SimMachine(f"sim-{i}") for i in range(1, machines + 1)]
    else:
        described = [m if isinstance(m, SimMachine) else SimMachine(m) for m in machines]
    described = [dataclasses.replace(m, host="127.0.0.1", port=0) for m in described]
    log = RequestLog(log_path)
    clock = MachineClock(manual_clock)
    fleet = Fleet(described, "127.0.0.1", 0, programs_dir, speed, config, log, clock)
    handles: dict[str, SimulatedMachine] = {}
    try:
        fleet.start()
        handles = {name: SimulatedMachine(sim, log, clock) for name, sim in fleet.sims.items()}
        yield SimulatedFleet(handles, log, clock)
    finally:
        for handle in handles.values():
            handle.close_clients()
        fleet.stop()


@contextlib.contextmanager
def simulated_machine(
    name: str = "sim",
    *,
    manual_clock: bool = True,
    speed: float = 1.0,
    config: MachineConfig | None = None,
    programs_dir: str | None = None,
    log_path: str | None = None,
) -> Iterator[SimulatedMachine]:
    """One simulated machine on a free loopback port for the `with` block (see `simulated_fleet`)."""
    with simulated_fleet(
        [name],
        manual_clock=manual_clock,
        speed=speed,
        config=config,
        programs_dir=programs_dir,
        log_path=log_path,
    ) as fleet:
        yield fleet[name]
