"""The methods of a machine object, for authenticated users when the bridge allows control.

A call runs the command on a worker thread through the machine's handle (the poller takes the
same lock, so a call and a poll never share the connection at once). A refusal comes back as
BadInvalidState with the control's reason as the output argument "Reason"; a machine that is
down as BadNoCommunication; a wrong argument as BadTypeMismatch or BadOutOfRange with the
argument marked.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import logging
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import cnc_api_client_core as cnc
from asyncua import Node, ua

from ..codes import State
from ..explain import CommandRefused, checked_call
from ..machine import Machine, NotConnected
from ..views import OVERRIDES

__all__ = ["METHODS", "Controller", "add_methods"]

_log = logging.getLogger(__name__)

# Longest wait for a command; the module's own reply time-out ends a silent one sooner.
CALL_TIMEOUT = 15.0
# Calls waiting or running at once over all machines; more are refused rather than queued.
MAX_PENDING = 32
MAX_NAME = 1024

_INTEGERS = {
    ua.VariantType.SByte,
    ua.VariantType.Byte,
    ua.VariantType.Int16,
    ua.VariantType.UInt16,
    ua.VariantType.Int32,
    ua.VariantType.UInt32,
    ua.VariantType.Int64,
    ua.VariantType.UInt64,
}


@dataclass(frozen=True)
class Method:
    name: str
    description: str
    inputs: tuple[tuple[str, ua.VariantType, str], ...] = ()


METHODS = (
    Method("Start", "Start the loaded program."),
    Method("Stop", "Stop the machine."),
    Method("Pause", "Pause the running program."),
    Method("Resume", "Continue a paused program, or resume a stopped one."),
    Method(
        "LoadProgram", "Load a program file by its name on the control.", (("Name", ua.VariantType.String, "File"),)
    ),
    Method(
        "SetOverride",
        "Set an override: Name is one of " + ", ".join(OVERRIDES) + "; Percent its new value.",
        (("Name", ua.VariantType.String, "Override"), ("Percent", ua.VariantType.Int32, "New value, percent")),
    ),
)


class BadArgument(Exception):
    def __init__(self, position: int, code: int, count: int) -> None:
        super().__init__(position)
        self.position = position
        self.code = code
        self.count = count


def _argument(name: str, kind: ua.VariantType, description: str) -> ua.Argument:
    arg = ua.Argument()
    arg.Name = name
    arg.DataType = ua.NodeId(kind.value)
    arg.ValueRank = -1
    arg.Description = ua.LocalizedText(description)
    return arg


def _check(args: tuple[Any, ...], method: Method) -> list[Any]:
    """The plain values of the arguments, or BadArgument for the first that does not fit."""
    count = len(method.inputs)
    if len(args) != count:
        raise BadArgument(
            -1, ua.StatusCodes.BadArgumentsMissing if len(args) < count else ua.StatusCodes.BadTooManyArguments, count
        )
    values: list[Any] = []
    for n, ((_, kind, _), arg) in enumerate(zip(method.inputs, args, strict=True)):
        variant = arg if isinstance(arg, ua.Variant) else ua.Variant(arg)
        if kind is ua.VariantType.String:
            if variant.VariantType is not ua.VariantType.String or not isinstance(variant.Value, str):
                raise BadArgument(n, ua.StatusCodes.BadTypeMismatch, count)
            if not variant.Value or len(variant.Value) > MAX_NAME or "\0" in variant.Value:
                raise BadArgument(n, ua.StatusCodes.BadOutOfRange, count)
        elif variant.VariantType not in _INTEGERS or isinstance(variant.Value, bool):
            raise BadArgument(n, ua.StatusCodes.BadTypeMismatch, count)
        elif not -(2**31) <= variant.Value < 2**31:  # an Int64 or UInt64 beyond what the command takes
            raise BadArgument(n, ua.StatusCodes.BadOutOfRange, count)
        values.append(variant.Value)
    return values


def _command(method: str, values: list[Any], client: cnc.CncAPIClientCore) -> None:
    """Run one method's command on a connected client; CommandRefused says why it was refused."""
    if method == "Start":
        checked_call(client, "cnc_start")
    elif method == "Stop":
        checked_call(client, "cnc_stop")
    elif method == "Pause":
        checked_call(client, "cnc_pause")
    elif method == "Resume":
        info = client.get_cnc_info()
        if info.has_data and info.state_machine == State.PAUSE:
            checked_call(client, "cnc_continue")
        else:
            checked_call(client, "cnc_resume", 0)
    elif method == "LoadProgram":
        checked_call(client, "program_load", values[0])
    elif method == "SetOverride":
        checked_call(client, "set_override_" + OVERRIDES[values[0]].removeprefix("override_"), values[1])


