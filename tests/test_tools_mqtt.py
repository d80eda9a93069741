"""`cnc-api mqtt` against a real Mosquitto broker, read with `mosquitto_sub` and driven with `mosquitto_pub`."""

from __future__ import annotations

import contextlib
import json
import logging
import signal
import subprocess
import threading

import cnc_api_client_core as cnc
import pytest
from cnc_api_simulator import Simulator
from cnc_api_tools import Backoff, Machine
from cnc_api_tools.fleetfile import FleetMachine
from cnc_api_tools.shard import shard_of
from fake_server import Action, FakeServer
from mqtt_helpers import MOSQUITTO_PUB, Broker, broker, needs_broker, publish, subscriber, tls_files  # noqa: F401
from tools_helpers import cli_env, cnc_api_popen, free_port, run_cli, sim_replies

pytest.importorskip("google.protobuf", reason="the MQTT extra (protobuf) is not installed")
from cnc_api_tools.mqtt import sparkplug as spb  # noqa: E402
from cnc_api_tools.mqtt.bridge import MqttBridge  # noqa: E402
from cnc_api_tools.mqtt.link import BrokerSettings  # noqa: E402

pytestmark = needs_broker

BASE = "cnc/plant1/c1/mill-1"


def parsed(payload):
    return json.loads(payload)


@contextlib.contextmanager
def bridge(broker_port, sims, *, client_id="test-bridge", **kw):
    """An in-process bridge over `sims` (ports), named mill-1, mill-2, ... in site plant1, cell c1."""
    machines = [
        FleetMachine(f"mill-{i}", "127.0.0.1", port, {"site": "plant1", "cell": "c1"}, None)
        for i, port in enumerate(sims, 1)
    ]
    handles = [
        Machine(m.host, m.port, name=m.name, connect_timeout=2.0, backoff=Backoff(0.1, 2.0, 0.5)) for m in machines
    ]
    settings = BrokerSettings(port=broker_port, client_id=client_id, min_delay=1, max_delay=1)
    b = MqttBridge(machines, handles, settings, rate=10.0, heartbeat=0.5, **kw).start()
    try:
        yield b
    finally:
        b.stop()


def test_values_are_published_and_a_machine_that_goes_down_shows_offline_then_online(broker):  # noqa: F811
    flaky = Simulator(port=0)
    port = flaky.start()
    try:
        with subscriber(broker.port, "cnc/#") as sub, bridge(broker.port, [port], client_id="tree"):
            assert sub.wait("cnc/_bridge/tree/status", lambda p: p == "online")
            sub.wait(f"{BASE}/availability", lambda p: p == "online")
            state = parsed(sub.wait(f"{BASE}/state"))
            assert state["state"] == "IDLE" and state["condition"] == "idle" and state["ts"] > 0
            assert set(parsed(sub.wait(f"{BASE}/position"))["machine"]) >= {"X", "Y", "Z"}
            assert parsed(sub.wait(f"{BASE}/overrides"))["feed"] == 100
            # Beats sent before the machine was connected say up 0.
            beat = parsed(sub.wait("cnc/_bridge/tree/heartbeat", lambda p: parsed(p)["up"] == 1))
            assert beat["machines"] == 1
            sub.seen.clear()  # the offline of before the first poll is not the one wanted next
            flaky.stop()
            sub.wait(f"{BASE}/availability", lambda p: p == "offline")
            with Simulator(port=port):
                sub.wait(f"{BASE}/availability", lambda p: p == "online")
                assert parsed(sub.wait(f"{BASE}/state"))["state"] == "IDLE"  # published again in full
        # Leaving marks everything offline, retained for those who come later.
        with subscriber(broker.port, f"{BASE}/availability", "cnc/_bridge/tree/status") as later:
            later.wait(f"{BASE}/availability", lambda p: p == "offline")
            later.wait("cnc/_bridge/tree/status", lambda p: p == "offline")
    finally:
        flaky.stop()


