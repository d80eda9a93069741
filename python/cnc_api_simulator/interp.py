"""G-code interpreter: runs a program's text into timed segments.

Dialect: the common milling/turning G-code with numbered and named parameters,
bracketed expressions, O-word subroutines and control flow, and the macro forms of
program-number controls (M98/M99, G65, IF/GOTO, WHILE/DO/END). Coordinates are kept
in millimetres and degrees whatever G20/G21 say.
"""

from __future__ import annotations

import logging
from collections.abc import Callable

from . import cycles
from .codes import SS_OFF
from .comp import CutterComp
from .config import MachineConfig
from .errors import ERR_FLOW, ERR_LIMIT, ERR_SYNTAX, ERR_UNSUPPORTED, ERR_VALUE, GCodeError
from .flow import Flow, Frame
from .gcodes import AXES_GROUPS, G_CODES, G_GROUPS, M_ROWS, MODE_GROUPS, SETTING_GROUPS
from .gcodes.table import MOTION, STOPS, WORDS
from .geometry import Geometry
from .handlers import Handlers
from .lexer import ARC as ARC_LINE
from .lexer import ARC_WORDS, LINE, PAIRS, SIMPLE, Block, clean, parse_block, strip_comments
from .params import Parameters
from .program import Builder, finish
from .recording import Recording
from .source import Place, Source
from .state import AXIS_COUNT, Modes, State
from .words import MAX_VALUE, PLANE_AXES, bounded, has_axes, num

_log = logging.getLogger(__name__)


CHECK_EVERY = 2048  # lines between looks at the cancel flag

_SIMPLE_KEYS = frozenset("XYZABCFN")


class Result:
    """A compiled program, or the error that stopped it."""

    def __init__(self, builder: Builder, state: State, error: GCodeError | None, line_count: int, pauses: bool) -> None:
        self.builder = builder
        self.state = state
        self.error = error
        self.line_count = line_count
        self.pauses = pauses


