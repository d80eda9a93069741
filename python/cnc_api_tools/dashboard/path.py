"""The tool path drawn on the machine page, made from the programmed points a control reports.

The control passes its points through untouched, and controls differ in their
shape: a point is read from a list of coordinates (``[x, y, z, ...]``) or from
an object with ``x``/``y``/``z`` members (or a ``position`` list), and its move
kind from a member such as ``type``, ``kind`` or ``rapid`` when there is one.
Where the points carry no kind, the program text, when the dashboard can read
it, tells rapid from feed moves, provided its motion blocks match the points
one for one; otherwise the path is drawn in one colour.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

__all__ = ["FEED", "RAPID", "ToolPath", "build_path", "motion_moves", "point_of", "simplify"]

RAPID = 0
FEED = 1

_RAPID_NAMES = {"rapid", "fast", "traverse", "g0", "g00", "0"}
_FEED_NAMES = {"feed", "linear", "line", "arc", "cw", "ccw", "g1", "g01", "g2", "g02", "g3", "g03", "1", "2", "3"}
_KIND_KEYS = ("type", "kind", "move", "motion", "g")
_RAPID_FLAGS = ("rapid", "fast", "is_rapid")
_POSITION_KEYS = ("position", "pos", "point", "xyz", "p")


def _number(value: Any) -> float | None:
    if isinstance(value, bool) or not isinstance(value, int | float):
        return None
    try:
        number = float(value)
    except OverflowError:  # an integer beyond any float
        return None
    return number if math.isfinite(number) else None


def _kind(value: Any) -> int | None:
    if isinstance(value, bool):
        return None
    if isinstance(value, int | float):
        value = str(int(value)) if float(value).is_integer() else ""
    if not isinstance(value, str):
        return None
    name = value.strip().lower()
    if name in _RAPID_NAMES:
        return RAPID
    if name in _FEED_NAMES:
        return FEED
    return None


def _coordinates(values: Sequence[Any]) -> tuple[float, float, float] | None:
    if len(values) < 2:
        return None
    numbers = [_number(v) for v in values[:3]]
    if any(n is None for n in numbers):
        return None
    x, y = numbers[0], numbers[1]
    z = numbers[2] if len(numbers) > 2 else 0.0
    assert x is not None and y is not None and z is not None
    return x, y, z


def point_of(entry: Any) -> tuple[tuple[float, float, float], int | None] | None:
    """One reported entry as ((x, y, z), kind or None); None when it holds no finite point."""
    if isinstance(entry, list | tuple):
        xyz = _coordinates(entry)
        return None if xyz is None else (xyz, None)
    if not isinstance(entry, dict):
        return None
    members = {str(k).lower(): v for k, v in entry.items()}
    xyz = None
    if "x" in members and "y" in members:
        xyz = _coordinates([members["x"], members["y"], members.get("z", 0.0)])
    else:
        for key in _POSITION_KEYS:
            if isinstance(members.get(key), list | tuple):
                xyz = _coordinates(members[key])
                break
    if xyz is None:
        return None
    kind = None
    for key in _KIND_KEYS:
        if key in members:
            kind = _kind(members[key])
            if kind is not None:
                break
    if kind is None:
        for key in _RAPID_FLAGS:
            if isinstance(members.get(key), bool):
                kind = RAPID if members[key] else FEED
                break
    return xyz, kind


# ----- move kinds from the program text ----------------------------------------------------------

_COMMENT = re.compile(r"\([^)]*\)")
_WORD = re.compile(r"([A-Z])\s*([-+]?(?:\d+\.?\d*|\.\d+))")
_AXIS_LETTERS = frozenset("XYZABCUVW")
# G-codes whose axis words are no move of their own.
_NO_MOVE = {4.0, 10.0, 52.0, 92.0, 92.1, 92.2, 92.3}


def motion_moves(lines: Iterable[str]) -> list[tuple[int, int]] | None:
    """(kind, line number) of every motion block of a plain program, in order.

    None when the program uses what a line-by-line reading cannot follow
    (parameters, expressions, subprograms, canned cycles, reference-point moves):
    its moves do not map onto its blocks one for one.
    """
    motion: int | None = None
    moves: list[tuple[int, int]] = []
    for number, raw in enumerate(lines, 1):
        text = _COMMENT.sub("", raw).split(";", 1)[0].upper().strip()
        if not text or text.startswith("%"):
            continue
        if "#" in text or "[" in text or text.startswith("O"):
            return None
        moving = False
        no_move = False
        for letter, value in _WORD.findall(text):
            if letter == "G":
                g = float(value)
                if g == 0.0:
                    motion = RAPID
                elif g in (1.0, 2.0, 3.0):
                    motion = FEED
                elif g == 80.0:
                    motion = None
                elif g in _NO_MOVE:
                    no_move = True
                elif g in (28.0, 30.0, 53.0) or 73.0 <= g <= 89.0 or g in (38.2, 38.3, 38.4, 38.5, 76.0):
                    return None
            elif letter == "M" and float(value) in (98.0, 99.0):
                return None
            elif letter in _AXIS_LETTERS:
                moving = True
        if moving and not no_move and motion is not None:
            moves.append((motion, number))
    return moves


# ----- the path ---------------------------------------------------------------------------------


@dataclass(frozen=True)
class ToolPath:
    """Points in program order; ``kinds[i]`` is the kind of the move that ends at point i."""

    xyz: list[float]  # x0, y0, z0, x1, y1, z1, ...
    kinds: bytes | None  # RAPID or FEED per point; None when the kinds are unknown
    reported: int  # entries the control reported
    skipped: int = 0  # entries that held no finite point
    simplified: int = 0  # points dropped as too close to draw apart
    lines: list[int] | None = None  # program line of the move ending at each point, where known

    @property
    def count(self) -> int:
        return len(self.xyz) // 3

    def bounds(self) -> tuple[list[float], list[float]] | None:
        if not self.xyz:
            return None
        return (
            [min(self.xyz[axis::3]) for axis in range(3)],
            [max(self.xyz[axis::3]) for axis in range(3)],
        )

    def as_json(self, version: int) -> dict[str, Any]:
        box = self.bounds()
        return {
            "version": version,
            "count": self.count,
            "reported": self.reported,
            "skipped": self.skipped,
            "simplified": self.simplified,
            "kinds_known": self.kinds is not None,
            "xyz": [round(v, 4) + 0.0 for v in self.xyz],
            "kinds": "" if self.kinds is None else self.kinds.decode("ascii"),
            "lines": self.lines,
            "bounds": None if box is None else {"min": box[0], "max": box[1]},
        }


EMPTY_PATH = ToolPath([], None, 0)


def build_path(entries: Any, program: Sequence[str] | None = None) -> ToolPath:
    """The path from a reported `points` value (any shape) and, for move kinds, the program's lines."""
    if not isinstance(entries, list | tuple):
        return EMPTY_PATH
    xyz: list[float] = []
    kinds: list[int | None] = []
    extend, append = xyz.extend, kinds.append
    for entry in entries:
        # The common shape first, cheaply: a list of finite floats (x - x is 0 for those only).
        if type(entry) is list and len(entry) >= 3:
            x, y, z = entry[0], entry[1], entry[2]
            if type(x) is float and type(y) is float and type(z) is float and x - x == y - y == z - z == 0.0:
                extend((x, y, z))
                append(None)
                continue
        point = point_of(entry)
        if point is None:
            continue
        extend(point[0])
        append(point[1])
    skipped = len(entries) - len(kinds)
    known: bytes | None = None
    lines: list[int] | None = None
    if any(k is not None for k in kinds):
        known = bytes(ord("0") + (FEED if k is None else k) for k in kinds)
    elif program is not None and not skipped and kinds:
        moves = motion_moves(program)
        if moves is not None and len(moves) == len(kinds):
            known = bytes(ord("0") + kind for kind, _ in moves)
            lines = [line for _, line in moves]
    return ToolPath(xyz, known, len(entries), skipped, lines=lines)


