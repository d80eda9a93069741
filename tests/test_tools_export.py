"""The metrics exporter: scraped over HTTP and read with prometheus-client's own parser."""

import json
import signal
import threading
import time
import urllib.request

import cnc_api_client_core as cnc
import pytest
from cnc_api_simulator import Simulator
from cnc_api_tools import Link, Machine
from cnc_api_tools.fleet import Fleet
from fake_server import FakeServer, delay, respond
from tools_helpers import cnc_api_popen, free_port, sim, sim_replies, unanswered_port, wait_for  # noqa: F401

parser = pytest.importorskip("prometheus_client.parser")
from cnc_api_tools.exporter import Exporter  # noqa: E402


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