class Interpreter(Parameters, Flow, Geometry, Handlers, Recording):
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
        self._changed = True  # the state to record with the next segment
        self._offsets_version = 0
        self._update_offset()
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
        self.feed_unknown = False  # an F word whose value the simulator cannot know
        self.comp: CutterComp | None = None  # G41/G42 with a tool radius; self.pos is then the programmed point
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
            self._comp_off()
            self.m.cutter_comp = 40  # compensation ends with the program (each MDI line is one)
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

    def _loop(self) -> None:
        while not self.ended:
            if self._lines() and not self._source_end():
                return

    def _source_end(self) -> bool:
        """At the end of a source's text: True where a subroutine file without M99 or ENDSUB
        returned to its caller, to go on there."""
        if self.frames and self.src is not self.main and not self.ended and self.frames[-1].src is not self.src:
            self._return(None)
            return True
        return False

    def _lines(self) -> bool:
        """The current source's lines from `at` on: True at the end of its text, False after a
        jump, the program's end or a cancel."""
        src = self.src
        text = src.text
        n = len(text)
        i = self.i
        self.jumped = False
        budget = self._budget
        big = 2 * MAX_VALUE
        add_line = self.b.line  # the segment writer of every straight move
        fresh = True  # the locals of the fast path below need reading from the interpreter
        for mt in LINE.finditer(text, self.at):
            start = mt.start()
            if start >= n:
                break
            i += 1
            budget -= 1
            if not budget:
                budget = self._check_limits(i)
                if not budget:
                    return False
            gm, xs, ys, zs, fs, raw = mt.groups()
            if raw is None:
                # A plain straight move (or a line of only N, G0/G1 or F), the common case, with the modes in
                # locals: its target and rate worked out here, not by `_straight` (which would take 30 % of the
                # analysis rate). Position and line number go back to the interpreter before anything else runs.
                if fresh:
                    mo, fast_ok, scale, absolute, ox, oy, oz, own_line, feed_ok, rate = self._fast_modes(src)
                    px, py, pz, pa, pb, pc = self.pos
                    fresh = False
                if gm is not None:
                    motion = mo.motion = 0.0 if gm == "0" else 1.0
                    if mo.cycle:
                        mo.cycle = 0
                        fast_ok = not self.transformed and self.comp is None
                else:
                    motion = mo.motion
                if fs is not None:
                    self.line = i
                    self._feed(bounded(fs, "F"))
                    feed_ok, rate = mo.feed_mode == 94 and mo.feed_given and mo.feed > 0.0, mo.feed * scale
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
                        self._out_of_range(i, xs, ys, zs)
                    if self._modal_dirty:
                        self._modal_index()
                    number = i if own_line else self._line_of(i)
                    if motion == 0.0:
                        add_line(0, [x, y, z, pa, pb, pc], number, self._modal, 0.0)  # RAPID
                    else:
                        feed = rate if feed_ok else self._fast_rate(i, [px, py, pz, pa, pb, pc], [x, y, z])
                        add_line(1, [x, y, z, pa, pb, pc], number, self._modal, feed)  # FEED
                    px, py, pz = x, y, z
                    continue
                raw = mt.group().rstrip("\n")
            if not fresh:
                self.pos = [px, py, pz, pa, pb, pc]
                fresh = True
            self.line = self.i = i
            self.here, self.at = start, mt.end()
            self._run_line(raw, src, i)
            if self.jumped or self.ended:
                return self._lines_left(i, budget, False)
        if not fresh:
            self.pos = [px, py, pz, pa, pb, pc]
        return self._lines_left(i, budget, True)

    def _lines_left(self, i: int, budget: int, at_end: bool) -> bool:
        self.line = i
        self._budget = budget
        if at_end:
            self.i, self.at = i, len(self.src.text)
        return at_end

    def _check_limits(self, i: int) -> int:
        """Every CHECK_EVERY lines: the next budget of lines, 0 where the analysis was
        cancelled; an endless or too large program is an error."""
        self.line = i
        self.lines_run += CHECK_EVERY
        if self.cancelled is not None and self.cancelled():
            self.ended = True
            return 0
        if self.lines_run > self.config.max_run_lines:
            raise GCodeError("the program runs too long (an endless loop?)", "", ERR_LIMIT)
        if len(self.b.kinds) > self.config.max_segments:
            raise GCodeError("the program makes too many moves", "", ERR_LIMIT)
        return CHECK_EVERY

    def _fast_modes(self, src: Source) -> tuple[Modes, bool, float, bool, float, float, float, bool, bool, float]:
        """The modal state the fast path of `_lines` keeps in locals."""
        mo = self.m
        scale = 25.4 if mo.imperial else 1.0
        off = self.off
        fast_ok = not mo.cycle and not self.transformed and self.comp is None
        feed_ok = mo.feed_mode == 94 and mo.feed_given and mo.feed > 0.0
        own_line = src is self.main or not self.frames
        return mo, fast_ok, scale, mo.absolute, off[0], off[1], off[2], own_line, feed_ok, mo.feed * scale

    def _out_of_range(self, i: int, xs: str | None, ys: str | None, zs: str | None) -> None:
        self.line = i
        bounded(xs or "0", "X"), bounded(ys or "0", "Y"), bounded(zs or "0", "Z")

    def _line_of(self, i: int) -> int:
        self.line = i
        return self._report_line()

    def _fast_rate(self, i: int, here: list[float], xyz: list[float]) -> float:
        """A feed move's rate where the plain feed per minute is not in force: mm/min, or minus its seconds."""
        self.line = i
        self.pos = here
        f, seconds = self._rate([*xyz, *here[3:]])
        return -seconds if seconds > 0.0 else f

    def _run_line(self, raw: str, src: Source, i: int) -> None:
        """A line that is not a plain straight move: an arc with constant words, or any other."""
        ma = ARC_LINE.fullmatch(raw)
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
                return
        if "(" in raw or ";" in raw or ")" in raw:
            raw = strip_comments(raw)
        s = "".join(raw.upper().split())
        if not s:
            return
        c0 = s[0]
        if c0 == "/" or c0 == "%":
            if c0 == "%":
                if self.seen_percent and src is self.main:
                    self.ended = True  # the closing '%': nothing after it is read
                    return
                self.seen_percent = True
                return
            if self.config.block_delete:
                return
        if SIMPLE.fullmatch(s):
            g: list[float] = []
            m: list[float] = []
            w = {}
            for k, v in PAIRS.findall(s):
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
                    return
                block = parse_block(s)
                if i <= src.furthest:  # a line run again (a loop, a call): kept for next time
                    src.cache[i] = block
                else:
                    src.furthest = i
            self._block(block)

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
            elif letter == "F":
                self.feed_unknown = True
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

    # ----- words to actions ---------------------------------------------------------------------------

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
            group = G_GROUPS.get(key)
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

    def _modes(self, groups: tuple[str, ...], codes: dict[str, int], w: dict[str, float], before: int = STOPS) -> bool:
        """The handlers of the block's codes in `groups`, in their order of execution, but for
        those that wait for a later step (`before` or after); True where one took the axis words."""
        taken = False
        for group in groups:
            key = codes.get(group)
            if key is not None:
                row = G_CODES[key]
                if row.order < before and row.handler(self, key, w, codes):
                    taken = True
        return taken

    def _row(self, key: int, w: dict[str, float], codes: dict[str, int]) -> None:
        G_CODES[key].handler(self, key, w, codes)

    def _actions(self, codes: dict[str, int], mcodes: list[int], w: dict[str, float]) -> None:
        m = self.m
        if len(codes) > ("motion" in codes) or mcodes or "T" in w:
            self._modal_dirty = self._changed = True
        self._modes(SETTING_GROUPS, codes, w)
        if "F" in w and "g65" not in codes:
            self._feed(w["F"])
        if ("S" in w or "T" in w) and "g65" not in codes:
            self._speed_and_tool(w, "g50" in codes)
        self._m_codes(WORDS, mcodes, w, codes)
        self._modes(MODE_GROUPS, codes, w)
        consumed = self._modes(AXES_GROUPS, codes, w, MOTION)
        nonmodal = codes.get("nonmodal")
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
            self._row(codes["cancel"], w, codes)
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
        if nonmodal is not None and G_CODES[nonmodal].order == MOTION:
            self._row(nonmodal, w, codes)  # G53: a move of its own
        elif not consumed and "g65" not in codes:
            if m.cycle and (has_axes(w) or "cycle" in codes and ("R" in w or "Z" in w)):
                self._row(m.cycle * 10, w, codes)  # the drilling cycle in force
            elif motion == 760:
                self._motion(w, codes)
                m.motion = before  # a one-shot cycle
            elif has_axes(w) or (motion in (20, 30) and any(k in w for k in "IJKR")):
                self._motion(w, codes)
        if "g65" in codes:
            self._row(codes["g65"], w, codes)
        self._m_codes(STOPS, mcodes, w, codes)

    def _speed_and_tool(self, w: dict[str, float], speed_limit: bool) -> None:
        """S (with G50, a turning control's speed limit) and T."""
        m = self.m
        if "S" in w:
            if w["S"] < 0:
                raise GCodeError("spindle speed must not be negative", f"S{num(w['S'])}", ERR_VALUE)
            if speed_limit:
                m.css_max = w["S"]
            elif w["S"] != m.speed:
                m.speed = w["S"]
                self._modal_dirty = True
        if "T" in w:
            t = w["T"]
            if t < 0 or t != int(t):
                raise GCodeError("tool number must be a whole number", f"T{num(t)}", ERR_VALUE)
            m.next_tool = int(t)
            if self.immediate_tool:
                # a turning control's T0101: tool 01 with offset 01
                self._set_tool(int(t) // 100 if t >= 100 else int(t))

    def _m_codes(self, step: int, mcodes: list[int], w: dict[str, float], codes: dict[str, int]) -> None:
        """The block's M codes of one step of its order of execution; a code the table has not
        is refused unless the machine is told to accept it, at the first step."""
        for code in mcodes:
            row = M_ROWS.get(code)
            if row is None:
                if step == WORDS and code not in self.config.ignored_m:
                    raise GCodeError(
                        f"unknown M code; if M{code} is a code of this machine, start the simulator with "
                        f"its option --ignore-m +{code} to accept it",
                        f"M{code}",
                        ERR_UNSUPPORTED,
                    )
            elif row.order == step:
                row.handler(self, code, w, codes)

    def _end_program(self) -> None:
        """M2/M30: the next program starts in G54 without G92 offsets, in the default modes."""
        self._comp_off()
        m = self.m
        st = self.state
        self.ended = True
        m.spindle = SS_OFF
        m.mist = m.flood = False
        m.cycle = 0
        m.motion = 1.0
        m.plane = 17
        m.absolute = True
        m.feed_mode = 94
        m.cutter_comp = 40
        m.exact_stop = False
        st.active_wcs = 1
        st.g92 = [0.0] * AXIS_COUNT  # as G92.2: the saved values stay for a G92.3
        self.rot = None
        self.polar = self.transformed = False
        self._update_offset()

    def _motion(self, w: dict[str, float], codes: dict[str, int]) -> None:
        """The move of the motion mode in force, by the handler of its row."""
        key = int(round(self.m.motion * 10))
        row = G_CODES.get(key)
        if row is None or row.group != "motion":
            raise GCodeError("axis words without a motion mode", "G80", ERR_SYNTAX)
        row.handler(self, key, w, codes)

    def threading_cycle(self, w: dict[str, float]) -> None:
        cycles.threading_cycle(self, w)

    def drilling_cycle(self, w: dict[str, float]) -> None:
        cycles.drilling_cycle(self, w)

    def lathe_cycle(self, key: int, w: dict[str, float]) -> None:
        cycles.lathe_cycle(self, key, w)
