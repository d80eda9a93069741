"""The metrics exporter: scraped over HTTP and read with prometheus-client's own parser."""

import concurrent.futures
import contextlib
import gzip
import json
import signal
import socket
import threading
import time
import urllib.error
import urllib.request

import cnc_api_client_core as cnc
import pytest
from cnc_api_simulator import Simulator
from cnc_api_tools import Link, Machine
from cnc_api_tools.fleet import Fleet
from cnc_api_tools.shard import shard_of
from fake_server import FakeServer, delay, respond
from tools_helpers import cnc_api_popen, free_port, run_cli, sim, sim_replies, unanswered_port, wait_for  # noqa: F401

parser = pytest.importorskip("prometheus_client.parser")
from cnc_api_tools.exporter import Exporter  # noqa: E402
from cnc_api_tools.metrics_http import HttpLimits, MetricsServer  # noqa: E402


def scrape(url):
    body = urllib.request.urlopen(url, timeout=10).read().decode()
    samples = {}
    for family in parser.text_string_to_metric_families(body):
        for s in family.samples:
            samples[(s.name, tuple(sorted(s.labels.items())))] = s.value
    return samples


def value(samples, name, **labels):
    return samples.get((name, tuple(sorted(labels.items()))))


def test_export_command_end_to_end():
    dead = free_port()
    with Simulator(port=0, speed=0.2) as s:
        c = cnc.CncAPIClientCore()
        assert c.connect("127.0.0.1", s.port)
        assert c.set_override_feed(70) and c.program_gcode_set_text("G1 X100 F600\n") and c.cnc_start()
        proc = cnc_api_popen(
            "export", "--listen", "127.0.0.1:0", f"127.0.0.1:{s.port}", f"127.0.0.1:{dead}", "--rate", "10"
        )
        try:
            line = proc.stderr.readline()
            assert "serving metrics of 2 machine(s) on http://127.0.0.1:" in line
            url = line.split()[-1]
            live, down = f"127.0.0.1:{s.port}", f"127.0.0.1:{dead}"

            def ready():
                m = scrape(url)
                return (
                    m
                    if value(m, "cnc_polls_total", machine=live)
                    and value(m, "cnc_position", machine=live, frame="program", axis="x")
                    else None
                )

            m = wait_for(ready)
            assert value(m, "cnc_up", machine=live) == 1.0
            assert value(m, "cnc_up", machine=down) == 0.0
            assert value(m, "cnc_state", machine=live, state="RUN") == 1.0
            assert value(m, "cnc_state", machine=live, state="IDLE") == 0.0
            assert value(m, "cnc_state_code", machine=live) == cnc.SM_RUN
            assert value(m, "cnc_alarm", machine=live) == 0.0
            assert value(m, "cnc_gcode_line", machine=live) == 1.0
            assert value(m, "cnc_override_percent", machine=live, override="feed") == 70.0
            assert value(m, "cnc_feed_rate", machine=live, kind="programmed") == 600.0
            assert value(m, "cnc_position", machine=live, frame="program", axis="x") > 0.0
            count = value(m, "cnc_request_duration_seconds_count", machine=live)
            assert count >= 2 and value(m, "cnc_request_duration_seconds_bucket", machine=live, le="+Inf") == count
            assert value(m, "cnc_request_duration_seconds_count", machine=down) == 0.0
            assert c.cnc_stop()
        finally:
            proc.send_signal(signal.SIGINT)
            assert proc.wait(15) == 0
    assert "Traceback" not in proc.stderr.read()


def test_a_machine_going_down_shows_as_down():
    s = Simulator(port=0)
    port = s.start()
    exporter = Exporter([Machine("127.0.0.1", port)], rate=20)
    try:
        url = f"http://127.0.0.1:{exporter.serve('127.0.0.1', 0)}/metrics"
        name = f"127.0.0.1:{port}"
        wait_for(lambda: value(scrape(url), "cnc_up", machine=name) == 1.0)
        s.stop()
        m = wait_for(lambda: (lambda m: m if value(m, "cnc_up", machine=name) == 0.0 else None)(scrape(url)))
        assert value(m, "cnc_state_code", machine=name) is None  # no stale values while down
    finally:
        exporter.stop()
        s.stop()


def test_cnc_up_and_state_follow_the_faults_of_a_simulated_machine():
    from cnc_api_simulator.testing import simulated_machine

    with simulated_machine() as sim_machine:
        exporter = Exporter([Machine(sim_machine.host, sim_machine.port, name="m1")], rate=20)
        try:
            url = f"http://127.0.0.1:{exporter.serve('127.0.0.1', 0)}/metrics"
            wait_for(lambda: value(scrape(url), "cnc_up", machine="m1") == 1.0)
            sim_machine.faults.alarm(code=17, message="lubrication low")
            wait_for(lambda: value(scrape(url), "cnc_state_code", machine="m1") == cnc.SM_ALARM)
            sim_machine.faults.cut(count=None)  # every request from now on
            wait_for(lambda: value(scrape(url), "cnc_up", machine="m1") == 0.0)
            sim_machine.faults.clear()
            wait_for(lambda: value(scrape(url), "cnc_up", machine="m1") == 1.0, timeout=20.0)
        finally:
            exporter.stop()


