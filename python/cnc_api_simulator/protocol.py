"""Request lines in, reply lines out: validation and routing to the machine."""

from __future__ import annotations

import json
import logging
import math
import re
from collections.abc import Callable, Iterator
from typing import Any

from .codes import AXIS_NAMES, JC_LAST
from .compiled import Compiled
from .errors import loggable
from .machine import Deferred, Machine, Wait
from .text import JsonString, Line
from .words import MAX_VALUE

FALSE_REPLY = b'{"res":false}\n'

_log = logging.getLogger(__name__)


class BadRequest(Exception):
    pass


def _get(req: dict[str, Any], key: str) -> Any:
    if key not in req:
        raise BadRequest(key)
    return req[key]


def _int(req: dict[str, Any], key: str) -> int:
    value = _get(req, key)
    if type(value) is not int:
        raise BadRequest(key)
    return value


def _number(value: Any) -> Any:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise BadRequest(value)
    try:
        finite = math.isfinite(value)
    except OverflowError:  # an integer of hundreds of digits is no machine value either
        finite = False
    if not finite:
        raise BadRequest(value)
    return value


def _geometry_element(element: Any) -> dict[str, Any]:
    if not isinstance(element, dict) or not isinstance(element.get("name"), str) or not element["name"]:
        raise BadRequest(element)
    checked: dict[str, Any] = dict(element)
    for key in ("x", "y", "z", "scale", "edges.angle"):
        checked[key] = float(_number(_get(element, key)))  # read back as the numbers a control keeps
    color = _get(element, "color")
    if type(color) is not int or not -(1 << 31) <= color < 1 << 32:  # a 32-bit colour, not any integer
        raise BadRequest("color")
    for key in ("visible", "edges.visible"):
        if not isinstance(_get(element, key), bool):
            raise BadRequest(key)
    return checked


def _jog(m: Machine, r: dict[str, Any]) -> Any:
    command = _int(r, "command")
    return 0 <= command <= JC_LAST and m.jog(command)


def _resume(m: Machine, r: dict[str, Any]) -> Any:
    return m.resume(_int(r, "line") if "line" in r else None)


def _get_geometry(m: Machine, r: dict[str, Any]) -> Any:
    names = _get(r, "name")
    if not isinstance(names, list) or not all(isinstance(n, str) for n in names):
        raise BadRequest("name")
    return m.tables.get_geometry(names)


def _set_geometry(m: Machine, r: dict[str, Any]) -> Any:
    data = _get(r, "data")
    if not isinstance(data, list) or not data:
        raise BadRequest("data")
    return m.tables.set_geometry([_geometry_element(e) for e in data])


def _set_parameters(m: Machine, r: dict[str, Any]) -> Any:
    values = _get(r, "parameters")
    if not isinstance(values, list):
        raise BadRequest("parameters")
    return m.tables.set_parameters(_int(r, "address"), [_number(v) for v in values])


def _set_program_position(m: Machine, r: dict[str, Any]) -> Any:
    data = _get(r, "data")
    if not isinstance(data, dict) or not data or any(k not in AXIS_NAMES or len(k) != 1 for k in data):
        raise BadRequest("data")
    values = {k: _number(v) for k, v in data.items()}
    if any(abs(v) > MAX_VALUE for v in values.values()):
        raise BadRequest("data")
    return m.set_program_position(values)


HANDLERS: dict[tuple[str, str], Callable[[Machine, dict[str, Any]], Any]] = {
    ("cmd", "cnc.start"): lambda m, r: m.start(),
    ("cmd", "cnc.stop"): lambda m, r: m.stop(),
    ("cmd", "cnc.pause"): lambda m, r: m.pause(),
    ("cmd", "cnc.continue"): lambda m, r: m.cnc_continue(),
    ("cmd", "cnc.resume"): _resume,
    ("cmd", "cnc.resume.from.line"): lambda m, r: m.start_from_line(_int(r, "line")),
    ("cmd", "cnc.resume.from.point"): lambda m, r: m.start_from_point(_int(r, "point")),
    ("cmd", "cnc.start.from.line"): lambda m, r: m.start_from_line(_int(r, "line")),
    ("cmd", "cnc.start.from.point"): lambda m, r: m.start_from_point(_int(r, "point")),
    ("cmd", "cnc.homing"): lambda m, r: m.homing(_int(r, "axes.mask")),
    ("cmd", "cnc.jog.command"): _jog,
    ("cmd", "cnc.mdi.command"): lambda m, r: m.mdi(_get(r, "command")),
    ("cmd", "program.new"): lambda m, r: m.program_new(),
    ("cmd", "program.load"): lambda m, r: m.program_load(_get(r, "name")),
    ("cmd", "program.save"): lambda m, r: m.program_save(_get(r, "name")),
    ("cmd", "program.gcode.set.text"): lambda m, r: m.program_set_text(_get(r, "text")),
    ("cmd", "program.gcode.add.text"): lambda m, r: m.program_add_text(_get(r, "text")),
    ("cmd", "program.gcode.clear"): lambda m, r: m.program_clear(),
    ("cmd", "program.analysis"): lambda m, r: m.program_analysis(_get(r, "mode")),
    ("cmd", "program.analysis.abort"): lambda m, r: m.program_analysis_abort(),
    ("set", "override"): lambda m, r: isinstance(_get(r, "name"), str) and m.set_override(r["name"], _int(r, "value")),
    ("set", "program.position"): _set_program_position,
    ("set", "cnc.parameters"): _set_parameters,
    ("set", "vm.geometry.info"): _set_geometry,
    ("get", "cnc.parameters"): lambda m, r: m.tables.get_parameters(_int(r, "address"), _int(r, "elements")),
    ("get", "vm.geometry.info"): _get_geometry,
    ("get", "axes.info"): lambda m, r: m.axes_info(),
    ("get", "cnc.info"): lambda m, r: m.alarm_info(m.cnc_info()),
    ("get", "enabled.commands"): lambda m, r: m.enabled_commands(),
    ("get", "compile.info"): lambda m, r: m.compile_info(),
    ("get", "machining.info"): lambda m, r: m.machining_info(),
    ("get", "programmed.points"): lambda m, r: m.programmed_points(),
    ("get", "scan3d.info"): lambda m, r: m.tables.scan3d_info(),
    ("get", "system.info"): lambda m, r: m.tables.system_info(),
    ("get", "digital.inputs"): lambda m, r: m.digital_inputs(),
    ("get", "digital.outputs"): lambda m, r: m.digital_outputs(),
    ("get", "analog.inputs"): lambda m, r: m.analog_inputs(),
    ("get", "analog.outputs"): lambda m, r: m.analog_outputs(),
}


