"""One program line into words: comments, keywords, O-words, assignments."""

from __future__ import annotations

import re

from .errors import ERR_FLOW, ERR_SYNTAX, ERR_UNSUPPORTED, GCodeError
from .expr import Node, ParamRef, Reader

# A line of plain words with constant values: the common case, read by one regular
# expression instead of the general reader.
SIMPLE = re.compile(r"(?:[A-NP-Z][-+]?(?:\d+\.?\d*|\.\d+))*")
_NUM = r"([-+]?(?:\d+\.?\d*|\.\d+))"
_B = r"[ \t]*"
# One line of program text: the move of CAM output, [N..] [G0|G1] [X..] [Y..] [Z..] [F..] in
# any case and spacing (groups 1 to 5), or any other line (group 6). Matched over the whole
# text, line after line, so no list of lines is ever made.
LINE = re.compile(
    rf"{_B}(?:N{_B}\d+{_B})?(?:G{_B}0*([01])(?![\d.]){_B})?(?:X{_B}{_NUM}{_B})?(?:Y{_B}{_NUM}{_B})?"
    rf"(?:Z{_B}{_NUM}{_B})?(?:F{_B}{_NUM}{_B})?(?:\n|\Z)|([^\n]*)(?:\n|\Z)",
    re.I,
)
# An arc of CAM output: [N..] [G2|G3] [X..] [Y..] [Z..] [I..] [J..] [K..] [R..] [F..]
ARC = re.compile(
    rf"{_B}(?:N{_B}\d+{_B})?(?:G{_B}0*([23])(?![\d.]){_B})?(?:X{_B}{_NUM}{_B})?(?:Y{_B}{_NUM}{_B})?"
    rf"(?:Z{_B}{_NUM}{_B})?(?:I{_B}{_NUM}{_B})?(?:J{_B}{_NUM}{_B})?(?:K{_B}{_NUM}{_B})?(?:R{_B}{_NUM}{_B})?"
    rf"(?:F{_B}{_NUM}{_B})?",
    re.I,
)
ARC_WORDS = "XYZIJKRF"
PAIRS = re.compile(r"([A-Z])([-+]?(?:\d+\.?\d*|\.\d+))")

O_KEYWORDS = frozenset(
    (
        "SUB",
        "ENDSUB",
        "CALL",
        "RETURN",
        "IF",
        "ELSEIF",
        "ELSE",
        "ENDIF",
        "WHILE",
        "ENDWHILE",
        "DO",
        "REPEAT",
        "ENDREPEAT",
        "BREAK",
        "CONTINUE",
    )
)
_NEEDS_ARG = frozenset(("IF", "ELSEIF", "WHILE", "REPEAT"))
_WORD_LETTERS = frozenset("ABCDEFGHIJKLMNPQRSTUVWXYZ@^")
_SPINDLE_NUMBER = re.compile(r"\$-?\d+")
# A word whose value is a function: X ABS[#1], Z SQRT[#2]
_FUNCTION_VALUE = re.compile(r"(?:ABS|ACOS|ASIN|ATAN|COS|EXP|FIX|FUP|LN|ROUND|SIN|SQRT|TAN|EXISTS)\[")


class OWord:
    """`O<label> keyword [args]`; keyword "" is a program number (`O1000` or `:1000`)."""

    __slots__ = ("label", "keyword", "args")

    def __init__(self, label: str, keyword: str, args: list[Node]) -> None:
        self.label = label
        self.keyword = keyword
        self.args = args


class Macro:
    """Macro statements: IF [..] GOTO n, IF [..] THEN .., GOTO n, WHILE [..] DO m, DO m, END m."""

    __slots__ = ("kind", "cond", "target", "then")

    def __init__(self, kind: str, cond: Node | None, target: Node | None, then: Block | None = None) -> None:
        self.kind = kind
        self.cond = cond
        self.target = target
        self.then = then


class Block:
    __slots__ = ("words", "g", "m", "assigns", "oword", "macro")

    def __init__(self) -> None:
        self.words: dict[str, Node] = {}
        self.g: list[Node] = []
        self.m: list[Node] = []
        self.assigns: list[tuple[ParamRef, Node]] = []
        self.oword: OWord | None = None
        self.macro: Macro | None = None


def strip_comments(raw: str) -> str:
    """The line without its comments; `;` inside parentheses belongs to the comment."""
    out = []
    i = 0
    n = len(raw)
    while i < n:
        open_ = raw.find("(", i)
        semi = raw.find(";", i)
        close = raw.find(")", i)
        ends = [p for p in (open_, semi, close) if p >= 0]
        if not ends:
            out.append(raw[i:])
            break
        first = min(ends)
        out.append(raw[i:first])
        if first == semi:
            break
        if first == close:
            raise GCodeError("')' without an opening '('", ")", ERR_SYNTAX)
        end = raw.find(")", first + 1)
        if end < 0:
            raise GCodeError("comment not closed on its line", raw[first : first + 12], ERR_SYNTAX)
        inner = raw.find("(", first + 1, end)
        if inner >= 0:
            raise GCodeError(
                "a comment must not hold another '(': comments do not nest", raw[inner : inner + 12], ERR_SYNTAX
            )
        i = end + 1
    return "".join(out)


