#!/usr/bin/env python3
"""OPC UA bridge benchmark: many machines polled at 1 Hz, one client subscribed to them all.

Replay servers stand in for the machines (64 per process); the bridge of `cnc-api opcua`
runs in this process and polls them; a client in a child process subscribes to every
machine's state and X position (publishing interval 100 ms) and times each data change
notification against the value's source timestamp, which is the time of the poll. The
replay servers answer the same every time, so the script moves X by one on every poll,
as a running machine would: each poll then makes a notification. Run from the root:

    python3 bench/opcua_bench.py              # 256 machines at 1 Hz for 30 s
    python3 bench/opcua_bench.py --quick      # a few seconds
    python3 bench/opcua_bench.py --check      # exit 1 when a target is missed

Targets: p99 delay from poll to notification under one poll period; bridge CPU under 30 %
of one core.
"""

from __future__ import annotations

import asyncio
import itertools
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import replay_fleet as common  # noqa: E402
from replay_fleet import HOST, PER_SERVER  # noqa: E402

TARGET_CPU_PERCENT = 30.0

# Subscribes to NAMES' state and X position at URL, prints "ready", then on "go" starts timing
# notifications and on "stop" prints one JSON object: delays in ms and its own CPU seconds.
SUBSCRIBER = r"""
import asyncio, json, sys, time
from asyncua import Client, ua

url, count = sys.argv[1], int(sys.argv[2])
names = [f"m{i:03d}" for i in range(count)]
delays, timing = [], [False]

class Handler:
    def datachange_notification(self, node, value, data):
        dv = data.monitored_item.Value
        if timing[0] and dv.SourceTimestamp is not None and dv.StatusCode.is_good():
            delays.append((time.time() - dv.SourceTimestamp.timestamp()) * 1000)

async def main():
    async with Client(url, timeout=30) as client:
        idx = await client.get_namespace_index("urn:cnc-api:opcua")
        sub = await client.create_subscription(100, Handler())
        nodes = [client.get_node(ua.NodeId(f"{n}/{p}", idx)) for n in names
                 for p in ("Monitoring/Channel/State", "Monitoring/Channel/Positions/X")]
        for k in range(0, len(nodes), 100):
            await sub.subscribe_data_change(nodes[k:k + 100], queuesize=10)
        print("ready", flush=True)
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, sys.stdin.readline)
        timing[0] = True
        cpu0 = time.process_time()
        await loop.run_in_executor(None, sys.stdin.readline)
        timing[0] = False
        print(json.dumps({"delays_ms": delays, "cpu_s": time.process_time() - cpu0}), flush=True)

asyncio.run(main())
"""


def parser():
    p = common.new_parser(__doc__, machines=256, rate=1.0, seconds=30.0)
    p.add_argument("--warmup", type=float, default=5.0)
    common.add_run_options(p, "opcua.json")
    return p


def moving(values_of):
    """values_of with X moved by one at each call: every poll changes a value."""
    from cnc_api_tools.opcua.values import INDEX

    x = INDEX["Monitoring/Channel/Positions/X"]
    counter = itertools.count()

    def varied(*args):
        values = list(values_of(*args))
        values[x] = float(next(counter))
        return tuple(values)

    return varied