def _result(code: int, reason: str = "", bad_at: int = -1, count: int = 0) -> ua.CallMethodResult:
    res = ua.CallMethodResult()
    res.StatusCode = ua.StatusCode(code)
    res.OutputArguments = [ua.Variant(reason, ua.VariantType.String)]
    if bad_at >= 0:
        res.InputArgumentResults = [ua.StatusCode(code if n == bad_at else ua.StatusCodes.Good) for n in range(count)]
    return res


class Controller:
    """Runs the methods of every machine on a few worker threads."""

    def __init__(self, machines: list[Machine], workers: int = 4) -> None:
        self.machines = machines
        self._pool = concurrent.futures.ThreadPoolExecutor(workers, thread_name_prefix="cnc-api-opcua-call")
        self._pending = 0

    def close(self) -> None:
        self._pool.shutdown(wait=False, cancel_futures=True)

    def _run(self, index: int, method: str, values: list[Any]) -> tuple[int, str]:
        machine = self.machines[index]
        try:
            with machine.use() as client:
                _command(method, values, client)
        except NotConnected as exc:
            return ua.StatusCodes.BadNoCommunication, str(exc)
        except CommandRefused as exc:
            return ua.StatusCodes.BadInvalidState, exc.reason
        except Exception as exc:  # a fault of ours, told to the caller rather than as a bare BadUnexpectedError
            _log.exception("%s on %s failed", method, machine.name)
            return ua.StatusCodes.BadInternalError, f"{method} failed: {exc}"
        return ua.StatusCodes.Good, ""

    def handler(self, index: int, object_id: ua.NodeId, method: Method) -> Callable[..., Any]:
        async def call(parent: ua.NodeId, *args: Any) -> ua.CallMethodResult:
            if parent != object_id:
                return _result(ua.StatusCodes.BadMethodInvalid, f"{method.name} belongs to another object")
            try:
                values = _check(args, method)
            except BadArgument as exc:
                return _result(exc.code, f"{method.name}: wrong arguments", exc.position, exc.count)
            if method.name == "SetOverride" and values[0] not in OVERRIDES:
                known = ", ".join(OVERRIDES)
                return _result(ua.StatusCodes.BadOutOfRange, f"no override {values[0]!r}; one of {known}", 0, 2)
            if self._pending >= MAX_PENDING:
                return _result(ua.StatusCodes.BadTooManyOperations, "too many calls under way; try again")
            self._pending += 1
            try:
                loop = asyncio.get_running_loop()
                future = loop.run_in_executor(self._pool, self._run, index, method.name, values)
                code, reason = await asyncio.wait_for(future, CALL_TIMEOUT)
            except TimeoutError:
                return _result(ua.StatusCodes.BadTimeout, f"{method.name}: no answer from the machine in time")
            finally:
                self._pending -= 1
            return _result(code, reason)

        return call


async def add_methods(obj: Node, idx: int, name: str, index: int, controller: Controller) -> dict[ua.NodeId, str]:
    """Add the methods to a machine object; returns method node -> method name."""
    made: dict[ua.NodeId, str] = {}
    for method in METHODS:
        node = await obj.add_method(
            ua.NodeId(f"{name}/{method.name}", idx),
            ua.QualifiedName(method.name, idx),
            controller.handler(index, obj.nodeid, method),
            [_argument(*arg) for arg in method.inputs],
            [_argument("Reason", ua.VariantType.String, "Why the call failed; empty when it succeeded.")],
        )
        await node.write_attribute(ua.AttributeIds.Description, ua.DataValue(ua.LocalizedText(method.description)))
        made[node.nodeid] = method.name
    return made
