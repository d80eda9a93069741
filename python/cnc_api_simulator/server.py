"""TCP front end: one thread per connection, one shared machine."""

from __future__ import annotations

import mmap
import selectors
import shutil
import socket
import tempfile
import threading
import time
from collections.abc import Callable

from . import limits, protocol
from .config import MachineConfig
from .faults import Faults
from .limits import Budget, OverBudget
from .machine import Machine
from .reqlog import RequestLog
from .text import Line

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8000
DEFAULT_SPEED = 1.0
MAX_LINE = 64 * 1024 * 1024  # a whole G-code program travels in one request line


FIRST_BUFFER = 1 << 16


def _buffer(size: int) -> mmap.mmap:
    """Anonymous memory: its pages are made when first written, not filled beforehand.
    Private, since a shared one cannot grow in place (its pages past the first size fault)."""
    if hasattr(mmap, "MAP_PRIVATE"):
        return mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    return mmap.mmap(-1, size)


def _resized(buf: mmap.mmap, size: int) -> mmap.mmap:
    """`buf` at `size` bytes: moved by the system where it can (no copy), else copied."""
    try:
        buf.resize(size)
        return buf
    except (OSError, SystemError, ValueError, TypeError):
        other = _buffer(size)
        keep = min(size, len(buf))
        other[:keep] = buf[:keep]
        buf.close()
        return other


class LineReader:
    """Request lines of one connection, received straight into a buffer that grows: a line
    of many megabytes is not copied again once it is in, and a large line becomes the
    request itself (the connection starts a new buffer)."""

    def __init__(self, sock: socket.socket, limit: int = MAX_LINE, budget: Budget | None = None) -> None:
        self._sock = sock
        self._limit = limit
        self._budget = budget
        self._held = 0  # bytes taken from the budget: the buffer past its first size, and a large line lent
        self._buf = _buffer(FIRST_BUFFER)
        self._start = 0  # the next line begins here
        self._end = 0  # received bytes end here
        self._scanned = 0  # no line feed before this

    def close(self) -> None:
        self._buf.close()
        self._hold(0, force=True)

    def _hold(self, size: int, force: bool = False) -> None:
        """Hold `size` bytes of buffers from now on; OverBudget when more is not to be had
        (`force`: bytes already received, counted even over the budget)."""
        want = max(0, size - FIRST_BUFFER)
        more = want - self._held
        if self._budget is not None:
            if more < 0:
                self._budget.give(-more)
            elif more and not self._budget.take(more, force):
                raise OverBudget("the connections hold all the request memory the server allows")
        self._held = want

    def readline(self) -> Line | None:
        """The next line with its line feed (the last one may lack it); None at the end, and
        b"" for a line over the limit, which is skipped. OverBudget when the line would take
        more memory than all connections together may hold."""
        self._hold(len(self._buf), force=True)  # the large line lent last time is done with
        while True:
            nl = self._buf.find(b"\n", self._scanned, self._end)
            if nl >= 0:
                if nl - self._start >= self._limit:
                    self._renew(nl + 1)  # the buffer that held it goes back
                    return b""
                return self._take(nl + 1)
            self._scanned = self._end
            if self._end - self._start > self._limit:
                return self._skip_line()
            if not self._receive():
                return self._take(self._end) if self._end > self._start else None

    def _receive(self) -> bool:
        if self._end == len(self._buf):
            self._make_room()
        with memoryview(self._buf) as whole, whole[self._end :] as free:
            n = self._sock.recv_into(free)
        self._end += n
        return n > 0

    def _make_room(self) -> None:
        if self._start:  # the lines already taken go first
            size = self._end - self._start
            self._buf.move(0, self._start, size)
            self._scanned -= self._start
            self._start, self._end = 0, size
        if self._end == len(self._buf):
            size = min(2 * len(self._buf), self._limit + FIRST_BUFFER)  # enough to tell a line is too long
            self._hold(size)
            self._buf = _resized(self._buf, size)

    def _take(self, stop: int) -> Line:
        start = self._start
        line: Line
        if start == 0 and stop > FIRST_BUFFER:  # a large line: the buffer itself, no copy
            line = self._buf
            rest = line[stop : self._end]
            self._buf = _buffer(max(FIRST_BUFFER, 2 * len(rest)))
            self._buf[: len(rest)] = rest
            self._start, self._end = 0, len(rest)
            line = _resized(line, stop)
            self._hold(len(self._buf) + stop, force=True)
        else:
            line = self._buf[start:stop]
            self._start = stop
            if stop == self._end:
                self._start = self._end = 0
        self._scanned = self._start
        return line

    def _renew(self, stop: int) -> None:
        """Drop the bytes before `stop`; a buffer grown for a long line goes back to its first size."""
        if len(self._buf) <= FIRST_BUFFER or self._end - stop > FIRST_BUFFER // 2:
            self._start = self._scanned = stop
            return
        old = self._buf
        self._buf = _buffer(FIRST_BUFFER)
        self._buf[: self._end - stop] = old[stop : self._end]
        old.close()
        self._start, self._end, self._scanned = 0, self._end - stop, 0
        self._hold(FIRST_BUFFER, force=True)

    def _skip_line(self) -> bytes | None:
        """Drop the over-long line up to its line feed: b"", or None when the peer closes first."""
        self._renew(self._end)
        while True:
            nl = self._buf.find(b"\n", self._scanned, self._end)
            if nl >= 0:
                self._renew(nl + 1)
                return b""
            self._start = self._end = self._scanned = 0
            if not self._receive():
                return None


