import asyncio
import threading
import time

import pytest
from cnc_api_simulator import Simulator
from cnc_api_tools import Backoff, Link, Machine, NotConnected, State
from cnc_api_tools.aio import AsyncMachine
from tools_helpers import free_port, sim, unanswered_port, wait_for  # noqa: F401

FAST = Backoff(initial=0.05, factor=2.0, maximum=0.2, jitter=0.0)


class Handle:
    """A Machine, or an AsyncMachine driven on an event loop of its own, through the same calls."""

    def __init__(self, kind, *args, **kwargs):
        self.runner = asyncio.Runner() if kind == "async" else None
        self.machine = (AsyncMachine if self.runner else Machine)(*args, **kwargs)

    def __getattr__(self, name):
        attribute = getattr(self.machine, name)
        if not callable(attribute) or self.runner is None:
            return attribute
        return lambda *args, **kwargs: self.runner.run(attribute(*args, **kwargs))

    def use(self):
        if self.runner is None:
            with self.machine.use():
                return

        async def enter():
            async with self.machine.use():
                pass

        self.runner.run(enter())

    def close(self):
        self.__getattr__("close")()
        if self.runner:
            self.runner.close()


HANDLES = ["sync", "async"]


def test_context_manager_connects_polls_and_closes(sim):  # noqa: F811
    seen = []
    with Machine("127.0.0.1", sim.port) as m:
        m.add_listener(lambda status: seen.append(status.state))
        assert m.connected and m.state is Link.CONNECTED
        snap = m.poll(compile=True)
        assert snap is not None and snap.complete
        assert State(snap.cnc_info.state_machine) is State.IDLE
        assert snap.axes_info is not None and snap.compile_info is not None
        client = m.client
    assert m.state is Link.CLOSED and not client.is_connected
    assert seen == [Link.CLOSED]
    assert m.poll() is None and m.connect() is False


@pytest.mark.parametrize("kind", HANDLES)
def test_down_machine_reports_why_and_backs_off(kind):
    port = free_port()
    m = Handle(kind, "127.0.0.1", port, backoff=Backoff(initial=10.0, jitter=0.0))
    assert m.connect() is False
    assert m.state is Link.DOWN and m.status.failures == 1
    assert m.status.last_error == "connection refused"
    assert 9.0 < m.status.retry_in() <= 10.0
    assert m.ensure_connected() is False and m.status.failures == 1  # the back-off holds
    with pytest.raises(NotConnected, match="connection refused") as err:
        m.use()
    assert err.value.retry_in > 9.0
    m.close()
    assert m.state is Link.CLOSED


def test_connect_time_out_is_the_callers():
    with unanswered_port() as port:
        m = Machine("127.0.0.1", port, connect_timeout=0.3)
        started = time.monotonic()
        assert m.connect() is False
        assert time.monotonic() - started < 2.0
        assert m.status.last_error == "no answer within 0.3 s"


@pytest.mark.parametrize(
    ("failures", "low", "high"),
    [(0, 0, 0), (1, 0.5, 0.5), (2, 1.0, 1.0), (3, 2.0, 2.0), (30, 30.0, 30.0), (10_000, 30.0, 30.0)],
)
def test_backoff_grows_to_its_maximum(failures, low, high):
    assert low <= Backoff(jitter=0.0).delay(failures) <= high


def test_backoff_jitter_stays_within_bounds():
    delays = {Backoff(initial=1.0, jitter=0.1).delay(1) for _ in range(50)}
    assert all(0.9 <= d <= 1.1 for d in delays) and len(delays) > 1


def test_reconnects_with_a_new_client_after_the_server_went_away():
    first = Simulator(port=0)
    port = first.start()
    states = []
    m = Machine("127.0.0.1", port, backoff=FAST)
    m.add_listener(lambda status: states.append(status.state))
    try:
        assert m.poll() is not None
        old = m.client
        first.stop()
        assert m.poll() is None
        assert m.state is Link.DOWN and m.status.last_error == "connection lost"
        with Simulator(port=port):
            assert m.wait_connected(timeout=10.0)
            assert m.client is not old and m.poll() is not None
        assert m.status.connects == 2
    finally:
        m.close()
        first.stop()
    assert states[:3] == [Link.CONNECTING, Link.CONNECTED, Link.DOWN]
    assert states[-2:] == [Link.CONNECTED, Link.CLOSED]


@pytest.mark.parametrize("kind", HANDLES)
def test_wait_connected_gives_up_at_its_time_out(kind):
    m = Handle(kind, "127.0.0.1", free_port(), backoff=FAST)
    started = time.monotonic()
    assert m.wait_connected(timeout=0.5) is False
    assert 0.4 < time.monotonic() - started < 3.0
    assert m.status.failures >= 2
    m.close()


def test_many_threads_share_one_handle(sim):  # noqa: F811
    errors = []
    with Machine("127.0.0.1", sim.port) as m:

        def work():
            for _ in range(50):
                snap = m.poll()
                if snap is None or snap.axes_info is None:
                    errors.append("poll failed")

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert m.status.connects == 1
    assert errors == []


def test_close_from_another_thread_ends_wait_connected():
    m = Machine("127.0.0.1", free_port(), backoff=Backoff(initial=30.0))
    result = []
    t = threading.Thread(target=lambda: result.append(m.wait_connected()))
    t.start()
    wait_for(lambda: m.status.failures >= 1)
    m.close()
    t.join(5.0)
    assert result == [False] and m.state is Link.CLOSED


@pytest.mark.parametrize(
    "fault, drops, spoils",
    [
        (lambda f: f.cut(), True, True),
        (lambda f: f.cut(mode="half"), True, True),
        (lambda f: f.power_cycle(), True, True),
        (lambda f: f.garbage("byte"), False, True),
        (lambda f: f.refuse(), False, True),
        (lambda f: f.latency(0.1), False, False),
        pytest.param(lambda f: f.stall(), True, True, marks=pytest.mark.slow),
    ],
    ids=["cut", "cut-half", "power-cycle", "garbage", "refuse", "latency", "stall"],
)
def test_a_fault_of_the_simulated_machine_drops_or_spoils_one_poll_only(fault, drops, spoils):
    from cnc_api_simulator.testing import simulated_machine

    with simulated_machine() as sim_machine, Machine(sim_machine.host, sim_machine.port, backoff=FAST) as m:
        old = m.client
        fault(sim_machine.faults)
        snap = m.poll()
        assert (snap is None) is spoils
        assert m.state is (Link.DOWN if drops else Link.CONNECTED)
        assert m.wait_connected(timeout=10.0)
        snap = m.poll()
        assert snap is not None and snap.complete
        assert (m.client is not old) is drops and m.status.connects == 1 + drops
