#!/usr/bin/env python3
"""Benchmark of the native client against the per-byte baseline and the raw floor.

All three clients talk to one replay server in one run, so the ratios are
taken under the same conditions. Run from the project root:

    python3 bench/run.py            # full run, well under two minutes
    python3 bench/run.py --quick    # smoke run of a few seconds
    python3 bench/run.py --check    # exit non-zero when a target is missed

When `cnc_api_client_core` cannot be imported and the project's .venv exists,
the script re-runs itself under .venv/bin/python (disable with --no-venv).
Without the module its column is skipped and its targets read SKIP.
"""

import argparse
import gc
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import make_replies  # noqa: E402
from baseline_client import AXES_INFO_MEMBERS, CNC_INFO_MEMBERS, BaselineClient  # noqa: E402
from floor_client import FloorClient  # noqa: E402
from replay import ReplayProcess  # noqa: E402

REEXEC_GUARD = "CNC_BENCH_REEXECED"
HOST = "127.0.0.1"

OPS = ["cnc_start", "get_cnc_info", "get_axes_info", "get_programmed_points"]
OP_LABELS = {
    "cnc_start": "cnc_start (command)",
    "get_cnc_info": "get_cnc_info (1.5 KB)",
    "get_axes_info": "get_axes_info",
    "get_programmed_points": "get_programmed_points (64 KB)",
}
CLIENT_ORDER = ["module", "floor", "baseline"]

FULL = dict(
    iters=10000,
    points_iters=400,
    baseline_iters=200,
    baseline_cmd_iters=2000,
    baseline_points_iters=10,
    duration=3.0,
    rounds=20,
)
QUICK = dict(
    iters=500,
    points_iters=30,
    baseline_iters=20,
    baseline_cmd_iters=200,
    baseline_points_iters=2,
    duration=0.5,
    rounds=2,
)


# ---------------------------------------------------------------- setup


def import_module():
    try:
        import cnc_api_client_core
    except ImportError as exc:
        return None, f"cnc_api_client_core not importable ({exc})"
    return cnc_api_client_core, None


def maybe_reexec_in_venv(argv):
    """Prefer the project's venv, where the module gets installed."""
    if os.environ.get(REEXEC_GUARD) or "--no-venv" in argv or "--no-module" in argv:
        return
    venv = os.path.join(ROOT, ".venv")
    venv_py = os.path.join(venv, "bin", "python")
    if os.path.realpath(sys.prefix) == os.path.realpath(venv) or not os.path.exists(venv_py):
        return
    if import_module()[0] is not None:
        return
    print(f"note: re-running under {os.path.relpath(venv_py, os.getcwd())} to reach cnc_api_client_core", flush=True)
    env = dict(os.environ, **{REEXEC_GUARD: "1"})
    # The script that was started: the fleet benchmarks call this too, with their own options.
    os.execve(venv_py, [venv_py, os.path.abspath(sys.argv[0])] + argv, env)


