"""Every Python example of the README, the documentation site and the stubs'
docstrings runs against a simulator, so none of them can rot.

The examples are written for a simulator at 127.0.0.1:8000, as a reader would
start it; here each document gets a simulator of its own on a free port, and
the port number 8000 in its examples is read as that port. The examples of one
document run in order in one namespace, as a reader would paste them.
"""

from __future__ import annotations

import ast
import contextlib
import inspect
import io
import pathlib
import re
import socket
from collections.abc import Iterator

import pytest
from cnc_api_simulator import Simulator
from sybil import Document, Example, Sybil
from sybil.parsers.markdown import CodeBlockParser, SkipParser

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUBS = ROOT / "python" / "cnc_api_client_core-stubs" / "__init__.pyi"
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md")), STUBS]
DOCUMENTED_PORT = re.compile(r"\b8000\b")


class StubDocstrings(Document):
    """The docstrings of a stub file, in file order, read as one Markdown text.

    Stubs cannot be imported, so their docstrings are taken from the syntax tree.
    """

    @classmethod
    def parse(cls, path: str, *parsers: object, encoding: str = "utf-8") -> Document:
        tree = ast.parse(pathlib.Path(path).read_text(encoding=encoding))
        docs = []
        for node in ast.walk(tree):
            if isinstance(node, ast.Module | ast.ClassDef | ast.FunctionDef):
                doc = ast.get_docstring(node)
                if doc:
                    docs.append((getattr(node, "lineno", 0), inspect.cleandoc(doc)))
        document = cls("\n\n".join(text for _, text in sorted(docs)) + "\n", path)
        for parser in parsers:
            for region in parser(document):  # type: ignore[operator]
                document.add(region)
        return document


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def examples(path: pathlib.Path, port: int) -> Iterator[Example]:
    def evaluate(example: Example) -> None:
        source = DOCUMENTED_PORT.sub(str(port), example.parsed)
        exec(compile(source, f"{path.name}:{example.line}", "exec"), example.namespace)

    sybil = Sybil(
        parsers=[CodeBlockParser(language="python", evaluator=evaluate), SkipParser()],
        document_types={".pyi": StubDocstrings},
    )
    yield from sybil.parse(path)


def run_document(path: pathlib.Path, port: int) -> tuple[int, str]:
    """Runs the examples of `path` with 8000 read as `port`; the count run and what they printed."""
    out = io.StringIO()
    count = 0
    with contextlib.redirect_stdout(out):
        for example in examples(path, port):
            example.evaluate()
            count += 1
    return count, out.getvalue()


def test_every_document_is_checked() -> None:
    names = {p.relative_to(ROOT).as_posix() for p in DOCUMENTS}
    assert {"README.md", "docs/index.md", "docs/getting-started.md"} <= names
    assert sum(1 for p in DOCUMENTS if "```python" in p.read_text()) >= 5


@pytest.mark.parametrize("path", DOCUMENTS, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_examples_run_against_the_simulator(path: pathlib.Path, tmp_path: pathlib.Path) -> None:
    with Simulator("127.0.0.1", 0, str(tmp_path), speed=50.0) as sim:
        count, printed = run_document(path, sim.port)
    if "```python" in path.read_text():
        assert count > 0, "a Python example that Sybil did not find"
    assert "no API server" not in printed


def test_readme_first_example_explains_a_missing_server() -> None:
    # Nothing listens on the port: the example must say so instead of ending silently.
    first = next(examples(ROOT / "README.md", 0))
    port = free_port()
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(DOCUMENTED_PORT.sub(str(port), first.parsed), {})
    printed = out.getvalue()
    assert f"127.0.0.1:{port}" in printed
    assert "no API server" in printed and "python -m cnc_api_simulator" in printed


def test_readme_first_example_reports_the_machine(tmp_path: pathlib.Path) -> None:
    first = next(examples(ROOT / "README.md", 0))
    with Simulator("127.0.0.1", 0, str(tmp_path)) as sim:
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(DOCUMENTED_PORT.sub(str(sim.port), first.parsed), {})
    assert re.search(r"state IDLE\b", out.getvalue()), out.getvalue()