class Loop:
    """An event loop on a thread of its own, as `cnc-api opcua` runs the bridge."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, name="bench-opcua", daemon=True)
        self.thread.start()

    def run(self, coro, timeout=None):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def close(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()


def measure(args, bridge, subscriber):
    time.sleep(args.warmup)
    connected = sum(m.connected for m in bridge.machines)
    cpu0, wall0 = os.times(), time.perf_counter()
    subscriber.stdin.write("go\n")
    subscriber.stdin.flush()
    time.sleep(args.seconds)
    subscriber.stdin.write("stop\n")
    subscriber.stdin.flush()
    cpu1, wall = os.times(), time.perf_counter() - wall0
    line = subscriber.stdout.readline()
    data = json.loads(line)
    user, system = cpu1.user - cpu0.user, cpu1.system - cpu0.system
    return connected, wall, user, system, data


def main(argv):
    args = common.parse_options(parser(), argv, quick=(5.0, 4.0))
    import cnc_api_tools.opcua.feed as feed
    from cnc_api_tools.fleetfile import FleetMachine
    from cnc_api_tools.opcua.bridge import OpcUaBridge, Settings
    from cnc_api_tools.opcua.security import server_certificate

    feed.values_of = moving(feed.values_of)
    servers = common.start_replay_servers(args, max_seconds=600)
    machines = [FleetMachine(f"m{i:03d}", HOST, servers[i // PER_SERVER].port, {}, None) for i in range(args.machines)]
    state = tempfile.mkdtemp(prefix="opcua-bench-")
    settings = Settings(port=0, rate=args.rate, certificate=server_certificate(Path(state), HOST))
    bridge = OpcUaBridge(machines, settings)
    loop = Loop()
    subscriber = None
    try:
        port = loop.run(bridge.start(), 120)
        subscriber = subprocess.Popen(
            [sys.executable, "-c", SUBSCRIBER, f"opc.tcp://{HOST}:{port}/", str(args.machines)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        if subscriber.stdout.readline().strip() != "ready":
            raise RuntimeError("subscriber did not start")
        servers_cpu = common.ServersCpu(servers)
        connected, wall, user, system, data = measure(args, bridge, subscriber)
        server_cpu = servers_cpu.seconds()
    finally:
        if subscriber is not None and subscriber.poll() is None:
            subscriber.kill()
        loop.run(bridge.stop(), 60)
        loop.close()
        common.stop_all(servers)
    delays = data["delays_ms"]
    period_ms = 1000.0 / args.rate
    expected = args.machines * args.rate * wall
    result = {
        "machines": args.machines,
        "rate_hz": args.rate,
        "seconds": round(wall, 2),
        "connected": connected,
        "notifications": len(delays),
        "notifications_expected": round(expected),
        "delay_ms": {p: common.percentile(delays, q) for p, q in (("p50", 50), ("p90", 90), ("p99", 99))}
        | {"max": max(delays) if delays else float("nan")},
        "bridge_cpu_percent_of_one_core": (user + system) / wall * 100,
        "bridge_cpu_user_percent": user / wall * 100,
        "bridge_cpu_system_percent": system / wall * 100,
        "subscriber_cpu_percent_of_one_core": data["cpu_s"] / wall * 100,
        "replay_servers_cpu_percent": server_cpu / wall * 100,
        "python": sys.version.split()[0],
    }
    checks = {
        "p99 delay from poll to notification < one poll period": result["delay_ms"]["p99"] < period_ms,
        f"bridge CPU < {TARGET_CPU_PERCENT:g} % of one core": result["bridge_cpu_percent_of_one_core"]
        < TARGET_CPU_PERCENT,
        "a notification for every poll": len(delays) >= 0.95 * expected,
    }
    d = result["delay_ms"]
    print(f"opcua: {args.machines} machines at {args.rate:g} Hz ({len(servers)} replay servers), {wall:.1f} s")
    print(f"  notifications    {len(delays)} of {expected:.0f} polls, {connected} machines connected")
    print(
        f"  poll -> client   p50 {d['p50']:.1f} ms  p90 {d['p90']:.1f} ms  p99 {d['p99']:.1f} ms  "
        f"max {d['max']:.1f} ms (publishing interval 100 ms)"
    )
    print(
        f"  bridge CPU       {result['bridge_cpu_percent_of_one_core']:.1f} % of one core "
        f"(user {result['bridge_cpu_user_percent']:.1f} %, kernel {result['bridge_cpu_system_percent']:.1f} %)"
    )
    print(f"  subscriber CPU   {result['subscriber_cpu_percent_of_one_core']:.1f} % of one core")
    print(f"  replay servers   {result['replay_servers_cpu_percent']:.1f} % of one core")
    return common.finish(args, result, checks)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
