#!/usr/bin/env python3
"""Exporter benchmark: many machines polled at a fixed rate from one exporter process.

Replay servers stand in for the machines (one process per 64 machines at most);
the exporter of `cnc_api_tools` polls them from this process while the script
measures each poll's duration and the process's CPU time. Run from the root:

    python3 bench/exporter.py                   # 256 machines at 10 Hz for 20 s
    python3 bench/exporter.py --down 8          # plus 8 machines whose connect times out
    python3 bench/exporter.py --check           # exit 1 when a target is missed

Targets: p99 poll latency under 5 ms, exporter CPU under 30 % of one core.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import socket
import sys
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from replay import ReplayProcess  # noqa: E402
from run import build_server, ensure_replies, maybe_reexec_in_venv  # noqa: E402

HOST = "127.0.0.1"
PER_SERVER = 64
TARGET_P99_MS = 5.0
TARGET_CPU_PERCENT = 30.0


def percentile(values, p):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[max(0, math.ceil(p / 100 * len(ordered)) - 1)]


class Blackhole:
    """A loopback port whose accept queue is full, so connects to it time out."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind((HOST, 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        self.fillers = []
        for _ in range(8):
            s = socket.socket()
            s.settimeout(0.2)
            try:
                s.connect((HOST, self.port))
            except OSError:
                s.close()
                break
            self.fillers.append(s)

    def close(self):
        for s in self.fillers:
            s.close()
        self.listener.close()


def busy_cpu_seconds():
    """CPU time all processes used so far (user, nice, system), from /proc/stat."""
    try:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:4]]
    except OSError:
        return None
    return sum(fields) / os.sysconf("SC_CLK_TCK")


