"""Who may do what on the OPC UA server, and the server's certificate.

Reading and subscribing are open to every session, anonymous ones too. Calling a method
(and so driving a machine) needs an authenticated user (a user name with its password, or a
trusted client certificate) on a channel with Basic256Sha256 SignAndEncrypt: a password or a
command never travels in the clear or unsigned. No session may write or change the address space.
"""

from __future__ import annotations

import datetime
import hmac
import ipaddress
import os
import socket
import stat
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from asyncua import ua
from asyncua.crypto import cert_gen
from asyncua.crypto.permission_rules import USER_TYPES, PermissionRuleset, User, UserRole
from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.x509.oid import ExtendedKeyUsageOID

__all__ = [
    "APPLICATION_URI",
    "Credentials",
    "ReadOnly",
    "SecurityError",
    "UserRegistry",
    "WithControl",
    "given_certificate",
    "load_users",
    "server_certificate",
]

APPLICATION_URI = "urn:cnc-api:opcua:server"
ENV_USER = "CNC_API_OPCUA_USER"
ENV_PASSWORD = "CNC_API_OPCUA_PASSWORD"
_MAX_USERS_FILE = 1 << 20

_CALL = ua.NodeId(ua.ObjectIds.CallRequest_Encoding_DefaultBinary)
_WRITE = ua.NodeId(ua.ObjectIds.WriteRequest_Encoding_DefaultBinary)
_READING = frozenset(ua.NodeId(t) for t in USER_TYPES) - {_CALL, _WRITE}


class SecurityError(ValueError):
    """A users file, certificate or key that cannot be used; the message says which and why."""


class ReadOnly(PermissionRuleset):  # type: ignore[misc]  # the library's base class is untyped
    """Browse, read and subscribe for everyone; no calls, no writes, no node management."""

    def check_validity(self, user: User, action_type_id: ua.NodeId, body: Any) -> bool:
        return action_type_id in _READING


class WithControl(ReadOnly):
    """As ReadOnly, and method calls for authenticated users (on the encrypted channels it is given to)."""

    def check_validity(self, user: User, action_type_id: ua.NodeId, body: Any) -> bool:
        if action_type_id == _CALL:
            return user is not None and user.role is UserRole.User
        return super().check_validity(user, action_type_id, body)


@dataclass(frozen=True)
class Credentials:
    """User names with their passwords, and trusted client certificates (DER) with a user name each."""

    passwords: Mapping[str, str]
    certificates: Mapping[bytes, str]

    @property
    def empty(self) -> bool:
        return not self.passwords and not self.certificates


class UserRegistry:
    """The server's user manager: anonymous sessions are read-only users, known ones may control."""

    def __init__(self, credentials: Credentials) -> None:
        self._passwords = {name.encode(): pw.encode() for name, pw in credentials.passwords.items()}
        self._certificates = dict(credentials.certificates)

    def get_user(
        self, iserver: Any, username: str | None = None, password: str | None = None, certificate: Any = None
    ) -> User | None:
        if username is not None:
            expected = self._passwords.get(username.encode("utf-8", "replace"))
            given = (password or "").encode("utf-8", "replace")
            # Compared even for an unknown name, so the time taken does not tell which names exist.
            ok = hmac.compare_digest(expected or b"\0" * 32, given) and expected is not None
            return User(role=UserRole.User, name=username) if ok else None
        if certificate is not None:
            der = (
                certificate if isinstance(certificate, bytes) else certificate.public_bytes(serialization.Encoding.DER)
            )
            name = self._certificates.get(der)
            if name is not None:
                return User(role=UserRole.User, name=name)
        return User(role=UserRole.Anonymous)


def _users_file(path: Path) -> dict[str, str]:
    try:
        mode = path.stat().st_mode
        if mode & (stat.S_IRWXG | stat.S_IRWXO):
            raise SecurityError(f"{path}: readable by others; chmod 600 it (it holds passwords)")
        with path.open("rb") as f:
            data = f.read(_MAX_USERS_FILE + 1)
    except OSError as exc:
        raise SecurityError(f"{path}: {exc.strerror}") from None
    if len(data) > _MAX_USERS_FILE:
        raise SecurityError(f"{path}: larger than {_MAX_USERS_FILE} bytes")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise SecurityError(f"{path}: not UTF-8 text") from None
    users: dict[str, str] = {}
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        name, sep, password = line.partition(":")  # the password as written, spaces and all
        if not sep or not name.strip() or not password:
            raise SecurityError(f"{path}:{number}: expected NAME:PASSWORD")
        if name.strip() in users:
            raise SecurityError(f"{path}:{number}: user {name.strip()!r} given twice")
        users[name.strip()] = password
    return users


