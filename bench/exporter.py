#!/usr/bin/env python3
"""Exporter benchmark: many machines polled at a fixed rate from one exporter process.

Replay servers stand in for the machines (one process per 64 machines at most);
the exporter of `cnc_api_tools` polls them from this process while the script
measures each poll's duration and the process's CPU time. A scraper in a child
process fetches /metrics as Prometheus would (gzip accepted) every 15 s during
the measured time, so the CPU figure includes serving the scrapes at that rate.
Run from the root:

    python3 bench/exporter.py                   # 256 machines at 10 Hz for 30 s
    python3 bench/exporter.py --down 8          # plus 8 machines whose connect times out
    python3 bench/exporter.py --scrape-interval 0   # polling alone
    python3 bench/exporter.py --check           # exit 1 when a target is missed

Targets: p99 poll latency under 5 ms, exporter CPU under 30 % of one core.
"""

from __future__ import annotations

import gzip
import json
import os
import socket
import statistics
import subprocess
import sys
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import replay_fleet as common  # noqa: E402
from replay import stat_cpu_seconds  # noqa: E402
from replay_fleet import HOST, PER_SERVER  # noqa: E402

TARGET_P99_MS = 5.0
TARGET_CPU_PERCENT = 30.0


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


def poller_cpu_seconds():
    """CPU time the polling threads of this process used so far, from /proc (None elsewhere)."""
    import threading

    total = 0.0
    for t in threading.enumerate():
        if not t.name.startswith("cnc-api-poll-"):
            continue
        seconds = stat_cpu_seconds(f"/proc/self/task/{t.native_id}/stat")
        if seconds is None:
            return None
        total += seconds
    return total


# Waits for "go" on stdin, then fetches URL every INTERVAL seconds, starting half an interval in,
# COUNT times; prints one JSON line per scrape. Its CPU is not the exporter's.
SCRAPER = r"""
import json, sys, time, urllib.request
url, interval, count = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
print("ready", flush=True)
sys.stdin.readline()
start = time.perf_counter()
for k in range(count):
    time.sleep(max(0.0, start + (k + 0.5) * interval - time.perf_counter()))
    t0 = time.perf_counter()
    request = urllib.request.Request(url, headers={"Accept-Encoding": "gzip"})
    with urllib.request.urlopen(request, timeout=30) as reply:
        body = reply.read()
        encoding = reply.headers.get("Content-Encoding")
    print(json.dumps({"ms": (time.perf_counter() - t0) * 1000, "bytes": len(body), "encoding": encoding}), flush=True)
"""


class Scraper:
    """A child process that scrapes the endpoint at a fixed interval once told to go."""

    def __init__(self, url, interval, count):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", SCRAPER, url, str(interval), str(count)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        if self.proc.stdout.readline().strip() != "ready":
            raise RuntimeError("scraper did not start")

    def go(self):
        self.proc.stdin.write("go\n")
        self.proc.stdin.flush()

    def results(self):
        out, _ = self.proc.communicate(timeout=60)
        return [json.loads(line) for line in out.splitlines() if line.strip()]


def render_cost(exporter, rounds=5):
    """CPU of making one scrape's text and of gzipping it, on this thread alone (median of a few)."""
    render, zipped, body = [], [], b""
    for _ in range(rounds):
        t0 = time.thread_time()
        body = exporter.exposition()
        t1 = time.thread_time()
        gzip.compress(body, compresslevel=1)
        render.append(t1 - t0)
        zipped.append(time.thread_time() - t1)
    return statistics.median(render), statistics.median(zipped), body


