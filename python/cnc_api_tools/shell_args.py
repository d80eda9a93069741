"""The arguments of a shell line: Python literals and the module's constants, never evaluated code."""

from __future__ import annotations

import ast
from typing import Any

import cnc_api_client_core as cnc

__all__ = ["CONSTANTS", "ArgumentError", "parse_arguments"]

# The module's named codes (JC_X_FW, SM_IDLE, ANALYSIS_MT, X_AXIS_MASK, ...), usable as arguments by name.
CONSTANTS: dict[str, Any] = {
    name: value
    for name, value in vars(cnc).items()
    if name.isupper() and isinstance(value, int | str | float) and not isinstance(value, bool)
}


class ArgumentError(ValueError):
    """The arguments are not literals or named constants."""


def _value(node: ast.expr) -> Any:
    if isinstance(node, ast.Name):
        if node.id not in CONSTANTS:
            raise ArgumentError(f"{node.id!r} is not a constant of the module (give text in quotes)")
        return CONSTANTS[node.id]
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        # Axis masks are or'ed together: X_AXIS_MASK | Z_AXIS_MASK.
        left, right = _value(node.left), _value(node.right)
        if not isinstance(left, int) or not isinstance(right, int):
            raise ArgumentError("| joins whole numbers only")
        return left | right
    if isinstance(node, ast.List | ast.Tuple):
        values = [_value(e) for e in node.elts]
        return values if isinstance(node, ast.List) else tuple(values)
    try:
        return ast.literal_eval(node)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        raise ArgumentError(f"{ast.unparse(node)!r} is not a literal") from None


def _call(text: str) -> ast.Call:
    """`text` as the argument list of a call: `1, 2`, `(1, 2)` or `line=3`."""
    sources = [f"_({text})"]
    if text.startswith("(") and text.endswith(")"):
        sources.insert(0, f"_{text}")
    for source in sources:
        try:
            tree = ast.parse(source, mode="eval")
        except (SyntaxError, ValueError, MemoryError, RecursionError):
            continue
        call = tree.body
        if isinstance(call, ast.Call) and isinstance(call.func, ast.Name) and call.func.id == "_":
            return call
    raise ArgumentError("arguments are Python literals separated by commas, such as 100, 3 or 'G0 X10'")


def parse_arguments(text: str) -> tuple[list[Any], dict[str, Any]]:
    """Positional and keyword arguments from the text after a method's name."""
    text = text.strip()
    if not text:
        return [], {}
    call = _call(text)
    if any(isinstance(a, ast.Starred) for a in call.args) or any(k.arg is None for k in call.keywords):
        raise ArgumentError("* and ** are not arguments")
    return [_value(a) for a in call.args], {str(k.arg): _value(k.value) for k in call.keywords}
