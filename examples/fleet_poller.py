"""Poll several CNC API servers at once, one client and one thread per connection.

    python examples/fleet_poller.py --server 127.0.0.1:8000 --server 127.0.0.1:8001 --clients 2 --seconds 5

A client serves one thread at a time, so each thread owns its client; the threads
overlap their waits because the module lets go of the interpreter lock while it
waits on the network. Prints per-client calls per second at the end (and every
--report seconds while running).

Exit status: 0 when every client stayed connected, 1 when a client could not
connect, 2 when a call failed (a lost connection
included).
"""

from __future__ import annotations

import argparse
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field

import cnc_api_client_core as cnc


def update_context(client: cnc.CncAPIClientCore) -> bool:
    """One info context refresh: four queries, all of which must bring data."""
    context = cnc.CncAPIInfoContext(client)
    return context.update() and all(
        record.has_data
        for record in (context.axes_info, context.cnc_info, context.compile_info, context.enabled_commands)
    )


QUERIES: dict[str, Callable[[cnc.CncAPIClientCore], bool]] = {
    "cnc": lambda c: c.get_cnc_info().has_data,
    "axes": lambda c: c.get_axes_info().has_data,
    "context": update_context,
}


@dataclass
class Poller:
    host: str
    port: int
    index: int
    calls: int = 0
    failures: int = 0
    connected: bool = False
    started: float = 0.0
    ended: float = 0.0
    thread: threading.Thread | None = field(default=None, repr=False)

    @property
    def name(self) -> str:
        return f"#{self.index} {self.host}:{self.port}"

    def rate(self, now: float | None = None) -> float:
        end = self.ended or (now if now is not None else time.monotonic())
        elapsed = end - self.started
        return self.calls / elapsed if elapsed > 0 else 0.0

    def run(self, query: Callable[[cnc.CncAPIClientCore], bool], deadline: float, stop: threading.Event) -> None:
        client = cnc.CncAPIClientCore()
        self.started = time.monotonic()
        try:
            if not client.connect(self.host, self.port):
                return
            self.connected = True
            while not stop.is_set() and time.monotonic() < deadline:
                if not query(client):
                    self.failures += 1
                    if not client.is_connected:
                        break
                self.calls += 1
        finally:
            self.ended = time.monotonic()
            client.close()


def endpoint(text: str) -> tuple[str, int]:
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit():
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, got {text!r}")
    return host, int(port)


def report(pollers: list[Poller], final: bool) -> None:
    now = time.monotonic()
    for p in pollers:
        status = "" if p.connected else "  (no connection)"
        if p.connected and final and p.failures:
            status = f"  {p.failures} failed"
        print(f"{p.name:<28} {p.calls:>8} calls {p.rate(now):>10.1f} calls/s{status}")
    if final:
        total = sum(p.rate(now) for p in pollers)
        print(f"{'total':<28} {sum(p.calls for p in pollers):>8} calls {total:>10.1f} calls/s")
    sys.stdout.flush()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Poll CNC API servers with one client per thread.")
    parser.add_argument(
        "--server",
        type=endpoint,
        action="append",
        metavar="HOST:PORT",
        help="API server to poll; repeat for several (default 127.0.0.1:8000)",
    )
    parser.add_argument("--clients", type=int, default=4, help="clients per server (default %(default)s)")
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to poll (default %(default)s)")
    parser.add_argument(
        "--query",
        choices=sorted(QUERIES),
        default="cnc",
        help="what each call reads: one query or a whole info context update (default %(default)s)",
    )
    parser.add_argument(
        "--report", type=float, default=0.0, help="print rates every this many seconds (0: only at the end)"
    )
    args = parser.parse_args(argv)
    if args.clients < 1:
        parser.error("--clients must be at least 1")

    servers: list[tuple[str, int]] = args.server or [("127.0.0.1", 8000)]
    pollers = [
        Poller(host, port, i + 1) for i, (host, port) in enumerate(s for s in servers for _ in range(args.clients))
    ]
    stop = threading.Event()
    deadline = time.monotonic() + args.seconds
    query = QUERIES[args.query]
    for p in pollers:
        p.thread = threading.Thread(target=p.run, args=(query, deadline, stop), name=p.name, daemon=True)
        p.thread.start()
    try:
        while any(p.thread is not None and p.thread.is_alive() for p in pollers):
            wait = args.report if args.report > 0 else 0.1
            time.sleep(min(wait, max(0.01, deadline - time.monotonic())))
            if args.report > 0 and time.monotonic() < deadline:
                report(pollers, final=False)
                print()
    except KeyboardInterrupt:
        stop.set()
    for p in pollers:
        if p.thread is not None:
            p.thread.join()
    report(pollers, final=True)
    if not all(p.connected for p in pollers):
        return 1
    return 2 if any(p.failures for p in pollers) else 0


if __name__ == "__main__":
    sys.exit(main())
