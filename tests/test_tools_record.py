"""`cnc-api record` end to end: files complete and readable however the recording ends."""

import csv
import json
import signal

import pytest
from cnc_api_simulator import Simulator
from fake_server import FakeServer, respond
from tools_helpers import cnc_api_popen, run_cli, sim, sim_replies, wait_for  # noqa: F401


def test_csv_for_a_fixed_time(sim):  # noqa: F811
    done = run_cli("record", "--duration", "1", "--rate", "10", "--port", str(sim.port))
    assert done.returncode == 0, done.stderr
    rows = list(csv.DictReader(done.stdout.splitlines()))
    assert 5 <= len(rows) <= 11  # ticks missed under load are skipped, never doubled
    assert list(rows[0]) == [
        "time",
        "t",
        "state",
        "gcode_line",
        "feed_reference",
        "spindle_actual",
        "override_feed",
        *(f"program_position.{a}" for a in "xyzabc"),
    ]
    assert {r["state"] for r in rows} == {"IDLE"}
    assert rows[0]["time"].endswith("Z")
    ts = [float(r["t"]) for r in rows]
    assert ts == sorted(ts) and ts[-1] < 1.0
    assert f"recorded {len(rows)} samples to stdout" in done.stderr


@pytest.mark.parametrize(
    ("fields", "columns"),
    [
        ("gcode_line", ["gcode_line"]),
        ("machine_position.x,compile_state", ["machine_position.x", "compile_state"]),
        ("dynamic_offset", ["dynamic_offset.x", "dynamic_offset.y", "dynamic_offset.z"]),
        ("state_machine override_spindle", ["state_machine", "override_spindle"]),
    ],
)
def test_jsonl_file_with_chosen_fields(sim, tmp_path, fields, columns):  # noqa: F811
    out = tmp_path / "rec.jsonl"
    done = run_cli("record", "-f", fields, "--duration", "0.3", "-o", str(out), "--port", str(sim.port))
    assert done.returncode == 0, done.stderr
    rows = [json.loads(line) for line in out.read_text().splitlines()]
    assert rows and all(list(r) == ["time", "t", *columns] for r in rows)


@pytest.mark.parametrize(
    ("fields", "message"),
    [
        ("bogus", "unknown field 'bogus'"),
        ("gcode_line.x", "not a list of axes"),
        ("dynamic_offset.c", "has no axis 'c'"),
    ],
)
def test_bad_fields_are_usage_errors(fields, message):
    done = run_cli("record", "-f", fields, "--port", "1")
    assert done.returncode == 2 and message in done.stderr


def read_complete_csv(path):
    text = path.read_text()
    assert text.endswith("\n")
    rows = list(csv.reader(text.splitlines()))
    assert all(len(r) == len(rows[0]) for r in rows)
    return rows


def test_ctrl_c_leaves_a_complete_file(tmp_path):
    out = tmp_path / "rec.csv"
    with Simulator(port=0, speed=0.2) as s:
        proc = cnc_api_popen("record", "--rate", "50", "-o", str(out), "--port", str(s.port))
        wait_for(lambda: out.exists() and out.read_text().count("\n") >= 10)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=20)
    assert proc.returncode == 0
    rows = read_complete_csv(out)
    assert f"recorded {len(rows) - 1} samples to {out}" in err


def test_a_lost_connection_keeps_what_was_recorded(tmp_path):
    out = tmp_path / "rec.csv"
    s = Simulator(port=0)
    s.start()
    try:
        proc = cnc_api_popen("record", "--rate", "50", "-o", str(out), "--port", str(s.port))
        wait_for(lambda: out.exists() and out.read_text().count("\n") >= 5)
    finally:
        s.stop()
    _, err = proc.communicate(timeout=20)
    assert proc.returncode == 3
    rows = read_complete_csv(out)
    assert f"lost the connection to 127.0.0.1:{s.port} after {len(rows) - 1} samples" in err


def test_list_fields():
    done = run_cli("record", "--list-fields")
    names = done.stdout.split()
    assert {"state", "compile_state", "gcode_line", "machine_position", "message"} <= set(names)
    assert "has_data" not in names
    assert len(names) == len(set(names))


def test_undecodable_replies_skip_samples_at_the_same_rate():
    base = sim_replies()
    count = [0]

    def answer(request):
        count[0] += 1
        if json.loads(request).get("get") != "cnc.info":
            return {"res": base[json.loads(request)["get"]]}
        return {"res": base["cnc.info"]} if count[0] % 4 == 1 else b"not json"

    with FakeServer(default=respond(answer)) as server:
        done = run_cli("record", "-f", "gcode_line", "--duration", "1", "--rate", "10", "--port", str(server.port))
        requests = len(server.requests)
    assert done.returncode == 0
    rows = list(csv.DictReader(done.stdout.splitlines()))
    assert 1 <= len(rows) <= 4
    assert requests <= 12  # one query per tick, no hurry to make up for the bad ones
