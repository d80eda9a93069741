"""A TCP proxy on 127.0.0.1 that delays what the server sends, to try clients
through a slow link. Requests pass at once; each chunk of a reply is held for
a delay drawn from [low, high] seconds (seeded, so a run can be repeated),
never overtaking the chunk before it.

    with LatencyProxy(("127.0.0.1", server_port), 0.05, 0.3, seed=1) as proxy:
        client.connect("127.0.0.1", proxy.port)
"""

from __future__ import annotations

import random
import socket
import threading
import time
from collections import deque


class LatencyProxy:
    def __init__(self, upstream: tuple[str, int], low: float, high: float, seed: int = 0) -> None:
        self.upstream, self.low, self.high = upstream, low, high
        self._random = random.Random(seed)
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._sockets: list[socket.socket] = []
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(0.05)
        self.port: int = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._accept, name=f"latency-proxy:{self.port}", daemon=True)
        self._thread.start()

    def _delay(self) -> float:
        with self._lock:
            return self._random.uniform(self.low, self.high)

    def _accept(self) -> None:
        while not self._stop.is_set():
            try:
                client, _ = self._listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            try:
                server = socket.create_connection(self.upstream)
            except OSError:
                client.close()
                continue
            for s in (client, server):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self._lock:
                self._sockets += [client, server]
            threading.Thread(target=self._pipe, args=(client, server, False), daemon=True).start()
            threading.Thread(target=self._pipe, args=(server, client, True), daemon=True).start()

    def _pipe(self, source: socket.socket, target: socket.socket, delayed: bool) -> None:
        """Copies `source` to `target`; with `delayed`, each chunk after its delay."""
        queue: deque[tuple[float, bytes]] = deque()
        ready = threading.Condition()
        done = [False]

        def deliver() -> None:
            while True:
                with ready:
                    ready.wait_for(lambda: queue or done[0])
                    if not queue:
                        break
                    due, chunk = queue[0]
                wait = due - time.monotonic()
                if wait > 0 and self._stop.wait(wait):
                    break
                with ready:
                    queue.popleft()
                try:
                    target.sendall(chunk)
                except OSError:
                    break
            try:
                target.shutdown(socket.SHUT_WR)
            except OSError:
                pass

        sender = threading.Thread(target=deliver, daemon=True)
        sender.start()
        last_due = 0.0
        try:
            while chunk := source.recv(65536):
                due = time.monotonic() + (self._delay() if delayed else 0.0)
                last_due = max(due, last_due)  # never overtakes the chunk before it
                with ready:
                    queue.append((last_due, chunk))
                    ready.notify()
        except OSError:
            pass
        with ready:
            done[0] = True
            ready.notify()

    def close(self) -> None:
        self._stop.set()
        self._listener.close()
        with self._lock:
            for s in self._sockets:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()
        self._thread.join(2)

    def __enter__(self) -> LatencyProxy:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
