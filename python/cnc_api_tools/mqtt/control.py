"""Commands from .../cmd/COMMAND topics: checked, carried out on the machine, answered on .../reply.

Payload: a JSON object (or nothing), e.g. {"id": 7} for start or {"id": 8, "feed": 80} for override;
`id` comes back in the reply. Without --allow-control every command is refused and nothing is sent
to a machine. A refused command comes back with the control's reason.
"""

from __future__ import annotations

import concurrent.futures
import hmac
import json
import logging
import re
import threading
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from ..explain import explain_refusal
from ..machine import Machine, NotConnected
from ..views import OVERRIDES
from .sinks import dumps

__all__ = ["COMMANDS", "CommandError", "Controller", "parse_command"]

_log = logging.getLogger("cnc_api_tools.mqtt")

MAX_PAYLOAD = 16 * 1024
MAX_PENDING = 32  # commands waiting for a machine, over all machines
MAX_ID = 128
_CONTROL = re.compile(r"[\x00-\x1f\x7f]")

# Command name -> client method, for those without arguments.
_PLAIN = {"start": "cnc_start", "stop": "cnc_stop", "pause": "cnc_pause", "continue": "cnc_continue"}
_PLAIN["resume"] = "cnc_continue"
COMMANDS = (*_PLAIN, "load", "override")


class CommandError(ValueError):
    """A command that cannot be carried out as sent; the message goes back in the reply."""


@dataclass(frozen=True)
class Call:
    command: str
    calls: tuple[tuple[str, tuple[Any, ...]], ...]  # (client method, arguments), in order
    id: Any = None


def parse_command(command: str, payload: bytes, token: str | None) -> Call:
    """The calls a command stands for; raises CommandError saying what is wrong."""
    if len(payload) > MAX_PAYLOAD:
        raise CommandError(f"payload larger than {MAX_PAYLOAD} bytes")
    body: Any = {}
    if payload.strip():
        try:
            body = json.loads(payload)
        except (ValueError, UnicodeDecodeError) as exc:
            raise CommandError(f"payload is not JSON: {exc}") from None
        except RecursionError:
            raise CommandError("payload is nested too deeply") from None
    if not isinstance(body, dict):
        raise CommandError("payload must be a JSON object")
    ident = body.pop("id", None)
    if ident is not None and (isinstance(ident, bool) or not isinstance(ident, int | str) or len(str(ident)) > MAX_ID):
        raise CommandError(f"'id' must be a number or a string of at most {MAX_ID} characters")
    given = body.pop("token", None)
    if token is not None and not (isinstance(given, str) and hmac.compare_digest(given.encode(), token.encode())):
        raise CommandError("missing or wrong token")
    if command in _PLAIN:
        _no_more(body)
        return Call(command, ((_PLAIN[command], ()),), ident)
    if command == "load":
        program = body.pop("program", None)
        _no_more(body)
        if not isinstance(program, str) or not program.strip() or len(program) > 4096 or _CONTROL.search(program):
            raise CommandError("'program' must be the program's file name")
        return Call(command, (("program_load", (program,)),), ident)
    if command == "override":
        calls = []
        for key, value in body.items():
            if key not in OVERRIDES:  # also keeps the method name below to the known ones
                raise CommandError(f"unknown override {key!r} (known: {', '.join(OVERRIDES)})")
            if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 1000:
                raise CommandError(f"override {key!r} must be a whole number of percent")
            calls.append(("set_override_" + key.replace("-", "_"), (value,)))
        if not calls:
            raise CommandError(f"name at least one override ({', '.join(OVERRIDES)})")
        return Call(command, tuple(calls), ident)
    raise CommandError(f"unknown command {command!r} (known: {', '.join(COMMANDS)})")


def request_id(payload: bytes) -> Any:
    """The payload's `id` when it has a usable one, else None; never raises."""
    if len(payload) > MAX_PAYLOAD:
        return None
    try:
        body = json.loads(payload)
    except (ValueError, UnicodeDecodeError, RecursionError):
        return None
    ident = body.get("id") if isinstance(body, dict) else None
    if isinstance(ident, bool) or not isinstance(ident, int | str) or len(str(ident)) > MAX_ID:
        return None
    return ident


def _no_more(body: dict[str, Any]) -> None:
    if body:
        raise CommandError(f"unexpected key {sorted(body)[0]!r}")


Reply = Callable[[str, bytes], None]


class Controller:
    """Carries out commands on a few threads of its own, never on the broker's network thread."""

    def __init__(self, allowed: bool, token: str | None, workers: int = 4) -> None:
        self.allowed = allowed
        self.token = token
        self._pool = concurrent.futures.ThreadPoolExecutor(workers, thread_name_prefix="cnc-api-mqtt-cmd")
        self._pending = threading.BoundedSemaphore(MAX_PENDING)

    def handle(self, machine: Machine | None, command: str, payload: bytes, reply: Reply, topic: str) -> None:
        answer: dict[str, Any] = {"command": command, "ok": False}
        ident = request_id(payload)
        if ident is not None:  # so that even a refused or malformed command can be matched to its reply
            answer["id"] = ident
        try:
            if machine is None:
                raise CommandError("unknown machine")
            if not self.allowed:
                raise CommandError("control is not allowed: the bridge runs without --allow-control")
            call = parse_command(command, payload, self.token)
            answer["id"] = call.id
        except CommandError as exc:
            answer["error"] = str(exc)
            reply(topic, dumps(answer))
            return
        if not self._pending.acquire(blocking=False):
            answer["error"] = "busy: too many commands waiting"
            reply(topic, dumps(answer))
            return
        try:
            self._pool.submit(self._run, machine, call, answer, reply, topic)
        except RuntimeError:  # shutting down
            self._pending.release()

    def _run(self, machine: Machine, call: Call, answer: dict[str, Any], reply: Reply, topic: str) -> None:
        try:
            answer.update(carry_out(machine, call))
        except Exception as exc:  # the reply must come whatever happened
            _log.exception("command %s on %s failed", call.command, machine.name)
            answer["error"] = f"failed: {exc}"
        finally:
            self._pending.release()
        reply(topic, dumps(answer))

    def stop(self) -> None:
        self._pool.shutdown(wait=True, cancel_futures=True)


def carry_out(machine: Machine, call: Call) -> dict[str, Any]:
    try:
        with machine.use() as client:
            for method, args in call.calls:
                if getattr(client, method)(*args) is True:
                    continue
                if not client.is_connected:
                    return {"ok": False, "error": "lost the connection to the machine"}
                return {"ok": False, "reason": explain_refusal(client, method, *args)}
    except NotConnected as exc:
        return {"ok": False, "error": f"machine is down: {exc.reason or 'not connected'}"}
    return {"ok": True}
