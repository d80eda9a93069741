"""pytest fixtures of simulated machines, loaded through the `pytest11` entry point.

    def test_cycle(cnc_machine):
        api = cnc_machine.client()
        ...

    @pytest.mark.cnc_fleet(4)
    def test_cell(cnc_fleet):
        ...

`@pytest.mark.cnc_machine(speed=..., manual_clock=False, config=...)` and
`@pytest.mark.cnc_fleet(count_or_names, ...)` pass their arguments to `testing.simulated_machine`
and `testing.simulated_fleet`. This module only imports the simulator when a fixture is used,
so a suite that never asks for one pays nothing for it.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from .testing import SimulatedFleet, SimulatedMachine


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "cnc_machine(**options): options of the cnc_machine fixture's machine")
    config.addinivalue_line("markers", "cnc_fleet(machines=2, **options): the machines of the cnc_fleet fixture")


@pytest.fixture
def cnc_machine(request: pytest.FixtureRequest) -> Iterator[SimulatedMachine]:
    """A simulated machine on a free loopback port, its machine time under the test's control."""
    from .testing import simulated_machine

    marker = request.node.get_closest_marker("cnc_machine")
    with simulated_machine(*(marker.args if marker else ()), **(marker.kwargs if marker else {})) as machine:
        yield machine


@pytest.fixture
def cnc_fleet(request: pytest.FixtureRequest) -> Iterator[SimulatedFleet]:
    """Simulated machines by name (two unless the cnc_fleet marker says otherwise)."""
    from .testing import simulated_fleet

    marker = request.node.get_closest_marker("cnc_fleet")
    with simulated_fleet(*(marker.args if marker else ()), **(marker.kwargs if marker else {})) as fleet:
        yield fleet
