"""Values of words: numbers, parameters and bracketed expressions.

A value is read once into a node: a float when it is constant, or a function of the
parameter store that computes it each time the line runs (lines in loops and
subroutines run many times). `None` is the vacant value of macro programs: it reads as
0 in arithmetic and drops a word that it is the value of.
"""

from __future__ import annotations

import math
import re
from collections.abc import Callable
from typing import Protocol

from .errors import ERR_SYNTAX, ERR_VALUE, GCodeError

Value = float | None


class Params(Protocol):
    def get(self, index: float) -> Value: ...

    def get_named(self, name: str) -> Value: ...

    def exists(self, name: str) -> bool: ...


Node = float | Callable[[Params], Value]

_NUMBER = re.compile(r"[-+]?(?:\d+\.?\d*|\.\d+)")
_DIGITS = re.compile(r"\d+")
_NAME = re.compile(r"[A-Z]+")


def _num(v: Value) -> float:
    return 0.0 if v is None else v


def _deg(f: Callable[[float], float]) -> Callable[[float], float]:
    return lambda v: f(math.radians(v))


def _inv_deg(f: Callable[[float], float]) -> Callable[[float], float]:
    return lambda v: math.degrees(f(v))


def _round(v: float) -> float:
    return float(math.floor(v + 0.5)) if v >= 0 else -float(math.floor(-v + 0.5))


def _ln(v: float) -> float:
    if v <= 0:
        raise GCodeError("logarithm of a value that is not positive", "LN", ERR_VALUE)
    return math.log(v)


def _sqrt(v: float) -> float:
    if v < 0:
        raise GCodeError("square root of a negative value", "SQRT", ERR_VALUE)
    return math.sqrt(v)


def _arc(f: Callable[[float], float], name: str) -> Callable[[float], float]:
    def call(v: float) -> float:
        if not -1.0 <= v <= 1.0:
            raise GCodeError(f"{name} of a value outside -1 to 1", name, ERR_VALUE)
        return math.degrees(f(v))

    return call


FUNCTIONS: dict[str, Callable[[float], float]] = {
    "ABS": abs,
    "ACOS": _arc(math.acos, "ACOS"),
    "ASIN": _arc(math.asin, "ASIN"),
    "COS": _deg(math.cos),
    "EXP": math.exp,
    "FIX": lambda v: float(math.floor(v)),
    "FUP": lambda v: float(math.ceil(v)),
    "LN": _ln,
    "ROUND": _round,
    "SIN": _deg(math.sin),
    "SQRT": _sqrt,
    "TAN": _deg(math.tan),
}


def _div(a: float, b: float) -> float:
    if b == 0:
        raise GCodeError("division by zero", "/", ERR_VALUE)
    return a / b


def _mod(a: float, b: float) -> float:
    if b == 0:
        raise GCodeError("MOD by zero", "MOD", ERR_VALUE)
    return math.fmod(a, b) if a >= 0 else a - b * math.floor(a / b)


def _pow(a: float, b: float) -> float:
    try:
        r = a**b
    except (ZeroDivisionError, OverflowError) as exc:
        raise GCodeError("power out of range", "**", ERR_VALUE) from exc
    if isinstance(r, complex):
        raise GCodeError("power of a negative value", "**", ERR_VALUE)
    return float(r)


def _eq(a: Value, b: Value) -> float:
    if a is None or b is None:
        return float(a is None and b is None)
    return float(abs(a - b) < 1e-9)


_BINARY: dict[str, tuple[int, Callable[[Value, Value], Value]]] = {
    "**": (5, lambda a, b: _pow(_num(a), _num(b))),
    "*": (4, lambda a, b: _num(a) * _num(b)),
    "/": (4, lambda a, b: _div(_num(a), _num(b))),
    "MOD": (4, lambda a, b: _mod(_num(a), _num(b))),
    "+": (3, lambda a, b: _num(a) + _num(b)),
    "-": (3, lambda a, b: _num(a) - _num(b)),
    "EQ": (2, _eq),
    "NE": (2, lambda a, b: 1.0 - _eq(a, b)),
    "GT": (2, lambda a, b: float(_num(a) > _num(b))),
    "GE": (2, lambda a, b: float(_num(a) >= _num(b))),
    "LT": (2, lambda a, b: float(_num(a) < _num(b))),
    "LE": (2, lambda a, b: float(_num(a) <= _num(b))),
    "AND": (1, lambda a, b: float(bool(_num(a)) and bool(_num(b)))),
    "OR": (1, lambda a, b: float(bool(_num(a)) or bool(_num(b)))),
    "XOR": (1, lambda a, b: float(bool(_num(a)) != bool(_num(b)))),
}
_WORD_OPS = ("MOD", "AND", "XOR", "EQ", "NE", "GT", "GE", "LT", "LE", "OR")


def evaluate(node: Node, params: Params) -> Value:
    return node if isinstance(node, float) else node(params)


class ParamRef:
    """Where an assignment writes: a numbered parameter (constant or computed) or a name."""

    __slots__ = ("index", "name")

    def __init__(self, index: Node | None, name: str | None) -> None:
        self.index = index
        self.name = name


