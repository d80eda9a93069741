"""The simulator as a test bench: scripted faults seen through the module, machine events,
the request log, fleets, fleet files, the control port and the pytest fixtures."""

import json
import os
import pathlib
import socket
import subprocess
import sys
import threading
from importlib import metadata

import cnc_api_client_core as cnc
import pytest
from cnc_api_simulator.fleet import Fleet
from cnc_api_simulator.fleetfile import FleetFileError, SimMachine, load_fleet, parse_m_codes
from cnc_api_simulator.testing import simulated_fleet, simulated_machine
from tools_helpers import wait_for

ROOT = pathlib.Path(__file__).resolve().parents[1]
PROGRAM = "G21 G90 G17\nG0 X0 Y0\nG1 X60 F600\nG1 Y60\nG1 X0\nM30\n"  # 18 s of feed


@pytest.fixture
def machine():
    with simulated_machine() as m:
        yield m


def tagged(api):
    """A client whose parameters 100 and 200 hold values that name them, so a reply read by the
    wrong request shows."""
    assert api.set_cnc_parameters(100, [100.0]) and api.set_cnc_parameters(200, [200.0])
    return api


def read(api, address):
    got = api.get_cnc_parameters(address, 1)
    return got.parameters if got.has_data else None


# Each fault on one query and one command: the result the client gives, whether it stays connected.
FAULTS = [
    pytest.param(lambda f: f.garbage("text"), True, id="garbage-text"),
    pytest.param(lambda f: f.garbage("shape"), True, id="garbage-shape"),
    pytest.param(lambda f: f.garbage("byte"), True, id="garbage-byte"),
    pytest.param(lambda f: f.refuse(), True, id="refuse"),
    pytest.param(lambda f: f.cut(), False, id="cut-close"),
    pytest.param(lambda f: f.cut(mode="half"), False, id="cut-half"),
    pytest.param(lambda f: f.stall(), False, id="stall", marks=pytest.mark.slow),
]


@pytest.mark.parametrize("fault, stays_connected", FAULTS)
@pytest.mark.parametrize("call", ["query", "command"])
def test_a_fault_fails_that_exchange_only(machine, fault, stays_connected, call):
    api = tagged(machine.client())
    fault(machine.faults)
    if call == "query":
        assert read(api, 100) is None
    else:
        assert api.cnc_stop() is False
    assert api.is_connected is stays_connected
    if not stays_connected:
        api = machine.client()
    assert read(api, 200) == [200.0]  # its own reply, never the faulted one
    assert read(api, 100) == [100.0]
    assert machine.requests()[-3]["fault"]["kind"] in ("garbage", "refuse", "cut", "stall")


def test_a_refused_command_is_not_carried_out_and_garbage_is_answered_after_it_ran(machine):
    api = machine.client()
    machine.faults.refuse(requests="cnc.homing")
    assert api.cnc_homing(cnc.X2Z_AXIS_MASK) is False
    assert api.get_cnc_info().state_machine == cnc.SM_IDLE
    machine.faults.garbage(requests="cnc.homing")
    assert api.cnc_homing(cnc.X2Z_AXIS_MASK) is False
    assert api.get_cnc_info().state_machine == cnc.SM_HOMING


def test_latency_delays_only_the_chosen_requests(machine):
    api = tagged(machine.client())
    machine.faults.latency(0.2, requests=["cnc.parameters"])
    assert read(api, 100) == [100.0]
    assert api.get_cnc_info().has_data
    entries = machine.requests()
    assert entries[-2]["fault"] == {"kind": "latency", "delay": 0.2} and entries[-2]["duration"] >= 0.2
    assert entries[-1]["fault"] is None


def test_stopping_cuts_a_long_delay_short():
    with simulated_machine() as m:
        m.faults.latency(600)
        m.faults.refuse()
        assert m.faults.pending() == [{"kind": "refuse", "count": 1, "after": 0}]
        api = m.client()
        asking = threading.Thread(target=api.get_cnc_info)
        asking.start()
        wait_for(lambda: not m.faults.pending())  # the request is in, its reply waits
    asking.join(10)
    assert not asking.is_alive()


def test_a_random_cut_follows_its_probability_and_seed():
    def cut_pattern():
        with simulated_fleet([SimMachine("m", faults={"seed": 7, "cut_probability": 0.3})]) as fleet:
            m = fleet["m"]
            api = m.client()
            pattern = []
            for _ in range(40):
                pattern.append(api.get_cnc_info().has_data)
                if not api.is_connected:
                    api = m.client()
            return pattern

    first = cut_pattern()
    assert 4 <= first.count(False) <= 24 and cut_pattern() == first


