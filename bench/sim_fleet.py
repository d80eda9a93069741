#!/usr/bin/env python3
"""Simulator fleet benchmark: many simulated machines in one process, each polled at 10 Hz.

The simulator runs in a child process (`python -m cnc_api_simulator --machines N`); this
process sets a long program running on some of the machines, then polls `get cnc.info`
on every machine over one connection each, the polls spread evenly over each period,
and measures each reply's time from the request's send to its line feed. Run from the root:

    python3 bench/sim_fleet.py                      # 256 machines at 10 Hz, 8 running, 30 s
    python3 bench/sim_fleet.py --machines 64 --seconds 10
    python3 bench/sim_fleet.py --check              # exit 1 when p99 is not under 20 ms
    python3 bench/sim_fleet.py --log-requests /tmp/requests.jsonl   # with the request log written

Target: p99 under 20 ms on a 2-core machine.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import selectors
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TARGET_P99_MS = 20.0
REQUEST = b'{"get":"cnc.info"}\n'
# A pass around a square, repeated: long enough to keep a machine running for the whole measurement.
PROGRAM = "G21 G90 G17\nG0 X0 Y0\n" + "G1 X50 F600\nG1 Y50\nG1 X0\nG1 Y0\n" * 200 + "M30\n"


def percentile(values: list[float], p: float) -> float:
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[max(0, math.ceil(p / 100 * len(ordered)) - 1)]


def start_fleet(count: int, extra: list[str]) -> tuple[subprocess.Popen[str], list[tuple[str, int]]]:
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python") + os.pathsep + os.environ.get("PYTHONPATH", ""))
    proc = subprocess.Popen(
        [sys.executable, "-m", "cnc_api_simulator", "--machines", str(count), "--port", "0", *extra],
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    )
    assert proc.stdout is not None
    addresses = []
    for _ in range(count):
        name, _, where = proc.stdout.readline().strip().partition(" ")
        host, _, port = where.rpartition(":")
        addresses.append((host, int(port)))
    return proc, addresses


def ask(sock: socket.socket, request: dict[str, object]) -> object:
    sock.sendall(json.dumps(request).encode() + b"\n")
    data = b""
    while not data.endswith(b"\n"):
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return json.loads(data)["res"]


def run_programs(addresses: list[tuple[str, int]]) -> None:
    for host, port in addresses:
        with socket.create_connection((host, port)) as sock:
            assert ask(sock, {"cmd": "program.gcode.set.text", "text": PROGRAM}) is True
            deadline = time.monotonic() + 30
            while ask(sock, {"get": "compile.info"})["state"] == 3 and time.monotonic() < deadline:  # type: ignore[index]
                time.sleep(0.05)
            assert ask(sock, {"cmd": "cnc.start"}) is True


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def poll(addresses: list[tuple[str, int]], rate: float, seconds: float, warmup: float) -> tuple[list[float], int]:
    """Reply times in seconds after the warm-up, and how many polls went unanswered in time."""
    sel = selectors.DefaultSelector()
    socks = []
    for host, port in addresses:
        s = socket.create_connection((host, port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.setblocking(False)
        socks.append(s)
        sel.register(s, selectors.EVENT_READ, len(socks) - 1)
    period = 1.0 / rate
    n = len(socks)
    sent: list[float | None] = [None] * n
    buffers = [b""] * n
    times: list[float] = []
    missed = 0
    begin = time.monotonic() + 0.2
    end = begin + warmup + seconds
    k = 0  # polls sent so far, over all machines
    while True:
        now = time.monotonic()
        due = begin + k * period / n
        while due <= now and due < end:
            i = k % n
            if sent[i] is not None:
                missed += due >= begin + warmup  # the last poll is not answered yet: a missed one
            else:
                socks[i].send(REQUEST)
                sent[i] = time.monotonic()
            k += 1
            due = begin + k * period / n
        if now >= end and all(s is None for s in sent):
            break
        if now >= end + 5:
            missed += sum(s is not None for s in sent)
            break
        for key, _ in sel.select(max(0.0, min(due, end + 5) - time.monotonic())):
            i = key.data
            buffers[i] += socks[i].recv(65536)
            if buffers[i].endswith(b"\n"):
                got = time.monotonic()
                start = sent[i]
                assert start is not None
                if start >= begin + warmup:
                    times.append(got - start)
                sent[i] = None
                buffers[i] = b""
    for s in socks:
        s.close()
    sel.close()
    return times, missed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--machines", type=int, default=256)
    parser.add_argument("--running", type=int, default=8, help="machines running a program meanwhile")
    parser.add_argument("--rate", type=float, default=10.0, help="polls per second per machine")
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--warmup", type=float, default=3.0)
    parser.add_argument("--check", action="store_true", help=f"exit 1 unless p99 < {TARGET_P99_MS:g} ms")
    parser.add_argument("--log-requests", metavar="FILE", help="the simulator logs every exchange to FILE meanwhile")
    args = parser.parse_args()
    proc, addresses = start_fleet(args.machines, ["--log-requests", args.log_requests] if args.log_requests else [])
    try:
        run_programs(addresses[: args.running])
        cpu0, wall0 = cpu_seconds(proc.pid), time.monotonic()
        times, missed = poll(addresses, args.rate, args.seconds, args.warmup)
        cpu = (cpu_seconds(proc.pid) - cpu0) / (time.monotonic() - wall0)
    finally:
        proc.terminate()
        proc.wait(10)
    ms = [t * 1000 for t in times]
    p99 = percentile(ms, 99)
    print(f"{args.machines} machines at {args.rate:g} Hz, {args.running} running programs, {args.seconds:g} s")
    print(f"  replies     {len(ms)}, unanswered within the period: {missed}")
    print(
        f"  reply ms    p50 {percentile(ms, 50):.2f}  p90 {percentile(ms, 90):.2f}  "
        f"p99 {p99:.2f}  max {max(ms, default=float('nan')):.2f}  (target p99 < {TARGET_P99_MS:g})"
    )
    print(f"  simulator   {cpu * 100:.0f} % of one core")
    return 1 if args.check and not p99 < TARGET_P99_MS else 0


if __name__ == "__main__":
    sys.exit(main())