def build_server(build_dir):
    cmake = shutil.which("cmake")
    if cmake is None:
        sys.exit("cmake not found: install it or pass --server PATH")
    src = os.path.join(HERE, "replay_server")
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        subprocess.run([cmake, "-S", src, "-B", build_dir], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", build_dir], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "replay_server")


def ensure_replies():
    make_replies.write_all()
    return os.path.join(make_replies.REPLIES_DIR, "table.tsv")


# ---------------------------------------------------------------- clients


def make_factories(mod):
    factories = {"floor": FloorClient, "baseline": BaselineClient}
    if mod is not None:
        factories["module"] = mod.CncAPIClientCore
    return factories


def connected(factory, port):
    client = factory()
    if client.connect(HOST, port) is not True:
        raise RuntimeError("connect failed")
    return client


def result_ok(kind, op, result):
    if kind == "floor":
        return isinstance(result, dict) and (
            result.get("res") is True if op == "cnc_start" else isinstance(result.get("res"), dict)
        )
    if op == "cnc_start":
        return result is True
    return getattr(result, "has_data", False) is True


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    return a == b


def compare_records(module_client, baseline_client):
    """The module must hand back exactly what the baseline decodes."""
    problems = []
    checks = [
        ("get_cnc_info", [f for _, _, f in CNC_INFO_MEMBERS]),
        ("get_axes_info", [f for _, f in AXES_INFO_MEMBERS]),
        ("get_programmed_points", ["points"]),
    ]
    for op, fields in checks:
        got, want = getattr(module_client, op)(), getattr(baseline_client, op)()
        if got.has_data is not True:
            problems.append(f"{op}: has_data is {got.has_data!r}")
            continue
        bad = [f for f in fields if not same(getattr(got, f, None), getattr(want, f))]
        if bad:
            problems.append(f"{op}: fields differ: {', '.join(bad[:5])}" + (" ..." if len(bad) > 5 else ""))
    if module_client.cnc_start() is not True:
        problems.append("cnc_start did not return True")
    return problems


# ---------------------------------------------------------------- measuring


def percentile(sorted_values, p):
    if not sorted_values:
        return float("nan")
    k = max(0, math.ceil(p / 100.0 * len(sorted_values)) - 1)
    return sorted_values[k]


def timed_loop(fn, n):
    lat = [0] * n
    pc = time.perf_counter_ns
    result = None
    cpu0 = time.process_time()
    for i in range(n):
        t0 = pc()
        result = fn()
        lat[i] = pc() - t0
    cpu = time.process_time() - cpu0
    return lat, cpu, result


def paired_loop(fns, n):
    """Calls the clients in turn, first one alternating, so they share the machine's state."""
    k = len(fns)
    lat = [[0] * n for _ in fns]
    results = [None] * k
    pc = time.perf_counter_ns
    for i in range(n):
        for j in range(k):
            idx = (i + j) % k
            fn = fns[idx]
            t0 = pc()
            results[idx] = fn()
            lat[idx][i] = pc() - t0
    return lat, results


def cpu_chunks(fns, n, chunk=32):
    """CPU time of n calls per client, taken in short alternating chunks."""
    k = len(fns)
    cpu = [0.0] * k
    results = [None] * k
    clock = time.process_time
    done = 0
    i = 0
    while done < n:
        m = min(chunk, n - done)
        for j in range(k):
            idx = (i + j) % k
            fn = fns[idx]
            c0 = clock()
            for _ in range(m):
                results[idx] = fn()
            cpu[idx] += clock() - c0
        done += m
        i += 1
    return cpu, results


def iterations(cfg, kind, op):
    if kind == "baseline":
        if op == "cnc_start":
            return cfg["baseline_cmd_iters"]
        if op == "get_programmed_points":
            return cfg["baseline_points_iters"]
        return cfg["baseline_iters"]
    return cfg["points_iters"] if op == "get_programmed_points" else cfg["iters"]


def share(total, rounds, r):
    return total // rounds + (1 if r < total % rounds else 0)


def measure_latency(clients, cfg, notes):
    """Per-call latency and CPU per call of every client and operation.

    The machine's speed drifts by tens of percent within seconds (shared host),
    so the work is cut into many short rounds. Module and floor, whose ratio is
    the tight one, are timed call by call in turn; their CPU per call comes
    from short alternating chunks, since process_time cannot split a mixed
    loop and costs a system call per reading here. The
    baseline is timed in its own short loops.
    """
    gc.collect()
    samples = {op: {k: [] for k in clients} for op in OPS}
    cpu = {op: {k: [0.0, 0] for k in clients} for op in OPS}
    failed = set()
    rounds = cfg["rounds"]
    order = [k for k in CLIENT_ORDER if k in clients]

    def fail(kind, op, why):
        failed.add((kind, op))
        notes.append(f"{kind} {op}: {why}")

    def checked(kind, op, result):
        if not result_ok(kind, op, result):
            fail(kind, op, f"unexpected result {result!r:.80}")
            return False
        return True

    # Warm-up, which also weeds out clients that cannot do an operation.
    for op in OPS:
        for kind in order:
            fn = getattr(clients[kind], op, None)
            if fn is None:
                fail(kind, op, "no such method")
                continue
            try:
                _, _, result = timed_loop(fn, max(1, min(200, iterations(cfg, kind, op) // 10)))
            except Exception as exc:  # a broken client must not end the report
                fail(kind, op, f"raised {type(exc).__name__}: {exc}")
                continue
            checked(kind, op, result)

    for r in range(rounds):
        for op in OPS:
            pair = [k for k in ("module", "floor") if k in clients and (k, op) not in failed]
            n = share(iterations(cfg, "floor", op), rounds, r)
            if pair and n:
                try:
                    lat, results = paired_loop([getattr(clients[k], op) for k in pair], n)
                except Exception as exc:
                    for k in pair:
                        fail(k, op, f"raised {type(exc).__name__}: {exc}")
                else:
                    for k, times, res in zip(pair, lat, results, strict=True):
                        if checked(k, op, res):
                            samples[op][k].extend(times)
                pair = [k for k in pair if (k, op) not in failed]
                try:
                    cpus, results = cpu_chunks([getattr(clients[k], op) for k in pair], n)
                except Exception as exc:
                    for k in pair:
                        fail(k, op, f"raised {type(exc).__name__}: {exc}")
                else:
                    for k, c, res in zip(pair, cpus, results, strict=True):
                        if checked(k, op, res):
                            cpu[op][k][0] += c
                            cpu[op][k][1] += n
            n = share(iterations(cfg, "baseline", op), rounds, r)
            if "baseline" in clients and ("baseline", op) not in failed and n:
                try:
                    lat, c, res = timed_loop(getattr(clients["baseline"], op), n)
                except Exception as exc:
                    fail("baseline", op, f"raised {type(exc).__name__}: {exc}")
                    continue
                if checked("baseline", op, res):
                    samples[op]["baseline"].extend(lat)
                    cpu[op]["baseline"][0] += c
                    cpu[op]["baseline"][1] += n

    out = {}
    for op in OPS:
        out[op] = {}
        for kind in order:
            lat = sorted(samples[op][kind])
            if (kind, op) in failed or not lat:
                continue
            cpu_s, cpu_calls = cpu[op][kind]
            out[op][kind] = {
                "calls": len(lat),
                "median_us": percentile(lat, 50) / 1e3,
                "p99_us": percentile(lat, 99) / 1e3,
                "mean_us": sum(lat) / len(lat) / 1e3,
                "cpu_us_per_call": cpu_s / cpu_calls * 1e6 if cpu_calls else None,
            }
    return out


def throughput_slice(factory, kind, port, op, nthreads, seconds):
    """nthreads clients, each on its own thread and connection, for `seconds`."""
    clients = [connected(factory, port) for _ in range(nthreads)]
    barrier = threading.Barrier(nthreads + 1)
    counts = [0] * nthreads
    spans = [(0.0, 0.0)] * nthreads
    errors = []

    def worker(i):
        fn = getattr(clients[i], op)
        barrier.wait()
        start = time.perf_counter()
        deadline = start + seconds
        k = 0
        result = None
        try:
            while True:
                result = fn()
                k += 1
                if time.perf_counter() >= deadline:
                    break
        except Exception as exc:
            errors.append(f"{type(exc).__name__}: {exc}")
        spans[i] = (start, time.perf_counter())
        if not result_ok(kind, op, result):
            errors.append(f"unexpected result {result!r:.80}")
        counts[i] = k

    threads = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(nthreads)]
    for t in threads:
        t.start()
    cpu0 = time.process_time()
    barrier.wait()
    for t in threads:
        t.join()
    cpu = time.process_time() - cpu0
    for c in clients:
        c.close()
    elapsed = max(e for _, e in spans) - min(s for s, _ in spans)
    return counts, elapsed, cpu, errors


def measure_throughput(factories, server, op, threads, duration, notes, slice_seconds=0.5):
    """Calls/s of each client with 1 and with `threads` threads.

    The configurations take turns in half-second slices, so a slow phase of
    the host hits all of them alike.
    """
    configs = [(kind, n) for kind in CLIENT_ORDER if kind in factories for n in (1, threads)]
    slices = max(1, round(duration / slice_seconds))
    acc = {c: {"counts": [0] * c[1], "seconds": 0.0, "cpu": 0.0, "server_cpu": 0.0, "errors": []} for c in configs}
    server_cpu = server.cpu_seconds() is not None
    broken = set()
    for s in range(slices):
        for kind, n in configs[s % len(configs) :] + configs[: s % len(configs)]:
            if (kind, n) in broken:
                continue
            try:
                s0 = server.cpu_seconds()
                counts, elapsed, cpu, errors = throughput_slice(
                    factories[kind], kind, server.port, op, n, duration / slices
                )
                s1 = server.cpu_seconds()
            except Exception as exc:
                broken.add((kind, n))
                notes.append(f"{kind} throughput with {n} threads: {type(exc).__name__}: {exc}")
                continue
            a = acc[(kind, n)]
            a["counts"] = [x + y for x, y in zip(a["counts"], counts, strict=True)]
            a["seconds"] += elapsed
            a["cpu"] += cpu
            if server_cpu:
                a["server_cpu"] += s1 - s0
            a["errors"] += errors
    out = {}
    for (kind, n), a in acc.items():
        total = sum(a["counts"])
        if (kind, n) in broken or not total:
            continue
        out[f"{kind}_{n}t"] = {
            "threads": n,
            "calls": total,
            "seconds": a["seconds"],
            "calls_per_s": total / a["seconds"],
            "per_thread_min": min(a["counts"]),
            "per_thread_max": max(a["counts"]),
            "cpu_us_per_call": a["cpu"] / total * 1e6,
            "server_cpu_us_per_call": a["server_cpu"] / total * 1e6 if server_cpu else None,
            "errors": a["errors"][:3],
        }
    return out


# ---------------------------------------------------------------- report


def ratio(a, b):
    if a is None or b is None or not b:
        return None
    return a / b


def fmt(x, form=".2f", width=9):
    return f"{'n/a' if x is None else format(x, form):>{width}}"


def fmt_us(us, width=10):
    if us is None:
        return f"{'n/a':>{width}}"
    if us >= 10000:
        return f"{us / 1000:>{width - 2}.1f}ms"
    return f"{us:>{width - 2}.1f}us"


def get(d, *path):
    for p in path:
        if not isinstance(d, dict) or p not in d:
            return None
        d = d[p]
    return d


def compute_ratios(lat):
    out = {}
    for op in OPS:
        m, f, b = (lat[op].get(k) for k in ("module", "floor", "baseline"))
        out[op] = {
            "module_over_floor_median": ratio(get(m, "median_us"), get(f, "median_us")),
            "module_over_floor_p99": ratio(get(m, "p99_us"), get(f, "p99_us")),
            "module_over_floor_cpu": ratio(get(m, "cpu_us_per_call"), get(f, "cpu_us_per_call")),
            "baseline_over_module_median": ratio(get(b, "median_us"), get(m, "median_us")),
            "baseline_over_module_cpu": ratio(get(b, "cpu_us_per_call"), get(m, "cpu_us_per_call")),
            # The most any client could gain over the baseline.
            "baseline_over_floor_median": ratio(get(b, "median_us"), get(f, "median_us")),
        }
    return out


def evaluate_checks(ratios, tput, threads):
    def tp(kind, n):
        return get(tput, f"{kind}_{n}t", "calls_per_s")

    rows = [
        ("get_cnc_info median latency module/floor", ratios["get_cnc_info"]["module_over_floor_median"], "<=", 1.25),
        (
            "get_cnc_info median latency baseline/module",
            ratios["get_cnc_info"]["baseline_over_module_median"],
            ">=",
            30,
        ),
        ("cnc_start median latency module/floor", ratios["cnc_start"]["module_over_floor_median"], "<=", 1.1),
        (
            "get_programmed_points 64 KB median latency baseline/module",
            ratios["get_programmed_points"]["baseline_over_module_median"],
            ">=",
            100,
        ),
        (
            f"get_cnc_info calls/s module {threads} threads / module 1 thread",
            ratio(tp("module", threads), tp("module", 1)),
            ">=",
            2,
        ),
        (
            f"get_cnc_info calls/s module {threads} threads / baseline {threads} threads",
            ratio(tp("module", threads), tp("baseline", threads)),
            ">=",
            10,
        ),
        ("get_cnc_info CPU per call module/floor", ratios["get_cnc_info"]["module_over_floor_cpu"], "<=", 2),
    ]
    checks = []
    for name, value, op, target in rows:
        if value is None:
            status = "SKIP"
        elif op == "<=":
            status = "PASS" if value <= target else "FAIL"
        else:
            status = "PASS" if value >= target else "FAIL"
        checks.append({"name": name, "value": value, "op": op, "target": target, "status": status})
    return checks


def print_report(lat, ratios, tput, checks, sanity):
    kinds = [k for k in CLIENT_ORDER if any(k in lat[op] for op in OPS)]
    print()
    print("Latency per call (median / p99) and CPU per call")
    print(f"{'':<31}" + "".join(f"{'--- ' + k + ' ---':^33}" for k in kinds))
    head = f"{'operation':<31}" + "".join(f"{'median':>11}{'p99':>11}{'cpu':>11}" for k in kinds)
    print(head)
    print("-" * len(head))
    for op in OPS:
        line = f"{OP_LABELS[op]:<31}"
        for k in kinds:
            m = lat[op].get(k)
            line += (
                " "
                + fmt_us(get(m, "median_us"))
                + " "
                + fmt_us(get(m, "p99_us"))
                + " "
                + fmt_us(get(m, "cpu_us_per_call"))
            )
        print(line)

    print()
    print("Ratios (module/floor: lower is better, 1.0 = floor; baseline/module: speed-up, baseline/floor its ceiling)")
    head = (
        f"{'operation':<31}{'lat med':>9}{'lat p99':>9}{'cpu':>9}"
        f"   |{'base/mod lat':>13}{'base/mod cpu':>13}{'base/floor lat':>16}"
    )
    print(f"{'':<31}{'--- module / floor ---':^27}   |{'--- speed-up over baseline ---':^42}")
    print(head)
    print("-" * len(head))
    for op in OPS:
        r = ratios[op]
        print(
            f"{OP_LABELS[op]:<31}{fmt(r['module_over_floor_median'])}{fmt(r['module_over_floor_p99'])}"
            f"{fmt(r['module_over_floor_cpu'])}   |{fmt(r['baseline_over_module_median'], '.1f', 13)}"
            f"{fmt(r['baseline_over_module_cpu'], '.1f', 13)}"
            f"{fmt(r['baseline_over_floor_median'], '.1f', 16)}"
        )

    print()
    print("get_cnc_info throughput (one connection per thread)")
    head = (
        f"{'client':<10}{'threads':>8}{'calls/s':>11}{'calls':>9}{'per-thread min..max':>22}"
        f"{'cpu/call':>11}{'server cpu':>12}"
    )
    print(head)
    print("-" * len(head))
    for key, t in tput.items():
        kind = key.rsplit("_", 1)[0]
        print(
            f"{kind:<10}{t['threads']:>8}{t['calls_per_s']:>11.0f}{t['calls']:>9}"
            f"{str(t['per_thread_min']) + '..' + str(t['per_thread_max']):>22}"
            f" {fmt_us(t['cpu_us_per_call'])} {fmt_us(t['server_cpu_us_per_call'], 11)}"
            + (f"  errors: {t['errors']}" if t["errors"] else "")
        )

    print()
    print("Targets")
    for c in checks:
        value = "n/a" if c["value"] is None else f"{c['value']:.3g}"
        print(f"{c['status']:<5} {c['name']}: {value} (target {c['op']} {c['target']})")
    if sanity is not None:
        print(
            f"{'PASS' if not sanity else 'FAIL':<5} module records equal baseline records"
            + ("" if not sanity else ": " + "; ".join(sanity))
        )


class LoadWatch:
    """CPU that other processes and the host took while the benchmark ran."""

    def __init__(self, server):
        self.server = server
        self.start = self._sample()

    def _sample(self):
        try:
            with open("/proc/stat") as f:
                v = [int(x) for x in f.readline().split()[1:]]
        except OSError:
            return None
        hz = os.sysconf("SC_CLK_TCK")
        busy = (v[0] + v[1] + v[2]) / hz  # interrupts left out: our own loopback traffic lands there
        steal = v[7] / hz if len(v) > 7 else 0.0
        own = sum(os.times()[:2])
        return time.perf_counter(), busy, steal, own, self.server.cpu_seconds() or 0.0

    def result(self):
        end = self._sample()
        if self.start is None or end is None:
            return None
        wall = end[0] - self.start[0]
        busy, steal, own, srv = (end[i] - self.start[i] for i in range(1, 5))
        return {
            "other_cores_busy": max(0.0, busy - own - srv) / wall,
            "steal_fraction": steal / (wall * (os.cpu_count() or 1)),
        }


def machine_info():
    return {
        "python": sys.version.split()[0],
        "executable": sys.executable,
        "platform": platform.platform(),
        "cpus": os.cpu_count(),
        "processor": platform.processor() or platform.machine(),
    }


# ---------------------------------------------------------------- main


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="smoke run of a few seconds")
    p.add_argument("--check", action="store_true", help="exit non-zero when a target is missed")
    p.add_argument("--iters", type=int, help="calls per small-reply op, module and floor")
    p.add_argument("--points-iters", type=int, help="64 KB calls, module and floor")
    p.add_argument("--baseline-iters", type=int, help="baseline get_cnc_info/get_axes_info calls")
    p.add_argument("--baseline-cmd-iters", type=int, help="baseline cnc_start calls")
    p.add_argument("--baseline-points-iters", type=int, help="baseline 64 KB calls")
    p.add_argument("--rounds", type=int, help="interleaved rounds the calls are split into")
    p.add_argument("--duration", type=float, help="seconds per throughput run")
    p.add_argument("--threads", type=int, default=16, help="threads/connections of the throughput run")
    p.add_argument("--server", help="path of a built replay_server (default: build it)")
    p.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    p.add_argument("--json", default=os.path.join(HERE, "results", "latest.json"), help="where to write the results")
    p.add_argument("--no-module", action="store_true", help="leave the module out")
    p.add_argument("--no-venv", action="store_true", help="do not re-run under the project's .venv")
    args = p.parse_args(argv)
    cfg = dict(QUICK if args.quick else FULL)
    for key in cfg:
        if getattr(args, key) is not None:
            cfg[key] = getattr(args, key)
    if cfg["rounds"] < 1:
        p.error("--rounds must be at least 1")
    return args, cfg


def main(argv):
    maybe_reexec_in_venv(argv)
    args, cfg = parse_args(argv)
    notes = []

    mod, why = (None, "left out by --no-module") if args.no_module else import_module()
    if mod is None:
        notes.append(f"module column skipped: {why}")
        print(f"note: module column skipped: {why}", flush=True)

    exe = args.server or build_server(args.build_dir)
    table = ensure_replies()
    try:
        server = ReplayProcess(exe, table, max_seconds=1800)
    except RuntimeError as exc:
        sys.exit(str(exc))
    t_start = time.perf_counter()
    load = LoadWatch(server)
    try:
        factories = make_factories(mod)
        if mod is not None:
            try:
                connected(factories["module"], server.port).close()
            except Exception as exc:
                notes.append(f"module column skipped: {type(exc).__name__}: {exc}")
                print(f"note: module column skipped: {exc}", flush=True)
                del factories["module"]
        print(
            f"replay server on {HOST}:{server.port}; python {sys.version.split()[0]} "
            f"({sys.executable}); {os.cpu_count()} cpus",
            flush=True,
        )
        if "module" in factories:
            print(f"module: {mod.__file__}", flush=True)

        sanity = None
        if "module" in factories:
            m, b = connected(factories["module"], server.port), connected(BaselineClient, server.port)
            try:
                sanity = compare_records(m, b)
            except Exception as exc:
                sanity = [f"raised {type(exc).__name__}: {exc}"]
            m.close()
            b.close()

        print("measuring latency ...", flush=True)
        clients = {k: connected(f, server.port) for k, f in factories.items()}
        lat = measure_latency(clients, cfg, notes)
        for c in clients.values():
            c.close()

        print("measuring throughput ...", flush=True)
        tput = measure_throughput(factories, server, "get_cnc_info", args.threads, cfg["duration"], notes)
        background = load.result()
    finally:
        server.stop()

    ratios = compute_ratios(lat)
    checks = evaluate_checks(ratios, tput, args.threads)
    print_report(lat, ratios, tput, checks, sanity)
    if background is not None:
        print(
            f"\nbackground: other processes kept {background['other_cores_busy']:.2f} cores busy, "
            f"host steal {background['steal_fraction']:.1%}"
        )
        if background["other_cores_busy"] > 0.15 or background["steal_fraction"] > 0.05:
            notes.append("the machine was not idle: figures are unreliable, run again on an idle machine")
    for n in notes:
        print(f"note: {n}")
    elapsed = time.perf_counter() - t_start
    print(f"\nrun took {elapsed:.1f} s")

    report = {
        "when": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "machine": machine_info(),
        "module_file": getattr(mod, "__file__", None),
        "background": background,
        "config": dict(cfg, threads=args.threads, quick=args.quick),
        "reply_bytes": {
            n: os.path.getsize(os.path.join(make_replies.REPLIES_DIR, n)) - 1 for n in make_replies.REPLIES
        },
        "latency": lat,
        "ratios": ratios,
        "throughput_get_cnc_info": tput,
        "checks": checks,
        "module_matches_baseline": None if sanity is None else not sanity,
        "module_mismatches": sanity or [],
        "notes": notes,
        "seconds": elapsed,
    }
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump(report, f, indent=2)
        f.write("\n")
    shown = os.path.relpath(args.json, os.getcwd())
    print(f"results written to {args.json if shown.startswith('..') else shown}")

    if args.check:
        if mod is None or "module" not in factories:
            print("check: the module is not available, so no target was checked")
            return 2
        if any(c["status"] == "FAIL" for c in checks) or sanity:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