def test_a_machine_that_drops_in_the_middle_of_a_poll_shows_offline_then_online(broker):  # noqa: F811
    answers = sim_replies()
    drop = threading.Event()

    def answer(conn):
        name = json.loads(conn.request).get("get")
        if name == "axes.info" and drop.is_set():  # the state was read, the rest of the poll is lost
            drop.clear()
            conn.close()
        else:
            conn.send(json.dumps({"res": answers.get(name)}).encode() + b"\n")

    with FakeServer(default=Action("answer", [answer])) as control, subscriber(broker.port, f"{BASE}/#") as sub:
        with bridge(broker.port, [control.port], client_id="drop"):
            sub.wait(f"{BASE}/availability", lambda p: p == "online")
            sub.seen.clear()
            drop.set()
            sub.wait(f"{BASE}/availability", lambda p: p == "offline")
            sub.wait(f"{BASE}/availability", lambda p: p == "online")
            assert parsed(sub.wait(f"{BASE}/state"))["state"] == "IDLE"  # published again in full


ALLOW = {"allow_control": True}
TOKEN = {"allow_control": True, "token": "t0ken"}


@pytest.mark.parametrize(
    ("options", "topic", "payload", "expected"),
    [
        ({}, f"{BASE}/cmd/override", '{"id": 1, "feed": 70}', {"ok": False, "id": 1, "error": "not allowed"}),
        (ALLOW, f"{BASE}/cmd/override", '{"id": 2, "feed": 70}', {"ok": True, "id": 2}),
        (ALLOW, f"{BASE}/cmd/override", "{not json", {"ok": False, "error": "payload is not JSON"}),
        (ALLOW, f"{BASE}/cmd/override", "[70]", {"ok": False, "error": "must be a JSON object"}),
        (ALLOW, f"{BASE}/cmd/stop", "[" * 15000, {"ok": False, "error": "nested too deeply"}),
        (ALLOW, f"{BASE}/cmd/override", '{"feed": true}', {"ok": False, "error": "whole number of percent"}),
        (ALLOW, f"{BASE}/cmd/override", '{"id": 3, "speed": 5}', {"id": 3, "error": "unknown override 'speed'"}),
        (ALLOW, f"{BASE}/cmd/explode", "", {"ok": False, "error": "unknown command 'explode'"}),
        (ALLOW, f"{BASE}/cmd/load", '{"program": 3}', {"ok": False, "error": "'program' must be"}),
        (ALLOW, f"{BASE}/cmd/start", '{"id": "s"}', {"ok": False, "id": "s", "reason": "not enabled"}),
        (ALLOW, "cnc/plant1/c1/mill-9/cmd/start", "", {"ok": False, "error": "unknown machine"}),
        (TOKEN, f"{BASE}/cmd/override", '{"feed": 70, "token": "guess"}', {"ok": False, "error": "wrong token"}),
        (TOKEN, f"{BASE}/cmd/override", '{"feed": 70, "token": "t0ken"}', {"ok": True}),
    ],
    ids=[
        "not-allowed",
        "override",
        "bad-json",
        "not-object",
        "deep",
        "bool",
        "unknown-override",
        "unknown",
        "bad-load",
        "refused",
        "nobody",
        "wrong-token",
        "token",
    ],
)
def test_commands_are_answered_on_the_reply_topic(broker, options, topic, payload, expected):  # noqa: F811
    with Simulator(port=0) as s, bridge(broker.port, [s.port], client_id="cmd", **options):
        reply_topic = topic.rpartition("/cmd/")[0] + "/reply"
        with subscriber(broker.port, reply_topic, f"{BASE}/availability") as sub:
            sub.wait(f"{BASE}/availability", lambda p: p == "online")
            publish(broker.port, topic, payload)
            reply = parsed(sub.wait(reply_topic))
        for key, value in expected.items():
            assert key in reply, reply
            assert value in reply[key] if isinstance(value, str) else reply[key] == value
        client = cnc.CncAPIClientCore()
        assert client.connect("127.0.0.1", s.port)
        assert client.get_cnc_info().override_feed == (70 if reply["ok"] else 100)  # changed only when allowed
        assert client.get_cnc_info().state_machine == cnc.SM_IDLE


def test_a_command_for_another_sites_machine_is_left_to_that_sites_bridge(broker):  # noqa: F811
    with Simulator(port=0) as s, bridge(broker.port, [s.port], client_id="site", allow_control=True):
        with subscriber(broker.port, "cnc/+/+/+/reply", f"{BASE}/availability") as sub:
            sub.wait(f"{BASE}/availability", lambda p: p == "online")
            publish(broker.port, "cnc/plant2/c1/mill-7/cmd/stop", '{"id": 1}')  # plant2 has a bridge of its own
            publish(broker.port, "cnc/plant1/c1/mill-7/cmd/stop", '{"id": 2}')
            reply = parsed(sub.wait("cnc/plant1/c1/mill-7/reply"))
            # the bridge answers in the order it is asked: nothing came for plant2 before this
            assert [t for t, _ in sub.seen if t.endswith("/reply")] == []
    assert (reply["id"], reply["error"]) == (2, "unknown machine")


