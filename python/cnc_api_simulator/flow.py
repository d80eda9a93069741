"""Program flow: O-word subroutines and control flow, program-number calls and the macro
statements of program-number controls."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING

from . import storage
from .errors import ERR_FLOW, ERR_VALUE, GCodeError
from .expr import Node, Value
from .lexer import Macro, OWord, clean, parse_block
from .source import Place, Source
from .words import truth

if TYPE_CHECKING:
    from .lexer import Block
    from .state import State

MAX_DEPTH = 64  # subroutine nesting

G65_LETTERS = {
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


class Flow:
    """Jumps, calls and returns of the interpreter (a part of Interpreter)."""

    if TYPE_CHECKING:  # what the rest of the interpreter holds
        state: State
        main: Source
        src: Source
        files: dict[str, Source]
        frames: list[Frame]
        programs_dir: str | None
        i: int
        at: int
        here: int
        line: int
        jumped: bool
        _main_loops: dict[int, Place]
        _main_counters: dict[int, int]
        macro_style: bool

        def _block(self, b: Block) -> None: ...

        def _eval(self, node: Node) -> Value: ...

        def _report_line(self) -> int: ...

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
            self._leave_loop(kw, label, here, word)

    def _leave_loop(self, kw: str, label: str, here: int, word: str) -> None:
        """O BREAK and O CONTINUE: out of the loop, or on to its next pass."""
        src = self.src
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

    def call_line(self, number: int, repeat: int) -> None:
        """M97: the lines from N`number` of this program, `repeat` times, as a subprogram."""
        place = self.src.n_label(number, -1)
        if place is None:
            raise GCodeError(f"no line N{number} to call", f"M97 P{number}", ERR_FLOW)
        if repeat > 0:
            here = (self.i, self.at)
            frame = Frame(self.src, here, None, f"N{number}", repeat - 1, place, self._report_line())
            self._push(frame, self.src, place)

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
                self.state.params[G65_LETTERS[letter]] = value
        self._push(Frame(src, (self.i, self.at), saved, label, repeat - 1, entry, self._report_line()), target, entry)
