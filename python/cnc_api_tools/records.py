"""Records made inspectable without touching their classes.

The module's record classes keep their fields as class-level defaults, which a
query shadows per record; these helpers read both, in declaration order.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import Any

import cnc_api_client_core as cnc

from .codes import CompileState, SpindleStatus, State, axis_letters, code_name

__all__ = [
    "analog_text",
    "as_dict",
    "diff",
    "digital_text",
    "field_names",
    "is_record",
    "records_equal",
    "summary",
]

_RECORD_TYPES: tuple[type, ...] = tuple(
    obj for name, obj in vars(cnc).items() if isinstance(obj, type) and name.startswith("API")
)


def is_record(obj: object) -> bool:
    """True for an instance of one of the module's record classes."""
    return isinstance(obj, _RECORD_TYPES)


def field_names(record_or_class: object) -> list[str]:
    """The declared fields of a record class (or of a record's class), in declaration order."""
    cls = record_or_class if isinstance(record_or_class, type) else type(record_or_class)
    return [name for name, value in vars(cls).items() if not name.startswith("_") and not callable(value)]


def _fields(record: object) -> Iterator[tuple[str, Any]]:
    names = field_names(record)
    for name in names:
        yield name, getattr(record, name)
    own = getattr(record, "__dict__", {})
    for name, value in own.items():  # attributes a caller added beyond the declared ones
        if name not in names and not name.startswith("_"):
            yield name, value


def _plain(value: Any) -> Any:
    if is_record(value):
        return as_dict(value)
    if isinstance(value, list | tuple):
        return [_plain(v) for v in value]
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    return value


def as_dict(record: object) -> dict[str, Any]:
    """The record's fields as a new dict in declaration order; nested records become dicts too.

    Lists are copied, so the dict never aliases a class-level default list.
    """
    if not is_record(record):
        raise TypeError(f"expected a record of cnc_api_client_core, got {type(record).__name__}")
    return {name: _plain(value) for name, value in _fields(record)}


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if type(a) is not type(b):
        # 1 and 1.0 (or True) are not the same reply value
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    return bool(a == b)


def records_equal(a: object, b: object) -> bool:
    """Whether two records are of one class and hold the same values.

    Values compare with their types (the integer 1 differs from 1.0 and from
    True, since a reply may carry either), and not-a-number equals itself.
    """
    return type(a) is type(b) and is_record(a) and _same(as_dict(a), as_dict(b))


def diff(old: object, new: object) -> dict[str, tuple[Any, Any]]:
    """Fields whose values differ between two records of one class: name -> (old, new)."""
    if type(old) is not type(new) or not is_record(old):
        raise TypeError("diff needs two records of the same class")
    a, b = as_dict(old), as_dict(new)
    return {k: (a.get(k), b.get(k)) for k in dict.fromkeys([*a, *b]) if not _same(a.get(k), b.get(k))}


def _num(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:.3f}".rstrip("0").rstrip(".") if math.isfinite(value) else str(value)
    return str(value)


def _positions(values: Any, mask: int = 0b111) -> str:
    if not isinstance(values, list):
        return repr(values)
    letters = axis_letters(mask) or "XYZ"
    return " ".join(f"{ch}{_num(v)}" for ch, v in zip(letters, values, strict=False))


def _summary_cnc_info(r: Any) -> str:
    return (
        f"state={code_name(State, r.state_machine)} line={r.gcode_line} "
        f"feed={r.feed_reference}/{r.feed_target} spindle={r.spindle_actual} "
        f"({code_name(SpindleStatus, r.spindle_status)}) tool={r.tool_id} "
        f"ovr feed={r.override_feed}% spindle={r.override_spindle}% fast={r.override_fast}%"
    )


def _summary_axes_info(r: Any) -> str:
    machine, program = _positions(r.machine_position, 63), _positions(r.program_position, 63)
    return f"machine {machine} program {program} wcs={r.working_wcs}"


def _summary_compile_info(r: Any) -> str:
    text = f"state={code_name(CompileState, r.state)}"
    if r.code or r.message:
        text += f" code={r.code} {r.message!r} at {r.file_name or '<program>'}:{r.file_line}"
    return text


def _summary_enabled(r: Any) -> str:
    on = [name for name, value in _fields(r) if name != "has_data" and value]
    return "enabled: " + (", ".join(on) if on else "none")


def _summary_machining(r: Any) -> str:
    return (
        f"estimated={r.estimated_time} path={_num(r.total_path)} "
        f"(fast {_num(r.tool_path_in_fast)}, feed {_num(r.tool_path_in_feed)}) tools={len(r.used_tool)}"
    )


def digital_text(values: list[Any]) -> str:
    """Digital inputs or outputs in a few words: how many, and the indexes of those that are on."""
    on = [str(i) for i, v in enumerate(values) if v not in (0, False)]
    return f"{len(values)}, on: {' '.join(on) if on else 'none'}"


def analog_text(values: list[Any], separator: str = " ") -> str:
    """Analog values by index: 0=24 1=0.5 ..."""
    return separator.join(f"{i}={_num(v)}" for i, v in enumerate(values))


def _summary_digital(r: Any) -> str:
    return digital_text(r.value) if isinstance(r.value, list) else f"value={r.value!r}"


def _summary_analog(r: Any) -> str:
    return analog_text(r.value) if isinstance(r.value, list) else f"value={r.value!r}"


def _summary_generic(r: Any) -> str:
    parts = []
    for name, value in _fields(r):
        if name == "has_data":
            continue
        if isinstance(value, list) and len(value) > 6:
            parts.append(f"{name}=[{len(value)} items]")
        elif is_record(value):
            parts.append(f"{name}=<{summary(value)}>")
        else:
            parts.append(f"{name}={value!r}")
    return " ".join(parts)


_SUMMARIES = {
    cnc.APICncInfo: _summary_cnc_info,
    cnc.APIAxesInfo: _summary_axes_info,
    cnc.APICompileInfo: _summary_compile_info,
    cnc.APIEnabledCommands: _summary_enabled,
    cnc.APIMachiningInfo: _summary_machining,
    cnc.APIDigitalInputs: _summary_digital,
    cnc.APIDigitalOutputs: _summary_digital,
    cnc.APIAnalogInputs: _summary_analog,
    cnc.APIAnalogOutputs: _summary_analog,
}


def summary(record: object) -> str:
    """One readable line: the record's class, ``no data`` when it was not filled, then its main values."""
    if not is_record(record):
        raise TypeError(f"expected a record of cnc_api_client_core, got {type(record).__name__}")
    name = type(record).__name__
    if getattr(record, "has_data", True) is False:
        return f"{name}: no data"
    return f"{name}: {_SUMMARIES.get(type(record), _summary_generic)(record)}"
