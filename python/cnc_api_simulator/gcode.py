"""A small G-code interpreter that turns program text into timed motion segments.

Supported: G0 G1 G2 G3 (I/J centre, XY plane) G4 (P seconds) G17-G19 G20 G21
G40 G49 G54-G59 G61 G64 G80 G90 G91 G91.1 G94, M0 M1 M2 M3 M4 M5 M6 M7 M8
M9 M30, F S T N O words, axis words X Y Z A B C, "( )" and ";" comments.
Coordinates are kept in millimetres (degrees for A B C) whatever G20/G21 say.
"""

import math
import re
from dataclasses import dataclass, field, replace

from .codes import AXIS_COUNT, SS_CCW, SS_CW, SS_OFF, UM_IMPERIAL, UM_METRIC

DEFAULT_FEED = 1000.0  # mm/min, used until the program sets F
ARC_STEP = math.radians(2.0)  # chord angle when arcs are cut into lines
MAX_VALUE = 1e9  # larger words are refused, so positions and times stay finite

ERR_SYNTAX = 1
ERR_UNSUPPORTED = 2
ERR_VALUE = 3
ERR_ARC = 4

_AXES = "XYZABC"
_WORD = re.compile(r"\s*([A-Z])\s*([+-]?(?:\d+\.?\d*|\.\d+))")
_COMMENT = re.compile(r"\([^()]*\)")
_LETTERS = set(_AXES) | set("GMTSFNOIJKP")
_MODAL_G = {17, 18, 19, 20, 21, 40, 49, 54, 55, 56, 57, 58, 59, 61, 64, 80, 90, 91, 91.1, 94}
_M_CODES = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 30}


class CompileError(Exception):
    def __init__(self, line, code, message):
        super().__init__(message)
        self.line = line
        self.code = code
        self.message = message


@dataclass(frozen=True)
class Modal:
    """Modal state that a block leaves behind for the next ones."""
    motion: int = 0
    absolute: bool = True
    units: int = UM_METRIC
    plane: int = 17
    feed: float = DEFAULT_FEED
    spindle_speed: int = 0
    spindle_dir: int = SS_OFF
    mist: bool = False
    flood: bool = False
    tool: int = 0
    wcs: int = 1


@dataclass(frozen=True)
class Segment:
    kind: str  # "rapid", "feed", "dwell" or "pause"
    start: tuple
    end: tuple
    length: float
    line: int  # 1-based line of the program text
    move: int  # index into Program.points; -1 for dwell and pause
    modal: Modal
    duration: float = 0.0  # dwell seconds


@dataclass
class Program:
    segments: list = field(default_factory=list)
    points: list = field(default_factory=list)  # end point [x, y, z] of every move
    modal: Modal = Modal()  # state after the last block
    error: CompileError = None


def path_length(a, b):
    """Tool path of a straight move: XYZ distance, or the rotary distance for rotary-only moves."""
    linear = math.dist(a[:3], b[:3])
    return linear if linear > 0.0 else math.dist(a[3:], b[3:])


def parse(text, start=(0.0,) * AXIS_COUNT, modal=None):
    """Interpret the whole text; stops at the first bad line and records it in Program.error."""
    interp = _Interpreter(tuple(float(v) for v in start), modal or Modal())
    try:
        for number, raw in enumerate(text.splitlines(), 1):
            if interp.block(raw, number):
                break
    except CompileError as exc:
        interp.program.error = exc
    interp.program.modal = interp.modal
    return interp.program


