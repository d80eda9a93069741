"""A Mosquitto broker started for the tests on a free loopback port, and `mosquitto_sub` as an
independent subscriber whose lines the tests wait on."""

from __future__ import annotations

import contextlib
import os
import pwd
import queue
import shutil
import subprocess
import threading
import time
from collections.abc import Callable, Iterator

import pytest
from tools_helpers import free_port

pytest.importorskip("paho.mqtt", reason="the MQTT extra (paho-mqtt) is not installed")


def _tool(name: str) -> str | None:
    # Also where Debian puts them when PATH is cut down (the wheel's test run keeps compilers off it).
    return shutil.which(name) or shutil.which(name, path="/usr/bin:/usr/sbin:/usr/local/bin:/usr/local/sbin")


MOSQUITTO = _tool("mosquitto")
MOSQUITTO_SUB = _tool("mosquitto_sub")
MOSQUITTO_PUB = _tool("mosquitto_pub")
MOSQUITTO_PASSWD = _tool("mosquitto_passwd")
needs_broker = pytest.mark.skipif(
    not (MOSQUITTO and MOSQUITTO_SUB and MOSQUITTO_PUB),
    reason="Mosquitto is not installed (apt-get install -y mosquitto mosquitto-clients)",
)


class Broker:
    """`mosquitto` with a generated configuration: loopback only, nothing kept on disk."""

    def __init__(
        self, directory: str, port: int | None = None, extra: str = "", client_args: tuple[str, ...] = ()
    ) -> None:
        self.port = port or free_port()
        self.config = os.path.join(directory, f"mosquitto-{self.port}.conf")
        self.extra = extra
        self.client_args = client_args  # what mosquitto_sub and mosquitto_pub need to get in (TLS, user)
        self.proc: subprocess.Popen[bytes] | None = None

    def start(self) -> Broker:
        assert MOSQUITTO is not None
        with open(self.config, "w") as f:
            # Started as root it would drop to the mosquitto user, who cannot read the test's files.
            user = pwd.getpwuid(os.getuid()).pw_name
            f.write(f"listener {self.port} 127.0.0.1\npersistence false\nuser {user}\n")
            f.write(self.extra or "allow_anonymous true\n")
        # Its log goes to a file: a pipe nobody reads fills after a few hundred connections, and the
        # broker then stops in the middle of a write and answers no one.
        self.log = os.path.join(os.path.dirname(self.config), f"mosquitto-{self.port}.log")
        with open(self.log, "ab") as log:
            self.proc = subprocess.Popen([MOSQUITTO, "-c", self.config], stdout=subprocess.DEVNULL, stderr=log)
        deadline = time.monotonic() + 10
        while True:  # ready once a client gets through
            probe = subprocess.run(
                [
                    MOSQUITTO_SUB,
                    "-h",
                    "127.0.0.1",
                    "-p",
                    str(self.port),
                    *self.client_args,
                    "-t",
                    "probe",
                    "-W",
                    "1",
                    "-C",
                    "1",
                    "-E",
                ],
                capture_output=True,
            )
            if probe.returncode == 0 or self.proc.poll() is not None or time.monotonic() > deadline:
                break
        if self.proc.poll() is not None:
            with open(self.log, errors="replace") as log:
                raise RuntimeError(f"mosquitto did not start: {log.read()}")
        return self

    def stop(self) -> None:
        if self.proc is not None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
            self.proc = None


@pytest.fixture(scope="session")
def broker(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Broker]:
    if not (MOSQUITTO and MOSQUITTO_SUB and MOSQUITTO_PUB):
        pytest.skip("Mosquitto is not installed (apt-get install -y mosquitto mosquitto-clients)")
    b = Broker(str(tmp_path_factory.mktemp("broker"))).start()
    yield b
    b.stop()