def simplify(path: ToolPath, relative_tolerance: float = 2e-5) -> ToolPath:
    """Drop points closer to the last one kept than `relative_tolerance` of the path's diagonal.

    The points on either side of a change of move kind, and the last point, are
    always kept, so the drawing looks the same at any zoom a screen can show.
    """
    box = path.bounds()
    if box is None or path.count < 3:
        return path
    diagonal = math.dist(box[0], box[1])
    tolerance = diagonal * relative_tolerance
    if tolerance <= 0.0:
        return path
    limit = tolerance * tolerance
    src, kinds, lines = path.xyz, path.kinds, path.lines
    out = src[0:3]
    out_kinds = bytearray(kinds[0:1]) if kinds is not None else None
    out_lines = lines[0:1] if lines is not None else None
    lx, ly, lz = src[0], src[1], src[2]
    last = path.count - 1
    for i in range(1, path.count):
        x, y, z = src[3 * i], src[3 * i + 1], src[3 * i + 2]
        if i != last:
            dx, dy, dz = x - lx, y - ly, z - lz
            # A run of one kind keeps its first and last points, so runs meet where they did.
            same_run = kinds is None or (
                out_kinds is not None and kinds[i] == out_kinds[-1] and kinds[i + 1] == kinds[i]
            )
            if same_run and dx * dx + dy * dy + dz * dz < limit:
                continue
        out.extend((x, y, z))
        if out_kinds is not None and kinds is not None:
            out_kinds.append(kinds[i])
        if out_lines is not None and lines is not None:
            out_lines.append(lines[i])
        lx, ly, lz = x, y, z
    dropped = path.count - len(out) // 3
    return ToolPath(
        out,
        bytes(out_kinds) if out_kinds is not None else None,
        path.reported,
        path.skipped,
        path.simplified + dropped,
        out_lines,
    )
