"""The client as coroutines, for many machines on one event loop.

    async with AsyncClient("127.0.0.1", 8000) as api:
        info = await api.get_cnc_info()

Every method of `CncAPIClientCore` is here as a coroutine with the same
arguments and results. Calls run on a small thread pool shared by all clients
(the native calls release the interpreter lock while they wait), so a thousand
clients need no thousand threads; calls of one client are serialised, since one
connection carries one request at a time, and different clients run
concurrently.

Cancellation: an exchange that has started cannot be called back from the wire.
Cancelling an await whose call is still queued behind this client's other calls
(or in the pool) removes it: nothing is sent. Cancelling an await whose
exchange is under way lets that exchange finish in the background; its result
is dropped, the client stays connected and in step with the server, and the
client's next call starts after it. A wait for the first reply byte lasts up to
5 seconds, so that is how long a cancelled call can keep the client.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import threading
from collections.abc import AsyncIterator, Callable
from contextlib import asynccontextmanager
from types import TracebackType
from typing import Any, Self, TypeVar

import cnc_api_client_core as cnc

from .link import DEFAULT_PORT, Backoff, Link, LinkStatus, Listener, connect_client
from .linkcore import LinkCore, NotConnected, Snapshot, Step, read_snapshot

__all__ = ["AsyncClient", "AsyncMachine", "default_executor"]

T = TypeVar("T")

_executor: concurrent.futures.ThreadPoolExecutor | None = None
_executor_lock = threading.Lock()
POOL_SIZE = 32


def default_executor() -> concurrent.futures.ThreadPoolExecutor:
    """The pool shared by every async client that was given none (at most 32 threads)."""
    global _executor
    with _executor_lock:
        if _executor is None:
            _executor = concurrent.futures.ThreadPoolExecutor(POOL_SIZE, thread_name_prefix="cnc-api-async")
        return _executor


class AsyncClient:
    """One connection to one API server, driven from asyncio.

    `host` and `port` given here are what `async with` connects to;
    `connect_timeout` bounds that connect (the module's own connect has none).
    `executor` replaces the shared pool.
    """

    def __init__(
        self,
        host: str | None = None,
        port: int = DEFAULT_PORT,
        *,
        connect_timeout: float = 5.0,
        executor: concurrent.futures.Executor | None = None,
        client: cnc.CncAPIClientCore | None = None,
        prepare: Callable[[cnc.CncAPIClientCore], object] | None = None,
    ) -> None:
        self.host = host
        self.port = port
        self.connect_timeout = connect_timeout
        self._executor = executor
        self._prepare = prepare
        self._client = client if client is not None else cnc.CncAPIClientCore()
        self._fresh = client is None  # a client of our own that has not connected yet
        self._lock = asyncio.Lock()
        self.last_error: str | None = None

    @property
    def client(self) -> cnc.CncAPIClientCore:
        """The synchronous client underneath (do not call it while a coroutine of this one runs)."""
        return self._client

    @property
    def is_connected(self) -> bool:
        return self._client.is_connected

    async def _run(self, fn: Callable[..., T], *args: Any) -> T:
        """Run fn(*args) on the pool, one at a time per client (see the module's note on cancellation)."""
        loop = asyncio.get_running_loop()
        await self._lock.acquire()
        try:
            future = (self._executor or default_executor()).submit(fn, *args)
        except BaseException:
            self._lock.release()
            raise

        def release(_: concurrent.futures.Future[T]) -> None:
            # The lock is released when the exchange really ended, not when an awaiting task gave up.
            try:
                loop.call_soon_threadsafe(self._lock.release)
            except RuntimeError:  # the loop is closed: nobody is left to wait for the lock
                pass

        future.add_done_callback(release)
        return await asyncio.wrap_future(future)

    async def _call(self, method: Callable[..., T], *args: Any) -> T:
        return await self._run(method, self._client, *args)

    async def connect(self, host: str | None, port: int) -> bool:
        """Connect within `connect_timeout` seconds; like the module, a used client cannot connect again."""
        if self._fresh:
            self._fresh = False
            client, reason = await self._run(connect_client, host or "", port, self.connect_timeout, self._prepare)
            self.last_error = reason
            if client is None:
                self._client.close()
                return False
            self._client = client
            return True
        return await self._call(cnc.CncAPIClientCore.connect, host, port)

    async def close(self) -> bool:
        """Close after the call under way, if any, has ended."""
        return await self._call(cnc.CncAPIClientCore.close)

    async def __aenter__(self) -> Self:
        if self.host is not None and not self.is_connected:
            if not await self.connect(self.host, self.port):
                raise ConnectionError(f"cannot connect to {self.host}:{self.port}: {self.last_error or 'failed'}")
        return self

    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        await self.close()

    async def close_cnc_control_software(self) -> None:
        return await self._call(cnc.CncAPIClientCore.close_cnc_control_software)

    async def cnc_continue(self) -> bool:
        return await self._call(cnc.CncAPIClientCore.cnc_continue)

    async def cnc_homing(self, axes_mask: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.cnc_homing, axes_mask)

    async def cnc_jog_command(self, command: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.cnc_jog_command, command)

    async def cnc_mdi_command(self, command: str | None) -> bool:
        return await self._call(cnc.CncAPIClientCore.cnc_mdi_command, command)

    async def cnc_pause(self) -> bool:
        return await self._call(cnc.CncAPIClientCore.cnc_pause)

    async def cnc_resume(self, line: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.cnc_resume, line)

    async def cnc_resume_from_line(self, line: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.cnc_resume_from_line, line)

    async def cnc_resume_from_point(self, point: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.cnc_resume_from_point, point)

    async def cnc_start(self) -> bool:
        return await self._call(cnc.CncAPIClientCore.cnc_start)

    async def cnc_start_from_line(self, line: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.cnc_start_from_line, line)

    async def cnc_start_from_point(self, point: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.cnc_start_from_point, point)

    async def cnc_stop(self) -> bool:
        return await self._call(cnc.CncAPIClientCore.cnc_stop)

    async def program_analysis(self, mode: str | None) -> bool:
        return await self._call(cnc.CncAPIClientCore.program_analysis, mode)

    async def program_analysis_abort(self) -> bool:
        return await self._call(cnc.CncAPIClientCore.program_analysis_abort)

    async def program_gcode_add_text(self, text: str | None) -> bool:
        return await self._call(cnc.CncAPIClientCore.program_gcode_add_text, text)

    async def program_gcode_clear(self) -> bool:
        return await self._call(cnc.CncAPIClientCore.program_gcode_clear)

    async def program_gcode_set_text(self, text: str | None) -> bool:
        return await self._call(cnc.CncAPIClientCore.program_gcode_set_text, text)

    async def program_new(self) -> bool:
        return await self._call(cnc.CncAPIClientCore.program_new)

    async def program_load(self, file_name: Any) -> bool:
        return await self._call(cnc.CncAPIClientCore.program_load, file_name)

    async def program_save(self, file_name: str | None) -> bool:
        return await self._call(cnc.CncAPIClientCore.program_save, file_name)

    async def get_analog_inputs(self) -> cnc.APIAnalogInputs:
        return await self._call(cnc.CncAPIClientCore.get_analog_inputs)

    async def get_analog_outputs(self) -> cnc.APIAnalogOutputs:
        return await self._call(cnc.CncAPIClientCore.get_analog_outputs)

    async def get_axes_info(self) -> cnc.APIAxesInfo:
        return await self._call(cnc.CncAPIClientCore.get_axes_info)

    async def get_cnc_info(self) -> cnc.APICncInfo:
        return await self._call(cnc.CncAPIClientCore.get_cnc_info)

    async def get_cnc_parameters(self, address: int, elements: int) -> cnc.APICncParameters:
        return await self._call(cnc.CncAPIClientCore.get_cnc_parameters, address, elements)

    async def get_compile_info(self) -> cnc.APICompileInfo:
        return await self._call(cnc.CncAPIClientCore.get_compile_info)

    async def get_digital_inputs(self) -> cnc.APIDigitalInputs:
        return await self._call(cnc.CncAPIClientCore.get_digital_inputs)

    async def get_digital_outputs(self) -> cnc.APIDigitalOutputs:
        return await self._call(cnc.CncAPIClientCore.get_digital_outputs)

    async def get_enabled_commands(self) -> cnc.APIEnabledCommands:
        return await self._call(cnc.CncAPIClientCore.get_enabled_commands)

    async def get_machining_info(self) -> cnc.APIMachiningInfo:
        return await self._call(cnc.CncAPIClientCore.get_machining_info)

    async def get_programmed_points(self) -> cnc.APIProgrammedPoints:
        return await self._call(cnc.CncAPIClientCore.get_programmed_points)

    async def get_scan3d_info(self) -> cnc.APIScan3DInfo:
        return await self._call(cnc.CncAPIClientCore.get_scan3d_info)

    async def get_system_info(self) -> cnc.APISystemInfo:
        return await self._call(cnc.CncAPIClientCore.get_system_info)

    async def get_vm_geometry_info(self, names: list[str] | None) -> list[cnc.APIVMGeometryInfo] | None:
        return await self._call(cnc.CncAPIClientCore.get_vm_geometry_info, names)

    async def set_cnc_parameters(self, address: int, values: list[float] | list[int] | None) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_cnc_parameters, address, values)

    async def set_override_fast(self, value: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_override_fast, value)

    async def set_override_feed(self, value: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_override_feed, value)

    async def set_override_feed_custom_1(self, value: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_override_feed_custom_1, value)

    async def set_override_feed_custom_2(self, value: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_override_feed_custom_2, value)

    async def set_override_jog(self, value: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_override_jog, value)

    async def set_override_plasma_power(self, value: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_override_plasma_power, value)

    async def set_override_plasma_voltage(self, value: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_override_plasma_voltage, value)

    async def set_override_spindle(self, value: int) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_override_spindle, value)

    async def set_program_position_a(self, value: float) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_program_position_a, value)

    async def set_program_position_b(self, value: float) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_program_position_b, value)

    async def set_program_position_c(self, value: float) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_program_position_c, value)

    async def set_program_position_x(self, value: float) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_program_position_x, value)

    async def set_program_position_y(self, value: float) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_program_position_y, value)

    async def set_program_position_z(self, value: float) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_program_position_z, value)

    async def set_vm_geometry_info(self, values: list[cnc.APIVMGeometryInfo] | None) -> bool:
        return await self._call(cnc.CncAPIClientCore.set_vm_geometry_info, values)