def module_floor(ports, machines, seconds):
    """CPU per poll of the two queries alone: plain clients, one thread, no exporter."""
    import cnc_api_client_core as cnc

    clients = []
    for i in range(machines):
        c = cnc.CncAPIClientCore()
        if not c.connect(HOST, ports[i // PER_SERVER]):
            raise RuntimeError("floor client could not connect")
        clients.append(c)
    polls, cpu0, end = 0, time.process_time(), time.perf_counter() + seconds
    while time.perf_counter() < end:
        for c in clients:
            c.get_cnc_info()
            c.get_axes_info()
        polls += len(clients)
    cpu = time.process_time() - cpu0
    for c in clients:
        c.close()
    return cpu / polls * 1e6


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--machines", type=int, default=256)
    p.add_argument("--rate", type=float, default=10.0, help="polls per second per machine")
    p.add_argument("--seconds", type=float, default=20.0, help="measured time")
    p.add_argument("--warmup", type=float, default=3.0)
    p.add_argument("--pollers", type=int, default=1)
    p.add_argument("--down", type=int, default=0, help="extra machines whose connect times out")
    p.add_argument("--server", help="path of a built replay_server (default: build it)")
    p.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    p.add_argument("--json", default=os.path.join(HERE, "results", "exporter.json"))
    p.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    p.add_argument("--quick", action="store_true", help="a few seconds, for a smoke run")
    p.add_argument("--no-venv", action="store_true")
    return p.parse_args(argv)


def main(argv):
    maybe_reexec_in_venv(argv)
    args = parse_args(argv)
    if args.quick:
        args.seconds, args.warmup = 3.0, 1.0
    from cnc_api_tools import Backoff, Machine
    from cnc_api_tools.exporter import Exporter
    from prometheus_client.parser import text_string_to_metric_families

    exe = args.server or build_server(args.build_dir)
    table = ensure_replies()
    nservers = max(1, math.ceil(args.machines / PER_SERVER))
    servers = [ReplayProcess(exe, table, max_seconds=600) for _ in range(nservers)]
    hole = Blackhole() if args.down else None
    floor_us = module_floor([s.port for s in servers], args.machines, 2.0 if args.quick else 5.0)
    lock = threading.Lock()
    window = {"on": False}
    durations: list[float] = []
    failed = [0]

    def observe(index, snap, took):
        if window["on"] and index < args.machines:
            if snap is None:
                failed[0] += 1
            else:
                durations.append(took)

    machines = [Machine(HOST, servers[i // PER_SERVER].port, connect_timeout=2.0) for i in range(args.machines)]
    machines += [
        Machine(HOST, hole.port, connect_timeout=1.0, backoff=Backoff(initial=0.5, maximum=2.0), name=f"down-{i}")
        for i in range(args.down)
    ]
    exporter = Exporter(machines, args.rate, pollers=args.pollers, on_poll=observe)
    try:
        port = exporter.serve(HOST, 0)
        time.sleep(args.warmup)
        up = sum(m.connected for m in machines[: args.machines])
        server_cpu0 = [s.cpu_seconds() or 0.0 for s in servers]
        with lock:
            window["on"] = True
        busy0 = busy_cpu_seconds()
        wall0, cpu0, times0 = time.perf_counter(), time.process_time(), os.times()
        time.sleep(args.seconds)
        wall, cpu, times1 = time.perf_counter() - wall0, time.process_time() - cpu0, os.times()
        user, system = times1.user - times0.user, times1.system - times0.system
        window["on"] = False
        server_cpu = sum((s.cpu_seconds() or 0.0) - c for s, c in zip(servers, server_cpu0, strict=True))
        busy1 = busy_cpu_seconds()
        others = None if busy0 is None or busy1 is None else max(0.0, busy1 - busy0 - cpu - server_cpu) / wall
        # One scrape, timed on its own: Prometheus scrapes every 15 s or so, not on every poll.
        s_cpu0, s_wall0 = time.process_time(), time.perf_counter()
        body = urllib.request.urlopen(f"http://{HOST}:{port}/metrics", timeout=10).read().decode()
        scrape_wall, scrape_cpu = time.perf_counter() - s_wall0, time.process_time() - s_cpu0
        families = {f.name: f for f in text_string_to_metric_families(body)}
        up_scraped = sum(s.value for s in families["cnc_up"].samples)
    finally:
        exporter.stop()
        for s in servers:
            s.stop()
        if hole:
            hole.close()

    polls = len(durations)
    expected = args.machines * args.rate * wall
    ms = [d * 1000 for d in durations]
    result = {
        "machines": args.machines,
        "down_machines": args.down,
        "rate_hz": args.rate,
        "pollers": args.pollers,
        "replay_servers": nservers,
        "seconds": round(wall, 2),
        "connected": up,
        "up_in_scrape": up_scraped,
        "polls": polls,
        "polls_expected": round(expected),
        "failed_polls": failed[0],
        "poll_ms": {
            "p50": percentile(ms, 50),
            "p90": percentile(ms, 90),
            "p99": percentile(ms, 99),
            "max": max(ms) if ms else float("nan"),
        },
        "cpu_percent_of_one_core": cpu / wall * 100,
        "cpu_us_per_poll": cpu / polls * 1e6 if polls else float("nan"),
        "module_floor_cpu_us_per_poll": floor_us,
        "cpu_user_percent": user / wall * 100,
        "cpu_system_percent": system / wall * 100,
        "replay_servers_cpu_percent": server_cpu / wall * 100,
        "other_processes_cores": others,
        "scrape": {"ms": scrape_wall * 1000, "cpu_ms": scrape_cpu * 1000, "bytes": len(body)},
        "python": sys.version.split()[0],
    }
    checks = {
        "p99 poll latency < 5 ms": result["poll_ms"]["p99"] < TARGET_P99_MS,
        "exporter CPU < 30 % of one core": result["cpu_percent_of_one_core"] < TARGET_CPU_PERCENT,
        "every machine polled at the rate": polls >= 0.95 * expected and failed[0] == 0,
    }
    result["checks"] = checks
    print(
        f"exporter: {args.machines} machines at {args.rate:g} Hz ({nservers} replay servers), "
        f"{args.pollers} pollers, {args.down} down machines, {wall:.1f} s"
    )
    print(f"  polls            {polls} of {expected:.0f} expected, {failed[0]} failed, {up} connected")
    p = result["poll_ms"]
    print(
        f"  poll latency     p50 {p['p50']:.3f} ms  p90 {p['p90']:.3f} ms  p99 {p['p99']:.3f} ms  max {p['max']:.3f} ms"
    )
    print(
        f"  exporter CPU     {result['cpu_percent_of_one_core']:.1f} % of one core "
        f"({result['cpu_us_per_poll']:.0f} us per poll; user {result['cpu_user_percent']:.1f} %, "
        f"kernel {result['cpu_system_percent']:.1f} %)"
    )
    print(
        f"  module floor     {floor_us:.0f} us CPU per poll: the two queries alone, back to back on one thread "
        f"({floor_us * args.machines * args.rate / 1e4:.1f} % of one core at this rate)"
    )
    print(f"  replay servers   {result['replay_servers_cpu_percent']:.1f} % of one core")
    print(f"  one scrape       {scrape_wall * 1000:.1f} ms, {scrape_cpu * 1000:.1f} ms CPU, {len(body)} bytes")
    if others is not None:
        print(
            f"  other processes  {others:.2f} cores busy during the run"
            + ("  (figures unreliable: the machine was not quiet)" if others > 0.2 else "")
        )
    for name, ok in checks.items():
        print(f"  {'PASS' if ok else 'FAIL'}  {name}")
    os.makedirs(os.path.dirname(args.json), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump(result, f, indent=2)
    return 0 if all(checks.values()) or not args.check else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