def module_floor(ports, machines, seconds):
    """CPU per poll of the two queries alone: plain clients, one thread, no exporter."""
    import cnc_api_client_core as cnc

    clients = []
    for i in range(machines):
        c = cnc.CncAPIClientCore()
        if not c.connect(HOST, ports[i // PER_SERVER]):
            raise RuntimeError("floor client could not connect")
        clients.append(c)
    polls, times0, end = 0, os.times(), time.perf_counter() + seconds
    while time.perf_counter() < end:
        for c in clients:
            c.get_cnc_info()
            c.get_axes_info()
        polls += len(clients)
    times1 = os.times()
    for c in clients:
        c.close()
    user, system = times1.user - times0.user, times1.system - times0.system
    return (user + system) / polls * 1e6, user / polls * 1e6, system / polls * 1e6


def parser():
    p = common.new_parser(__doc__, machines=256, rate=10.0, seconds=30.0)
    p.add_argument(
        "--scrape-interval", type=float, default=15.0, help="seconds between scrapes during the run (0: none)"
    )
    p.add_argument("--warmup", type=float, default=3.0)
    p.add_argument("--pollers", type=int, default=1)
    p.add_argument("--down", type=int, default=0, help="extra machines whose connect times out")
    common.add_run_options(p, "exporter.json")
    return p


def main(argv):
    args = common.parse_options(parser(), argv, quick=(4.0, 1.0))
    if args.quick:
        args.scrape_interval = min(args.scrape_interval, 4.0)
    from cnc_api_tools import Backoff, Machine
    from cnc_api_tools.exporter import Exporter
    from prometheus_client.parser import text_string_to_metric_families

    servers = common.start_replay_servers(args, max_seconds=600)
    nservers = len(servers)
    hole = Blackhole() if args.down else None
    floor_us, floor_user_us, floor_system_us = module_floor(
        [s.port for s in servers], args.machines, 2.0 if args.quick else 5.0
    )
    window = {"on": False}
    durations: list[float] = []
    failed = [0]

    def observe(index, snap, took):
        if window["on"] and index < args.machines:
            if snap is None:
                failed[0] += 1
            else:
                durations.append(took)

    # Names of their own: many machines share one replay server's address.
    machines = [
        Machine(HOST, servers[i // PER_SERVER].port, connect_timeout=2.0, name=f"m{i:03d}")
        for i in range(args.machines)
    ]
    machines += [
        Machine(HOST, hole.port, connect_timeout=1.0, backoff=Backoff(initial=0.5, maximum=2.0), name=f"down-{i}")
        for i in range(args.down)
    ]
    exporter = Exporter(machines, args.rate, pollers=args.pollers, on_poll=observe)
    scraper = None
    try:
        port = exporter.serve(HOST, 0)
        url = f"http://{HOST}:{port}/metrics"
        scrapes_due = int(args.seconds / args.scrape_interval + 0.5) if args.scrape_interval > 0 else 0
        if scrapes_due:
            scraper = Scraper(url, args.scrape_interval, scrapes_due)
        time.sleep(args.warmup)
        up = sum(m.connected for m in machines[: args.machines])
        servers_cpu = common.ServersCpu(servers)
        polls0 = sum(exporter.fleet.polls[: args.machines])
        window["on"] = True
        if scraper:
            scraper.go()
        busy0, pollers0 = busy_cpu_seconds(), poller_cpu_seconds()
        wall0, cpu0, times0 = time.perf_counter(), time.process_time(), os.times()
        time.sleep(args.seconds)
        wall, cpu, times1 = time.perf_counter() - wall0, time.process_time() - cpu0, os.times()
        user, system = times1.user - times0.user, times1.system - times0.system
        pollers1 = poller_cpu_seconds()
        window["on"] = False
        polls_done = sum(exporter.fleet.polls[: args.machines]) - polls0
        server_cpu = servers_cpu.seconds()
        busy1 = busy_cpu_seconds()
        others = None if busy0 is None or busy1 is None else max(0.0, busy1 - busy0 - cpu - server_cpu) / wall
        scrapes = scraper.results() if scraper else []
        # The scrape's own cost, on this thread alone, and a full scrape read back with the parser.
        render_cpu, gzip_cpu, _ = render_cost(exporter)
        body = urllib.request.urlopen(url, timeout=10).read().decode()
        families = {f.name: f for f in text_string_to_metric_families(body)}
        up_scraped = sum(s.value for s in families["cnc_up"].samples)
        samples = sum(len(f.samples) for f in families.values())
    finally:
        if scraper and scraper.proc.poll() is None:
            scraper.proc.kill()
        exporter.stop()
        common.stop_all(servers)
        if hole:
            hole.close()

    polls = polls_done
    expected = args.machines * args.rate * wall
    ms = [d * 1000 for d in durations]
    scrape_ms = [r["ms"] for r in scrapes]
    scrape_share = (render_cpu + gzip_cpu) * len(scrapes) / wall * 100
    poll_cpu = None if pollers0 is None or pollers1 is None else pollers1 - pollers0
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
            "p50": common.percentile(ms, 50),
            "p90": common.percentile(ms, 90),
            "p99": common.percentile(ms, 99),
            "max": max(ms) if ms else float("nan"),
        },
        "cpu_percent_of_one_core": cpu / wall * 100,
        "cpu_us_per_poll": cpu / polls * 1e6 if polls else float("nan"),
        "module_floor_cpu_us_per_poll": floor_us,
        "module_floor_user_us_per_poll": floor_user_us,
        "module_floor_system_us_per_poll": floor_system_us,
        "cpu_user_percent": user / wall * 100,
        "cpu_system_percent": system / wall * 100,
        "polling_threads_cpu_percent": None if poll_cpu is None else poll_cpu / wall * 100,
        "rest_of_process_cpu_percent": None if poll_cpu is None else (cpu - poll_cpu) / wall * 100,
        "replay_servers_cpu_percent": server_cpu / wall * 100,
        "other_processes_cores": others,
        "scrape": {
            "interval_s": args.scrape_interval,
            "during_run": len(scrapes),
            "wall_ms": scrape_ms,
            "gzip_bytes": [r["bytes"] for r in scrapes],
            "render_cpu_ms": render_cpu * 1000,
            "gzip_cpu_ms": gzip_cpu * 1000,
            "cpu_percent_of_one_core": scrape_share,
            "bytes": len(body),
            "samples": samples,
        },
        "python": sys.version.split()[0],
    }
    checks = {
        "p99 poll latency < 5 ms": result["poll_ms"]["p99"] < TARGET_P99_MS,
        "exporter CPU < 30 % of one core": result["cpu_percent_of_one_core"] < TARGET_CPU_PERCENT,
        "every machine polled at the rate": polls >= 0.95 * expected and failed[0] == 0,
    }
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
    if poll_cpu is not None:
        print(
            f"    of which     polling threads {poll_cpu / wall * 100:.1f} % "
            f"({poll_cpu / polls * 1e6:.0f} us per poll), "
            f"the rest (scrapes, standby, connectors, this script) {(cpu - poll_cpu) / wall * 100:.1f} %"
        )
    print(
        f"  module floor     {floor_us:.0f} us CPU per poll (user {floor_user_us:.0f}, kernel {floor_system_us:.0f}): "
        f"the two queries alone, back to back on one thread "
        f"({floor_us * args.machines * args.rate / 1e4:.1f} % of one core at this rate)"
    )
    print(f"  replay servers   {result['replay_servers_cpu_percent']:.1f} % of one core")
    zipped = f", {statistics.median(result['scrape']['gzip_bytes']) / 1e3:.0f} kB gzipped" if scrapes else ""
    print(
        f"  scrapes          {len(scrapes)} during the run, every {args.scrape_interval:g} s"
        + (f" ({statistics.median(scrape_ms):.1f} ms each{zipped})" if scrapes else "")
        + f"; one costs {render_cpu * 1000:.1f} ms CPU to make and {gzip_cpu * 1000:.1f} ms to gzip "
        f"({samples} samples, {len(body)} bytes): {scrape_share:.2f} % of one core, in the figure above"
    )
    if others is not None:
        print(
            f"  other processes  {others:.2f} cores busy during the run"
            + ("  (figures unreliable: the machine was not quiet)" if others > 0.2 else "")
        )
    return common.finish(args, result, checks)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
