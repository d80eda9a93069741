"""G-code interpreter: runs a program's text into timed segments.

Dialect: the common milling/turning G-code with numbered and named parameters,
bracketed expressions, O-word subroutines and control flow, and the macro forms of
program-number controls (M98/M99, G65, IF/GOTO, WHILE/DO/END). Coordinates are kept
in millimetres and degrees whatever G20/G21 say.
"""

from __future__ import annotations

import copy
import logging
import math
import os
from collections.abc import Callable

from . import cycles, storage
from .codes import SS_CCW, SS_CW, SS_OFF, UM_IMPERIAL, UM_METRIC
from .config import DEFAULT_BLEND_TOLERANCE, MachineConfig
from .errors import ERR_ARC, ERR_FLOW, ERR_LIMIT, ERR_SYNTAX, ERR_UNSUPPORTED, ERR_VALUE, GCodeError
from .expr import Node, ParamRef, Value
from .lexer import ARC as ARC_LINE
from .lexer import ARC_WORDS, LINE, PAIRS, SIMPLE, Block, Macro, OWord, clean, parse_block, strip_comments
from .program import LINE as FEED
from .program import RAPID, Builder, Modal, finish
from .source import Place, Source
from .state import AXIS_COUNT, WCS_COUNT, Modes, State
from .words import AXES, MAX_VALUE, PLANE_AXES, bounded, has_axes, num, truth

_log = logging.getLogger(__name__)

DEFAULT_FEED = 1000.0  # mm/min until the program sets F
MAX_DEPTH = 64  # subroutine nesting
CHECK_EVERY = 2048  # lines between looks at the cancel flag
ARC_TOLERANCE = 0.005  # mm the end of an arc may miss its circle (plus 0.1 % of the radius)

_INCREMENTAL = {"U": 0, "V": 1, "W": 2}  # lathe-style incremental X, Y, Z
_G65_LETTERS = {
    "A": 1,
    "B": 2,
    "C": 3,
    "I": 4,
    "J": 5,
    "K": 6,
    "D": 7,
    "E": 8,
    "F": 9,
    "H": 11,
    "M": 13,
    "Q": 17,
    "R": 18,
    "S": 19,
    "T": 20,
    "U": 21,
    "V": 22,
    "W": 23,
    "X": 24,
    "Y": 25,
    "Z": 26,
}
_ARC_WORDS = {17: ("I", "J"), 18: ("K", "I"), 19: ("J", "K")}
_SIMPLE_KEYS = frozenset("XYZABCFN")

_MOTION = frozenset((0, 10, 20, 30, 50, 51, 52, 320, 330, 331, 382, 383, 384, 385, 760))
_CYCLES = frozenset((730, 740, 810, 820, 830, 840, 850, 860, 870, 880, 890))
_LATHE_CYCLES = frozenset((700, 710, 720, 750))  # G70 finish, G71/G72 rough, G75 groove
_WCS = {540: 1, 550: 2, 560: 3, 570: 4, 580: 5, 590: 6, 591: 7, 592: 8, 593: 9}
_SPLINE_CHORD = 0.2  # mm: a spline is run as chords of about this length

_LOOP_ENDS = frozenset(("ENDWHILE", "ENDREPEAT", "WHILE"))
_IF_NEXT = frozenset(("ELSEIF", "ELSE", "ENDIF"))
_ENDIF = frozenset(("ENDIF",))
_ENDSUB = frozenset(("ENDSUB",))
_ENDWHILE = frozenset(("ENDWHILE",))
_WHILE = frozenset(("WHILE",))
_REPEAT = frozenset(("REPEAT",))
_ENDREPEAT = frozenset(("ENDREPEAT",))
_DO = frozenset(("DO",))


class Frame:
    """A subroutine or macro call: where to return and what to restore."""

    __slots__ = ("src", "ret", "saved", "named", "label", "repeat", "entry", "loops", "counters", "line")

    def __init__(
        self,
        src: Source,
        ret: Place,
        saved: dict[int, float] | None,
        label: str,
        repeat: int,
        entry: Place,
        line: int,
    ) -> None:
        self.src = src
        self.ret = ret  # where to go on from in the caller's source
        self.saved = saved  # the caller's local parameters, when the call has its own
        self.named: dict[str, float] = {}
        self.label = label
        self.repeat = repeat  # further passes through the body (M98 L, G65 L)
        self.entry = entry  # first body line
        self.loops: dict[int, Place] = {}  # WHILE/DO m -> its head
        self.counters: dict[int, int] = {}  # REPEAT line index -> passes left
        self.line = line  # line of the main program that made the call


class Result:
    """A compiled program, or the error that stopped it."""

    def __init__(self, builder: Builder, state: State, error: GCodeError | None, line_count: int, pauses: bool) -> None:
        self.builder = builder
        self.state = state
        self.error = error
        self.line_count = line_count
        self.pauses = pauses


