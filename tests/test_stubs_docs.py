"""The type stubs document everything the module offers: editors show these
docstrings on hover and the documentation site's reference is built from them,
while the module's own docstrings stay as they are."""

from __future__ import annotations

import ast
import builtins
import pathlib
import re

import cnc_api_client_core as cnc
import pytest

STUBS = pathlib.Path(__file__).resolve().parents[1] / "python" / "cnc_api_client_core-stubs" / "__init__.pyi"
TREE = ast.parse(STUBS.read_text())
CLASSES = {node.name: node for node in TREE.body if isinstance(node, ast.ClassDef)}


def attribute_docs(body: list[ast.stmt]) -> dict[str, str | None]:
    """Each annotated name of a body with the string literal right after it, if any."""
    docs: dict[str, str | None] = {}
    for stmt, after in zip(body, [*body[1:], None], strict=True):
        if isinstance(stmt, ast.AnnAssign) and isinstance(stmt.target, ast.Name):
            literal = isinstance(after, ast.Expr) and isinstance(after.value, ast.Constant)
            docs[stmt.target.id] = after.value.value if literal else None  # type: ignore[union-attr]
    return docs


def methods(cls: ast.ClassDef) -> dict[str, ast.FunctionDef]:
    return {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}


def section(doc: str, title: str) -> list[str]:
    """Names of the entries of a Google-style section (`Args:`, `Raises:`)."""
    match = re.search(rf"^{title}:\n((?:    .*\n?|\n)+)", doc, re.M)
    return re.findall(r"^    (\w+):", match.group(1), re.M) if match else []


MODULE_ATTRIBUTES = attribute_docs(TREE.body)
RUNTIME_NAMES = sorted(n for n in vars(cnc) if not n.startswith("__") and n not in {"json", "socket"})


def test_module_docstring_explains_failures() -> None:
    doc = ast.get_docstring(TREE) or ""
    assert "has_data" in doc and "is_connected" in doc


@pytest.mark.parametrize("name", RUNTIME_NAMES + ["__version__"])
def test_every_runtime_name_is_documented(name: str) -> None:
    if name in CLASSES:
        doc = ast.get_docstring(CLASSES[name]) or ""
        assert len(doc) > 30, name
    else:
        assert MODULE_ATTRIBUTES.get(name), f"{name} has no docstring in the stubs"


@pytest.mark.parametrize("cls", sorted(CLASSES))
def test_every_field_and_method_is_documented(cls: str) -> None:
    node = CLASSES[cls]
    undocumented = [name for name, doc in attribute_docs(node.body).items() if not doc]
    undocumented += [name for name, fn in methods(node).items() if not ast.get_docstring(fn)]
    assert not undocumented, f"{cls}: {undocumented}"
    runtime = {n for n in vars(getattr(cnc, cls)) if not n.startswith("__") or n == "__init__"}
    documented = set(attribute_docs(node.body)) | set(methods(node))
    assert runtime <= documented, f"{cls} lacks {sorted(runtime - documented)}"


def all_docstrings() -> list[str]:
    found = [ast.get_docstring(n) for n in ast.walk(TREE) if isinstance(n, ast.Module | ast.ClassDef | ast.FunctionDef)]
    return [d for d in found if d] + [d for d in MODULE_ATTRIBUTES.values() if d]


def test_no_placeholder_docstrings() -> None:
    assert not [d for d in all_docstrings() if d.startswith("Xxx")]


@pytest.mark.parametrize(
    "cls, name",
    [(c, m) for c in ("CncAPIClientCore", "CncAPIInfoContext") for m in methods(CLASSES[c])],
)
def test_arguments_and_errors_match_the_signature(cls: str, name: str) -> None:
    fn = methods(CLASSES[cls])[name]
    doc = ast.get_docstring(fn) or ""
    params = [a.arg for a in fn.args.args if a.arg != "self"]
    documented = section(doc, "Args")
    # Private helpers may leave their one self-explaining argument out.
    if documented or not name.startswith("_"):
        assert documented == params, f"{name}: Args {documented} for parameters {params}"
    raised = section(doc, "Raises")
    assert all(isinstance(getattr(builtins, e, None), type) for e in raised), raised
    returns = fn.returns
    if not (isinstance(returns, ast.Constant) and returns.value is None):
        assert "Returns:" in doc or name == "close_cnc_control_software", name
