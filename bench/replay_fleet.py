"""What the fleet benchmarks share: replay servers standing in for many machines, their CPU,
the options every one of them takes and how each ends with its results."""

import argparse
import json
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from replay import ReplayProcess  # noqa: E402
from run import build_server, ensure_replies, maybe_reexec_in_venv  # noqa: E402

HOST = "127.0.0.1"
PER_SERVER = 64  # machines one replay server process stands in for


def percentile(values, p):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[max(0, math.ceil(p / 100 * len(ordered)) - 1)]


def new_parser(doc, machines, rate, seconds, seconds_help="measured time"):
    """A parser described by the first line of DOC, with the size, pace and length of the run."""
    p = argparse.ArgumentParser(description=doc.splitlines()[0])
    p.add_argument("--machines", type=int, default=machines)
    p.add_argument("--rate", type=float, default=rate, help="polls per second per machine")
    p.add_argument("--seconds", type=float, default=seconds, help=seconds_help)
    return p


def parse_options(p, argv, quick):
    """ARGV parsed by P, once under the project's venv where the module is; --quick sets
    (seconds, warmup) to QUICK."""
    maybe_reexec_in_venv(argv)
    args = p.parse_args(argv)
    if args.quick:
        args.seconds, args.warmup = quick
    return args


def add_run_options(p, results_name):
    """Where the replay server comes from, where the results go, and how the run is judged."""
    p.add_argument("--server", help="path of a built replay_server (default: build it)")
    p.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    p.add_argument("--json", default=os.path.join(HERE, "results", results_name))
    p.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    p.add_argument("--quick", action="store_true", help="a few seconds, for a smoke run")
    p.add_argument("--no-venv", action="store_true")


def start_replay_servers(args, max_seconds):
    """Enough replay servers for args.machines, from args.server or one built now."""
    exe = args.server or build_server(args.build_dir)
    table = ensure_replies()
    count = max(1, math.ceil(args.machines / PER_SERVER))
    return [ReplayProcess(exe, table, max_seconds=max_seconds) for _ in range(count)]


def stop_all(servers):
    for s in servers:
        s.stop()


class ServersCpu:
    """CPU seconds the replay servers used since this was made."""

    def __init__(self, servers):
        self.servers = servers
        self.start = [s.cpu_seconds() or 0.0 for s in servers]

    def seconds(self):
        return sum((s.cpu_seconds() or 0.0) - c for s, c in zip(self.servers, self.start, strict=True))


def write_results(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        json.dump(data, f, indent=2)


def finish(args, result, checks):
    """Prints the checks, writes the result with them; the exit status --check asks for."""
    result["checks"] = checks
    for name, ok in checks.items():
        print(f"  {'PASS' if ok else 'FAIL'}  {name}")
    write_results(args.json, result)
    return 0 if all(checks.values()) or not args.check else 1