class Reader:
    """Reads values out of one cleaned line (upper case, no blanks, no comments)."""

    def __init__(self, text: str, pos: int = 0) -> None:
        self.s = text
        self.i = pos

    def peek(self) -> str:
        return self.s[self.i] if self.i < len(self.s) else ""

    def at_end(self) -> bool:
        return self.i >= len(self.s)

    def expect(self, char: str) -> None:
        if self.peek() != char:
            found = self.s[self.i : self.i + 8] or "end of line"
            raise GCodeError(f"expected '{char}'", found, ERR_SYNTAX)
        self.i += 1

    def name(self) -> str:
        m = _NAME.match(self.s, self.i)
        return m.group() if m else ""

    # ----- values ------------------------------------------------------------------------------

    def value(self) -> Node:
        """A real value: number, parameter, bracketed expression, function, or a signed one."""
        s, i = self.s, self.i
        m = _NUMBER.match(s, i)
        if m:
            self.i = m.end()
            return float(m.group())
        c = s[i] if i < len(s) else ""
        if c and c in "+-":
            self.i += 1
            inner = self.value()
            if c == "+":
                return inner
            if isinstance(inner, float):
                return -inner
            fn = inner
            return lambda p: -_num(fn(p))
        if c == "#":
            return self.param()
        if c == "[":
            return self.bracket()
        if c.isalpha():
            return self.function()
        raise GCodeError("expected a number, parameter or expression", s[i : i + 8] or "end of line")

    def bracket(self) -> Node:
        self.expect("[")
        node = self.expression()
        self.expect("]")
        return node

    def expression(self) -> Node:
        return self._binary(1)

    def _operator(self) -> str:
        s, i = self.s, self.i
        c = s[i] if i < len(s) else ""
        if c == "*":
            return "**" if s.startswith("**", i) else "*"
        if c in "/+-":
            return c
        if c.isalpha():
            for op in _WORD_OPS:
                if s.startswith(op, i):
                    return op
        return ""

    def _binary(self, level: int) -> Node:
        if level > 5:
            return self.value()
        left = self._binary(level + 1)
        while True:
            op = self._operator()
            if not op or _BINARY[op][0] != level:
                return left
            self.i += len(op)
            right = self._binary(level + 1)
            left = _combine(_BINARY[op][1], left, right)

    def function(self) -> Node:
        word = self.name()
        if word == "EXISTS":
            self.i += len(word)
            self.expect("[")
            self.expect("#")
            self.expect("<")
            end = self.s.find(">", self.i)
            if end < 0:
                raise GCodeError("unclosed parameter name", "#<", ERR_SYNTAX)
            name = self.s[self.i : end]
            self.i = end + 1
            self.expect("]")
            return lambda p: float(p.exists(name))
        if word == "ATAN":
            self.i += 4
            self.expect("[")
            y = self.expression()
            if self.peek() == ",":  # ATAN[y,x], the form of some controls
                self.i += 1
                x = self.expression()
                self.expect("]")
            else:
                self.expect("]")
                self.expect("/")
                x = self.bracket()
            return _combine(lambda a, b: math.degrees(math.atan2(_num(a), _num(b))), y, x)
        for fname in sorted(FUNCTIONS, key=len, reverse=True):
            if word.startswith(fname) and self.s.startswith(fname + "[", self.i):
                self.i += len(fname)
                arg = self.bracket()
                fn = FUNCTIONS[fname]
                if isinstance(arg, float):
                    return fn(arg)
                inner = arg
                return lambda p: fn(_num(inner(p)))
        raise GCodeError("unknown function or misplaced letters", word or self.s[self.i : self.i + 8])

    def param(self) -> Node:
        """`#` reference read as a value."""
        ref = self.param_ref()
        if ref.name is not None:
            name = ref.name
            return lambda p: p.get_named(name)
        index = ref.index
        assert index is not None
        if isinstance(index, float):
            k = index
            return lambda p: p.get(k)
        fn = index
        return lambda p: p.get(_num(fn(p)))

    def param_ref(self) -> ParamRef:
        self.expect("#")
        s, i = self.s, self.i
        if s.startswith("<", i):
            end = s.find(">", i)
            if end < 0:
                raise GCodeError("unclosed parameter name", s[i - 1 : i + 8])
            name = s[i + 1 : end]
            if not name:
                raise GCodeError("empty parameter name", "#<>")
            self.i = end + 1
            return ParamRef(None, name)
        m = _DIGITS.match(s, i)
        if m:
            self.i = m.end()
            return ParamRef(float(m.group()), None)
        if i < len(s) and s[i] in "#[":
            return ParamRef(self.param() if s[i] == "#" else self.bracket(), None)
        raise GCodeError("expected a parameter number or name after '#'", s[i - 1 : i + 8])


def _combine(op: Callable[[Value, Value], Value], left: Node, right: Node) -> Node:
    if isinstance(left, float) and isinstance(right, float):
        result = op(left, right)
        return 0.0 if result is None else result
    if isinstance(left, float):
        a, fb = left, right
        assert not isinstance(fb, float)
        return lambda p: op(a, fb(p))
    fa = left
    if isinstance(right, float):
        b = right
        return lambda p: op(fa(p), b)
    fr = right
    return lambda p: op(fa(p), fr(p))