class _Interpreter:
    def __init__(self, start, modal):
        self.pos = start
        self.modal = modal
        self.program = Program()

    def block(self, raw, line):
        """Run one line; returns True at program end (M2/M30)."""
        words = _tokenize(raw, line)
        if not words:
            return False
        gs = [v for k, v in words if k == "G"]
        ms = [v for k, v in words if k == "M"]
        other = {}
        for k, v in words:
            if k in "GM":
                continue
            if k in other:
                raise CompileError(line, ERR_SYNTAX, f"Word {k} appears twice")
            other[k] = v

        change = {}  # collected first: most blocks change nothing and keep the same Modal
        dwell = False
        for g in gs:
            if g in (0, 1, 2, 3):
                change["motion"] = int(g)
            elif g == 4:
                dwell = True
            elif g in (17, 18, 19):
                change["plane"] = int(g)
            elif g in (20, 21):
                change["units"] = UM_IMPERIAL if g == 20 else UM_METRIC
            elif g in (90, 91):
                change["absolute"] = g == 90
            elif 54 <= g <= 59 and g == int(g):
                change["wcs"] = int(g) - 53
            elif g not in _MODAL_G:
                raise CompileError(line, ERR_UNSUPPORTED, f"Unsupported G code G{_num(g)}")
        scale = 25.4 if change.get("units", self.modal.units) == UM_IMPERIAL else 1.0

        if "F" in other:
            if other["F"] <= 0:
                raise CompileError(line, ERR_VALUE, "Feed rate must be positive")
            change["feed"] = other["F"] * scale
        if "S" in other:
            if other["S"] < 0:
                raise CompileError(line, ERR_VALUE, "Spindle speed must not be negative")
            change["spindle_speed"] = int(round(other["S"]))
        if "T" in other:
            if other["T"] < 0 or other["T"] != int(other["T"]):
                raise CompileError(line, ERR_VALUE, "Tool number must be a whole number")
            change["tool"] = int(other["T"])
        for code in ms:
            if code not in _M_CODES:
                raise CompileError(line, ERR_UNSUPPORTED, f"Unsupported M code M{_num(code)}")
            if code in (3, 4):
                change["spindle_dir"] = SS_CW if code == 3 else SS_CCW
            elif code == 5:
                change["spindle_dir"] = SS_OFF
            elif code == 7:
                change["mist"] = True
            elif code == 8:
                change["flood"] = True
            elif code == 9:
                change["mist"] = change["flood"] = False
        m = self.modal
        if any(getattr(m, k) != v for k, v in change.items()):
            m = self.modal = replace(m, **change)

        if dwell:
            seconds = other.get("P", 0.0)
            if seconds < 0:
                raise CompileError(line, ERR_VALUE, "Dwell time must not be negative")
            self._add(Segment("dwell", self.pos, self.pos, 0.0, line, -1, m, seconds))
        elif any(a in other for a in _AXES) or (m.motion in (2, 3) and ("I" in other or "J" in other)):
            self._move(other, line, scale)

        if 0 in ms:
            self._add(Segment("pause", self.pos, self.pos, 0.0, line, -1, self.modal))
        if 2 in ms or 30 in ms:
            self.modal = replace(self.modal, spindle_dir=SS_OFF, mist=False, flood=False)
            return True
        return False

    def _move(self, words, line, scale):
        m = self.modal
        target = list(self.pos)
        for i, axis in enumerate(_AXES):
            if axis in words:
                value = words[axis] * (scale if i < 3 else 1.0)
                target[i] = value if m.absolute else self.pos[i] + value
        target = tuple(target)
        move = len(self.program.points)
        if m.motion in (0, 1):
            kind = "rapid" if m.motion == 0 else "feed"
            self._add(Segment(kind, self.pos, target, path_length(self.pos, target), line, move, m))
        else:
            self._arc(target, words, line, scale, move)
        self.program.points.append([target[0], target[1], target[2]])
        self.pos = target

    def _arc(self, target, words, line, scale, move):
        m = self.modal
        if m.plane != 17:
            raise CompileError(line, ERR_ARC, "Arcs are supported in the XY plane only")
        if "I" not in words and "J" not in words:
            raise CompileError(line, ERR_ARC, "Arc needs an I or J centre offset")
        start = self.pos
        cx = start[0] + words.get("I", 0.0) * scale
        cy = start[1] + words.get("J", 0.0) * scale
        r0 = math.hypot(start[0] - cx, start[1] - cy)
        r1 = math.hypot(target[0] - cx, target[1] - cy)
        if r0 < 1e-9:
            raise CompileError(line, ERR_ARC, "Arc radius is zero")
        if abs(r0 - r1) > max(0.002, 0.001 * r0):
            raise CompileError(line, ERR_ARC, "Arc end point is not on the arc")
        a0 = math.atan2(start[1] - cy, start[0] - cx)
        a1 = math.atan2(target[1] - cy, target[0] - cx)
        sweep = (a0 - a1) if m.motion == 2 else (a1 - a0)
        sweep %= 2 * math.pi
        if sweep < 1e-9:
            sweep = 2 * math.pi
        sign = -1.0 if m.motion == 2 else 1.0
        steps = max(1, math.ceil(sweep / ARC_STEP))
        prev = start
        for k in range(1, steps + 1):
            f = k / steps
            if k == steps:
                point = target
            else:
                a = a0 + sign * sweep * f
                r = r0 + (r1 - r0) * f
                point = (cx + r * math.cos(a), cy + r * math.sin(a)) + tuple(
                    s + (t - s) * f for s, t in zip(start[2:], target[2:]))
            self._add(Segment("feed", prev, point, path_length(prev, point), line, move, m))
            prev = point

    def _add(self, segment):
        self.program.segments.append(segment)


def _tokenize(raw, line):
    text = raw.split(";", 1)[0]
    if "(" in text or ")" in text:
        text = _COMMENT.sub(" ", text)
        if "(" in text or ")" in text:
            raise CompileError(line, ERR_SYNTAX, "Unbalanced comment")
    text = text.strip().upper()
    if text.startswith("%"):
        return []
    text = text.lstrip("/").rstrip()
    words = []
    end = 0
    for match in _WORD.finditer(text):
        if match.start() != end:
            break
        letter = match.group(1)
        if letter not in _LETTERS:
            raise CompileError(line, ERR_SYNTAX, f"Unknown word {letter}")
        value = float(match.group(2))
        if not abs(value) <= MAX_VALUE:
            raise CompileError(line, ERR_VALUE, f"Number out of range in word {letter}")
        words.append((letter, value))
        end = match.end()
    if end != len(text):
        raise CompileError(line, ERR_SYNTAX, f"Syntax error at '{text[end:end + 12].strip()}'")
    return words


def _num(value):
    return str(int(value)) if value == int(value) else str(value)