def test_a_machine_whose_connect_times_out_does_not_slow_the_others():
    sims = [Simulator(port=0) for _ in range(3)]
    ports = [s.start() for s in sims]
    durations = []
    try:
        with unanswered_port() as hole:
            machines = [Machine("127.0.0.1", hole, connect_timeout=1.0)] + [Machine("127.0.0.1", p) for p in ports]
            fleet = Fleet(machines, rate=10, on_poll=lambda i, snap, took: i and durations.append(took))
            with fleet:
                time.sleep(2.0)
            polls = fleet.polls
    finally:
        for s in sims:
            s.stop()
    assert polls[0] == 0
    assert all(p >= 10 for p in polls[1:]), polls  # 20 due; a stalled poller would manage a handful
    assert max(durations) < 0.5


def slow_control(tmp_path, seconds):
    answers = sim_replies()
    return FakeServer(default=delay(seconds) + respond(lambda req: {"res": answers[json.loads(req)["get"]]}))


def test_a_machine_that_answers_slowly_does_not_hold_up_the_others(tmp_path):
    sims = [Simulator(port=0) for _ in range(3)]
    ports = [s.start() for s in sims]
    try:
        with slow_control(tmp_path, 0.6) as slow:
            machines = [Machine("127.0.0.1", slow.port)] + [Machine("127.0.0.1", p) for p in ports]
            fleet = Fleet(machines, rate=10, pollers=1)
            with fleet:
                time.sleep(2.5)
            polls = fleet.polls
    finally:
        for s in sims:
            s.stop()
    assert polls[0] <= 3  # each of its polls takes 1.2 s
    assert all(p >= 12 for p in polls[1:]), polls  # 25 due; without the standby 2


def test_fleet_rejects_a_rate_that_is_no_rate():
    for rate in (0, -1, float("inf"), float("nan")):
        with pytest.raises(ValueError):
            Fleet([], rate)


def test_fleet_stops_all_its_threads_and_closes_its_machines(sim):  # noqa: F811
    before = {t.ident for t in threading.enumerate()}
    machines = [Machine("127.0.0.1", sim.port), Machine("127.0.0.1", free_port())]
    fleet = Fleet(machines, rate=20, pollers=2).start()
    wait_for(lambda: fleet.latest[0] is not None and machines[1].status.failures >= 1)
    fleet.stop()
    left = [t.name for t in threading.enumerate() if t.ident not in before and t.name.startswith("cnc-api")]
    assert left == []
    assert all(m.state is Link.CLOSED for m in machines)
    assert fleet.polls[1] == 0


@pytest.fixture
def endpoint():
    """An exporter of one machine that is down, served on a port of its own."""
    exporter = Exporter([Machine("127.0.0.1", free_port(), name="down")], rate=20)
    try:
        yield f"http://127.0.0.1:{exporter.serve('127.0.0.1', 0)}", exporter
    finally:
        exporter.stop()


def fetch(url, method="GET", **headers):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method, headers=headers), timeout=10) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as exc:
        return exc.code, exc.headers, b""


@pytest.mark.parametrize(
    ("path", "method", "accept", "status", "encoding", "families"),
    [
        ("/metrics", "GET", "gzip", 200, "gzip", None),
        ("/metrics", "GET", "deflate, gzip;q=0.5", 200, "gzip", None),
        ("/metrics", "GET", "gzip;q=0", 200, None, None),
        ("/", "GET", "", 200, None, None),
        ("/metrics?name[]=cnc_up&name[]=cnc_request_duration_seconds_count", "GET", "", 200, None,
         {"cnc_up", "cnc_request_duration_seconds"}),
        ("/metrics", "HEAD", "gzip", 200, "gzip", set()),
        ("/favicon.ico", "GET", "", 404, None, set()),
        ("/metrics", "POST", "", 501, None, set()),
    ],
)  # fmt: skip
def test_the_endpoint_speaks_http(endpoint, path, method, accept, status, encoding, families):
    url, _ = endpoint
    code, headers, body = fetch(url + path, method, **{"Accept-Encoding": accept} if accept else {})
    assert code == status
    assert headers.get("Content-Encoding") == encoding
    if code != 200:
        return
    full = fetch(url + path.split("?")[0], **{"Accept-Encoding": accept} if accept else {})[2]
    assert int(headers["Content-Length"]) == (len(full) if method == "HEAD" else len(body))
    text = (gzip.decompress(body) if encoding else body).decode()
    names = {f.name for f in parser.text_string_to_metric_families(text)}
    assert names == (
        families if families is not None else names | {"cnc_up", "cnc_polls", "cnc_request_duration_seconds"}
    )