class Subscriber:
    """`mosquitto_sub -v` on `topics`: every message as (topic, payload text); hex with `binary`."""

    def __init__(self, port: int, *topics: str, binary: bool = False, args: tuple[str, ...] = ()) -> None:
        assert MOSQUITTO_SUB is not None
        form = ["-F", "%t %x"] if binary else ["-v"]
        command = [MOSQUITTO_SUB, "-h", "127.0.0.1", "-p", str(port), *form, *args]
        probe = f"probe/{os.getpid()}/{id(self)}"
        for t in (*topics, probe):
            command += ["-t", t]
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.lines: queue.Queue[tuple[str, str]] = queue.Queue()
        self.seen: list[tuple[str, str]] = []
        threading.Thread(target=self._read, daemon=True).start()
        # Subscribed once a message of its own comes back: from then on nothing published is missed.
        for _ in range(50):
            publish(port, probe, "ready", args)
            try:
                self.wait(probe, timeout=0.2)
                return
            except AssertionError:
                continue
        raise AssertionError("mosquitto_sub never subscribed")

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for line in self.proc.stdout:
            topic, _, payload = line.rstrip("\n").partition(" ")
            self.lines.put((topic, payload))

    def wait(self, topic: str, match: Callable[[str], object] = bool, timeout: float = 20.0) -> str:
        """The next payload on `topic` that `match` accepts (messages seen before it are kept in `seen`)."""
        for t, p in self.seen:
            if t == topic and match(p):
                self.seen.remove((t, p))
                return p
        deadline = time.monotonic() + timeout
        while True:
            try:
                t, p = self.lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError(f"no matching message on {topic} within {timeout} s") from None
            if t == topic and match(p):
                return p
            self.seen.append((t, p))

    def close(self) -> None:
        self.proc.terminate()
        self.proc.wait(10)


@contextlib.contextmanager
def subscriber(port: int, *topics: str, binary: bool = False, args: tuple[str, ...] = ()) -> Iterator[Subscriber]:
    s = Subscriber(port, *topics, binary=binary, args=args)
    try:
        yield s
    finally:
        s.close()


def publish(port: int, topic: str, payload: str, args: tuple[str, ...] = ()) -> None:
    assert MOSQUITTO_PUB is not None
    command = [MOSQUITTO_PUB, "-h", "127.0.0.1", "-p", str(port), *args, "-t", topic, "-m", payload, "-q", "1"]
    subprocess.run(command, check=True, timeout=10)


def tls_files(directory: str) -> dict[str, str]:
    """A CA, and certificates it signed for the broker (127.0.0.1) and for a client (cnc-bridge):
    ca, server, server_key, client, client_key."""
    import datetime

    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    now = datetime.datetime.now(datetime.UTC)
    day = datetime.timedelta(days=1)

    def certificate(
        name: str, key: ec.EllipticCurvePrivateKey, issuer: x509.Name, signer: ec.EllipticCurvePrivateKey, ca: bool
    ) -> x509.Certificate:
        builder = (
            x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)]))
            .issuer_name(issuer)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - day)
            .not_valid_after(now + day)
            .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
        )
        if not ca:
            import ipaddress

            san = x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))])
            builder = builder.add_extension(san, critical=False)
        return builder.sign(signer, hashes.SHA256())

    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "test CA")])
    pem = serialization.Encoding.PEM
    files = {"ca": os.path.join(directory, "ca.pem")}
    with open(files["ca"], "wb") as f:
        f.write(certificate("test CA", ca_key, ca_name, ca_key, True).public_bytes(pem))
    for role, name in (("server", "127.0.0.1"), ("client", "cnc-bridge")):
        key = ec.generate_private_key(ec.SECP256R1())
        files[role], files[f"{role}_key"] = (os.path.join(directory, f"{role}.{ext}") for ext in ("pem", "key"))
        with open(files[role], "wb") as f:
            f.write(certificate(name, key, ca_name, ca_key, False).public_bytes(pem))
        with open(files[f"{role}_key"], "wb") as f:
            f.write(key.private_bytes(pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    return files