def _peer(sock: socket.socket) -> str | None:
    try:
        host, port, *_ = sock.getpeername()
    except (OSError, ValueError):
        return None
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def _serve_connection(
    sock: socket.socket, machine: Machine, budget: Budget | None = None, faults: Faults | None = None
) -> None:
    """Answer request lines in order until the peer closes or the socket is shut down."""
    lines = LineReader(sock, budget=budget)
    peer = _peer(sock) if faults is not None else None
    try:
        while True:
            line = lines.readline()
            if line is None:
                return
            if not line:  # over-long
                sock.sendall(protocol.FALSE_REPLY)
                continue
            if faults is not None and faults.engaged:  # faults or the request log: the slow path
                if not faults.exchange(sock, line, peer):
                    return
                continue
            for part in protocol.handle_parts(machine, line):
                sock.sendall(part)
            del line  # a large request's bytes go as soon as its text is made, not at the next request
    except OverBudget:
        _refuse(sock)
    except OSError:
        pass  # the peer went away, or sent nothing for the idle time
    finally:
        lines.close()
        sock.close()


def _refuse(sock: socket.socket) -> None:
    """Tell a peer no in one reply line, without waiting for it to read, and end its connection."""
    try:
        sock.setblocking(False)
        sock.send(protocol.FALSE_REPLY)
        sock.shutdown(socket.SHUT_WR)
    except OSError:
        pass
    sock.close()


