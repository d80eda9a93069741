"""`cnc-api opcua` against simulators: browse, read, subscribe and call with asyncua's client and tools.

asyncua and cryptography are imported where used, never at the top: every xdist worker collects
this module, and those imports cost more CPU than the rest of its collection.
"""

from __future__ import annotations

import asyncio
import datetime
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time
from collections.abc import Awaitable, Callable, Coroutine, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pytest
from cnc_api_simulator import Simulator
from latency_proxy import LatencyProxy
from tools_helpers import cli_env, cnc_api_popen, free_port, run_cli

if TYPE_CHECKING:
    from asyncua import Client, ua

NS = "urn:cnc-api:opcua"
USER, PASSWORD = "alice", "s3cret:with colon"


class Bridge:
    """The `cnc-api opcua` process of the module and the simulators it serves."""

    def __init__(self, tmp: Path) -> None:
        self.tmp = tmp
        self.sims = {name: Simulator(port=0, programs_dir=str(tmp)) for name in ("mill-1", "mill-2", "mill-3")}
        for sim in self.sims.values():
            sim.start()
        # mill-4 answers through a proxy whose delay a test turns up
        self.proxy = LatencyProxy(("127.0.0.1", self.sims["mill-3"].port), 0.0, 0.0)
        (tmp / "part.nc").write_text("G0 X0\nG1 X100 F300\n")  # runs for 20 s unless stopped
        (tmp / "bad.nc").write_text("G0 X0\nG1 X1 F100\nQ7\n")
        self.users = tmp / "users"
        self.users.write_text(f"# operators\n{USER}:{PASSWORD}\n")
        self.users.chmod(0o600)
        self.operator = self._client_cert("operator")  # trusted as a user
        self.stranger = self._client_cert("stranger")  # a channel certificate only
        fleet = tmp / "fleet.toml"
        # Two polls a second cost a third of the CPU of ten, in the bridge and in the simulators; the tests
        # wait for values, so only their wall time grows (a second more to call a silent machine stale).
        fleet.write_text(
            '[defaults]\npoll_rate = 2.0\n[defaults.labels]\nsite = "plant1"\n'
            + "".join(
                f'[[machine]]\nname = "{name}"\naddress = "127.0.0.1:{sim.port}"\nlabels = {{ line = "A" }}\n'
                for name, sim in self.sims.items()
            )
            + f'[[machine]]\nname = "mill-4"\naddress = "127.0.0.1:{self.proxy.port}"\n'
            + f'[[machine]]\nname = "nowhere"\naddress = "127.0.0.1:{free_port()}"\n'
        )
        self.stderr: list[str] = []
        self.started = datetime.datetime.now(datetime.UTC)
        self.proc = cnc_api_popen(
            "opcua",
            "--fleet", str(fleet),
            "--listen", "127.0.0.1:0",
            "--allow-control",
            "--users", str(self.users),
            "--client-cert", str(self.operator[0]),
            "--state-dir", str(tmp / "state"),
            "--max-monitored-items", "100",
        )  # fmt: skip
        self.ready = threading.Event()
        threading.Thread(target=self._drain, daemon=True).start()
        if not self.ready.wait(60):
            self.close()
            raise AssertionError("the bridge did not start:\n" + "".join(self.stderr))
        found = re.search(r"opc\.tcp://127\.0\.0\.1:(\d+)/", "".join(self.stderr))
        assert found, self.stderr
        self.url = f"opc.tcp://127.0.0.1:{found.group(1)}/"

    def _client_cert(self, name: str) -> tuple[Path, Path]:
        cert_file, key_file = self.tmp / f"{name}.der", self.tmp / f"{name}-key.pem"
        write_certificate(cert_file, key_file, name, f"urn:test:{name}", server=False)
        return cert_file, key_file

    def _drain(self) -> None:
        assert self.proc.stderr is not None
        for line in self.proc.stderr:
            self.stderr.append(line)
            if line.startswith("serving "):
                self.ready.set()

    def restart_sim(self, name: str) -> None:
        port = self.sims[name].port
        self.sims[name] = Simulator(port=port or 0, programs_dir=str(self.tmp))
        self.sims[name].start()

    def close(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proxy.close()
        for sim in self.sims.values():
            sim.stop()
        assert self.proc.returncode == 0, "".join(self.stderr)  # SIGTERM winds the server down


def write_certificate(
    cert_file: Path, key_file: Path, name: str, uri: str, *, server: bool, pem: bool = False
) -> bytes:
    """A new self-signed application certificate and its key; gives the certificate's DER bytes."""
    from asyncua.crypto import cert_gen
    from cryptography.hazmat.primitives import serialization
    from cryptography.x509 import UniformResourceIdentifier
    from cryptography.x509.oid import ExtendedKeyUsageOID

    key = cert_gen.generate_private_key()
    usage = ExtendedKeyUsageOID.SERVER_AUTH if server else ExtendedKeyUsageOID.CLIENT_AUTH
    cert = cert_gen.generate_self_signed_app_certificate(key, name, {}, [UniformResourceIdentifier(uri)], [usage])
    encoding = serialization.Encoding.PEM if pem else serialization.Encoding.DER
    cert_file.write_bytes(cert.public_bytes(encoding))
    key_file.write_bytes(cert_gen.dump_private_key_as_pem(key))
    return cert.public_bytes(serialization.Encoding.DER)


@pytest.fixture(scope="module")
def bridge(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Bridge]:
    b = Bridge(tmp_path_factory.mktemp("opcua"))
    try:
        yield b
    finally:
        b.close()


def run(coro: Coroutine[Any, Any, Any]) -> Any:
    return asyncio.run(asyncio.wait_for(coro, 60))


async def connect(bridge: Bridge, how: str) -> Client:
    """A connected client: anonymous, user or certificate; over "plain" or "encrypted" channels."""
    from asyncua import Client, ua
    from asyncua.crypto.security_policies import SecurityPolicyBasic256Sha256

    auth, _, channel = how.partition("/")
    client = Client(bridge.url, timeout=10)
    if auth == "user":
        client.set_user(USER)
        client.set_password(PASSWORD)
    elif auth == "wrong-password":
        client.set_user(USER)
        client.set_password("nope")
    if channel == "encrypted":
        cert, key = bridge.operator if auth == "cert" else bridge.stranger
        await client.set_security(
            SecurityPolicyBasic256Sha256, str(cert), str(key), mode=ua.MessageSecurityMode.SignAndEncrypt
        )
    await client.connect()
    return client


async def node(client: Client, path: str) -> Any:
    from asyncua import ua

    idx = await client.get_namespace_index(NS)
    return client.get_node(ua.NodeId(path, idx))


async def until(read: Callable[[], Awaitable[Any]], check: Callable[[Any], bool], timeout: float = 20.0) -> Any:
    """The first value `read` gives that passes `check`, reading every 50 ms."""
    deadline = time.monotonic() + timeout
    while True:
        value = await read()
        if check(value):
            return value
        assert time.monotonic() < deadline, f"last value {value!r}"
        await asyncio.sleep(0.05)


async def value_of(client: Client, path: str) -> ua.DataValue:
    from asyncua import ua

    n = await node(client, path)
    result: ua.DataValue = await n.read_attribute(ua.AttributeIds.Value, raise_on_bad_status=False)
    return result


def good(dv: ua.DataValue) -> bool:
    return dv.StatusCode is not None and dv.StatusCode.is_good()


Arg = str | float | tuple[str, Any]  # a value typed as asyncua guesses, or (variant type name, value)


async def call(client: Client, machine: str, method: str, *args: Arg) -> ua.CallMethodResult:
    """The raw result, with the status and the Reason output even when the call failed."""
    from asyncua import ua

    variants = [ua.Variant(a[1], ua.VariantType[a[0]]) if isinstance(a, tuple) else ua.Variant(a) for a in args]
    idx = await client.get_namespace_index(NS)
    request = ua.CallMethodRequest(ua.NodeId(machine, idx), ua.NodeId(f"{machine}/{method}", idx), variants)
    results: list[ua.CallMethodResult] = await client.uaclient.call([request])
    return results[0]


# ----- reading -------------------------------------------------------------------------------


def test_machine_values_read_with_source_timestamps(bridge: Bridge) -> None:
    async def check() -> None:
        client = await connect(bridge, "anonymous")
        async with client:
            state = await until(lambda: value_of(client, "mill-1/Monitoring/Channel/State"), good)
            assert state.Value.Value == "IDLE"
            # The time of the poll that read it (values are written when they change).
            assert bridge.started <= state.SourceTimestamp <= datetime.datetime.now(datetime.UTC)
            assert (await value_of(client, "mill-1/Identification/ConnectionState")).Value.Value == "connected"
            assert (await value_of(client, "mill-1/Identification/Labels/site")).Value.Value == "plant1"
            assert (await value_of(client, "mill-1/Identification/ControlSoftware")).Value.Value == "CNC API Simulator"
            assert (await value_of(client, "mill-1/Identification/Labels/line")).Value.Value == "A"
            feed = await value_of(client, "mill-1/Monitoring/Channel/FeedOverride")
            assert feed.Value.VariantType.name == "Int32" and good(feed)
            machine = await node(client, "mill-1")
            names = {(await c.read_browse_name()).Name for c in await machine.get_children()}
            assert {"Identification", "Monitoring", "Production", "Start", "SetOverride"} <= names

    run(check())


def ua_env() -> dict[str, str]:
    """The environment of the library's own command-line tools: not ours to check for leaks under the sanitizers."""
    env = cli_env()
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


def ua_tool(name: str, *args: str, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    script = os.path.join(os.path.dirname(sys.executable), name)
    return subprocess.run([script, *args], capture_output=True, text=True, timeout=timeout, env=ua_env())


def test_command_line_tools_browse_and_read(bridge: Bridge) -> None:
    listed = ua_tool("uals", "-u", bridge.url, "-n", "ns=2;i=1")
    assert listed.returncode == 0, listed.stderr
    assert "mill-1" in listed.stdout and "mill-2" in listed.stdout
    read = ua_tool("uaread", "-u", bridge.url, "-n", "ns=2;s=mill-2/Identification/Name")
    assert read.returncode == 0, read.stderr
    assert read.stdout.strip() == "mill-2"


# ----- subscribing and controlling -----------------------------------------------------------


class Changes:
    def __init__(self) -> None:
        self.queue: asyncio.Queue[ua.DataValue] = asyncio.Queue()

    def datachange_notification(self, node: Any, value: Any, data: Any) -> None:
        self.queue.put_nowait(data.monitored_item.Value)

    async def next_good(self, check: Callable[[Any], bool]) -> ua.DataValue:
        while True:
            dv = await asyncio.wait_for(self.queue.get(), 20)
            if good(dv) and check(dv.Value.Value):
                return dv


@pytest.mark.parametrize("how", ["user/encrypted", "cert/encrypted"])
def test_authenticated_user_sets_an_override_and_a_subscriber_sees_it(bridge: Bridge, how: str) -> None:
    percent = 40 if how.startswith("user") else 60

    async def check() -> None:
        watcher, operator = await connect(bridge, "anonymous"), await connect(bridge, how)
        async with watcher, operator:
            changes = Changes()
            sub = await watcher.create_subscription(50, changes)
            await sub.subscribe_data_change(await node(watcher, "mill-1/Monitoring/Channel/FeedOverride"))
            result = await call(operator, "mill-1", "SetOverride", "feed", ("Int32", percent))
            assert result.StatusCode.is_good(), result
            seen = await changes.next_good(lambda v: v == percent)
            assert seen.SourceTimestamp is not None

    run(check())


@pytest.mark.parametrize(
    ("how", "error"),
    [
        ("anonymous", "BadUserAccessDenied"),
        ("anonymous/encrypted", "BadUserAccessDenied"),
        ("user", "BadUserAccessDenied"),  # a password is no good on an unencrypted channel
        ("wrong-password/encrypted", "BadUserAccessDenied"),
    ],
)
def test_calls_need_an_authenticated_user_on_an_encrypted_channel(bridge: Bridge, how: str, error: str) -> None:
    from asyncua import ua

    async def check() -> None:
        with pytest.raises(getattr(ua.uaerrors, error)):
            client = await connect(bridge, how)
            async with client:
                await call(client, "mill-1", "Stop")

    run(check())


def test_no_session_writes_values(bridge: Bridge) -> None:
    from asyncua import ua

    async def check() -> None:
        client = await connect(bridge, "user/encrypted")
        async with client:
            feed = await node(client, "mill-1/Monitoring/Channel/FeedOverride")
            with pytest.raises(ua.uaerrors.BadUserAccessDenied):
                await feed.write_value(ua.DataValue(ua.Variant(10, ua.VariantType.Int32)))

    run(check())


@pytest.mark.parametrize(
    ("method", "args", "code", "reason"),
    [
        ("Start", [], "BadInvalidState", "cnc_start is not enabled in state IDLE: no program is loaded"),
        (
            "LoadProgram",
            ["missing.nc"],
            "BadInvalidState",
            "the control refused program_load('missing.nc')",
        ),
        ("LoadProgram", [("Int32", 5)], "BadTypeMismatch", "wrong arguments"),
        ("SetOverride", ["feed", 1.5], "BadTypeMismatch", "wrong arguments"),
        ("SetOverride", ["warp", ("Int32", 5)], "BadOutOfRange", "no override 'warp'"),
        ("SetOverride", ["feed"], "BadArgumentsMissing", "wrong arguments"),
        ("SetOverride", ["feed", ("Int64", 2**40)], "BadOutOfRange", "wrong"),
    ],
)
def test_refused_and_wrong_calls_say_why(bridge: Bridge, method: str, args: list[Arg], code: str, reason: str) -> None:
    async def check() -> None:
        client = await connect(bridge, "user/encrypted")
        async with client:
            result = await call(client, "mill-1", method, *args)
            assert result.StatusCode.name == code
            assert reason in result.OutputArguments[0].Value

    run(check())


class Events:
    def __init__(self) -> None:
        self.queue: asyncio.Queue[str] = asyncio.Queue()

    def event_notification(self, event: Any) -> None:
        self.queue.put_nowait(event.Message.Text)

    async def next_matching(self, text: str) -> str:
        while True:
            message = await asyncio.wait_for(self.queue.get(), 20)
            if text in message:
                return message


def lines_until(proc: subprocess.Popen[str], first: str, then: str) -> tuple[threading.Event, threading.Event]:
    """Events set once `proc` prints a line holding `first`, and later one holding `then`."""
    events = threading.Event(), threading.Event()

    def read() -> None:
        assert proc.stdout is not None
        for line in proc.stdout:
            if first in line:
                events[0].set()
            elif then in line and events[0].is_set():
                events[1].set()

    threading.Thread(target=read, daemon=True).start()
    return events


def test_program_loaded_started_and_its_state_change_notified(bridge: Bridge) -> None:
    script = os.path.join(os.path.dirname(sys.executable), "uasubscribe")
    watcher = subprocess.Popen(
        [script, "-u", bridge.url, "-t", "event", "-n", "ns=2;s=mill-3"],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
        env=ua_env(),
    )
    subscribed, printed = lines_until(watcher, "Ctr-C to exit", "mill-3: state IDLE -> RUN")

    async def check() -> None:
        client = await connect(bridge, "user/encrypted")
        async with client:
            events = Events()
            sub = await client.create_subscription(50, events)
            await sub.subscribe_events(await node(client, "mill-3"))
            assert (await call(client, "mill-3", "LoadProgram", "bad.nc")).StatusCode.is_good()
            await events.next_matching("bad.nc does not compile")
            result = await call(client, "mill-3", "LoadProgram", "part.nc")
            assert result.StatusCode.is_good(), result
            await until(
                lambda: value_of(client, "mill-3/Production/ActiveProgram/CompileState"),
                lambda dv: good(dv) and dv.Value.Value == "READY",
            )
            name = await value_of(client, "mill-3/Production/ActiveProgram/Name")
            assert name.Value.Value.endswith("part.nc")
            assert (await call(client, "mill-3", "Start")).StatusCode.is_good()
            await events.next_matching("state IDLE -> RUN")
            assert (await call(client, "mill-3", "Stop")).StatusCode.is_good()
            unknown = await call(client, "mill-9", "Stop")
            assert unknown.StatusCode.name == "BadNodeIdInvalid"
            read = await value_of(client, "mill-9/Monitoring/Channel/State")
            assert read.StatusCode.name == "BadNodeIdUnknown"

    try:
        assert subscribed.wait(30), "uasubscribe did not subscribe"
        run(check())
        assert printed.wait(30), "uasubscribe printed no state change event"
    finally:
        watcher.terminate()
        watcher.wait(10)


def test_uacall_runs_a_method_as_a_user(bridge: Bridge) -> None:
    cert, key = bridge.stranger
    done = ua_tool(
        "uacall",
        "-u", bridge.url,
        "--user", USER,
        "--password", PASSWORD,
        "--security", f"Basic256Sha256,SignAndEncrypt,{cert},{key}",
        "-n", "ns=2;s=mill-2",
        "-m", "2:Stop",
    )  # fmt: skip
    assert done.returncode == 0, done.stdout + done.stderr


# ----- a machine that goes down and comes back -----------------------------------------------


def test_machine_down_shows_bad_status_then_live_again(bridge: Bridge) -> None:
    async def check() -> None:
        client = await connect(bridge, "anonymous")
        async with client:
            state = "mill-2/Monitoring/Channel/State"
            await until(lambda: value_of(client, state), good)
            changes = Changes()
            sub = await client.create_subscription(50, changes)
            await sub.subscribe_data_change(await node(client, state))
            bridge.sims["mill-2"].stop()
            down = await until(lambda: value_of(client, state), lambda dv: not good(dv))
            assert down.StatusCode.name == "BadNoCommunication" and down.Value.Value is None
            # The link state is written before the values turn bad, so it no longer says connected; by
            # now it may say connecting, as the bridge retries at once after a loss and then backs off.
            link = await value_of(client, "mill-2/Identification/ConnectionState")
            assert link.Value.Value.startswith(("down", "connecting")), link
            await until(
                lambda: value_of(client, "mill-2/Identification/ConnectionState"),
                lambda dv: dv.Value.Value.startswith("down: "),
            )
            operator = await connect(bridge, "user/encrypted")
            async with operator:
                result = await call(operator, "mill-2", "Stop")
            assert result.StatusCode.name == "BadNoCommunication"
            bridge.restart_sim("mill-2")
            back = await changes.next_good(lambda v: v == "IDLE")
            assert back.Value.Value == "IDLE"

    run(check())


def test_monitored_items_past_the_bound_are_refused(bridge: Bridge) -> None:
    from asyncua import ua

    async def check() -> None:
        client = await connect(bridge, "anonymous")
        async with client:
            sub = await client.create_subscription(1000, Changes())
            nodes = [await node(client, "mill-1/Monitoring/Channel/State")] * 120
            results = await sub.subscribe_data_change(nodes)
            refused = [r for r in results if isinstance(r, ua.StatusCode)]
            assert len(refused) >= 20
            assert {r.name for r in refused} == {"BadTooManyMonitoredItems"}

    run(check())


def test_a_chunk_larger_than_the_receive_buffer_ends_its_connection_at_once(bridge: Bridge) -> None:
    port = int(bridge.url.rsplit(":", 1)[1].strip("/"))
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=30) as peer:
        peer.sendall(b"HELF" + struct.pack("<I", 0xFFFFFFF0))  # announces a 4 GB hello
        with pytest.raises(ConnectionError):
            for _ in range(256):  # held whole, this would be 256 MB in the server by now
                peer.sendall(bytes(1 << 20))
    # closed on the header, well before the 10 s given to a connection to activate a session
    assert time.monotonic() - started < 5
    assert good(run(_read_state(bridge)))


async def _read_state(bridge: Bridge) -> ua.DataValue:
    async with await connect(bridge, "anonymous") as client:
        return await until(lambda: value_of(client, "mill-1/Monitoring/Channel/State"), good)


def test_machine_never_reached_shows_why(bridge: Bridge) -> None:
    async def check() -> None:
        client = await connect(bridge, "anonymous")
        async with client:
            link = await until(
                lambda: value_of(client, "nowhere/Identification/ConnectionState"),
                lambda dv: dv.Value.Value.startswith("down"),
            )
            assert "refused" in link.Value.Value
            state = await value_of(client, "nowhere/Monitoring/Channel/State")
            assert state.StatusCode.name == "BadNoCommunication"

    run(check())


def test_machine_that_stops_answering_shows_bad_status_until_it_answers(bridge: Bridge) -> None:
    async def check() -> None:
        client = await connect(bridge, "anonymous")
        async with client:
            state = "mill-4/Monitoring/Channel/State"
            await until(lambda: value_of(client, state), good)
            bridge.proxy.low = bridge.proxy.high = 2.5  # each reply late: polls take seconds, the link stays up
            stale = await until(lambda: value_of(client, state), lambda dv: not good(dv))
            assert stale.StatusCode.name == "BadCommunicationError"
            bridge.proxy.low = bridge.proxy.high = 0.0
            await until(lambda: value_of(client, state), good, timeout=30)

    run(check())


def test_own_pem_certificate_and_bounded_sessions(tmp_path: Path) -> None:
    from asyncua import Client, ua
    from cnc_api_tools.opcua.bridge import OpcUaBridge, Settings
    from cnc_api_tools.opcua.security import given_certificate

    der = write_certificate(
        tmp_path / "server.crt", tmp_path / "server.key", "plant", "urn:cnc-api:opcua:server", server=True, pem=True
    )

    async def check() -> None:
        pair = given_certificate(tmp_path / "server.crt", tmp_path / "server.key")
        bridge = OpcUaBridge([], Settings(port=0, certificate=pair, max_connections=2))
        port = await bridge.start()
        url = f"opc.tcp://127.0.0.1:{port}/"
        try:
            endpoints = await Client(url).connect_and_get_server_endpoints()
            encrypted = [e for e in endpoints if e.SecurityMode == ua.MessageSecurityMode.SignAndEncrypt]
            assert [e.ServerCertificate for e in encrypted] == [der]
            first, second = Client(url, timeout=5), Client(url, timeout=5)
            async with first, second:
                with pytest.raises(ConnectionError):  # refused at once, never queued
                    async with Client(url, timeout=5):
                        pass
        finally:
            await bridge.stop()

    run(check())


@pytest.mark.parametrize(
    ("field", "value", "path", "shown"),
    [
        ("gcode_line", 2**40, "Production/ActiveProgram/Line", None),  # no Int32: unavailable, never wrapped
        ("feed_target", float("nan"), "Monitoring/Channel/FeedTarget", None),
        ("worked_time", "x" * 10_000, "Production/ActiveProgram/ElapsedTime", "x" * 4096),
        ("axes_mask", 0b1, "Monitoring/Channel/Positions/Y", "not on machine"),
        ("axes_mask", 0b1, "Monitoring/Channel/MachinePositions/X", None),  # on the machine, but no axes record
        ("state_machine", 5, "Monitoring/Channel/State", "IDLE"),
    ],
)
def test_odd_reply_values_become_no_value_rather_than_a_wrong_one(
    field: str, value: Any, path: str, shown: Any
) -> None:
    import cnc_api_client_core as cnc
    from cnc_api_tools.opcua.values import INDEX, NOT_ON_MACHINE, SYSTEM, values_of

    info = cnc.APICncInfo()
    setattr(info, field, value)
    got = values_of(info, None, None, None, (None,) * len(SYSTEM))[INDEX[path]]
    assert (got is NOT_ON_MACHINE) if shown == "not on machine" else got == shown


# ----- the command line ----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "env", "message"),
    [
        (["--allow-control"], {}, "--allow-control needs users"),
        (["--cert", "c.der"], {}, "--cert and --key go together"),
        (["--users", "{open}"], {}, "readable by others"),
        (["--users", "{bad}"], {}, ":1: expected NAME:PASSWORD"),
        ([], {"CNC_API_OPCUA_USER": "bob"}, "CNC_API_OPCUA_USER and CNC_API_OPCUA_PASSWORD go together"),
        (["--listen", "127.0.0.1:http"], {}, "--listen"),
        (["a/b=127.0.0.1:1"], {}, "machine name 'a/b': empty or with a '/'"),
        (["--shard", "3/2"], {}, "--shard"),
        (["--cert", "{bad}", "--key", "{bad}"], {}, "bad: not a PEM or DER certificate"),
        (["--listen", "127.0.0.1:{busy}"], {}, "cannot listen on 127.0.0.1:{busy}: "),
    ],
)
def test_bad_options_get_one_clear_line(tmp_path: Path, args: list[str], env: dict[str, str], message: str) -> None:
    (tmp_path / "open").write_text("a:b\n")
    (tmp_path / "open").chmod(0o644)
    (tmp_path / "bad").write_text("nocolon\n")
    (tmp_path / "bad").chmod(0o600)
    with socket.create_server(("127.0.0.1", 0)) as busy:
        names = {"open": tmp_path / "open", "bad": tmp_path / "bad", "busy": busy.getsockname()[1]}
        args = [a.format(**names) for a in args]
        done = run_cli("opcua", "--state-dir", str(tmp_path / "state"), *args, env=cli_env(**env))
    assert done.returncode in (1, 2)
    assert message.format(**names) in done.stderr and "Traceback" not in done.stderr, done.stderr