def test_an_alarm_at_a_time_of_machine_time(machine):
    api = machine.client()
    machine.faults.alarm(code=4711, message="axis X following error", at_time=30)
    assert api.program_gcode_set_text("G21 G90\nG0 X0 Y0\nG1 X60 F100\nM30\n") and api.cnc_start()  # 36 s
    machine.clock.advance(29)
    assert api.get_cnc_info().state_machine == cnc.SM_RUN
    machine.clock.advance(60)
    assert api.get_cnc_info().state_machine == cnc.SM_ALARM
    assert api.get_axes_info().machine_position[0] == pytest.approx(50.0, abs=0.5)  # halted at 30 s
    raw = json.loads(api._CncAPIClientCore__send_command('{"get":"cnc.info"}'))["res"]
    assert (raw["alarm.code"], raw["alarm.message"]) == (4711, "axis X following error")
    assert api.cnc_start() is False
    assert api.cnc_stop() and api.get_cnc_info().state_machine == cnc.SM_IDLE
    assert {"kind": "alarm", "code": 4711, "message": "axis X following error"} in [
        e["fault"] for e in machine.requests()
    ]


def test_an_alarm_at_a_line_halts_the_run_there(machine):
    api = machine.client()
    machine.faults.alarm(code=7, message="door open", at_line=4)
    assert api.program_gcode_set_text(PROGRAM) and api.cnc_start()
    machine.clock.advance(600)
    info = api.get_cnc_info()
    assert (info.state_machine, info.gcode_line) == (cnc.SM_ALARM, 4)
    assert api.get_axes_info().machine_position[0] == pytest.approx(60.0)  # line 3 done, line 4 not begun
    events = [e["fault"] for e in machine.requests() if e["request"] is None]
    assert events[-1] == {"kind": "alarm", "code": 7, "message": "door open", "line": 4}
    assert api.cnc_stop() and api.cnc_resume(0)  # reset, then on from where it stopped
    machine.clock.advance(600)
    assert api.get_cnc_info().state_machine == cnc.SM_IDLE


def test_an_emergency_stop_holds_until_released_and_reset(machine):
    api = machine.client()
    assert api.program_gcode_set_text(PROGRAM) and api.cnc_start()
    machine.clock.advance(5)
    machine.faults.emergency_stop()
    assert api.get_digital_inputs().value[0] == 0
    assert api.cnc_stop() and api.get_cnc_info().state_machine == cnc.SM_ALARM  # a stop does not clear it
    machine.faults.release()
    assert api.cnc_stop() and api.get_cnc_info().state_machine == cnc.SM_IDLE
    assert api.get_digital_inputs().value[0] == 1


def test_a_power_cycle_closes_connections_and_starts_afresh(machine):
    api = machine.client()
    assert api.cnc_homing(cnc.X2Z_AXIS_MASK)
    machine.clock.advance(1)
    assert api.get_axes_info().homing_done_mask == cnc.X2Z_AXIS_MASK
    assert api.program_gcode_set_text(PROGRAM)
    machine.faults.power_cycle()
    assert api.get_axes_info().has_data is False and not api.is_connected
    again = machine.client()
    assert again.get_axes_info().homing_done_mask == 0
    assert again.get_compile_info().state == cnc.CS_INIT
    assert [e["fault"] for e in machine.requests() if e["request"] is None] == [{"kind": "power_cycle"}]


def test_the_request_log_file_holds_one_line_per_exchange(tmp_path):
    path = tmp_path / "requests.jsonl"
    with simulated_machine("mill-1", log_path=str(path)) as m:
        api = m.client()
        m.faults.garbage("byte")
        api.get_cnc_info()
        assert api.cnc_stop()
        port = api.ipc.getsockname()[1]
    lines = [json.loads(line) for line in path.read_text().splitlines()]
    assert [sorted(e) for e in lines] == [["duration", "fault", "machine", "peer", "reply", "request", "time"]] * 2
    assert lines[0]["fault"] == {"kind": "garbage", "type": "byte"} and lines[0]["reply"] == '{"res":"\\xb0"}'
    assert lines[1]["request"] == '{"cmd":"cnc.stop"}' and lines[1]["reply"] == '{"res":true}'
    assert {e["machine"] for e in lines} == {"mill-1"} and lines[1]["peer"] == f"127.0.0.1:{port}"