class Interpreter:
    def __init__(
        self,
        text: str,
        state: State,
        config: MachineConfig,
        *,
        file_name: str = "",
        programs_dir: str | None = None,
        cancelled: Callable[[], bool] | None = None,
        keep_modes: bool = False,
    ) -> None:
        self.config = config
        self.state = state
        self.programs_dir = programs_dir
        self.cancelled = cancelled
        self.main = Source(file_name, text)
        self.src = self.main
        self.i = 0  # index of the next line
        self.at = 0  # offset of the next line
        self.here = 0  # offset of the line being run
        self.line = 0
        self.frames: list[Frame] = []
        self.ended = False
        self.jumped = False
        self.lines_run = 0
        self.pauses = False
        self.files: dict[str, Source] = {}
        self._macro_style: bool | None = None  # unset parameters read as vacant, not 0
        self.modal_stack: list[Modes] = []
        modes = state.modes if keep_modes else Modes()
        self.m = modes
        self.pos = list(state.position)
        self.b = Builder(config, self.pos)
        self.b.guard = self._check_moves
        self.tool = state.tool
        self._immediate_tool: bool | None = None
        self._update_offset()
        self._modal_dirty = True
        self._modal = 0
        self.init_level = 0.0  # drill-axis level when a canned cycle began
        self.cycle_words: dict[str, float] = {}
        self.fanuc_g76: tuple[float, float] = (1.0, 0.0)  # finishing passes, minimum depth
        self.probe = [0.0] * AXIS_COUNT
        # G68 rotation in the working plane: (centre 1, centre 2, cos, sin) in program coordinates
        self.rot: tuple[float, float, float, float] | None = None
        self.polar = False  # G16: the plane's first axis word is a radius, the second an angle
        self.polar_last = [0.0, 0.0]  # radius and angle, both modal under G16
        self.transformed = False  # rotation or polar mode: moves take the general path
        self.lathe_retract = 0.5  # G71/G72 R, G74/G75 R (mm)
        self.lathe_depth = 1.0  # G71/G72 U (radius), depth of one roughing pass
        self.spline_last: tuple[float, float] | None = None  # G5: the last control vector, for the next I J
        self.seen_percent = False
        self._budget = CHECK_EVERY
        self._main_loops: dict[int, Place] = {}
        self._main_counters: dict[int, int] = {}

    # ----- running ----------------------------------------------------------------------------------

    def run(self) -> Result:
        error: GCodeError | None = None
        try:
            self._loop()
            if not self.ended and self.frames:
                raise GCodeError("the file ends inside a subroutine", "", ERR_FLOW)
            if self.cancelled is None or not self.cancelled():
                finish(self.b)
        except GCodeError as exc:
            error = exc
        except (ArithmeticError, ValueError) as exc:
            error = GCodeError(f"value out of range ({exc})", "", ERR_VALUE)
        except RecursionError:
            error = GCodeError("expression nested too deeply", "", ERR_SYNTAX)
        except Exception as exc:  # a fault of the simulator: an error of this line, not a dead analysis
            _log.exception("analysis failed at line %d", self.line)
            error = GCodeError(f"the simulator cannot run this line ({type(exc).__name__}: {exc})", "", ERR_UNSUPPORTED)
        if error is not None and not error.line:
            error.line = self.line
            error.file = "" if self.src is self.main else self.src.name
        self.state.position = list(self.pos)
        self.state.tool = self.tool
        self.state.modes = self.m
        count = self.main.line_count
        for src in [self.main, *self.files.values()]:
            src.release()
        return Result(self.b, self.state, error, count, self.pauses)

    def _check_moves(self) -> None:
        if self.cancelled is not None and self.cancelled():
            raise GCodeError("the analysis was stopped", "", ERR_LIMIT)
        if len(self.b.kinds) > self.config.max_segments:
            raise GCodeError("the program makes too many moves", "", ERR_LIMIT)

    def _loop(self) -> None:  # noqa: C901
        lines_of = LINE.finditer
        arc_line = ARC_LINE.fullmatch
        simple = SIMPLE.fullmatch
        pairs = PAIRS.findall
        main = self.main
        big = 2 * MAX_VALUE
        cancelled = self.cancelled
        b = self.b
        kinds, ends, numbers, modals, feeds = b.kinds, b.ends, b.lines, b.modals, b.feeds
        while not self.ended:
            src = self.src
            text = src.text
            n = len(text)
            i = self.i
            self.jumped = False
            budget = self._budget
            at_end = True
            fresh = True  # the locals of the fast path below need reading from the interpreter
            for mt in lines_of(text, self.at):
                start = mt.start()
                if start >= n:
                    break
                i += 1
                budget -= 1
                if not budget:
                    self.line = i
                    budget = CHECK_EVERY
                    self.lines_run += CHECK_EVERY
                    if cancelled is not None and cancelled():
                        self.ended = True
                        return
                    if self.lines_run > self.config.max_run_lines:
                        raise GCodeError("the program runs too long (an endless loop?)", "", ERR_LIMIT)
                    if len(kinds) > self.config.max_segments:
                        raise GCodeError("the program makes too many moves", "", ERR_LIMIT)
                gm, xs, ys, zs, fs, raw = mt.groups()
                if raw is None:
                    # A plain straight move (or a line of only N, G0/G1 or F): the common case of
                    # long programs, written out here with the modal state in locals. Position
                    # and line number go back to the interpreter before anything else runs.
                    if fresh:
                        mo = self.m
                        fast_ok = not mo.cycle and not self.transformed
                        scale = 25.4 if mo.imperial else 1.0
                        absolute = mo.absolute
                        ox, oy, oz = self.off[0], self.off[1], self.off[2]
                        px, py, pz, pa, pb, pc = self.pos
                        own_line = src is main or not self.frames
                        feed_ok = mo.feed_mode == 94 and mo.feed_given and mo.feed > 0.0
                        rate = mo.feed * scale
                        fresh = False
                    if gm is not None:
                        motion = 0.0 if gm == "0" else 1.0
                        if mo.cycle:
                            mo.cycle = 0
                            fast_ok = not self.transformed
                        mo.motion = motion
                    else:
                        motion = mo.motion
                    if fs is not None:
                        self.line = i
                        self._feed(bounded(fs, "F"))
                        feed_ok = mo.feed_mode == 94 and mo.feed_given and mo.feed > 0.0
                        rate = mo.feed * scale
                    if xs is None and ys is None and zs is None:
                        continue
                    if fast_ok and (motion == 0.0 or motion == 1.0):
                        if absolute:
                            x = px if xs is None else float(xs) * scale + ox
                            y = py if ys is None else float(ys) * scale + oy
                            z = pz if zs is None else float(zs) * scale + oz
                        else:
                            x = px if xs is None else px + float(xs) * scale
                            y = py if ys is None else py + float(ys) * scale
                            z = pz if zs is None else pz + float(zs) * scale
                        if not (-big < x < big and -big < y < big and -big < z < big):
                            self.line = i
                            bounded(xs or "0", "X"), bounded(ys or "0", "Y"), bounded(zs or "0", "Z")
                        if self._modal_dirty:
                            self._modal_index()
                        ends.extend((x, y, z, pa, pb, pc))
                        modals.append(self._modal)
                        if own_line:
                            numbers.append(i)
                        else:
                            self.line = i
                            numbers.append(self._report_line())
                        if motion == 0.0:
                            kinds.append(0)
                            feeds.append(0.0)
                        else:
                            kinds.append(1)
                            if feed_ok:
                                feeds.append(rate)
                            else:
                                self.line = i
                                self.pos = [px, py, pz, pa, pb, pc]
                                f, seconds = self._rate([x, y, z, pa, pb, pc])
                                feeds.append(-seconds if seconds > 0.0 else f)
                        px, py, pz = x, y, z
                        continue
                    raw = mt.group().rstrip("\n")
                if not fresh:
                    self.pos = [px, py, pz, pa, pb, pc]
                    fresh = True
                self.line = i
                self.here = start
                self.i, self.at = i, mt.end()
                ma = arc_line(raw)
                if ma is not None:
                    # an arc with constant words: straight to the arc, past the general reader
                    mo = self.m
                    gm = ma.group(1)
                    if gm is not None:
                        mo.motion = 2.0 if gm == "2" else 3.0
                        mo.cycle = 0
                    if (mo.motion == 2.0 or mo.motion == 3.0) and not mo.cycle and not self.transformed:
                        w: dict[str, float] = {}
                        for letter, v in zip(ARC_WORDS, ma.groups()[1:], strict=True):
                            if v is not None:
                                w[letter] = bounded(v, letter)
                        if "F" in w:
                            self._feed(w.pop("F"))
                        if w:
                            self._arc(mo.motion == 2.0, w)
                        continue
                if "(" in raw or ";" in raw or ")" in raw:
                    raw = strip_comments(raw)
                s = "".join(raw.upper().split())
                if not s:
                    continue
                c0 = s[0]
                if c0 == "/" or c0 == "%":
                    if c0 == "%":
                        if self.seen_percent and src is main:
                            self.ended = True  # the closing '%': nothing after it is read
                            return
                        self.seen_percent = True
                        continue
                    if self.config.block_delete:
                        continue
                if simple(s):
                    g: list[float] = []
                    m: list[float] = []
                    w = {}
                    for k, v in pairs(s):
                        x = float(v)
                        if not -MAX_VALUE <= x <= MAX_VALUE:
                            raise GCodeError("number out of range", f"{k}{v[:12]}", ERR_VALUE)
                        if k == "G":
                            g.append(x)
                        elif k == "M":
                            m.append(x)
                        elif k in w:
                            raise GCodeError(f"word {k} appears twice on the line", k, ERR_SYNTAX)
                        else:
                            w[k] = x
                    self.execute(g, m, w)
                else:
                    block = src.cache.get(i)
                    if block is None:
                        s = clean(raw)
                        if not s:
                            continue
                        block = parse_block(s)
                        if i <= src.furthest:  # a line run again (a loop, a call): kept for next time
                            src.cache[i] = block
                        else:
                            src.furthest = i
                    self._block(block)
                if self.jumped or self.ended:
                    at_end = False
                    break
            if not fresh:
                self.pos = [px, py, pz, pa, pb, pc]
            self.line = i
            self._budget = budget
            if not at_end:
                continue
            self.i, self.at = i, n
            if self.frames and self.src is not self.main and not self.ended:
                frame = self.frames[-1]
                if frame.src is not self.src:
                    self._return(None)  # a subroutine file without M99 or ENDSUB returns at its end
                    continue
            return

    @property
    def macro_style(self) -> bool:
        if self._macro_style is None:
            self._macro_style = self.main.has_macro
        return self._macro_style

    @macro_style.setter
    def macro_style(self, value: bool) -> None:
        self._macro_style = value

    @property
    def immediate_tool(self) -> bool:
        """Without any M6 in the program, T changes the tool at once."""
        if self._immediate_tool is None:
            self._immediate_tool = not self.main.has_m6
        return self._immediate_tool

    def _report_line(self) -> int:
        """Line shown while a move runs: in a subroutine file, the main program's calling line."""
        if self.src is self.main or not self.frames:
            return self.line
        return self.frames[-1].line

    # ----- parameters -------------------------------------------------------------------------------

    def get(self, index: float) -> Value:
        k = int(index)
        if k != index or k < 0:
            raise GCodeError(f"parameter number {index:g} is not a whole number", f"#{index:g}", ERR_VALUE)
        if k == 0:
            return None  # #0 is always vacant
        st = self.state
        v = st.params.get(k)
        if v is not None:
            return v
        sysv = self._system_param(k)
        if sysv is not None:
            return sysv
        return None if self.macro_style else 0.0

    def _system_param(self, k: int) -> float | None:
        st = self.state
        if 5061 <= k <= 5066:
            return self.probe[k - 5061]
        if 5161 <= k <= 5166:
            return st.g28[k - 5161]
        if 5181 <= k <= 5186:
            return st.g30[k - 5181]
        if 5211 <= k <= 5216:
            return st.g92[k - 5211]
        if k == 5220:
            return float(st.active_wcs)
        if 5221 <= k < 5221 + 20 * WCS_COUNT:
            n, axis = divmod(k - 5221, 20)
            return st.wcs[n][axis] if axis < AXIS_COUNT else 0.0
        if k == 5400:
            return float(self.tool)
        if 5401 <= k <= 5406:
            return st.tlo[k - 5401]
        if 5420 <= k <= 5425:
            return self.pos[k - 5420] - self.off[k - 5420]
        if 5426 <= k <= 5428:
            return 0.0  # U V W: no axes of their own
        if 5001 <= k <= 5006:  # a program-number control's block end position
            return self.pos[k - 5001] - self.off[k - 5001]
        if 5021 <= k <= 5026:  # ... machine position
            return self.pos[k - 5021]
        if 5041 <= k <= 5046:  # ... work position
            return self.pos[k - 5041] - self.off[k - 5041]
        if k == 4001:
            return self.m.motion
        if k == 4003:
            return 90.0 if self.m.absolute else 91.0
        if k == 4006:
            return 20.0 if self.m.imperial else 21.0
        if k == 4109:
            return self.m.feed
        if k == 4119:
            return self.m.speed
        if k == 4120:
            return float(self.tool)
        return None

    def set(self, ref: ParamRef, value: Value) -> None:
        if ref.name is not None:
            self._set_named(ref.name, value)
            return
        index = ref.index
        raw = index if isinstance(index, float) else (index(self) if index is not None else None)
        if raw is None:
            raise GCodeError("parameter number is vacant", "#", ERR_VALUE)
        k = int(raw)
        if k != raw or k <= 0:
            raise GCodeError(f"cannot set parameter {raw:g}", f"#{raw:g}", ERR_VALUE)
        st = self.state
        if k == 3000:
            raise GCodeError(
                f"alarm {value:g} raised by the program" if value is not None else "alarm raised", "#3000", ERR_FLOW
            )
        if value is None:
            st.params.pop(k, None)
            return
        if 5221 <= k < 5221 + 20 * WCS_COUNT and (k - 5221) % 20 < AXIS_COUNT:
            n, axis = divmod(k - 5221, 20)
            st.wcs[n][axis] = value
            self._update_offset()
            return
        if 5161 <= k <= 5166:
            st.g28[k - 5161] = value
            return
        if 5181 <= k <= 5186:
            st.g30[k - 5181] = value
            return
        st.params[k] = value

    def _set_named(self, name: str, value: Value) -> None:
        v = 0.0 if value is None else value
        if name.startswith("_") or not self.frames:
            self.state.named[name] = v
        else:
            self.frames[-1].named[name] = v

    def get_named(self, name: str) -> Value:
        if self.frames and not name.startswith("_"):
            v = self.frames[-1].named.get(name)
            if v is not None:
                return v
        v = self.state.named.get(name)
        if v is not None:
            return v
        if name.startswith(("_HAL[", "_INI[")):
            # pins and settings of a control's configuration: vacant here, so a word such as
            # F#<_hal[cut-feed-rate]> is left out and 0 stands in for them in arithmetic
            return None
        sysv = self._system_named(name)
        if sysv is None:
            raise GCodeError("named parameter is not defined", f"#<{name.lower()}>", ERR_VALUE)
        return sysv

    def exists(self, name: str) -> bool:
        if self.frames and self.frames[-1].named.get(name) is not None:
            return True
        return name in self.state.named or self._system_named(name) is not None

    def _system_named(self, name: str) -> float | None:
        m = self.m
        if len(name) == 2 and name[0] == "_" and name[1] in AXES:
            i = AXES.index(name[1])
            return self.pos[i] - self.off[i]
        if len(name) == 6 and name.startswith("_ABS_") and name[5] in AXES:
            return self.pos[AXES.index(name[5])]
        if name in ("_U", "_V", "_W", "_ABS_U", "_ABS_V", "_ABS_W"):
            return 0.0  # no axes of their own here
        state = self.state
        table: dict[str, float] = {
            "_METRIC": float(not m.imperial),
            "_IMPERIAL": float(m.imperial),
            "_ABSOLUTE": float(m.absolute),
            "_INCREMENTAL": float(not m.absolute),
            "_INVERSE_TIME": float(m.feed_mode == 93),
            "_UNITS_PER_MINUTE": float(m.feed_mode == 94),
            "_UNITS_PER_REV": float(m.feed_mode == 95),
            "_IJK_ABSOLUTE_MODE": float(m.arc_absolute),
            "_LATHE_DIAMETER_MODE": float(m.diameter),
            "_LATHE_RADIUS_MODE": float(not m.diameter),
            "_SPINDLE_RPM_MODE": float(not m.css),
            "_SPINDLE_CSS_MODE": float(m.css),
            "_FEED": m.feed,
            "_RPM": m.speed,
            "_CURRENT_TOOL": float(self.tool),
            "_SELECTED_TOOL": float(m.next_tool),
            "_CURRENT_POCKET": float(self.tool),
            "_SELECTED_POCKET": float(m.next_tool),
            "_LINE": float(self.line),
            "_MOTION_MODE": m.motion * 10.0,
            "_PLANE": m.plane * 10.0,
            "_CCOMP": float(m.cutter_comp),
            "_COORD_SYSTEM": float(_wcs_code(state.active_wcs)),
            "_TOOL_OFFSET": float(any(state.tlo)),
            "_RETRACT_R": float(m.retract_to_r),
            "_RETRACT_OLD": float(not m.retract_to_r),
            "_SPINDLE_ON": float(m.spindle != SS_OFF),
            "_SPINDLE_CW": float(m.spindle == SS_CW),
            "_SPINDLE_CCW": float(m.spindle == SS_CCW),
            "_MIST": float(m.mist),
            "_FLOOD": float(m.flood),
            "_SPEED_OVERRIDE": 1.0,
            "_FEED_OVERRIDE": 1.0,
            "_ADAPTIVE_FEED": 0.0,
            "_FEED_HOLD": 0.0,
            "_TASK": 1.0,
            "_CALL_LEVEL": float(len(self.frames)),
            "_REMAP_LEVEL": 0.0,
            "_VALUE": state.named.get("_VALUE", 0.0),
            "_VALUE_RETURNED": state.named.get("_VALUE_RETURNED", 0.0),
        }
        return table.get(name)

    def _eval(self, node: Node) -> Value:
        return node if isinstance(node, float) else node(self)

    # ----- blocks -----------------------------------------------------------------------------------

    def _block(self, b: Block) -> None:
        if b.oword is not None and b.oword.keyword:
            self._oword(b.oword)
            return
        if b.macro is not None:
            self._macro(b.macro)
            return
        values: dict[str, float] = {}
        for letter, node in b.words.items():
            v = node if isinstance(node, float) else node(self)
            if v is not None:
                if not -MAX_VALUE <= v <= MAX_VALUE:
                    raise GCodeError("number out of range", f"{letter}{v:g}"[:14], ERR_VALUE)
                values[letter] = v
        g: list[float] = []
        for node in b.g:
            v = node if isinstance(node, float) else node(self)
            if v is not None:
                g.append(v)
        m: list[float] = []
        for node in b.m:
            v = node if isinstance(node, float) else node(self)
            if v is not None:
                m.append(v)
        if b.assigns:
            results = [(ref, self._eval(expr)) for ref, expr in b.assigns]
            for ref, value in results:
                self.set(ref, value)
        if values or g or m:
            self.execute(g, m, values)

    def _macro(self, mac: Macro) -> None:
        self.macro_style = True
        kind = mac.kind
        if kind in ("IF_GOTO", "IF_THEN"):
            assert mac.cond is not None
            if not truth(self._eval(mac.cond)):
                return
            if kind == "IF_THEN":
                assert mac.then is not None
                self._block(mac.then)
                return
            kind = "GOTO"
        if kind == "GOTO":
            assert mac.target is not None
            number = self._whole(mac.target, "GOTO")
            place = self.src.n_label(number, self.i - 1)
            if place is None:
                raise GCodeError(f"no line N{number} to go to", f"GOTO{number}", ERR_FLOW)
            self._jump(place)
            return
        assert mac.target is not None
        loop = self._whole(mac.target, kind)
        frame_loops = self.frames[-1].loops if self.frames else self._main_loops
        if kind == "WHILE":
            assert mac.cond is not None
            if truth(self._eval(mac.cond)):
                frame_loops[loop] = (self.i - 1, self.here)
            else:
                frame_loops.pop(loop, None)
                after = self.src.end_of_loop(loop, (self.i, self.at))
                if after is None:
                    raise GCodeError(f"WHILE ... DO {loop} has no END {loop}", f"DO{loop}", ERR_FLOW)
                self._jump(after)
        elif kind == "DO":
            frame_loops[loop] = (self.i - 1, self.here)
        else:  # END m
            head = frame_loops.get(loop)
            if head is None:
                raise GCodeError(f"END {loop} without a WHILE or DO {loop}", f"END{loop}", ERR_FLOW)
            self._jump(head)

    def _whole(self, node: Node, word: str) -> int:
        v = self._eval(node)
        if v is None or v != int(v):
            raise GCodeError("needs a whole number", word, ERR_VALUE)
        return int(v)

    def _jump(self, place: Place) -> None:
        self.i, self.at = place
        self.jumped = True

    def _after(self, entry: tuple[int, str, int]) -> Place:
        """The line after an O-word's line."""
        return entry[0] + 1, self.src.next_line(entry[2])

    # ----- O-words ----------------------------------------------------------------------------------

    def _oword(self, o: OWord) -> None:
        kw = o.keyword
        src = self.src
        here = self.i - 1
        label = o.label
        word = f"O{label} {kw}" if label.isdigit() else f"O<{label}> {kw}"
        if kw == "SUB":
            end = src.find(label, _ENDSUB, here)
            if end is None:
                raise GCodeError("subroutine without ENDSUB", word, ERR_FLOW)
            self._jump(self._after(end))
        elif kw in ("ENDSUB", "RETURN"):
            if not self.frames:
                raise GCodeError(f"{kw} outside a subroutine", word, ERR_FLOW)
            value = self._eval(o.args[0]) if o.args else None
            self._return(value)
        elif kw == "CALL":
            args = [self._eval(a) for a in o.args]
            self._call_sub(label, args, word)
        elif kw == "IF":
            self._if(label, o.args[0], here, word)
        elif kw in ("ELSEIF", "ELSE"):
            end = src.find(label, _ENDIF, here)
            if end is None:
                raise GCodeError(f"{kw} without ENDIF", word, ERR_FLOW)
            self._jump(self._after(end))
        elif kw == "ENDIF" or kw == "DO":
            pass
        elif kw == "WHILE":
            if src.previous_keyword(label, here) == "DO":
                if truth(self._eval(o.args[0])):
                    head = src.find_before(label, _DO, here)
                    assert head is not None
                    self._jump(self._after(head))
            elif not truth(self._eval(o.args[0])):
                end = src.find(label, _ENDWHILE, here)
                if end is None:
                    raise GCodeError("WHILE without ENDWHILE", word, ERR_FLOW)
                self._jump(self._after(end))
        elif kw == "ENDWHILE":
            head = src.find_before(label, _WHILE, here)
            if head is None:
                raise GCodeError("ENDWHILE without WHILE", word, ERR_FLOW)
            self._jump((head[0], head[2]))
        elif kw == "REPEAT":
            counters = self.frames[-1].counters if self.frames else self._main_counters
            left = counters.get(here)
            if left is None:
                count = self._eval(o.args[0])
                left = int(count or 0.0)
            if left > 0:
                counters[here] = left - 1
            else:
                counters.pop(here, None)
                end = src.find(label, _ENDREPEAT, here)
                if end is None:
                    raise GCodeError("REPEAT without ENDREPEAT", word, ERR_FLOW)
                self._jump(self._after(end))
        elif kw == "ENDREPEAT":
            head = src.find_before(label, _REPEAT, here)
            if head is None:
                raise GCodeError("ENDREPEAT without REPEAT", word, ERR_FLOW)
            self._jump((head[0], head[2]))
        elif kw in ("BREAK", "CONTINUE"):
            end = src.find(label, _LOOP_ENDS, here)
            if end is None:
                raise GCodeError(f"{kw} outside a loop", word, ERR_FLOW)
            index, end_kw, _ = end
            if end_kw == "WHILE" and src.previous_keyword(label, index) != "DO":
                end = src.find(label, _ENDWHILE, here)
                if end is None:
                    raise GCodeError(f"{kw} outside a loop", word, ERR_FLOW)
                index, end_kw, _ = end
            if kw == "BREAK":
                if end_kw == "ENDREPEAT":
                    head = src.find_before(label, _REPEAT, index)
                    counters = self.frames[-1].counters if self.frames else self._main_counters
                    if head is not None:
                        counters.pop(head[0], None)
                self._jump(self._after(end))
            elif end_kw == "WHILE":  # do-while: go and test the condition
                self._jump((end[0], end[2]))
            else:
                head = src.find_before(label, _REPEAT if end_kw == "ENDREPEAT" else _WHILE, index)
                assert head is not None
                self._jump((head[0], head[2]))

    def _if(self, label: str, cond: Node, here: int, word: str) -> None:
        if truth(self._eval(cond)):
            return
        src = self.src
        at = here
        while True:
            nxt = src.find(label, _IF_NEXT, at)
            if nxt is None:
                raise GCodeError("IF without ENDIF", word, ERR_FLOW)
            index, kw, offset = nxt
            if kw != "ELSEIF":
                self._jump(self._after(nxt))
                return
            block = src.cache.get(index + 1)
            if block is None:
                block = parse_block(clean(src.line_at(offset)))
                src.cache[index + 1] = block
            assert block.oword is not None
            if truth(self._eval(block.oword.args[0])):
                self._jump(self._after(nxt))
                return
            at = index

    def _call_sub(self, label: str, args: list[Value], word: str) -> None:
        src = self.src
        head = src.definition(label, "SUB")
        target = src
        if head is None and src is not self.main:
            head = self.main.definition(label, "SUB")
            target = self.main
        if head is None:
            target = self._file(label, word)
            head = target.definition(label, "SUB")
        entry = (head[0] + 1, target.next_line(head[2])) if head is not None else (0, 0)
        saved = {k: v for k, v in self.state.params.items() if k <= 30}
        for k in list(self.state.params):
            if k <= 30:
                del self.state.params[k]
        for n, v in enumerate(args, 1):
            if v is not None:
                self.state.params[n] = v
        self._push(Frame(src, (self.i, self.at), saved, label, 0, entry, self._report_line()), target, entry)

    def _push(self, frame: Frame, target: Source, entry: Place) -> None:
        if len(self.frames) >= MAX_DEPTH:
            word = f"O{frame.label}" if frame.label.isdigit() else f"O<{frame.label.lower()}>"
            raise GCodeError("subroutines nested too deeply", word, ERR_FLOW)
        self.frames.append(frame)
        self.src = target
        self._jump(entry)

    def _return(self, value: Value) -> None:
        frame = self.frames[-1]
        if frame.repeat > 0:
            frame.repeat -= 1
            frame.loops.clear()
            frame.counters.clear()
            self._jump(frame.entry)
            return
        self.frames.pop()
        if frame.saved is not None:
            params = self.state.params
            for k in [k for k in params if k <= 33]:
                del params[k]
            params.update(frame.saved)
        if value is not None:
            self.state.named["_VALUE"] = value
            self.state.named["_VALUE_RETURNED"] = 1.0
        else:
            self.state.named["_VALUE_RETURNED"] = 0.0
        self.src = frame.src
        self._jump(frame.ret)

    def _has_file(self, label: str) -> bool:
        try:
            self._file(label, "")
        except GCodeError:
            return False
        return True

    def _file(self, label: str, word: str) -> Source:
        """A subroutine or subprogram kept in its own file of the programs directory."""
        src = self.files.get(label)
        if src is not None:
            return src
        names = [
            f"{label.lower()}.ngc",
            f"{label}.ngc",
            f"{label.lower()}.nc",
            f"O{label}",
            f"O{label}.nc",
            f"o{label}.nc",
            f"{label}.nc",
            f"{label}.txt",
        ]
        if label.isdigit() and self.programs_dir:
            declared = storage.find_declared(self.programs_dir, int(label))  # O3001 at the start of side.nc
            if declared is not None:
                names.append(declared)
        for name in names:
            path = storage.resolve(self.programs_dir, name) if self.programs_dir else None
            if path and os.path.isfile(path):
                text = storage.read(path)
                if text is not None:
                    src = self.files[label] = Source(name, text)
                    return src
        raise GCodeError(f"no subroutine {label} in the program or the programs directory", word, ERR_FLOW)

    def _call_program(self, number: int, repeat: int, args: dict[str, float] | None, word: str) -> None:
        self.macro_style = True
        label = str(number)
        src = self.src
        head = src.definition(label, "")
        target = src
        if head is None and self.main is not src:
            head = self.main.definition(label, "")
            target = self.main
        if head is None and repeat == 1 and args is None and len(label) > 4:
            count, label4 = int(label[:-4]), str(int(label[-4:]))
            head = src.definition(label4, "")
            if head is not None:
                label, repeat = label4, count
        if head is None:
            if 9000 <= number <= 9999 and not self._has_file(label):
                return  # a maker's macro kept in the control (probing, tool setting): nothing to run here
            target = self._file(label, word)
            head = target.definition(label, "")
        entry = (head[0] + 1, target.next_line(head[2])) if head is not None else (0, 0)
        if repeat <= 0:
            return
        saved = None
        if args is not None:
            saved = {k: v for k, v in self.state.params.items() if k <= 33}
            for k in list(saved):
                del self.state.params[k]
            for letter, value in args.items():
                self.state.params[_G65_LETTERS[letter]] = value
        self._push(Frame(src, (self.i, self.at), saved, label, repeat - 1, entry, self._report_line()), target, entry)

    # ----- words to actions ---------------------------------------------------------------------------

    def _update_offset(self) -> None:
        self.off = self.state.offset()
        self._modal_dirty = True

    def _modal_index(self) -> int:
        if self._modal_dirty:
            m = self.m
            self._modal = self.b.modal(
                Modal(
                    UM_IMPERIAL if m.imperial else UM_METRIC,
                    m.feed,
                    m.speed,
                    m.spindle,
                    m.mist,
                    m.flood,
                    self.tool,
                    self.state.active_wcs,
                    self.off,
                )
            )
            self._modal_dirty = False
        return self._modal

    def execute(self, g: list[float], ms: list[float], w: dict[str, float]) -> None:
        """Run one block of words with constant values."""
        m = self.m
        if "N" in w:
            del w["N"]
        # the common block: a straight move and maybe a feed
        if not ms and w.keys() <= _SIMPLE_KEYS and (not g or (len(g) == 1 and (g[0] == 0.0 or g[0] == 1.0))):
            if g:
                m.motion = g[0]
                m.cycle = 0
            if "F" in w:
                self._feed(w["F"])
            if len(w) > ("F" in w) and not m.cycle and (m.motion == 0.0 or m.motion == 1.0):
                self._straight(w, False)
                return
            if not (len(w) > ("F" in w)):
                return
        codes: dict[str, int] = {}
        for code in g:
            key = int(round(code * 10))
            if abs(code * 10 - key) > 1e-6:
                raise GCodeError("unsupported G code", f"G{num(code)}", ERR_UNSUPPORTED)
            if key in (700, 710, 720, 730, 740, 750):
                key = cycles.lathe_or_other(key, w)
            elif (key == 50 or key == 51) and not has_axes(w) and not ("I" in w or "J" in w):
                key = 1 if key == 50 else 2  # G05 P.., G05.1 Q..: a control's high-speed mode
            group = _G_GROUPS.get(key)
            if group is None:
                raise GCodeError("unsupported G code", f"G{num(code)}", ERR_UNSUPPORTED)
            if group in codes and codes[group] != key:
                raise GCodeError("two G codes of the same group on one line", f"G{num(code)}", ERR_SYNTAX)
            codes[group] = key
        mcodes: list[int] = []
        for code in ms:
            if code != int(code):
                raise GCodeError("unsupported M code", f"M{num(code)}", ERR_UNSUPPORTED)
            mcodes.append(int(code))
        self._actions(codes, mcodes, w)

    def _actions(self, codes: dict[str, int], mcodes: list[int], w: dict[str, float]) -> None:
        m = self.m
        st = self.state
        if "units" in codes:
            imperial = codes["units"] == 200
            if imperial != m.imperial:
                m.imperial = imperial
                self._modal_dirty = True
        if "feedmode" in codes:
            m.feed_mode = codes["feedmode"] // 10
        if "retract" in codes:
            plane = codes["plane"] // 10 if "plane" in codes else m.plane
            lathe_feed = plane == 18 and not m.cycle and "cycle" not in codes
            if lathe_feed:  # turning controls use G98/G99 for feed per minute and per revolution
                m.feed_mode = 94 if codes["retract"] == 980 else 95
            else:
                m.retract_to_r = codes["retract"] == 990
        if "F" in w and "g65" not in codes:
            self._feed(w["F"])
        if "css" in codes:
            m.css = codes["css"] == 960
            if m.css and "D" in w:
                m.css_max = w["D"]
        if "S" in w and "g65" not in codes:
            if w["S"] < 0:
                raise GCodeError("spindle speed must not be negative", f"S{num(w['S'])}", ERR_VALUE)
            if "g50" in codes:
                m.css_max = w["S"]
            elif w["S"] != m.speed:
                m.speed = w["S"]
                self._modal_dirty = True
        if "T" in w and "g65" not in codes:
            t = w["T"]
            if t < 0 or t != int(t):
                raise GCodeError("tool number must be a whole number", f"T{num(t)}", ERR_VALUE)
            m.next_tool = int(t)
            if self.immediate_tool:
                # a turning control's T0101: tool 01 with offset 01
                self._set_tool(int(t) // 100 if t >= 100 else int(t))
        for code in mcodes:
            if code == 6:
                if m.next_tool >= 0:
                    self._set_tool(m.next_tool)
                self.b.stop_blending()
            elif code == 61:
                if "Q" not in w:
                    raise GCodeError("M61 needs a Q word with the tool number", "M61", ERR_VALUE)
                self._set_tool(int(w["Q"]))
            elif code in (3, 4, 5):
                new = SS_CW if code == 3 else SS_CCW if code == 4 else SS_OFF
                if new != m.spindle:
                    m.spindle = new
                    self._modal_dirty = True
                    self.b.stop_blending()
            elif code in (7, 8, 9):
                mist = m.mist if code == 8 else code == 7 and True
                flood = m.flood if code == 7 else code == 8
                if code == 9:
                    mist = flood = False
                if (mist, flood) != (m.mist, m.flood):
                    m.mist, m.flood = mist, flood
                    self._modal_dirty = True
            elif code in (0, 1, 2, 30, 60, 97, 98, 99):
                pass  # after the motion
            elif code in (70, 71, 72, 73):
                self._modal_save(code)
            elif code not in self.config.ignored_m:
                raise GCodeError(
                    "unknown M code (machine-specific codes are set with --ignore-m)", f"M{code}", ERR_UNSUPPORTED
                )
        if "dwell" in codes:
            seconds = w.get("P", w.get("X", w.get("U", 0.0)))
            if seconds < 0:
                raise GCodeError("dwell time must not be negative", f"P{num(seconds)}", ERR_VALUE)
            self.b.dwell(self.pos, seconds, self._report_line(), self._modal_index())
        if "plane" in codes:
            m.plane = codes["plane"] // 10
        if "diameter" in codes:
            m.diameter = codes["diameter"] == 70
            m.diameter_set = True
        if "comp" in codes:
            m.cutter_comp = codes["comp"]
        if "tlo" in codes:
            self._tool_length(codes["tlo"], w)
        if "wcs" in codes:
            if codes["wcs"] in (541, 1540):  # G54.1 Pn, G154 Pn: the extra work offsets
                p = w.get("P", 1.0)
                if p != int(p) or not 1 <= p <= 300:
                    raise GCodeError("G54.1 needs P from 1 to 300", f"P{num(p)}", ERR_VALUE)
                number = WCS_COUNT + int(p)
                while len(st.wcs) < number:
                    st.wcs.append([0.0] * AXIS_COUNT)
            else:
                number = _WCS[codes["wcs"]]
            if number != st.active_wcs:
                st.active_wcs = number
                self._update_offset()
        if "path" in codes:
            m.exact_stop = codes["path"] != 640
            if codes["path"] == 640:
                m.tolerance = w.get("P", 0.0) * self._scale()
            self.b.set_blending(m.exact_stop, m.tolerance or DEFAULT_BLEND_TOLERANCE)
        if "dist" in codes:
            m.absolute = codes["dist"] == 900
        if "rotation" in codes:
            self._rotation(codes["rotation"], w)
        if "polar" in codes:
            self.polar = codes["polar"] == 160
            if self.polar:
                self.polar_last = [0.0, 0.0]
            self.transformed = self.polar or self.rot is not None
        if "arcdist" in codes:
            m.arc_absolute = codes["arcdist"] == 901
        consumed = False
        nonmodal = codes.get("nonmodal")
        if nonmodal is not None:
            consumed = self._nonmodal(nonmodal, w)
        if "lathe" in codes:
            cycles.lathe_cycle(self, codes["lathe"], w)
            consumed = True
        if "g50" in codes and has_axes(w):
            self._g92(w)
            consumed = True
        motion = codes.get("motion")
        before = m.motion
        if motion is not None:
            m.motion = motion / 10.0
            m.cycle = 0
        if "cycle" in codes:
            if not m.cycle:
                self.init_level = self.pos[PLANE_AXES[m.plane][2]]
                self.cycle_words = {}
            m.cycle = codes["cycle"] // 10
        if "cancel" in codes:
            m.cycle = 0
            if m.motion not in (0.0, 1.0, 2.0, 3.0):
                m.motion = 1.0 if m.motion != 0.0 else 0.0
        if (
            "Q" in w
            and not m.cycle
            and motion not in (50, 760)
            and 61 not in mcodes
            and not (66 in mcodes or 67 in mcodes or 68 in mcodes)
            and "lathe" not in codes
            and "rotation" not in codes
            and "ignored" not in codes
            and "path" not in codes
            and "g65" not in codes
            and nonmodal != 100
        ):
            raise GCodeError("Q word with no command that uses it", f"Q{num(w['Q'])}", ERR_SYNTAX)
        if "rotation" in codes:
            consumed = True
        if not consumed and "g65" not in codes and nonmodal != 530:
            if m.cycle and (has_axes(w) or "cycle" in codes and ("R" in w or "Z" in w)):
                cycles.drilling_cycle(self, w)
            elif motion == 760:
                cycles.threading_cycle(self, w)
                m.motion = before  # a one-shot cycle
            elif has_axes(w) or (motion in (20, 30) and any(k in w for k in "IJKR")):
                self._motion(w)
        elif nonmodal == 530:
            if has_axes(w):
                self._straight(w, True)
        if "g65" in codes:
            if "P" not in w:
                raise GCodeError("G65 needs P and the program number", "G65", ERR_VALUE)
            args = {k: v for k, v in w.items() if k in _G65_LETTERS}
            self._call_program(int(w["P"]), int(w.get("L", 1)), args, f"G65 P{num(w['P'])}")
        for code in mcodes:
            if code == 0 or code == 60 or (code == 1 and self.config.optional_stop):
                self.b.pause(self.pos, self._report_line(), self._modal_index())
                self.pauses = True
            elif code in (2, 30):
                self._end_program()
            elif code == 98:
                if "P" not in w:
                    raise GCodeError("M98 needs P and the program number", "M98", ERR_VALUE)
                repeat = int(w.get("L", w.get("K", 1)))
                self._call_program(int(w["P"]), repeat, None, f"M98 P{num(w['P'])}")
            elif code == 97:
                if "P" not in w:
                    raise GCodeError("M97 needs P and the line number", "M97", ERR_VALUE)
                place = self.src.n_label(int(w["P"]), -1)
                if place is None:
                    raise GCodeError(f"no line N{num(w['P'])} to call", f"M97 P{num(w['P'])}", ERR_FLOW)
                repeat = int(w.get("L", 1))
                if repeat > 0:
                    here = (self.i, self.at)
                    frame = Frame(self.src, here, None, f"N{num(w['P'])}", repeat - 1, place, self._report_line())
                    self._push(frame, self.src, place)
            elif code == 99:
                if self.frames:
                    self._return(None)
                else:
                    self._end_program()  # a main program's M99 would repeat it for ever

    def _end_program(self) -> None:
        m = self.m
        self.ended = True
        m.spindle = SS_OFF
        m.mist = m.flood = False
        m.cycle = 0
        m.plane = 17
        m.absolute = True
        m.feed_mode = 94
        m.cutter_comp = 40
        m.exact_stop = False
        self._modal_dirty = True

    def _modal_save(self, code: int) -> None:

        if code in (70, 73):
            self.modal_stack.append(copy.copy(self.m))
        elif code == 71:
            if self.modal_stack:
                self.modal_stack.pop()
        elif code == 72:
            if not self.modal_stack:
                raise GCodeError("M72 without a state saved by M70", "M72", ERR_FLOW)
            saved = self.modal_stack.pop()
            saved.motion = self.m.motion
            self.m = saved
            self.b.set_blending(saved.exact_stop, saved.tolerance or DEFAULT_BLEND_TOLERANCE)
            self._modal_dirty = True

    def _set_tool(self, tool: int) -> None:
        if tool != self.tool:
            self.tool = tool
            self._modal_dirty = True

    def _scale(self) -> float:
        return 25.4 if self.m.imperial else 1.0

    def _feed(self, f: float) -> None:
        if f < 0:
            raise GCodeError("feed rate must not be negative", f"F{num(f)}", ERR_VALUE)
        self.m.feed_given = True
        if f != self.m.feed:
            self.m.feed = f
            self._modal_dirty = True

    def _tool_length(self, key: int, w: dict[str, float]) -> None:
        st = self.state
        if key == 490:
            st.tlo = [0.0] * AXIS_COUNT
        elif key == 431:
            st.tlo = [0.0] * AXIS_COUNT
            for i, a in enumerate("XYZ"):
                if a in w:
                    st.tlo[i] = w[a] * self._scale()
        else:
            h = int(w.get("H", self.tool))
            length = st.tool_lengths.get(h, 0.0)
            if key in (430, 434, 435):
                st.tlo = [0.0, 0.0, length, 0.0, 0.0, 0.0]
            else:
                st.tlo[2] += length
        self._update_offset()

    def _nonmodal(self, key: int, w: dict[str, float]) -> bool:
        """G10, G28, G30, G52, G92...: True when they used the axis words of the block."""
        st = self.state
        scale = self._scale()
        if key == 100:
            self._g10(w)
            return True
        if key in (280, 300):
            home = st.g28 if key == 280 else st.g30
            if has_axes(w):
                mid = self._target(w, False)
                self._line(RAPID, mid)
                target = list(self.pos)
                for i, a in enumerate(AXES):
                    if a in w or (i < 3 and "UVW"[i] in w):
                        target[i] = home[i]
            else:
                target = list(home)
            self._line(RAPID, target)
            return True
        if key in (281, 301):
            (st.g28 if key == 281 else st.g30)[:] = self.pos
            return True
        if key == 520:
            for i, a in enumerate(AXES):
                if a in w:
                    st.g92[i] = w[a] * (scale if i < 3 else 1.0)
            st.g92_saved = list(st.g92)
            self._update_offset()
            return True
        if key == 920:
            self._g92(w)
            return True
        if key in (921, 922):
            st.g92 = [0.0] * AXIS_COUNT
            if key == 921:
                st.g92_saved = [0.0] * AXIS_COUNT
            self._update_offset()
            return True
        if key == 923:
            st.g92 = list(st.g92_saved)
            self._update_offset()
            return True
        return False

    def _g92(self, w: dict[str, float]) -> None:
        st = self.state
        scale = self._scale()
        wcs = st.wcs[st.active_wcs - 1]
        for i, a in enumerate(AXES):
            if a in w:
                value = w[a] * (scale if i < 3 else 1.0)
                st.g92[i] = self.pos[i] - wcs[i] - st.tlo[i] - value
        st.g92_saved = list(st.g92)
        self._update_offset()

    def _g10(self, w: dict[str, float]) -> None:
        st = self.state
        scale = self._scale()
        lw = w.get("L")
        if lw is None and "P" not in w:
            raise GCodeError("G10 needs an L word", "G10", ERR_VALUE)
        kind = 1 if lw is None else int(lw)  # without L, P is a tool offset (turning controls)
        p = int(w.get("P", 0))
        if kind in (2, 20):
            if p == 0:
                p = st.active_wcs
            if not 1 <= p <= WCS_COUNT:
                raise GCodeError("coordinate system number out of range 0 to 9", f"P{p}", ERR_VALUE)
            table = st.wcs[p - 1]
            for i, a in enumerate(AXES):
                if a in w:
                    value = w[a] * (scale if i < 3 else 1.0)
                    if kind == 2:
                        table[i] = value if self.m.absolute else table[i] + value
                    else:
                        table[i] = self.pos[i] - st.g92[i] - st.tlo[i] - value
            self._update_offset()
        elif kind in (1, 10, 11):
            if "Z" in w:
                if kind == 1:
                    st.tool_lengths[p] = w["Z"] * scale
                else:
                    wcs = st.wcs[st.active_wcs - 1]
                    st.tool_lengths[p] = self.pos[2] - wcs[2] - st.g92[2] - w["Z"] * scale
            if "R" in w:
                st.tool_diameters[p] = 2.0 * w["R"] * scale
        else:
            raise GCodeError("unsupported G10 form", f"G10 L{kind}", ERR_UNSUPPORTED)

    # ----- motion -----------------------------------------------------------------------------------

    def _target(self, w: dict[str, float], machine: bool) -> list[float]:
        if self.transformed and not machine:
            return self._target_transformed(w)
        t = list(self.pos)
        off = self.off
        scale = 25.4 if self.m.imperial else 1.0
        absolute = self.m.absolute or machine
        for i in range(AXIS_COUNT):
            a = AXES[i]
            if a in w:
                v = w[a] * scale if i < 3 else w[a]
                if machine:
                    t[i] = v
                elif absolute:
                    t[i] = v + off[i]
                else:
                    t[i] += v
        for letter, i in _INCREMENTAL.items():
            # beside its X, Y or Z a U, V or W is an axis of its own (a second tower of a
            # foam cutter, say), which this machine has not: left out
            if letter in w and AXES[i] not in w:
                t[i] += w[letter] * scale
        if "@" in w or "^" in w:
            i1, i2, _ = PLANE_AXES[self.m.plane]
            if AXES[i1] in w or AXES[i2] in w:
                raise GCodeError("polar and cartesian coordinates on one line", "@", ERR_SYNTAX)
            base1 = off[i1] if absolute else self.pos[i1]
            base2 = off[i2] if absolute else self.pos[i2]
            r0 = math.hypot(self.pos[i1] - base1, self.pos[i2] - base2)
            a0 = math.degrees(math.atan2(self.pos[i2] - base2, self.pos[i1] - base1))
            r = w["@"] * scale if "@" in w else r0
            ang = math.radians(w["^"] if "^" in w else a0)
            t[i1] = base1 + r * math.cos(ang)
            t[i2] = base2 + r * math.sin(ang)
        return t

    def _target_transformed(self, w: dict[str, float]) -> list[float]:
        """Target under G68 rotation or G16 polar words: worked out in the unrotated program
        coordinates, then turned into the plane and shifted to the machine."""
        off = self.off
        scale = self._scale()
        i1, i2, _ = PLANE_AXES[self.m.plane]
        prog = [p - o for p, o in zip(self.pos, off, strict=True)]
        if self.rot is not None:
            prog[i1], prog[i2] = self._rotate(prog[i1], prog[i2], -1.0)
        t = list(prog)
        absolute = self.m.absolute
        for i in range(AXIS_COUNT):
            a = AXES[i]
            if a in w and not (self.polar and i in (i1, i2)):
                v = w[a] * scale if i < 3 else w[a]
                t[i] = v if absolute else t[i] + v
        for letter, i in _INCREMENTAL.items():
            if letter in w and AXES[i] not in w:
                t[i] += w[letter] * scale
        if self.polar and (AXES[i1] in w or AXES[i2] in w):
            radius = w[AXES[i1]] * scale if AXES[i1] in w else self.polar_last[0]
            angle = w[AXES[i2]] if AXES[i2] in w else self.polar_last[1]
            self.polar_last = [radius, angle]
            c1, c2 = (0.0, 0.0) if absolute else (prog[i1], prog[i2])
            t[i1] = c1 + radius * math.cos(math.radians(angle))
            t[i2] = c2 + radius * math.sin(math.radians(angle))
        if "@" in w or "^" in w:
            b1, b2 = (0.0, 0.0) if absolute else (prog[i1], prog[i2])
            r = w["@"] * scale if "@" in w else math.hypot(prog[i1] - b1, prog[i2] - b2)
            ang = math.radians(w["^"]) if "^" in w else math.atan2(prog[i2] - b2, prog[i1] - b1)
            t[i1], t[i2] = b1 + r * math.cos(ang), b2 + r * math.sin(ang)
        if self.rot is not None:
            t[i1], t[i2] = self._rotate(t[i1], t[i2], 1.0)
        return [v + o for v, o in zip(t, off, strict=True)]

    def _rotate(self, a: float, b: float, sense: float) -> tuple[float, float]:
        """A plane point turned about the G68 centre (sense -1 turns it back)."""
        assert self.rot is not None
        c1, c2, cos, sin = self.rot
        sin *= sense
        da, db = a - c1, b - c2
        return c1 + da * cos - db * sin, c2 + da * sin + db * cos

    def _rotation(self, key: int, w: dict[str, float]) -> None:
        if key == 690:
            self.rot = None
        else:
            i1, i2, _ = PLANE_AXES[self.m.plane]
            if "R" not in w:
                raise GCodeError("G68 needs R, the angle of rotation", "G68", ERR_VALUE)
            scale = self._scale()
            here = [p - o for p, o in zip(self.pos, self.off, strict=True)]
            c1 = w[AXES[i1]] * scale if AXES[i1] in w else here[i1]
            c2 = w[AXES[i2]] * scale if AXES[i2] in w else here[i2]
            angle = math.radians(w["R"])
            self.rot = (c1, c2, math.cos(angle), math.sin(angle))
        self.transformed = self.polar or self.rot is not None

    def _rate(self, t: list[float]) -> tuple[float, float]:
        """Feed of a move to `t`: (mm/min or deg/min, seconds for the move in inverse time)."""
        m = self.m
        if m.feed_mode == 93:
            if m.feed <= 0:
                raise GCodeError("inverse-time feed needs a positive F", "F", ERR_VALUE)
            return 0.0, 60.0 / m.feed
        p = self.pos
        linear = t[0] != p[0] or t[1] != p[1] or t[2] != p[2]
        if not m.feed_given:
            return DEFAULT_FEED, 0.0
        f = m.feed * (25.4 if m.imperial and linear else 1.0)
        if m.feed_mode == 95:
            f *= self._rpm()
        if f <= 0:
            raise GCodeError("feed move with a zero feed rate (no F, or F0)", "F", ERR_VALUE)
        return f, 0.0

    def _rpm(self) -> float:
        m = self.m
        if m.css:
            radius = abs(self.pos[0] - self.off[0]) * (0.5 if m.diameter else 1.0)
            top = m.css_max or 1e9
            surface = m.speed * (0.3048 if m.imperial else 1.0) * 1000.0  # mm/min
            rpm = surface / (2 * math.pi * radius) if radius > 1e-6 else top
            rpm = min(rpm, top)
        else:
            rpm = m.speed
        if rpm <= 0:
            raise GCodeError("feed per revolution with no spindle speed", "S", ERR_VALUE)
        return rpm

    def _line(self, kind: int, t: list[float], rate: float = 0.0, seconds: float = 0.0) -> None:
        self.b.line(kind, t, self._report_line(), self._modal_index(), rate, seconds)
        self.pos = t

    def _straight(self, w: dict[str, float], machine: bool) -> None:
        t = self._target(w, machine)
        if self.m.motion == 0.0:
            self._line(RAPID, t)
        else:
            rate, seconds = self._rate(t)
            self._line(FEED, t, rate, seconds)

    def _motion(self, w: dict[str, float]) -> None:  # noqa: C901
        motion = int(round(self.m.motion * 10))
        if motion in (0, 10):
            self._straight(w, False)
        elif motion in (20, 30):
            self._arc(motion == 20, w)
        elif motion == 330:
            self._synced(w)
        elif motion == 320:  # a turning control's thread cut: F (or K) is the lead
            lead = w.get("K", w.get("F", self.m.feed)) * self._scale()
            if lead <= 0:
                raise GCodeError("G32 needs F, the lead of the thread", "G32", ERR_VALUE)
            self._line(FEED, self._target(w, False), lead * self._rpm())
        elif motion in (50, 51):
            self._spline(motion == 50, w)
        elif motion == 52:
            raise GCodeError("NURBS blocks (G5.2/G5.3) are unsupported", "G5.2", ERR_UNSUPPORTED)
        elif motion == 331:
            t = self._target(w, False)
            start = list(self.pos)
            pitch = w.get("K", 0.0) * self._scale()
            rate = pitch * self._rpm()
            if rate <= 0:
                raise GCodeError("G33.1 needs a K pitch and a spindle speed", "K", ERR_VALUE)
            self._line(FEED, t, rate)
            self._line(FEED, start, rate)
        elif 382 <= motion <= 385:
            self._probe(w)
        elif motion == 760:
            cycles.threading_cycle(self, w)
        else:
            raise GCodeError("axis words without a motion mode", "G80", ERR_SYNTAX)

    def _spline(self, cubic: bool, w: dict[str, float]) -> None:
        """G5 cubic and G5.1 quadratic splines in the XY plane, run as short chords."""
        word = "G5" if cubic else "G5.1"
        if self.m.plane != 17:
            raise GCodeError("splines are only in the XY plane (G17)", word, ERR_UNSUPPORTED)
        scale = self._scale()
        p = self.pos
        t = self._target(w, False)
        p0, p3 = (p[0], p[1]), (t[0], t[1])
        if cubic:
            if "I" in w or "J" in w:
                v1 = (w.get("I", 0.0) * scale, w.get("J", 0.0) * scale)
            elif self.spline_last is not None:
                v1 = (-self.spline_last[0], -self.spline_last[1])
            else:
                raise GCodeError("the first G5 of a curve needs I and J", word, ERR_VALUE)
            if "P" not in w or "Q" not in w:
                raise GCodeError("G5 needs P and Q", word, ERR_VALUE)
            v2 = (w["P"] * scale, w["Q"] * scale)
            c1 = (p0[0] + v1[0], p0[1] + v1[1])
            c2 = (p3[0] + v2[0], p3[1] + v2[1])
            self.spline_last = v2
        else:
            if "I" not in w and "J" not in w:
                raise GCodeError("G5.1 needs I and J", word, ERR_VALUE)
            cq = (p0[0] + w.get("I", 0.0) * scale, p0[1] + w.get("J", 0.0) * scale)
            c1 = (p0[0] + 2.0 / 3.0 * (cq[0] - p0[0]), p0[1] + 2.0 / 3.0 * (cq[1] - p0[1]))
            c2 = (p3[0] + 2.0 / 3.0 * (cq[0] - p3[0]), p3[1] + 2.0 / 3.0 * (cq[1] - p3[1]))
            self.spline_last = None
        hull = math.dist(p0, c1) + math.dist(c1, c2) + math.dist(c2, p3)
        n = max(4, min(1000, math.ceil(hull / _SPLINE_CHORD)))
        rate, seconds = self._rate(t)
        seconds /= n
        for k in range(1, n + 1):
            u = k / n
            a, b, c, d = (1 - u) ** 3, 3 * u * (1 - u) ** 2, 3 * u * u * (1 - u), u**3
            q = list(p) if k < n else t
            if k < n:
                q[0] = a * p0[0] + b * c1[0] + c * c2[0] + d * p3[0]
                q[1] = a * p0[1] + b * c1[1] + c * c2[1] + d * p3[1]
                for i in (2, 3, 4, 5):
                    q[i] = p[i] + (t[i] - p[i]) * u
            self._line(FEED, q, rate, seconds)

    def _synced(self, w: dict[str, float]) -> None:
        if "K" not in w:
            raise GCodeError("G33 needs K, the distance per revolution", "G33", ERR_VALUE)
        t = self._target(w, False)
        self._line(FEED, t, w["K"] * self._scale() * self._rpm())

    def _arc(self, clockwise: bool, w: dict[str, float]) -> None:
        m = self.m
        plane = m.plane
        i1, i2, ih = PLANE_AXES[plane]
        t = self._target(w, False)
        turns = 1
        if "P" in w:
            turns = int(w["P"])
            if turns != w["P"] or turns < 1:
                raise GCodeError("arc P (turns) must be a whole number from 1", f"P{num(w['P'])}", ERR_ARC)
        dia = m.diameter and plane == 18
        try:
            c1, c2, pp, tt = self._arc_centre(clockwise, w, t, dia)
        except GCodeError:
            # A turning program that never says G7 may still give X as a diameter: take the
            # arc that way when only that reading puts its end on its circle.
            if plane != 18 or m.diameter_set or dia:
                raise
            c1, c2, pp, tt = self._arc_centre(clockwise, w, t, True)
            m.diameter = dia = True
        a0 = math.atan2(pp[i2] - c2, pp[i1] - c1)
        a1 = math.atan2(tt[i2] - c2, tt[i1] - c1)
        if clockwise:
            sweep = (a0 - a1) % (2 * math.pi)
        else:
            sweep = (a1 - a0) % (2 * math.pi)
        if sweep < 1e-9:
            sweep = 2 * math.pi
        sweep += 2 * math.pi * (turns - 1)
        if clockwise:
            sweep = -sweep
        rate, seconds = self._rate(t)
        self.b.arc(t, (c1, c2), ih, sweep, self._report_line(), self._modal_index(), rate, seconds, dia)
        self.pos = t

    def _arc_centre(
        self, clockwise: bool, w: dict[str, float], target: list[float], dia: bool
    ) -> tuple[float, float, list[float], list[float]]:
        """Centre of an arc and its start and end, X as a radius when `dia` (X words are diameters)."""
        m = self.m
        i1, i2, _ = PLANE_AXES[m.plane]
        scale = self._scale()
        w1, w2 = _ARC_WORDS[m.plane]
        p = list(self.pos)
        t = list(target)
        off = list(self.off)
        if dia:
            p[0] *= 0.5
            t[0] *= 0.5
            off[0] *= 0.5
        word = f"G{2 if clockwise else 3}"
        if "R" in w:
            if w1 in w or w2 in w:
                raise GCodeError("arc with both R and a centre offset", "R", ERR_ARC)
            c1, c2 = self._radius_centre(clockwise, p, t, w["R"] * scale, (i1, i2))
        else:
            if w1 not in w and w2 not in w:
                raise GCodeError(f"arc needs {w1}/{w2} centre offsets or R in this plane", word, ERR_ARC)
            o1 = w.get(w1, 0.0) * scale
            o2 = w.get(w2, 0.0) * scale
            if m.arc_absolute:
                if self.rot is not None:
                    o1, o2 = self._rotate(o1, o2, 1.0)
                c1, c2 = o1 + off[i1], o2 + off[i2]
            else:
                if self.rot is not None:
                    cos, sin = self.rot[2], self.rot[3]
                    o1, o2 = o1 * cos - o2 * sin, o1 * sin + o2 * cos
                c1, c2 = p[i1] + o1, p[i2] + o2
        r0 = math.hypot(p[i1] - c1, p[i2] - c2)
        r1 = math.hypot(t[i1] - c1, t[i2] - c2)
        if r0 < 1e-9:
            raise GCodeError("arc radius is zero", word, ERR_ARC)
        if abs(r0 - r1) > ARC_TOLERANCE + 0.001 * r0:
            raise GCodeError(
                f"arc end point is not on the arc: radius {r0:.4f} at the start, {r1:.4f} at the end", word, ERR_ARC
            )
        return c1, c2, p, t

    @staticmethod
    def _radius_centre(
        clockwise: bool, p: list[float], t: list[float], r: float, axes: tuple[int, int]
    ) -> tuple[float, float]:
        i1, i2 = axes
        d1, d2 = t[i1] - p[i1], t[i2] - p[i2]
        chord = math.hypot(d1, d2)
        if chord < 1e-9:
            raise GCodeError("R-format arc with the same start and end point", "R", ERR_ARC)
        half = chord / 2
        if abs(r) < half:
            if half - abs(r) > ARC_TOLERANCE + 0.001 * half:
                raise GCodeError(f"arc radius {abs(r):.4f} is less than half the chord {half:.4f}", "R", ERR_ARC)
            r = math.copysign(half, r)
        h = math.sqrt(max(0.0, r * r - half * half))
        # centre to the left of the chord for a short counter-clockwise arc
        side = 1.0 if (r > 0) != clockwise else -1.0
        m1, m2 = p[i1] + d1 / 2, p[i2] + d2 / 2
        return m1 - side * h * d2 / chord, m2 + side * h * d1 / chord

    def _probe(self, w: dict[str, float]) -> None:
        t = self._target(w, False)
        trip = list(t)
        p = self.pos
        best = 1.0
        for axis, level in self.config.probe_trip.items():
            d = t[axis] - p[axis]
            if d and (p[axis] - level) * (t[axis] - level) <= 0:
                f = (level - p[axis]) / d
                if 0.0 <= f < best:
                    best = f
        if best < 1.0:
            trip = [a + (b - a) * best for a, b in zip(p, t, strict=True)]
        rate, seconds = self._rate(t)
        self.b.stop_blending()
        self._line(FEED, trip, rate, seconds)
        self.probe = [trip[i] - self.off[i] for i in range(AXIS_COUNT)]
        self.state.params[5070] = 1.0
        self.b.stop_blending()


def _wcs_code(n: int) -> int:
    return 540 + 10 * (n - 1) if n <= 6 else 590 + (n - 6)


def _groups() -> dict[int, str]:
    g: dict[int, str] = {}
    for k in _MOTION:
        g[k] = "motion"
    for k in _CYCLES:
        g[k] = "cycle"
    g[800] = "cancel"
    g[40] = "dwell"
    for k in (100, 280, 281, 300, 301, 520, 530, 920, 921, 922, 923):
        g[k] = "nonmodal"
    g[650] = "g65"
    g[500] = "g50"
    for k in (170, 180, 190):
        g[k] = "plane"
    for k in (200, 210):
        g[k] = "units"
    for k in (70, 80):
        g[k] = "diameter"
    for k in (400, 410, 420, 411, 421):
        g[k] = "comp"
    for k in (430, 431, 432, 434, 435, 490):
        g[k] = "tlo"
    for k in [*_WCS, 541, 1540]:
        g[k] = "wcs"
    for k in (680, 690):
        g[k] = "rotation"
    for k in (150, 160):
        g[k] = "polar"
    for k in (*_LATHE_CYCLES, 7300, 7400):
        g[k] = "lathe"
    # settings of a control's path smoothing and look-ahead, with no effect on the path here
    for k in (1, 2, 1030, 1870):
        g[k] = "ignored"
    for k in (610, 611, 640):
        g[k] = "path"
    for k in (900, 910):
        g[k] = "dist"
    for k in (901, 911):
        g[k] = "arcdist"
    for k in (930, 940, 950):
        g[k] = "feedmode"
    for k in (960, 970):
        g[k] = "css"
    for k in (980, 990):
        g[k] = "retract"
    return g


_G_GROUPS = _groups()
