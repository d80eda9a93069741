"""Machines polled at rates of their own: one `Fleet` per distinct rate behind the face of one.

A fleet file may give each machine its poll rate; a `Fleet` turns one wheel for one period, so the
machines are grouped by rate, each group a fleet with the shared reader (its indices translated),
and `polls`/`failures` read through to the group that polls the machine.
"""

from __future__ import annotations

from collections.abc import Sequence
from types import TracebackType
from typing import Self

import cnc_api_client_core as cnc

from .fleet import Fleet, Reader
from .machine import Machine

__all__ = ["RatedFleet", "make_fleet"]


class _Translated:
    """A group's reader: its local machine indices become the indices of the whole fleet."""

    def __init__(self, reader: Reader, indices: list[int]) -> None:
        self.reader = reader
        self.indices = indices

    def read(self, client: cnc.CncAPIClientCore, index: int) -> bool:
        return self.reader.read(client, self.indices[index])

    def missed(self, index: int) -> None:
        self.reader.missed(self.indices[index])


class _Counts(Sequence[int]):
    """One counter list of the whole fleet, read through to the groups' own lists."""

    def __init__(self, where: list[tuple[list[int], int]]) -> None:
        self._where = where

    def __getitem__(self, i: int) -> int:  # type: ignore[override]  # no slices wanted
        counts, j = self._where[i]
        return counts[j]

    def __len__(self) -> int:
        return len(self._where)


class RatedFleet:
    """Polls `machines[i]` `rates[i]` times a second with `reader`, as one `Fleet` per distinct rate."""

    def __init__(
        self,
        machines: Sequence[Machine],
        rates: Sequence[float],
        *,
        reader: Reader,
        pollers: int = 1,
        connectors: int = 4,
    ) -> None:
        if len(machines) != len(rates):
            raise ValueError("one rate per machine")
        self.machines = list(machines)
        groups: dict[float, list[int]] = {}
        for i, rate in enumerate(rates):
            groups.setdefault(rate, []).append(i)
        count = max(1, len(self.machines))
        self.fleets: list[Fleet] = []
        polls: list[tuple[list[int], int]] = [([], 0)] * len(self.machines)
        failures = list(polls)
        for rate, indices in groups.items():
            fleet = Fleet(
                [self.machines[i] for i in indices],
                rate,
                pollers=max(1, pollers * len(indices) // count),
                connectors=max(1, connectors * len(indices) // count),
                reader=_Translated(reader, indices),
            )
            self.fleets.append(fleet)
            for j, i in enumerate(indices):
                polls[i] = (fleet.polls, j)
                failures[i] = (fleet.failures, j)
        self.polls: Sequence[int] = _Counts(polls)
        self.failures: Sequence[int] = _Counts(failures)

    def start(self) -> Self:
        for fleet in self.fleets:
            fleet.start()
        return self

    def stop(self, close: bool = True) -> None:
        for fleet in self.fleets:
            fleet.stop(close)

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.stop()


def make_fleet(
    machines: Sequence[Machine],
    rates: Sequence[float],
    *,
    reader: Reader,
    pollers: int = 1,
    connectors: int = 4,
) -> Fleet | RatedFleet:
    """A plain `Fleet` when every machine has the same rate, else a `RatedFleet`."""
    if len(set(rates)) <= 1:
        rate = rates[0] if rates else 1.0
        return Fleet(machines, rate, pollers=pollers, connectors=connectors, reader=reader)
    return RatedFleet(machines, rates, reader=reader, pollers=pollers, connectors=connectors)