def test_machines_of_a_fleet_are_independent():
    with simulated_fleet(3) as fleet:
        apis = {name: m.client() for name, m in fleet.items()}
        assert apis["sim-1"].program_gcode_set_text(PROGRAM) and apis["sim-1"].cnc_start()
        fleet["sim-2"].faults.refuse(requests="cnc.start")
        fleet.clock.advance(5)
        states = {name: api.get_cnc_info().state_machine for name, api in apis.items()}
        assert states == {"sim-1": cnc.SM_RUN, "sim-2": cnc.SM_IDLE, "sim-3": cnc.SM_IDLE}
        assert apis["sim-3"].get_compile_info().state == cnc.CS_INIT


def test_each_machine_of_a_fleet_saves_in_a_folder_of_its_own(tmp_path):
    with simulated_fleet(2, programs_dir=str(tmp_path)) as fleet:
        for name, m in fleet.items():
            api = m.client()
            assert api.program_gcode_set_text(f"(made on {name})\nM30\n") and api.program_save("job.nc")
    assert (tmp_path / "sim-2" / "job.nc").read_text().startswith("(made on sim-2)")
    assert (tmp_path / "sim-1" / "job.nc").read_text().startswith("(made on sim-1)")


def test_nothing_is_left_running_after_a_fleet():
    before = set(threading.enumerate())
    with simulated_fleet(4) as fleet:
        for m in fleet.values():
            m.client().get_cnc_info()
    wait_for(lambda: set(threading.enumerate()) <= before)


FLEET = """
[defaults]
kind = "mill"
poll_rate = 2.0
[defaults.labels]
site = "plant1"

[[machine]]
name = "lathe-1"
kind = "lathe"
limits = { X = [-200.0, 200.0], Z = [-500.0, 0.0] }
ignore_m = ["+428", "900"]
dialect = "iso"
speed = 2.0

[[machine]]
name = "mill-1"
address = "127.0.0.1:0"
labels = { line = "A" }
[machine.faults]
latency = 0.05
"""


def test_a_fleet_file_names_kinds_limits_and_faults(tmp_path):
    path = tmp_path / "fleet.toml"
    path.write_text(FLEET)
    lathe, mill = load_fleet(path)
    assert (lathe.name, lathe.kind, lathe.axes, lathe.dialect, lathe.speed) == ("lathe-1", "lathe", "XZ", "iso", 2.0)
    assert lathe.limits == {"X": (-200.0, 200.0), "Z": (-500.0, 0.0)}
    assert parse_m_codes(lathe.ignore_m, frozenset({10})) == {428, 900}  # a plain code replaces the list
    assert parse_m_codes(["+428"], frozenset({10})) == {10, 428}
    assert (mill.host, mill.port, mill.axes, mill.faults) == ("127.0.0.1", 0, "XYZABC", {"latency": 0.05})
    with simulated_fleet([lathe]) as fleet:
        api = fleet["lathe-1"].client()
        assert api.get_cnc_info().axes_mask == cnc.X_AXIS_MASK | cnc.Z_AXIS_MASK
        assert api.cnc_jog_command(cnc.JC_Y_FW) is False  # no Y on a lathe
        assert api.cnc_jog_command(cnc.JC_X_FW)
        fleet.clock.advance(60)
        assert api.get_axes_info().machine_position[0] == 200.0  # stopped at its travel limit
        assert api.cnc_jog_command(cnc.JC_NONE)
        assert api.program_gcode_set_text("M428\nM900\nM30\n") and api.get_compile_info().state == cnc.CS_READY
        assert api.program_gcode_set_text("M10\nM30\n") and api.get_compile_info().state == cnc.CS_ERROR