def clean(raw: str) -> str:
    """Upper case, no blanks, no comments, no block-delete slash; "" for nothing to run."""
    if "(" in raw or ";" in raw or ")" in raw:
        raw = strip_comments(raw)
    s = "".join(raw.upper().split())
    if not s:
        return ""
    c = s[0]
    if c == "/":
        s = s.lstrip("/")
    elif c == "%":
        return ""
    if "$" in s:
        # "M3 $0 S1000" picks a spindle by number: one spindle here. A line that starts with
        # '$' ("$H", "$J=..") is another controller's command and not G-code.
        if s[0] != "$":
            s = _SPINDLE_NUMBER.sub("", s)
        if "$" in s:
            raise GCodeError(
                "'$' commands belong to another controller's dialect and are not G-code",
                s[s.index("$") : s.index("$") + 8],
                ERR_UNSUPPORTED,
            )
    return s


def parse_block(s: str) -> Block:
    """The words and statements of a cleaned line."""
    b = Block()
    r = Reader(s)
    n = len(s)
    while r.i < n:
        c = s[r.i]
        if c == "#":
            ref = r.param_ref()
            r.expect("=")
            b.assigns.append((ref, r.expression()))
            continue
        if c == "O" or (c == ":" and r.i == 0):
            _oword(r, b)
            continue
        nxt = s[r.i + 1] if r.i + 1 < n else ""
        if c.isalpha() and nxt.isalpha() and not (c in _WORD_LETTERS and _FUNCTION_VALUE.match(s, r.i + 1)):
            _keyword(r, b)
            continue
        if c not in _WORD_LETTERS:
            raise GCodeError(f"unexpected character '{c}'", s[r.i : r.i + 8], ERR_SYNTAX)
        r.i += 1
        start = r.i
        try:
            node = r.value()
        except GCodeError as exc:
            if not exc.word or exc.word == "end of line":
                exc.word = c
            exc.message = f"word {c} has no value ({exc.message})" if r.i == start else exc.message
            raise
        if c == "G":
            b.g.append(node)
        elif c == "M":
            b.m.append(node)
        elif c in b.words:
            raise GCodeError(f"word {c} appears twice on the line", c, ERR_SYNTAX)
        else:
            b.words[c] = node
    return b


def _oword(r: Reader, b: Block) -> None:
    s = r.s
    r.i += 1
    if r.peek() == "<":
        end = s.find(">", r.i)
        if end < 0:
            raise GCodeError("unclosed O-word name", s[r.i - 1 : r.i + 10], ERR_SYNTAX)
        label = s[r.i + 1 : end]
        r.i = end + 1
    else:
        m = re.compile(r"\d+").match(s, r.i)
        if not m:
            raise GCodeError("O word needs a number or a <name>", s[r.i - 1 : r.i + 8], ERR_SYNTAX)
        label = str(int(m.group()))
        r.i = m.end()
    keyword = r.name()
    if keyword in O_KEYWORDS:
        r.i += len(keyword)
    elif keyword == "ELSEIF" or keyword.startswith(("ELSEIF", "ENDSUB", "ENDIF", "ENDWHILE", "ENDREPEAT")):
        raise GCodeError("unknown O-word keyword", keyword, ERR_SYNTAX)
    else:
        if b.oword is not None:
            raise GCodeError("two O words on one line", "O" + label, ERR_SYNTAX)
        b.oword = OWord(label, "", [])  # a program number; words may follow
        return
    args: list[Node] = []
    while r.peek() == "[":
        args.append(r.bracket())
    if keyword in _NEEDS_ARG and len(args) != 1:
        raise GCodeError(f"O-word {keyword} needs one bracketed condition or count", f"O{label}{keyword}", ERR_FLOW)
    if not r.at_end():
        raise GCodeError(f"unexpected text after O-word {keyword}", s[r.i : r.i + 8], ERR_SYNTAX)
    if b.words or b.g or b.m or b.assigns:
        raise GCodeError("an O-word statement stands alone on its line", f"O{label}{keyword}", ERR_SYNTAX)
    b.oword = OWord(label, keyword, args)


def _keyword(r: Reader, b: Block) -> None:
    s = r.s
    word = r.name()
    if word.startswith("IF") and s.startswith("IF[", r.i):
        r.i += 2
        cond = r.bracket()
        rest = r.name()
        if rest.startswith("GOTO"):
            r.i += 4
            b.macro = Macro("IF_GOTO", cond, r.value())
        elif rest.startswith("THEN"):
            r.i += 4
            then = parse_block(s[r.i :])
            r.i = len(s)
            b.macro = Macro("IF_THEN", cond, None, then)
        else:
            raise GCodeError("IF needs GOTO or THEN after its condition", rest or s[r.i : r.i + 8], ERR_SYNTAX)
    elif word.startswith("WHILE") and s.startswith("WHILE[", r.i):
        r.i += 5
        cond = r.bracket()
        if not s.startswith("DO", r.i):
            raise GCodeError("WHILE needs DO and a loop number", s[r.i : r.i + 8] or "WHILE", ERR_SYNTAX)
        r.i += 2
        b.macro = Macro("WHILE", cond, r.value())
    elif word.startswith("GOTO"):
        r.i += 4
        b.macro = Macro("GOTO", None, r.value())
    elif word.startswith("DO"):
        r.i += 2
        b.macro = Macro("DO", None, r.value())
    elif word.startswith("END"):
        r.i += 3
        b.macro = Macro("END", None, r.value())
    else:
        raise GCodeError("unknown word", word[:8], ERR_SYNTAX)
    if not r.at_end():
        raise GCodeError("unexpected text after the statement", s[r.i : r.i + 8], ERR_SYNTAX)