class AsyncMachine:
    """A machine handle for asyncio services: reconnects with back-off and reports its connection state.

    The asyncio counterpart of `Machine`, for many machines on one loop::

        async with AsyncMachine(host, port) as m:
            snap = await m.poll()                # None while down
            async with m.use() as api:           # the connected AsyncClient
                await api.cnc_pause()
    """

    def __init__(
        self,
        host: str,
        port: int = DEFAULT_PORT,
        *,
        connect_timeout: float = 3.0,
        backoff: Backoff | None = None,
        name: str | None = None,
        executor: concurrent.futures.Executor | None = None,
        prepare: Callable[[cnc.CncAPIClientCore], object] | None = None,
    ) -> None:
        self._core: LinkCore[AsyncClient] = LinkCore(host, port, name, backoff)
        self.connect_timeout = connect_timeout
        self._executor = executor
        self._prepare = prepare
        self._connect_lock = asyncio.Lock()

    @property
    def host(self) -> str:
        return self._core.host

    @property
    def port(self) -> int:
        return self._core.port

    @property
    def name(self) -> str:
        return self._core.name

    @property
    def status(self) -> LinkStatus:
        return self._core.status

    @property
    def state(self) -> Link:
        return self._core.status.state

    @property
    def connected(self) -> bool:
        return self._core.connected

    @property
    def api(self) -> AsyncClient | None:
        return self._core.connection

    def add_listener(self, listener: Listener) -> Callable[[], None]:
        return self._core.status.add_listener(listener)

    async def connect(self) -> bool:
        """Try to connect now, back-off or not."""
        async with self._connect_lock:
            go, previous = self._core.start_connect()
            _drop(previous)
            if not go:
                return self._core.connected
            api = AsyncClient(connect_timeout=self.connect_timeout, executor=self._executor, prepare=self._prepare)
            if not await api.connect(self.host, self.port):
                self._core.connect_failed(api.last_error)
                return False
            if not self._core.connect_succeeded(api):  # closed while connecting
                await api.close()
                return False
            return True

    async def ensure_connected(self) -> bool:
        """Connected, or connect when the back-off allows; never waits for the back-off."""
        _drop(self._core.check())
        step = self._core.next_step()
        if step is Step.CONNECT:
            return await self.connect()
        return step is Step.READY

    async def wait_connected(self, timeout: float | None = None) -> bool:
        """Keep trying, waiting out the back-off, until connected, closed or `timeout` passed."""
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        while not self._core.closed:
            if await self.ensure_connected():
                return True
            pause = self._core.pause(deadline, loop.time())
            if pause is None:
                return False
            await asyncio.sleep(pause)
        return False

    @asynccontextmanager
    async def use(self) -> AsyncIterator[AsyncClient]:
        """The connected AsyncClient; raises NotConnected while down."""
        api = self._core.connection if await self.ensure_connected() else None
        if api is None:
            raise self._core.not_connected()
        try:
            yield api
        finally:
            _drop(self._core.check())

    async def poll(self, axes: bool = True, compile: bool = False) -> Snapshot | None:
        """One snapshot (cnc info, and axes and compile info when asked), or None while down."""
        try:
            async with self.use() as api:
                return await api._run(read_snapshot, api.client, axes, compile)
        except NotConnected:
            return None

    async def close(self) -> None:
        """Close for good; waits for a call under way to end."""
        self._core.begin_close()
        async with self._connect_lock:
            api = self._core.close()
            if api is not None:
                await api.close()
            self._core.closed_done()

    async def __aenter__(self) -> Self:
        await self.connect()
        return self

    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        await self.close()

    def __repr__(self) -> str:
        return f"<AsyncMachine {self.name} {self.state.value}>"


def _drop(api: AsyncClient | None) -> None:
    # A dropped client holds an open socket until it is closed; closing it never waits.
    if api is not None:
        api.client.close()