class _Said(logging.Handler):
    def __init__(self, words: str) -> None:
        super().__init__()
        self.words, self.said = words, threading.Event()

    def emit(self, record: logging.LogRecord) -> None:
        if self.words in record.getMessage():
            self.said.set()


def test_a_broker_down_at_start_or_restarted_gets_every_retained_value(tmp_path):
    port = free_port()
    unreachable = _Said(f"broker 127.0.0.1:{port} not reachable")
    logging.getLogger("cnc_api_tools.mqtt").addHandler(unreachable)
    with Simulator(port=0) as s, bridge(port, [s.port], client_id="restart") as b:
        assert unreachable.said.wait(10)  # a broker that is not there is said, not silently retried
        logging.getLogger("cnc_api_tools.mqtt").removeHandler(unreachable)
        first = Broker(str(tmp_path), port).start()  # after the bridge: it retries with back-off
        try:
            with subscriber(port, f"{BASE}/#") as sub:
                sub.wait(f"{BASE}/availability", lambda p: p == "online")
            b.link.connected.wait(10)
        finally:
            first.stop()
        # A broker that keeps nothing comes back: the bridge publishes its retained values again.
        second = Broker(str(tmp_path), port).start()
        try:
            with subscriber(port, f"{BASE}/#") as sub:
                sub.wait(f"{BASE}/availability", lambda p: p == "online")
                assert parsed(sub.wait(f"{BASE}/state"))["state"] == "IDLE"
        finally:
            second.stop()


def decode(hex_payload):
    payload = spb.Payload()
    payload.ParseFromString(bytes.fromhex(hex_payload))
    return payload, {m.name: spb.metric_value(m) for m in payload.metrics}


def test_sparkplug_births_data_and_deaths(broker, tmp_path):  # noqa: F811
    flaky = Simulator(port=0)
    port = flaky.start()
    try:
        with subscriber(broker.port, "spBv1.0/#", binary=True) as sub:
            with bridge(broker.port, [port], client_id="edge", sparkplug="plant-1"):
                node, metrics = decode(sub.wait("spBv1.0/plant-1/NBIRTH/edge"))
                assert node.seq == 0 and metrics["bdSeq"] == 0
                birth, metrics = decode(sub.wait("spBv1.0/plant-1/DBIRTH/edge/mill-1"))
                assert metrics["state/state"] == "IDLE" and metrics["overrides/feed"] == 100
                assert metrics["program/name"] is None and birth.seq == 1
                client = cnc.CncAPIClientCore()
                assert client.connect("127.0.0.1", port) and client.set_override_feed(55)
                data, changed = decode(sub.wait("spBv1.0/plant-1/DDATA/edge/mill-1"))
                assert changed == {"overrides/feed": 55} and data.seq == 2
                # A host application asks for the births again.
                rebirth = spb.Payload()
                spb.add_metric(rebirth, "Node Control/Rebirth", True, 0)
                ncmd = tmp_path / "ncmd.bin"
                ncmd.write_bytes(rebirth.SerializeToString())
                subprocess.run(
                    [MOSQUITTO_PUB, "-h", "127.0.0.1", "-p", str(broker.port), "-t", "spBv1.0/plant-1/NCMD/edge"]
                    + ["-f", str(ncmd)],
                    check=True,
                    timeout=10,
                )
                node, metrics = decode(sub.wait("spBv1.0/plant-1/NBIRTH/edge"))
                assert node.seq == 0 and metrics["bdSeq"] == 0
                birth, metrics = decode(sub.wait("spBv1.0/plant-1/DBIRTH/edge/mill-1"))
                assert birth.seq == 1 and metrics["overrides/feed"] == 55
                flaky.stop()
                death, _ = decode(sub.wait("spBv1.0/plant-1/DDEATH/edge/mill-1"))
                assert death.seq == 2
            _, metrics = decode(sub.wait("spBv1.0/plant-1/NDEATH/edge"))
            assert metrics["bdSeq"] == 0
    finally:
        flaky.stop()


