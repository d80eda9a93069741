import asyncio
import inspect
import threading

import cnc_api_client_core as cnc
import pytest
from cnc_api_simulator import Simulator
from cnc_api_tools import AsyncClient, AsyncMachine, Backoff, Link, State, records_equal
from cnc_api_tools.aio import POOL_SIZE
from fake_server import FakeServer, delay, reply
from tools_helpers import free_port, sim  # noqa: F401

PUBLIC = sorted(
    name
    for name in dir(cnc.CncAPIClientCore)
    if not name.startswith("_") and callable(getattr(cnc.CncAPIClientCore, name))
)


@pytest.mark.parametrize("name", PUBLIC)
def test_every_method_is_a_coroutine(name):
    assert inspect.iscoroutinefunction(getattr(AsyncClient, name))


def test_same_results_as_the_client(sim):  # noqa: F811
    plain = cnc.CncAPIClientCore()
    assert plain.connect("127.0.0.1", sim.port)

    async def main():
        async with AsyncClient("127.0.0.1", sim.port) as api:
            assert api.is_connected
            assert await api.set_override_feed(70) is True
            assert records_equal(await api.get_cnc_info(), plain.get_cnc_info())
            assert records_equal(await api.get_axes_info(), plain.get_axes_info())
            geo = await api.get_vm_geometry_info(["table"])
            assert geo is not None and geo[0].name == "table"
            assert await api.cnc_jog_command(99) is False
            return api

    api = asyncio.run(main())
    assert not api.is_connected  # closed by async with


def test_many_clients_on_one_loop_without_a_thread_each():
    sims = [Simulator(port=0) for _ in range(3)]
    ports = [s.start() for s in sims]
    before = threading.active_count()

    async def one(i):
        async with AsyncClient("127.0.0.1", ports[i % len(ports)]) as api:
            assert await api.set_override_spindle(50 + i % 70)
            states = [State((await api.get_cnc_info()).state_machine) for _ in range(5)]
            return states

    async def main():
        return await asyncio.gather(*(one(i) for i in range(120)))

    try:
        results = asyncio.run(main())
    finally:
        for s in sims:
            s.stop()
    assert all(states == [State.IDLE] * 5 for states in results)
    pool_threads = [t for t in threading.enumerate() if t.name.startswith("cnc-api-async")]
    assert len(pool_threads) <= POOL_SIZE
    assert threading.active_count() - before <= POOL_SIZE


def test_calls_of_one_client_are_serialised():
    with FakeServer() as server:
        server.script(delay(0.2), reply({"res": True}), reply({"res": False}), reply({"res": "TRUE"}))

        async def main():
            async with AsyncClient(server.host, server.port) as api:
                return await asyncio.gather(api.cnc_start(), api.cnc_stop(), api.cnc_pause())

        assert asyncio.run(main()) == [True, False, True]
        assert server.requests == [b'{"cmd":"cnc.start"}', b'{"cmd":"cnc.stop"}', b'{"cmd":"cnc.pause"}']


def test_cancelled_call_finishes_on_the_wire_and_the_client_stays_in_step():
    with FakeServer() as server:
        server.script(delay(0.4), reply({"res": True}), reply({"res": False}))

        async def main():
            async with AsyncClient(server.host, server.port) as api:
                started = asyncio.create_task(api.cnc_start())
                queued = asyncio.create_task(api.cnc_pause())
                await asyncio.sleep(0.1)
                started.cancel()
                queued.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await started
                with pytest.raises(asyncio.CancelledError):
                    await queued
                # the next call waits for the cancelled exchange and gets its own reply
                result = await api.cnc_stop()
                return result, api.is_connected

        assert asyncio.run(main()) == (False, True)
        assert server.requests == [b'{"cmd":"cnc.start"}', b'{"cmd":"cnc.stop"}']  # the queued pause never went


def test_async_with_a_machine_that_is_not_there():
    port = free_port()

    async def main():
        async with AsyncClient("127.0.0.1", port):
            pass

    with pytest.raises(ConnectionError, match=f"cannot connect to 127.0.0.1:{port}: connection refused"):
        asyncio.run(main())


def test_a_used_client_cannot_connect_again(sim):  # noqa: F811
    async def main():
        api = AsyncClient()
        assert await api.connect("127.0.0.1", sim.port)
        assert await api.close()
        return await api.connect("127.0.0.1", sim.port)

    assert asyncio.run(main()) is False


def test_async_machine_reports_state_and_reconnects():
    first = Simulator(port=0)
    port = first.start()
    states = []

    async def main():
        async with AsyncMachine("127.0.0.1", port, backoff=Backoff(initial=0.05, maximum=0.2, jitter=0)) as m:
            m.add_listener(lambda s: states.append(s.state))
            assert (await m.poll(compile=True)).compile_info is not None
            await asyncio.to_thread(first.stop)
            assert await m.poll() is None
            assert m.state is Link.DOWN
            with Simulator(port=port):
                assert await m.wait_connected(timeout=10)
                snap = await m.poll()
                assert snap is not None and snap.axes_info is not None
                async with m.use() as api:
                    assert await api.set_override_fast(40)
            return m

    try:
        m = asyncio.run(main())
    finally:
        first.stop()
    assert m.state is Link.CLOSED
    assert states == [Link.DOWN, Link.CONNECTING, Link.CONNECTED, Link.CLOSED] or Link.DOWN in states


def test_many_async_machines_with_one_down():
    sims = [Simulator(port=0) for _ in range(4)]
    ports = [s.start() for s in sims]
    dead = free_port()

    async def main():
        machines = [AsyncMachine("127.0.0.1", p) for p in [*ports, dead]]
        await asyncio.gather(*(m.connect() for m in machines))
        snaps = await asyncio.gather(*(m.poll() for m in machines))
        await asyncio.gather(*(m.close() for m in machines))
        return machines, snaps

    try:
        machines, snaps = asyncio.run(main())
    finally:
        for s in sims:
            s.stop()
    assert [s is not None for s in snaps] == [True, True, True, True, False]
    assert machines[-1].status.last_error == "connection refused"


def test_the_asyncio_names_are_offered_with_the_others():
    import cnc_api_tools

    assert {"AsyncClient", "AsyncMachine", "Machine", "trace"} <= set(dir(cnc_api_tools))
