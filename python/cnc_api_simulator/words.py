"""Small helpers on word values and positions."""

from __future__ import annotations

from .errors import ERR_VALUE, GCodeError
from .expr import Value

MAX_VALUE = 1e9  # words beyond this are refused, so positions and times stay finite
AXES = "XYZABC"
PLANE_AXES = {17: (0, 1, 2), 18: (2, 0, 1), 19: (1, 2, 0)}  # per plane: first, second, normal axis


def bounded(text: str, letter: str) -> float:
    x = float(text)
    if not -MAX_VALUE <= x <= MAX_VALUE:
        raise GCodeError("number out of range", f"{letter}{text[:12]}", ERR_VALUE)
    return x


def with_axis(p: list[float], axis: int, value: float) -> list[float]:
    t = list(p)
    t[axis] = value
    return t


def truth(v: Value) -> bool:
    return v is not None and v != 0.0


def has_axes(w: dict[str, float]) -> bool:
    return any(a in w for a in "XYZABCUVW@^")


def num(value: float) -> str:
    return str(int(value)) if value == int(value) else f"{value:g}"