def _reject_constant(name: str) -> None:
    raise ValueError(name)  # NaN and the infinities are not JSON


# Made once: json.dumps with options builds a new encoder per call, a fifth of a status reply's time.
_ENCODER = json.JSONEncoder(allow_nan=False, separators=(",", ":"))


def encode(res: Any) -> bytes:
    try:
        return (_ENCODER.encode({"res": res}) + "\n").encode("ascii")
    except (TypeError, ValueError):
        return FALSE_REPLY


def decode(line: Line) -> dict[str, Any] | None:
    """The request object of one line, or None when the line is not a JSON object."""
    try:
        req = json.loads(str(line, "utf-8"), parse_constant=_reject_constant)
    except (UnicodeDecodeError, ValueError, RecursionError):
        return None
    return req if isinstance(req, dict) and req else None


# A program of many megabytes arrives as one request. Decoded before the reply, its JSON
# string would hold the interpreter for a tenth of a second or more; instead the fixed
# parts of a large set or add request are recognised, and its text is kept as the raw
# bytes it came in, to be decoded in the background (see `text`).
_TEXT_HEAD = re.compile(
    rb'[ \t\r\n]*\{[ \t\r\n]*"cmd"[ \t\r\n]*:[ \t\r\n]*"(program\.gcode\.(?:set|add)\.text)"'
    rb'[ \t\r\n]*,[ \t\r\n]*"text"[ \t\r\n]*:[ \t\r\n]*"'
)
_BLANKS = b" \t\r\n"
BIG_REQUEST = 1 << 16
HEAD_MAX = 256  # bytes in which the fixed head of a text request must end


def _skip_blanks_back(line: Line, end: int) -> int:
    while end and line[end - 1] in _BLANKS:
        end -= 1
    return end


def _text_request(line: Line) -> dict[str, Any] | None:
    """The request of a large set or add line, its text still raw; None for any other line."""
    head = _TEXT_HEAD.match(line, 0, HEAD_MAX)
    if head is None:
        return None
    end = _skip_blanks_back(line, len(line))
    if not end or line[end - 1] != 0x7D:  # }
        return None
    quote = _skip_blanks_back(line, end - 1) - 1
    if quote < head.end() or line[quote] != 0x22:  # "
        return None
    k = quote
    while k > head.end() and line[k - 1] == 0x5C:  # backslashes before the quote
        k -= 1
    if (quote - k) % 2:
        return None  # an escaped quote: the string does not end there
    return {"cmd": head.group(1).decode("ascii"), "text": JsonString(line, head.end(), quote)}


def handle(machine: Machine, line: Line) -> bytes:
    """Answer one request line (bytes, line feed optional) with one reply line."""
    return b"".join(handle_parts(machine, line))


def handle_parts(machine: Machine, line: Line) -> Iterator[bytes]:
    """The reply to one request line in parts to send one after the other: one part, or for
    the programmed points of a long program, slices made as they are sent."""
    req = _text_request(line) if len(line) > BIG_REQUEST else None
    if req is None:
        req = decode(line)
    if req is None:
        yield FALSE_REPLY
        return
    del line
    kind = next(iter(req))  # the first member names the operation
    name = req[kind]
    handler = HANDLERS.get((kind, name)) if isinstance(name, str) else None
    if handler is None:
        yield FALSE_REPLY
        return
    with machine.lock:
        res = _call(machine, handler, req)
    if isinstance(res, Wait):  # wait for the analysis without the lock, then look again
        res.wait()
        with machine.lock:
            machine.advance()
            try:
                res = res.then()
            except Exception as exc:  # a fault of the simulator must not take the connection down
                _log_failure(name, exc)
                res = False
    if isinstance(res, Deferred):
        try:
            res = res.run()
        except Exception as exc:  # a fault of the simulator must not take the connection down
            _log_failure(name, exc)
            res = False
    if isinstance(res, Compiled):
        yield from res.points_reply()
        return
    if kind != "get":
        res = bool(res)
    elif res is None:
        res = {"points": []}
    yield encode(res)


def _call(machine: Machine, handler: Callable[[Machine, dict[str, Any]], Any], req: dict[str, Any]) -> Any:
    machine.advance()
    try:
        return handler(machine, req)
    except BadRequest:
        return False
    except Exception as exc:  # a fault of the simulator must not take the connection down
        _log_failure(next(iter(req.values())), exc)
        return False


def _log_failure(name: object, exc: Exception) -> None:
    """One line per failed request: a peer that repeats a bad request must not fill the log
    with tracebacks (debug logging still shows them)."""
    _log.error(
        "request failed: %r: %s: %.200s",
        name,
        type(exc).__name__,
        loggable(exc),
        exc_info=_log.isEnabledFor(logging.DEBUG),
    )