class Simulator:
    """A simulated API server running on background threads.

        sim = Simulator("127.0.0.1", 0, programs_dir)
        port = sim.start()
        ...
        sim.stop()

    Without `programs_dir` the programs live in a temporary directory that `stop` removes.
    `speed` multiplies the passage of machine time (2.0 runs programs twice as fast).
    At most `max_connections` clients are served at once (one more gets one false reply and
    is closed); a client that sends nothing for `idle_timeout` seconds is closed (0: never);
    the request buffers of all clients together hold at most `memory_budget` bytes.
    A simulator starts once; make a new one to serve again.
    """

    def __init__(
        self,
        host: str = DEFAULT_HOST,
        port: int = 0,
        programs_dir: str | None = None,
        speed: float = DEFAULT_SPEED,
        config: MachineConfig | None = None,
        *,
        max_connections: int = limits.MAX_CONNECTIONS,
        idle_timeout: float = limits.IDLE_TIMEOUT,
        memory_budget: int = limits.MEMORY_BUDGET,
        clock: Callable[[], float] = time.monotonic,
        name: str = "",
        log: RequestLog | None = None,
        seed: int | None = None,
    ) -> None:
        self.host = host
        self.name = name
        self.requested_port = port
        self._own_dir: str | None = None
        if programs_dir is None:
            programs_dir = self._own_dir = tempfile.mkdtemp(prefix="cnc_api_simulator_")
        self.programs_dir = programs_dir
        self._machine_args = (programs_dir, speed, config, clock)
        self.machine = self._make_machine()
        self.faults = Faults(name, self, log, seed)
        self.port: int | None = None
        self._listener: socket.socket | None = None
        self._wake: tuple[socket.socket, socket.socket] | None = None  # socket pair that ends the accept loop
        self._accept_thread: threading.Thread | None = None
        self._clients: dict[socket.socket, threading.Thread] = {}
        self._guard = threading.Lock()
        self._cycle = threading.Lock()
        self._state = "new"
        self.max_connections = max_connections
        self.idle_timeout = idle_timeout
        self.budget = Budget(memory_budget)

    def start(self) -> int:
        """Bind, start serving, and return the bound port."""
        if self._state != "new":
            raise RuntimeError("a simulator starts only once")
        try:
            self._listener = socket.create_server((self.host, self.requested_port))
        except BaseException:
            self._remove_own_dir()
            raise
        self._state = "running"
        self.port = self._listener.getsockname()[1]
        self._listener.setblocking(False)  # a power cycle takes the waiting connections too
        self._wake = socket.socketpair()
        self._accept_thread = threading.Thread(target=self._accept_loop, name="cnc_api_simulator", daemon=True)
        self._accept_thread.start()
        return self.port

    def _accept_loop(self) -> None:
        assert self._listener is not None and self._wake is not None
        with selectors.DefaultSelector() as selector, selectors.DefaultSelector() as woken:
            selector.register(self._listener, selectors.EVENT_READ)
            selector.register(self._wake[0], selectors.EVENT_READ)
            woken.register(self._wake[0], selectors.EVENT_READ)
            while True:
                for key, _ in selector.select():
                    if key.fileobj is self._wake[0]:
                        return
                    with self._cycle:  # not while a power cycle refuses the waiting connections
                        try:
                            sock, _ = self._listener.accept()
                        except OSError as exc:
                            # out of descriptors: the listener stays readable, so wait instead of spinning
                            if exc.errno in limits.OUT_OF_RESOURCES and woken.select(limits.ACCEPT_BACKOFF):
                                return
                            continue
                        with self._guard:
                            full = len(self._clients) >= self.max_connections
                        if full:
                            _refuse(sock)
                            continue
                        self._spawn(sock)

    def _spawn(self, sock: socket.socket) -> None:
        thread = threading.Thread(target=self._client, args=(sock,), name="cnc_api_simulator client", daemon=True)
        with self._guard:
            self._clients[sock] = thread
        try:
            thread.start()
        except RuntimeError:  # no thread to be had: the client is told no, the server goes on
            with self._guard:
                self._clients.pop(sock, None)
            _refuse(sock)

    def _client(self, sock: socket.socket) -> None:
        try:
            sock.settimeout(self.idle_timeout or None)
            _serve_connection(sock, self.machine, self.budget, self.faults)
        finally:
            with self._guard:
                self._clients.pop(sock, None)

    def stop(self) -> None:
        """Stop accepting, close every client connection and wait for their threads."""
        if self._state == "running":
            assert self._wake is not None and self._accept_thread is not None and self._listener is not None
            self._wake[1].send(b"x")
            self._accept_thread.join()
            self._listener.close()
            self.faults.interrupt()
            clients = self.drop_connections()
            for thread in clients:
                thread.join()
            for s in self._wake:
                s.close()
        self.machine.close()
        self._state = "stopped"
        self._remove_own_dir()

    def _make_machine(self) -> Machine:
        programs_dir, speed, config, clock = self._machine_args
        return Machine(programs_dir, speed=speed, config=config, clock=clock)

    def drop_connections(self) -> list[threading.Thread]:
        """Close every client connection; their threads end on their own (returned to wait on)."""
        with self._guard:
            clients = list(self._clients.items())
        for sock, _ in clients:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        return [thread for _, thread in clients]

    def power_cycle(self) -> None:
        """The machine as at start (homing lost, no program) and every connection closed;
        the files of the programs folder stay."""
        with self._cycle:
            old = self.machine
            with old.lock:
                self.machine = self._make_machine()
            while self._listener is not None:  # connections made before the power went
                try:
                    self._listener.accept()[0].close()
                except OSError:
                    break
            self.drop_connections()
        old.close()

    def _remove_own_dir(self) -> None:
        if self._own_dir:
            shutil.rmtree(self._own_dir, ignore_errors=True)
            self._own_dir = None

    def __enter__(self) -> Simulator:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()