@pytest.mark.parametrize(
    "text, message",
    [
        ("[[machine]]\nname='a'\n[[machine]]\nname='a'\n", "machine 'a': duplicate name"),
        ("oops = 1\n[[machine]]\nname='a'\n", "top level: unknown key 'oops'"),
        ("[[machine]]\nname='a'\nspeeed=2\n", "machine 'a': unknown key 'speeed'"),
        ("[[machine]]\nname='a'\nkind='drill'\n", "key 'kind' must be one of"),
        ("[[machine]]\nname='a b'\n", "key 'name' must be letters"),
        ("[[machine]]\nport=1\n", "machine #1: key 'name' is required"),
        ("[[machine]]\nname='a'\naddress='::1:80'\n", "key 'address' must put an IPv6 address in brackets"),
        ("[[machine]]\nname='a'\nkind='lathe'\nlimits={Y=[0,1]}\n", "key 'limits' Y:"),
        ("[[machine]]\nname='a'\nignore_m=['77-5']\n", "key 'ignore_m'"),
        ("[[machine]]\nname='a'\nspeed=true\n", "key 'speed' must be a positive number"),
        ("[[machine]]\nname='a'\nfaults={latency='x'}\n", "key 'faults.latency' must be seconds"),
        ("[defaults.faults]\nnap=1\n[[machine]]\nname='a'\n", "machine 'a': key 'faults.nap' is not a fault"),
        ("[defaults]\nkind='mill'\n", "machine: needs at least one [[machine]] table"),
        ("[[machine]\n", "not TOML"),
        (b"[[machine]]\nname='\xff'\n", "not TOML: not UTF-8 text"),
    ],
)
def test_a_bad_fleet_file_is_refused_in_one_line(tmp_path, text, message):
    path = tmp_path / "fleet.toml"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(FleetFileError) as caught:
        load_fleet(path)
    assert str(caught.value).startswith(f"{path}: ") and message in str(caught.value)
    assert "\n" not in str(caught.value)


def control(port, **command):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        sock.sendall(json.dumps(command).encode() + b"\n")
        return json.loads(sock.makefile().readline())


def test_command_line_fleet_with_faults_log_and_control_port(tmp_path):
    path = tmp_path / "fleet.toml"
    path.write_text(FLEET)
    log = tmp_path / "log.jsonl"
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python") + os.pathsep + os.environ.get("PYTHONPATH", ""))
    args = ["--fleet", str(path), "--port", "0", "--refuse", "cnc.start", "--log-requests", str(log)]
    proc = subprocess.Popen(
        [sys.executable, "-m", "cnc_api_simulator", *args, "--control-port", "0"],
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        listing = dict(proc.stdout.readline().split() for _ in range(3))
        ports = {name: int(where.rpartition(":")[2]) for name, where in listing.items()}
        api = cnc.CncAPIClientCore()
        assert api.connect("127.0.0.1", ports["lathe-1"])
        assert api.program_gcode_set_text(PROGRAM) and api.cnc_start() is False  # refused, as told
        assert control(ports["control"], fault="garbage", machine="lathe-1", kind="text") == {"ok": True}
        assert api.get_cnc_info().has_data is False
        assert control(ports["control"], fault="stall", machine="lathe-1", count=2) == {"ok": True}
        pending = {
            "lathe-1": [{"kind": "refuse", "count": None, "after": 0}, {"kind": "stall", "count": 2, "after": 0}]
        }
        assert control(ports["control"], fault="pending", machine="lathe-1") == {"ok": True, "pending": pending}
        assert control(ports["control"], fault="clear", machine="*") == {"ok": True}
        assert api.get_cnc_info().has_data
        assert control(ports["control"], fault="nap", machine="lathe-1")["error"] == "no fault 'nap'"
        assert control(ports["control"], fault="stall", machine="lathe-9")["error"] == "no machine 'lathe-9'"
        assert control(ports["control"], fault="stall", machine="*", count=0)["ok"] is False
        assert control(ports["control"], fault="alarm", machine="*", code="E1")["ok"] is False
        assert control(ports["control"], fault="latency", machine="*", seconds="slow")["ok"] is False
        api.close()
    finally:
        proc.terminate()
        assert proc.wait(10) == 0
    entries = [json.loads(line) for line in log.read_text().splitlines()]
    assert [e["fault"] and e["fault"]["kind"] for e in entries] == [None, "refuse", "garbage", None]


def test_a_fleet_listens_on_consecutive_ports_from_the_one_given():
    for _ in range(5):  # another process may take one of the ports after the probe
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            base = probe.getsockname()[1]
        fleet = Fleet.of(3, port=base)
        try:
            addresses = fleet.start()
        except OSError:
            continue
        fleet.stop()
        assert addresses == [(f"sim-{i + 1}", "127.0.0.1", base + i) for i in range(3)]
        return
    pytest.skip("no three consecutive free ports")


def test_the_example_test_file_passes_under_the_plugin():
    installed = any(ep.value == "cnc_api_simulator.pytest_plugin" for ep in metadata.entry_points(group="pytest11"))
    plugin = [] if installed else ["-p", "cnc_api_simulator.pytest_plugin"]
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python") + os.pathsep + os.environ.get("PYTHONPATH", ""))
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *plugin, "examples/test_my_automation.py"],
        cwd=ROOT,
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    assert done.returncode == 0, done.stdout + done.stderr
