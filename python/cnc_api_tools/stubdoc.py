"""The client's methods, constants and records as the installed stubs describe them.

The extension carries no documentation of its own; the stubs installed beside it
do. They are read with `ast`, never imported or run.
"""

from __future__ import annotations

import ast
import functools
import sys
from dataclasses import dataclass, field
from pathlib import Path

import cnc_api_client_core as cnc

__all__ = ["Method", "Stubs", "load_stubs", "stub_path"]

_STUBS = Path("cnc_api_client_core-stubs") / "__init__.pyi"
_CLIENT = "CncAPIClientCore"


@dataclass(frozen=True)
class Method:
    name: str
    params: tuple[tuple[str, str], ...]  # (name, annotation) without self
    returns: str
    doc: str

    @property
    def signature(self) -> str:
        shown = ", ".join(f"{n}: {a}" if a else n for n, a in self.params)
        return f"{self.name}({shown})" + (f" -> {self.returns}" if self.returns else "")


@dataclass
class Stubs:
    methods: dict[str, Method] = field(default_factory=dict)
    docs: dict[str, str] = field(default_factory=dict)  # constants and record classes by name


def stub_path() -> Path | None:
    """The stubs' file: where the module is installed, else on the import path."""
    places = [Path(getattr(cnc, "__file__", ".")).parent, *(Path(p or ".") for p in sys.path)]
    for place in places:
        candidate = place / _STUBS
        if candidate.is_file():
            return candidate
    return None


def _annotation(node: ast.expr | None) -> str:
    return ast.unparse(node) if node is not None else ""


def _method(node: ast.FunctionDef) -> Method:
    args = node.args.posonlyargs + node.args.args
    params = tuple((a.arg, _annotation(a.annotation)) for a in args if a.arg != "self")
    return Method(node.name, params, _annotation(node.returns), ast.get_docstring(node) or "")


def _documented(body: list[ast.stmt]) -> dict[str, str]:
    """`NAME: type` followed by a string: the string documents NAME."""
    docs: dict[str, str] = {}
    for stmt, following in zip(body, body[1:], strict=False):
        if (
            isinstance(stmt, ast.AnnAssign)
            and isinstance(stmt.target, ast.Name)
            and isinstance(following, ast.Expr)
            and isinstance(following.value, ast.Constant)
            and isinstance(following.value.value, str)
        ):
            docs[stmt.target.id] = following.value.value
    return docs


def parse_stubs(text: str) -> Stubs:
    tree = ast.parse(text)
    stubs = Stubs(docs=_documented(tree.body))
    for node in tree.body:
        if not isinstance(node, ast.ClassDef):
            continue
        stubs.docs[node.name] = ast.get_docstring(node) or ""
        if node.name == _CLIENT:
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not item.name.startswith("_"):
                    stubs.methods[item.name] = _method(item)
    return stubs


@functools.cache
def load_stubs() -> Stubs:
    """What the stubs say; empty when they cannot be found or read."""
    path = stub_path()
    if path is None:
        return Stubs()
    try:
        return parse_stubs(path.read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, SyntaxError, ValueError):
        return Stubs()