def test_concurrent_scrapes_all_get_the_whole_text(endpoint):
    url, _ = endpoint
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        replies = list(pool.map(lambda _: scrape(url + "/metrics"), range(16)))
    assert all(value(m, "cnc_up", machine="down") == 0.0 for m in replies)


def test_stopping_ends_idle_connections_and_every_thread():
    before = set(threading.enumerate())
    exporter = Exporter([Machine("127.0.0.1", free_port(), name="down")], rate=20)
    port = exporter.serve("127.0.0.1", 0)
    with socket.create_connection(("127.0.0.1", port)) as idle:  # says nothing: its thread waits on it
        scrape(f"http://127.0.0.1:{port}/metrics")
        started = time.monotonic()
        exporter.stop()
        assert time.monotonic() - started < 3.0
        assert idle.recv(1) == b""  # hung up
    assert [t.name for t in threading.enumerate() if t not in before and t.is_alive()] == []


def _exchange(port, sent):
    """The status a raw request gets (None when the connection is closed unanswered)."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.sendall(sent)
        reply = b""
        while chunk := sock.recv(65536):
            reply += chunk
    return int(reply.split()[1]) if reply else None


@contextlib.contextmanager
def metrics_server(limits):
    server = MetricsServer("127.0.0.1", 0, lambda names: b"up 1\n", "text/plain", limits)
    server.start()
    try:
        yield server
    finally:
        server.stop()


@pytest.mark.parametrize(
    ("sent", "status"),
    [
        (b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 200),
        (b"GET /metrics HTTP/1.0\n" + b"".join(b"X-%d: 1\n" % i for i in range(10)) + b"\n", 200),
        (b"GET / HTTP/1.1\r\n" + b"".join(b"X-%d: 1\r\n" % i for i in range(11)) + b"\r\n", 431),
        (b"GET / HTTP/1.1\r\nX: " + b"a" * 2000 + b"\r\n\r\n", 431),
        (b"GET / HTTP/1.1\r\nX: " + b"a" * 2000, 431),  # too long before it ends
        (b"GET / HTTP/1.1\r\nHost: x\r\n", 408),  # never ends
    ],
    ids=["request", "lf-lines", "too-many-headers", "too-long", "too-long-unended", "too-slow"],
)
def test_the_endpoint_holds_a_peer_to_a_small_quick_request(sent, status):
    limits = HttpLimits(max_headers=10, max_head_bytes=1024, request_timeout=0.5)
    with metrics_server(limits) as server:
        assert _exchange(server.port, sent) == status


def test_connections_beyond_the_cap_are_turned_away_and_stopping_ends_the_rest_at_once():
    with metrics_server(HttpLimits(max_connections=40, request_timeout=60)) as server:
        held = [socket.create_connection(("127.0.0.1", server.port), timeout=10) for _ in range(40)]
        try:
            for sock in held:
                sock.sendall(b"GET / HTTP/1.1\r\nX: " + b"a" * 1000)
            started = time.monotonic()
            wait_for(lambda: _exchange(server.port, b"GET / HTTP/1.0\r\n\r\n") == 503)
            started = time.monotonic()
            server.stop()
            assert time.monotonic() - started < 3.0
        finally:
            for sock in held:
                sock.close()


@pytest.mark.parametrize("given", ['cell "A"\\1\nleft', "mill-\udcff"], ids=["escapes", "lone-surrogate"])
def test_labels_are_escaped_and_the_registry_gives_the_same_metrics(sim, given):  # noqa: F811
    from prometheus_client import generate_latest

    name = given.encode("utf-8", "backslashreplace").decode()  # a name from undecodable bytes shows their escape
    exporter = Exporter([Machine("127.0.0.1", sim.port, name=given)], rate=20)
    try:
        url = f"http://127.0.0.1:{exporter.serve('127.0.0.1', 0)}/metrics"
        m = wait_for(
            lambda: (
                lambda m: m if value(m, "cnc_position", machine=name, frame="machine", axis="x") is not None else None
            )(scrape(url))
        )
        assert value(m, "cnc_up", machine=name) == 1.0
        assert value(m, "cnc_state", machine=name, state="IDLE") == 1.0
        again = {}
        for family in parser.text_string_to_metric_families(generate_latest(exporter.registry).decode()):
            for s in family.samples:
                again[(s.name, tuple(sorted(s.labels.items())))] = s.value
        assert again.keys() == m.keys()
        assert value(again, "cnc_state_code", machine=name) == value(m, "cnc_state_code", machine=name)
    finally:
        exporter.stop()


def test_exporter_refuses_two_machines_of_one_name():
    with pytest.raises(ValueError, match="named"):
        Exporter([Machine("127.0.0.1", 1), Machine("127.0.0.1", 1)])
    proc = cnc_api_popen("export", "--listen", "127.0.0.1:0", "127.0.0.1:1", "127.0.0.1:1")
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 2
    assert "Traceback" not in err and "named" in err


def test_a_fault_in_one_poll_does_not_stop_the_poller(sim, caplog):  # noqa: F811
    def observe(i, snap, took):
        if i == 0:
            raise RuntimeError("observer fault")

    machines = [Machine("127.0.0.1", sim.port), Machine("127.0.0.1", sim.port)]
    with Fleet(machines, rate=20, on_poll=observe) as fleet:
        wait_for(lambda: fleet.polls[0] >= 5 and fleet.polls[1] >= 5)
    assert fleet.failures[0] >= 5 and fleet.failures[1] == 0
    assert [r.message for r in caplog.records].count(
        f"polling 127.0.0.1:{sim.port} failed (reported once per machine)"
    ) == 1


@pytest.mark.parametrize(
    ("reply_value", "text"),
    [(1, "1.0"), (True, "1.0"), (False, "0.0"), (0.1, "0.1"), (-2.5e-300, "-2.5e-300"), (float("nan"), "NaN"),
     (float("inf"), "+Inf"), (float("-inf"), "-Inf"), (10**400, "+Inf"), (-(10**400), "-Inf"),
     ("12", None), (None, None), ([1.0], None)],
)  # fmt: skip
def test_reply_values_become_sample_text_the_parser_reads(reply_value, text):
    from cnc_api_tools.exporter import number

    assert number(reply_value) == text
    if text is not None:
        (family,) = parser.text_string_to_metric_families(f"# TYPE m gauge\nm {text}\n")
        got = family.samples[0].value
        assert got == float(text) or (got != got and text == "NaN")


def test_export_serves_the_share_of_a_fleet_file_with_its_labels(tmp_path):
    with Simulator(port=0) as a, Simulator(port=0) as b:
        names = ["mill-1", "mill-2", "lathe-3", "laser-4"]
        ports = [a.port, b.port, free_port(), free_port()]
        entries = "".join(
            f'[[machine]]\nname = "{n}"\nport = {p}\npoll_rate = {5 + i}\nlabels = {{ cell = "c{i}" }}\n'
            for i, (n, p) in enumerate(zip(names, ports, strict=True))
        )
        fleet = tmp_path / "fleet.toml"
        fleet.write_text(f'[defaults.labels]\nsite = "plant1"\nline = "A"\n{entries}kind = "lathe"\n')
        shard = shard_of("mill-1", 2)
        mine = [n for n in names if shard_of(n, 2) == shard]
        proc = cnc_api_popen("export", "--listen", "127.0.0.1:0", "--fleet", str(fleet), "--shard", f"{shard}/2")
        try:
            line = proc.stderr.readline()
            assert f"serving metrics of {len(mine)} machine(s) (shard {shard}/2)" in line
            url = line.split()[-1]
            labels = {"machine": "mill-1", "site": "plant1", "line": "A", "cell": "c0"}
            m = wait_for(lambda: (s := scrape(url)) and value(s, "cnc_polls_total", **labels) and s)
            assert value(m, "cnc_up", **labels) == 1.0
            assert {dict(k[1])["machine"] for k in m if k[0] == "cnc_up"} == set(mine)
        finally:
            proc.send_signal(signal.SIGINT)
            assert proc.wait(15) == 0
    assert "Traceback" not in proc.stderr.read()


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--fleet", "{missing}"], "cannot read"),
        (["--shard", "3/2"], "K must be from 1 to N"),
        (["--fleet", "{fleet}", "127.0.0.1:{port}"], "named twice"),
        (["--fleet", "{clash}"], "label 'machine' is one the metrics use"),
    ],
)
def test_export_refuses_a_bad_fleet(tmp_path, args, message):
    fleet = tmp_path / "fleet.toml"
    fleet.write_text('[[machine]]\nname = "m"\naddress = "127.0.0.1:8123"\n')
    clash = tmp_path / "clash.toml"
    clash.write_text('[[machine]]\nname = "m"\naddress = "127.0.0.1:8123"\nlabels = { machine = "x" }\n')
    paths = {"missing": tmp_path / "none.toml", "fleet": fleet, "clash": clash, "port": 8123}
    result = run_cli("export", "--listen", "127.0.0.1:0", *(a.format(**paths) for a in args))
    assert result.returncode == 2 and message in result.stderr
