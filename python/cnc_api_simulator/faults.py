"""Scripted faults of one simulated machine: slow, silent, cut and garbled replies, refusals,
alarms, emergency stops and power cycles, set from the command line, a fleet file, the
control port or a test, and each reported in the request log.

Counted faults (stall, cut, garbage, refusal) count the matching requests the machine gets
from now on, over all its connections; `count=None` keeps a fault on until it is cleared.
"""

from __future__ import annotations

import random
import re
import socket
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Any, Protocol

from . import protocol
from .machine import Machine
from .reqlog import RequestLog, clip
from .text import Line

GARBAGE = {
    "text": b"this is not JSON\n",
    "shape": b'{"res":[true]}\n',  # JSON, but neither a command's outcome nor a query's object
    "byte": b'{"res":"\xb0"}\n',  # a byte that is no character on its own
}
CUT_MODES = ("close", "half")
EMERGENCY_CODE = 1
EMERGENCY_TEXT = "emergency stop"

_OPERATION = re.compile(rb'\s*\{\s*"(?:cmd|get|set)"\s*:\s*"([a-z0-9._]{1,64})"')


def operation(line: Line) -> str | None:
    """The operation a request line names (`cnc.info`), from its first bytes only."""
    match = _OPERATION.match(bytes(line[:200]))
    return match.group(1).decode("ascii") if match else None


class Target(Protocol):
    """What the faults act on: the simulator's current machine and its connections."""

    @property
    def machine(self) -> Machine: ...

    def power_cycle(self) -> None: ...


@dataclass
class _Rule:
    kind: str  # stall, cut, garbage, refuse
    count: int | None  # matching requests still to hit; None: every one
    requests: frozenset[str] | None  # operation names it applies to; None: all
    skip: int = 0  # matching requests let through first (a cut on the Nth)
    option: str = ""  # the cut's mode or the garbage's kind
    probability: float = 1.0

    def describe(self) -> dict[str, Any]:
        out: dict[str, Any] = {"kind": self.kind}
        if self.option:
            out["mode" if self.kind == "cut" else "type"] = self.option
        return out


def _names(requests: Iterable[str] | str | None) -> frozenset[str] | None:
    if requests is None:
        return None
    return frozenset([requests] if isinstance(requests, str) else requests)


def _count(count: int | None) -> int | None:
    if count is not None and (isinstance(count, bool) or not isinstance(count, int) or count < 1):
        raise ValueError("count must be a positive whole number (or None for every request)")
    return count


