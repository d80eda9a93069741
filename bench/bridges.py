#!/usr/bin/env python3
"""Bridge benchmark: many machines at 1 Hz published through `cnc-api mqtt` into Mosquitto.

Replay servers stand in for the machines (64 per server process). The bridge runs in a child
process of its own (or two, with --shard 1/2 and 2/2), publishing every value on every poll
(`--every-poll`: the worst case; on change it publishes less) into a Mosquitto broker started
for the run on a free loopback port. A subscriber in this process takes every machine's
`state` topic and measures, for each message, the time from the machine's reply (the `ts`
the bridge stamps on it) to its arrival. CPU shares are of one core, from /proc. Run from
the root:

    python3 bench/bridges.py                     # 1,000 machines, one bridge, then two shards
    python3 bench/bridges.py --machines 256 --seconds 10
    python3 bench/bridges.py --check             # exit 1 when a target is missed

Target: p99 under 50 ms from reply to subscriber.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from replay import ReplayProcess  # noqa: E402
from run import build_server, ensure_replies, maybe_reexec_in_venv  # noqa: E402

HOST = "127.0.0.1"
PER_SERVER = 64
TARGET_P99_MS = 50.0
PREFIX = "bench"

# The bridge's child: machines m0000... on the replay ports (many share one port, so they are made
# here rather than read from a fleet file, which refuses one address twice), until stdin closes.
CHILD = r"""
import json, sys
sys.path.insert(0, sys.argv[2])
from cnc_api_tools import Backoff, Machine
from cnc_api_tools.fleetfile import FleetMachine
from cnc_api_tools.mqtt.bridge import MqttBridge
from cnc_api_tools.mqtt.link import BrokerSettings
from cnc_api_tools.shard import select
cfg = json.loads(sys.argv[1])
machines = [FleetMachine(f"m{i:04d}", "127.0.0.1", cfg["ports"][i // 64], {"site": "s1", "cell": f"c{i // 50}"})
            for i in range(cfg["machines"])]
if cfg["shard"]:
    machines = select(machines, *cfg["shard"])
handles = [Machine(m.host, m.port, name=m.name, connect_timeout=2.0) for m in machines]
settings = BrokerSettings(port=cfg["broker"], client_id=f"bench-{cfg['shard']}", qos=cfg["qos"])
bridge = MqttBridge(machines, handles, settings, prefix="bench", rate=cfg["rate"], every_poll=True, heartbeat=0,
                    pollers=cfg["pollers"], shard=tuple(cfg["shard"]) if cfg["shard"] else None).start()
print(len(machines), flush=True)
sys.stdin.read()
bridge.stop()
"""


def percentile(values, p):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[max(0, math.ceil(p / 100 * len(ordered)) - 1)]


def cpu_seconds(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def free_port():
    import socket

    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


class Broker:
    def __init__(self, directory):
        exe = shutil.which("mosquitto") or shutil.which("mosquitto", path="/usr/sbin:/usr/local/sbin")
        if exe is None:
            sys.exit("mosquitto not found: apt-get install -y mosquitto mosquitto-clients")
        import pwd

        self.port = free_port()
        config = os.path.join(directory, "mosquitto.conf")
        with open(config, "w") as f:
            user = pwd.getpwuid(os.getuid()).pw_name
            f.write(f"listener {self.port} {HOST}\nallow_anonymous true\npersistence false\nuser {user}\n")
            f.write("max_queued_messages 100000\n")
        self.proc = subprocess.Popen([exe, "-c", config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class Subscriber:
    """Every machine's state topic; the delay of each message from the reply it carries."""

    def __init__(self, port):
        import paho.mqtt.client as paho
        from paho.mqtt.enums import CallbackAPIVersion

        self.delays: list[float] = []
        self.count = 0
        self.measuring = False
        self.ready = threading.Event()
        self.client = paho.Client(CallbackAPIVersion.VERSION2, client_id="bench-subscriber")
        self.client.on_connect = lambda c, u, f, r, p: (c.subscribe(f"{PREFIX}/+/+/+/state", 0), self.ready.set())
        self.client.on_message = self._message
        self.client.connect(HOST, port)
        self.client.loop_start()
        self.ready.wait(10)

    def _message(self, client, userdata, message):
        now = time.time()
        if self.measuring and not message.retain:
            self.delays.append(now - json.loads(message.payload)["ts"])
            self.count += 1

    def stop(self):
        self.client.disconnect()
        self.client.loop_stop()


def run_case(label, shards, args, ports, broker):
    procs = []
    for shard in shards:
        cfg = {
            "machines": args.machines,
            "ports": ports,
            "broker": broker.port,
            "rate": args.rate,
            "shard": shard,
            "qos": args.qos,
            "pollers": args.pollers,
        }
        env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"))
        proc = subprocess.Popen(
            [sys.executable, "-c", CHILD, json.dumps(cfg), os.path.join(ROOT, "python")],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=env,
        )
        procs.append((proc, int(proc.stdout.readline())))
    sub = Subscriber(broker.port)
    try:
        time.sleep(args.warmup)
        cpu0 = [cpu_seconds(p.pid) for p, _ in procs]
        broker0 = cpu_seconds(broker.proc.pid)
        sub.measuring = True
        wall0 = time.perf_counter()
        time.sleep(args.seconds)
        sub.measuring = False
        wall = time.perf_counter() - wall0
        cpu = [(cpu_seconds(p.pid) - c) / wall * 100 for (p, _), c in zip(procs, cpu0, strict=True)]
        broker_cpu = (cpu_seconds(broker.proc.pid) - broker0) / wall * 100
    finally:
        sub.stop()
        for proc, _ in procs:
            proc.stdin.close()
            proc.wait(30)
    delays = [d * 1000 for d in sub.delays]
    expected = args.machines * args.rate * wall
    result = {
        "case": label,
        "machines": [n for _, n in procs],
        "messages": sub.count,
        "expected": round(expected),
        "p50_ms": round(percentile(delays, 50), 2),
        "p99_ms": round(percentile(delays, 99), 2),
        "max_ms": round(max(delays, default=float("nan")), 2),
        "bridge_cpu_percent": [round(c, 1) for c in cpu],
        "broker_cpu_percent": round(broker_cpu, 1),
    }
    print(
        f"{label:<18} machines {'+'.join(str(n) for _, n in procs):>9}  messages {sub.count}/{round(expected)}  "
        f"p50 {result['p50_ms']:.2f} ms  p99 {result['p99_ms']:.2f} ms  max {result['max_ms']:.1f} ms  "
        f"bridge CPU {' + '.join(f'{c:.1f}' for c in cpu)} % of a core  broker {broker_cpu:.1f} %",
        flush=True,
    )
    return result


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--machines", type=int, default=1000)
    p.add_argument("--rate", type=float, default=1.0, help="polls per second per machine")
    p.add_argument("--seconds", type=float, default=20.0, help="measured time of each case")
    p.add_argument("--warmup", type=float, default=5.0)
    p.add_argument("--qos", type=int, choices=(0, 1), default=0)
    p.add_argument("--pollers", type=int, default=1)
    p.add_argument("--server", help="path of a built replay_server (default: build it)")
    p.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    p.add_argument("--json", default=os.path.join(HERE, "results", "bridges.json"))
    p.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    p.add_argument("--quick", action="store_true", help="a few seconds, for a smoke run")
    p.add_argument("--no-venv", action="store_true")
    return p.parse_args(argv)


def main(argv):
    maybe_reexec_in_venv(argv)
    args = parse_args(argv)
    if args.quick:
        args.seconds, args.warmup = 4.0, 2.0
    exe = args.server or build_server(args.build_dir)
    table = ensure_replies()
    servers = [ReplayProcess(exe, table, max_seconds=900) for _ in range(math.ceil(args.machines / PER_SERVER))]
    ports = [s.port for s in servers]
    results = []
    with tempfile.TemporaryDirectory() as tmp:
        broker = Broker(tmp)
        try:
            print(
                f"{args.machines} machines at {args.rate:g} Hz, every value on every poll, QoS {args.qos}, "
                f"{os.cpu_count()} cores",
                flush=True,
            )
            results.append(run_case("one bridge", [None], args, ports, broker))
            results.append(run_case("shards 1/2 + 2/2", [[1, 2], [2, 2]], args, ports, broker))
        finally:
            broker.stop()
            for s in servers:
                s.stop()
    os.makedirs(os.path.dirname(args.json), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump({"mqtt": results, "args": vars(args)}, f, indent=2)
    missed = [r["case"] for r in results if not r["p99_ms"] < TARGET_P99_MS]
    if missed:
        print(f"p99 target ({TARGET_P99_MS:g} ms) missed: {', '.join(missed)}")
    return 1 if args.check and missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