def _certificates(paths: Iterable[Path]) -> dict[bytes, str]:
    trusted: dict[bytes, str] = {}
    for path in paths:
        try:
            data = path.read_bytes()
        except OSError as exc:
            raise SecurityError(f"{path}: {exc.strerror}") from None
        try:
            cert = (
                x509.load_pem_x509_certificate(data) if b"-----BEGIN" in data else x509.load_der_x509_certificate(data)
            )
        except ValueError:
            raise SecurityError(f"{path}: not a PEM or DER certificate") from None
        trusted[cert.public_bytes(serialization.Encoding.DER)] = path.stem
    return trusted


def load_users(users_file: Path | None, client_certs: Iterable[Path], environ: Mapping[str, str]) -> Credentials:
    """The users from the file, the environment (one user) and the trusted client certificates."""
    passwords = _users_file(users_file) if users_file is not None else {}
    name, password = environ.get(ENV_USER, "").strip(), environ.get(ENV_PASSWORD, "")
    if name or password:
        if not name or not password:
            raise SecurityError(f"{ENV_USER} and {ENV_PASSWORD} go together")
        passwords[name] = password
    return Credentials(passwords, _certificates(client_certs))


def _write_private(path: Path, data: bytes) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(data)


def _usable(cert_file: Path, key_file: Path) -> bool:
    try:
        cert = x509.load_der_x509_certificate(cert_file.read_bytes())
        serialization.load_pem_private_key(key_file.read_bytes(), None)
    except (OSError, ValueError, TypeError):
        return False
    return cert.not_valid_after_utc > datetime.datetime.now(datetime.UTC) + datetime.timedelta(days=1)


def given_certificate(cert_file: Path, key_file: Path) -> tuple[Path, Path]:
    """A certificate and key of the user's own, checked now so that a bad one stops the start with a clear line."""
    try:
        data = cert_file.read_bytes()
        cert = x509.load_pem_x509_certificate(data) if b"-----BEGIN" in data else x509.load_der_x509_certificate(data)
    except OSError as exc:
        raise SecurityError(f"{cert_file}: {exc.strerror}") from None
    except ValueError:
        raise SecurityError(f"{cert_file}: not a PEM or DER certificate") from None
    try:
        key = serialization.load_pem_private_key(key_file.read_bytes(), None)
    except OSError as exc:
        raise SecurityError(f"{key_file}: {exc.strerror}") from None
    except (ValueError, TypeError):
        raise SecurityError(f"{key_file}: not an unencrypted PEM private key") from None
    public = serialization.PublicFormat.SubjectPublicKeyInfo
    if key.public_key().public_bytes(serialization.Encoding.DER, public) != cert.public_key().public_bytes(
        serialization.Encoding.DER, public
    ):
        raise SecurityError(f"{key_file}: not the key of {cert_file}")
    return cert_file, key_file


def server_certificate(state_dir: Path, host: str) -> tuple[Path, Path]:
    """The server's certificate (DER) and key (PEM) in `state_dir`, made there when missing or expiring."""
    cert_file, key_file = state_dir / "server-cert.der", state_dir / "server-key.pem"
    if _usable(cert_file, key_file):
        return cert_file, key_file
    try:
        state_dir.mkdir(mode=0o700, parents=True, exist_ok=True)
    except OSError as exc:
        raise SecurityError(f"{state_dir}: {exc.strerror}") from None
    key = cert_gen.generate_private_key()
    names: list[x509.GeneralName] = [
        x509.UniformResourceIdentifier(APPLICATION_URI),
        x509.DNSName(socket.gethostname()),
    ]
    try:
        names.append(x509.IPAddress(ipaddress.ip_address(host)))
    except ValueError:
        names.append(x509.DNSName(host))
    cert = cert_gen.generate_self_signed_app_certificate(
        key, "cnc-api opcua", {}, names, [ExtendedKeyUsageOID.SERVER_AUTH], days=365 * 2
    )
    try:
        _write_private(key_file, cert_gen.dump_private_key_as_pem(key))
        _write_private(cert_file, cert.public_bytes(serialization.Encoding.DER))
    except OSError as exc:
        raise SecurityError(f"{state_dir}: {exc.strerror}") from None
    return cert_file, key_file