class Faults:
    """The fault controls of one machine. Thread-safe; every method may run at any time."""

    def __init__(self, name: str, target: Target, log: RequestLog | None = None, seed: int | None = None) -> None:
        self.name = name
        self.log = log
        self._target = target
        self._lock = threading.Lock()
        self._random = random.Random(seed)
        self._latency: tuple[float, float, frozenset[str] | None] | None = None
        self._rules: list[_Rule] = []
        self._alarm_at: tuple[float, int, str] | None = None  # machine clock value, code, text
        self._stopping = threading.Event()  # ends the delays when the simulator stops
        self._armed_line: tuple[int, int, str] | None = None  # an alarm at a line, to report when it fires
        self.engaged = log is not None  # the connection loop takes the slow path only when set

    # ----- reply faults ----------------------------------------------------------------------

    def latency(self, seconds: float, upto: float | None = None, requests: Iterable[str] | str | None = None) -> None:
        """Wait `seconds` before each reply (a random time up to `upto` when given); 0 ends it."""
        if not 0 <= seconds < float("inf") or (upto is not None and not seconds <= upto < float("inf")):
            raise ValueError("latency needs 0 <= seconds <= upto")
        with self._lock:
            self._latency = (
                (seconds, upto if upto is not None else seconds, _names(requests)) if upto or seconds else None
            )
            self._update()

    def stall(self, count: int | None = 1, requests: Iterable[str] | str | None = None) -> None:
        """No reply at all to the next `count` requests (they are read and dropped)."""
        self._add(_Rule("stall", _count(count), _names(requests)))

    def cut(
        self,
        nth: int = 1,
        mode: str = "close",
        probability: float = 1.0,
        requests: Iterable[str] | str | None = None,
        count: int | None = 1,
    ) -> None:
        """Close the connection on the `nth` request from now: without a reply (`close`) or after
        half of it (`half`); then on `count` more (None: on every one). With `probability` below 1,
        each of those requests is cut only at that chance."""
        if mode not in CUT_MODES:
            raise ValueError(f"cut mode must be one of {', '.join(CUT_MODES)}")
        if not 0.0 < probability <= 1.0:
            raise ValueError("probability must be above 0 and at most 1")
        _count(nth)
        if probability < 1.0 and count == 1:
            count = None  # a random cut goes on until cleared
        rule = _Rule("cut", _count(count), _names(requests), nth - 1, mode, probability)
        self._add(rule)

    def garbage(self, kind: str = "text", count: int | None = 1, requests: Iterable[str] | str | None = None) -> None:
        """Reply with a line that is not JSON (`text`), JSON of the wrong shape (`shape`), or holds
        a byte 0x80-0xFF (`byte`); the request itself is carried out."""
        if kind not in GARBAGE:
            raise ValueError(f"garbage kind must be one of {', '.join(GARBAGE)}")
        self._add(_Rule("garbage", _count(count), _names(requests), option=kind))

    def refuse(self, count: int | None = 1, requests: Iterable[str] | str | None = None) -> None:
        """Answer `{"res":false}` without carrying the request out."""
        self._add(_Rule("refuse", _count(count), _names(requests)))

    def clear(self) -> None:
        """End every reply fault and pending alarm (an alarm already raised stays until reset)."""
        with self._lock:
            self._latency = None
            self._rules.clear()
            self._alarm_at = None
            self._armed_line = None
            self._update()
        machine = self._target.machine
        with machine.lock:
            machine.alarm_at_line = None

    def pending(self) -> list[dict[str, Any]]:
        """The counted faults still to hit, with the requests they wait for (`count` None: all)."""
        with self._lock:
            return [{**r.describe(), "count": r.count, "after": r.skip} for r in self._rules]

    def interrupt(self) -> None:
        """Cut every delay short, for good: the simulator is stopping."""
        self._stopping.set()

    def _add(self, rule: _Rule) -> None:
        with self._lock:
            self._rules.append(rule)
            self._update()

    def _update(self) -> None:
        self.engaged = bool(self.log is not None or self._latency or self._rules or self._alarm_at or self._armed_line)

    # ----- machine events --------------------------------------------------------------------

    def alarm(
        self, code: int = 1000, message: str = "alarm", at_time: float | None = None, at_line: int | None = None
    ) -> None:
        """Raise an alarm now, `at_time` seconds of machine time from now, or when the running
        program enters line `at_line`. A `cnc.stop` resets it."""
        if isinstance(code, bool) or not isinstance(code, int) or not isinstance(message, str):
            raise ValueError("an alarm needs a whole number code and a text message")
        if at_line is not None:
            _count(at_line)
        if at_time is not None and (isinstance(at_time, bool) or not 0 <= at_time < float("inf")):
            raise ValueError("at_time must be seconds, 0 or more")
        machine = self._target.machine
        with machine.lock:
            if at_line is not None or (at_time is not None and at_time > 0):
                with self._lock:
                    if at_line is not None:
                        machine.alarm_at_line = self._armed_line = (at_line, code, message)
                    else:
                        assert at_time is not None
                        self._alarm_at = (machine.clock() + at_time / machine.speed, code, message)
                    self._update()
                when = {"at_line": at_line} if at_line is not None else {"at_time": at_time}
                self._report({"kind": "alarm", "code": code, "message": message, **when, "armed": True})
                return
            machine.advance()
            machine.raise_alarm(code, message)
        self._report({"kind": "alarm", "code": code, "message": message})

    def emergency_stop(self) -> None:
        """Halt at once and hold the machine in alarm, through stops, until `release`."""
        machine = self._target.machine
        with machine.lock:
            machine.advance()
            machine.emergency = True
            machine.raise_alarm(EMERGENCY_CODE, EMERGENCY_TEXT)
        self._report({"kind": "emergency_stop"})

    def release(self) -> None:
        """Release the emergency stop: the alarm stays until a `cnc.stop` resets it."""
        machine = self._target.machine
        with machine.lock:
            machine.emergency = False
        self._report({"kind": "release"})

    def power_cycle(self) -> None:
        """Every connection closed, the machine back to its start state, homing lost."""
        self._target.power_cycle()
        self._report({"kind": "power_cycle"})

    def _due_events(self, machine: Machine) -> None:
        with self._lock:
            due = self._alarm_at
            if due is None or machine.clock() < due[0]:
                return
            self._alarm_at = None
            self._update()
        with machine.lock:
            machine.advance(due[0])  # halted where it was at that time, not at this request's
            machine.raise_alarm(due[1], due[2])
        self._report({"kind": "alarm", "code": due[1], "message": due[2]})

    def _line_events(self, machine: Machine) -> None:
        """Report an alarm at a line once the run has entered it."""
        with self._lock:
            armed = self._armed_line
            if armed is None or machine.alarm_at_line is not None:
                return
            self._armed_line = None
            self._update()
        if machine.alarm == (armed[1], armed[2]):
            self._report({"kind": "alarm", "code": armed[1], "message": armed[2], "line": machine.gcode_line})

    def _report(self, fault: dict[str, Any]) -> None:
        if self.log is not None:
            self.log.write(self.name, None, None, None, 0.0, fault)

    # ----- the exchange ----------------------------------------------------------------------

    def _take(self, name: str | None) -> tuple[float, _Rule | None]:
        """The delay and the counted fault that this request meets."""
        with self._lock:
            delay = 0.0
            lat = self._latency
            if lat is not None and (lat[2] is None or name in lat[2]):
                delay = lat[0] if lat[1] == lat[0] else self._random.uniform(lat[0], lat[1])
            for rule in self._rules:
                if rule.requests is not None and name not in rule.requests:
                    continue
                if rule.skip:
                    rule.skip -= 1
                    continue
                if rule.probability < 1.0 and self._random.random() >= rule.probability:
                    continue
                if rule.count is not None:
                    rule.count -= 1
                    if rule.count <= 0:
                        self._rules.remove(rule)
                        self._update()
                return delay, rule
            return delay, None

    def exchange(self, sock: socket.socket, line: Line, peer: str | None) -> bool:
        """Answer one request line with the faults that apply; False when the connection is to close."""
        begun = time.monotonic()
        machine = self._target.machine
        self._due_events(machine)
        delay, rule = self._take(operation(line))
        if delay:
            self._stopping.wait(delay)
        fault: dict[str, Any] | None = rule.describe() if rule is not None else None
        if fault is None and delay:
            fault = {"kind": "latency"}
        if fault is not None and delay:
            fault["delay"] = round(delay, 6)
        kind, option = (rule.kind, rule.option) if rule is not None else ("", "")
        parts: Iterator[bytes] = iter(())
        reply: bytes | None = None
        if kind == "refuse":
            reply = protocol.FALSE_REPLY
        elif kind not in ("stall", "cut") or option == "half":
            parts = protocol.handle_parts(machine, line)
            if kind == "garbage":
                _drain(parts)
                reply = GARBAGE[option]
            elif kind == "cut":
                whole = b"".join(parts)
                reply = whole[: max(1, (len(whole) - 1) // 2)]
            else:  # the first part now, the rest of a long reply as it is made
                reply = next(parts, b"")
        self._line_events(machine)
        if self.log is not None:  # before the reply: a client that has it may read the log at once
            self.log.write(self.name, peer, clip(line), clip(reply), time.monotonic() - begun, fault)
        if reply is not None:
            sock.sendall(reply)
        for part in parts:
            sock.sendall(part)
        if kind == "cut":
            _hang_up(sock)
            return False
        return True


def _drain(parts: Iterator[bytes]) -> None:
    for _ in parts:
        pass


def _hang_up(sock: socket.socket) -> None:
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


FaultCall = Callable[..., None]


def controls(faults: Faults) -> dict[str, FaultCall]:
    """The fault controls by the names the command line, fleet files and control port use."""
    return {
        "latency": faults.latency,
        "stall": faults.stall,
        "cut": faults.cut,
        "garbage": faults.garbage,
        "refuse": faults.refuse,
        "alarm": faults.alarm,
        "emergency_stop": faults.emergency_stop,
        "release": faults.release,
        "power_cycle": faults.power_cycle,
        "clear": faults.clear,
    }
