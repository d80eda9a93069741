"""TCP front end: one thread per connection, one shared machine."""

from __future__ import annotations

import selectors
import shutil
import socket
import tempfile
import threading

from . import protocol
from .config import MachineConfig
from .machine import Machine

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8000
DEFAULT_SPEED = 1.0
MAX_LINE = 64 * 1024 * 1024  # a whole G-code program travels in one request line


def _serve_connection(sock: socket.socket, machine: Machine) -> None:
    """Answer request lines in order until the peer closes or the socket is shut down."""
    rfile = sock.makefile("rb")
    try:
        while True:
            line = rfile.readline(MAX_LINE)
            if not line:
                return
            if len(line) >= MAX_LINE and not line.endswith(b"\n"):
                while not line.endswith(b"\n"):  # skip the rest of an over-long line
                    line = rfile.readline(MAX_LINE)
                    if not line:
                        return
                sock.sendall(protocol.FALSE_REPLY)
            else:
                for part in protocol.handle_parts(machine, line):
                    sock.sendall(part)
    except OSError:
        pass  # the peer went away
    finally:
        rfile.close()
        sock.close()


class Simulator:
    """A simulated API server running on background threads.

        sim = Simulator("127.0.0.1", 0, programs_dir)
        port = sim.start()
        ...
        sim.stop()

    Without `programs_dir` the programs live in a temporary directory that `stop` removes.
    `speed` multiplies the passage of machine time (2.0 runs programs twice as fast).
    A simulator starts once; make a new one to serve again.
    """

    def __init__(
        self,
        host: str = DEFAULT_HOST,
        port: int = 0,
        programs_dir: str | None = None,
        speed: float = DEFAULT_SPEED,
        config: MachineConfig | None = None,
    ) -> None:
        self.host = host
        self.requested_port = port
        self._own_dir: str | None = None
        if programs_dir is None:
            programs_dir = self._own_dir = tempfile.mkdtemp(prefix="cnc_api_simulator_")
        self.programs_dir = programs_dir
        self.machine = Machine(programs_dir, speed=speed, config=config)
        self.port: int | None = None
        self._listener: socket.socket | None = None
        self._wake: tuple[socket.socket, socket.socket] | None = None  # socket pair that ends the accept loop
        self._accept_thread: threading.Thread | None = None
        self._clients: dict[socket.socket, threading.Thread] = {}
        self._guard = threading.Lock()
        self._state = "new"

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
        self._wake = socket.socketpair()
        self._accept_thread = threading.Thread(target=self._accept_loop, name="cnc_api_simulator", daemon=True)
        self._accept_thread.start()
        return self.port

    def _accept_loop(self) -> None:
        assert self._listener is not None and self._wake is not None
        with selectors.DefaultSelector() as selector:
            selector.register(self._listener, selectors.EVENT_READ)
            selector.register(self._wake[0], selectors.EVENT_READ)
            while True:
                for key, _ in selector.select():
                    if key.fileobj is self._wake[0]:
                        return
                    try:
                        sock, _ = self._listener.accept()
                    except OSError:
                        continue
                    self._spawn(sock)

    def _spawn(self, sock: socket.socket) -> None:
        thread = threading.Thread(target=self._client, args=(sock,), name="cnc_api_simulator client", daemon=True)
        with self._guard:
            self._clients[sock] = thread
        thread.start()

    def _client(self, sock: socket.socket) -> None:
        try:
            _serve_connection(sock, self.machine)
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
            with self._guard:
                clients = list(self._clients.items())
            for sock, _ in clients:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            for _, thread in clients:
                thread.join()
            for s in self._wake:
                s.close()
        self.machine.close()
        self._state = "stopped"
        self._remove_own_dir()

    def _remove_own_dir(self) -> None:
        if self._own_dir:
            shutil.rmtree(self._own_dir, ignore_errors=True)
            self._own_dir = None

    def __enter__(self) -> Simulator:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()
