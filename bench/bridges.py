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

import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import replay_fleet as common  # noqa: E402
from replay import stat_cpu_seconds  # noqa: E402
from replay_fleet import HOST, ROOT  # noqa: E402

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


def cpu_seconds(pid):
    return stat_cpu_seconds(f"/proc/{pid}/stat") or 0.0


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
        "p50_ms": round(common.percentile(delays, 50), 2),
        "p99_ms": round(common.percentile(delays, 99), 2),
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


def parser():
    p = common.new_parser(__doc__, machines=1000, rate=1.0, seconds=20.0, seconds_help="measured time of each case")
    p.add_argument("--warmup", type=float, default=5.0)
    p.add_argument("--qos", type=int, choices=(0, 1), default=0)
    p.add_argument("--pollers", type=int, default=1)
    common.add_run_options(p, "bridges.json")
    return p


def main(argv):
    args = common.parse_options(parser(), argv, quick=(4.0, 2.0))
    servers = common.start_replay_servers(args, max_seconds=900)
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
            common.stop_all(servers)
    common.write_results(args.json, {"mqtt": results, "args": vars(args)})
    missed = [r["case"] for r in results if not r["p99_ms"] < TARGET_P99_MS]
    if missed:
        print(f"p99 target ({TARGET_P99_MS:g} ms) missed: {', '.join(missed)}")
    return 1 if args.check and missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