@pytest.mark.parametrize("login", ["password", "certificate"])
def test_the_command_over_tls_serves_its_shard_of_a_fleet(tmp_path, login):
    from mqtt_helpers import MOSQUITTO_PASSWD

    files = tls_files(str(tmp_path))
    extra = f"allow_anonymous false\ncafile {files['ca']}\ncertfile {files['server']}\nkeyfile {files['server_key']}\n"
    if login == "password":
        passwords = tmp_path / "passwd"
        tool = MOSQUITTO_PASSWD or "mosquitto_passwd"
        subprocess.run([tool, "-c", "-b", str(passwords), "bridge", "s3cret pass"], check=True)
        access: tuple[str, ...] = ("--cafile", files["ca"], "-u", "bridge", "-P", "s3cret pass")
        extra += f"password_file {passwords}\n"
        login_args = ["--ca", files["ca"], "--username", "bridge"]
    else:  # the broker takes the certificate's name for the user
        access = ("--cafile", files["ca"], "--cert", files["client"], "--key", files["client_key"])
        extra += "require_certificate true\nuse_identity_as_username true\n"
        login_args = ["--ca", files["ca"], "--cert", files["client"], "--key", files["client_key"]]
    with Simulator(port=0) as s:
        k = shard_of("mill-1", 2)
        other = next(n for n in (f"mill-{i}" for i in range(2, 50)) if shard_of(n, 2) != k)
        fleet = tmp_path / "fleet.toml"
        fleet.write_text(
            '[defaults]\nlabels = { site = "plant1", cell = "c1" }\n'
            f'[[machine]]\nname = "mill-1"\nport = {s.port}\n'
            f'[[machine]]\nname = "{other}"\nport = {free_port()}\n'
        )
        broker_ = Broker(str(tmp_path), extra=extra, client_args=access).start()
        env = cli_env(CNC_API_MQTT_PASSWORD="s3cret pass") if login == "password" else cli_env()
        args = ["--fleet", str(fleet), "--shard", f"{k}/2", "--broker", f"127.0.0.1:{broker_.port}"]
        args += [*login_args, "--client-id", "cli", "--heartbeat", "0.5"]
        try:
            with subscriber(broker_.port, "cnc/#", args=access) as sub:
                proc = cnc_api_popen("mqtt", *args, env=env)
                try:
                    assert (
                        f"publishing 1 machine(s) (shard {k}/2) to 127.0.0.1:{broker_.port}" in proc.stderr.readline()
                    )
                    sub.wait(f"{BASE}/availability", lambda p: p == "online")
                    assert parsed(sub.wait("cnc/_bridge/cli/heartbeat"))["machines"] == 1
                    assert not any(other in t for t, _ in sub.seen)
                finally:
                    proc.send_signal(signal.SIGINT)
                    assert proc.wait(15) == 0
                sub.wait(f"{BASE}/availability", lambda p: p == "offline")
                sub.wait("cnc/_bridge/cli/status", lambda p: p == "offline")
            assert "Traceback" not in proc.stderr.read()
        finally:
            broker_.stop()


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--prefix", "cnc/#"], "without wildcards"),
        (["--key", "{fleet}"], "--key goes with --cert"),
        (["--password-file", "{fleet}"], "a password needs --username"),
        (["--username", "u", "--password-file", "{missing}"], "cannot read the password file"),
        (["--shard", "0/3"], "K must be from 1 to N"),
        (["--broker", "127.0.0.1:x"], "bad port"),
        (["a/b=127.0.0.1:1", "a+b=127.0.0.1:2"], "would share their topics"),
        (["--cert", "{fleet}"], "--cert {fleet}: cannot use them for TLS"),
        (["--ca", "{fleet}"], "--ca {fleet}: cannot use them for TLS"),
    ],
)
def test_the_command_refuses_bad_options(tmp_path, args, message):
    fleet = tmp_path / "fleet.toml"
    fleet.write_text("secret\n")
    paths = {"fleet": fleet, "missing": tmp_path / "none"}
    result = run_cli("mqtt", *(a.format(**paths) for a in args))
    assert result.returncode != 0 and message.format(**paths) in result.stderr, result.stderr
    assert "Traceback" not in result.stderr
