"""Every example of the README, the documentation site and the stubs' docstrings
runs against simulators, so none of them can rot.

The examples are written for machines at 127.0.0.1:8000, 8001, ... and for
listening addresses on ports 8050 and 9108, as a reader would have them; here
each document gets simulators of its own on free ports, and those port numbers
in its examples are read as the free ones. The Python examples of one document
run in order in one namespace, as a reader would paste them; the `sh` examples
run command by command in real subprocesses (`cnc-api` is told the first
simulator's port through CNC_API_PORT, as a user would set it).

Commands that serve until interrupted (`cnc-api sim`, `watch`, `export`, `opcua`,
`dashboard`, `python -m cnc_api_simulator`) are started, must come up and keep
running, and are then stopped with Ctrl-C (SIGINT), which must end them
cleanly. Set-up and build commands (`pip install`, `make`) are not run here,
since CI runs them as steps of its own: they are checked against the project
(the extras and targets they name must exist). A comment such as `# exits 3`
after a command states the exit status the example shows.

An example that cannot run here is marked `<!-- skip: next "why" -->`; the
reason is required.
"""

from __future__ import annotations

import ast
import contextlib
import inspect
import io
import os
import pathlib
import queue
import re
import shlex
import signal
import socket
import subprocess
import sys
import threading
import time
import tomllib
import unittest
from collections.abc import Iterator
from dataclasses import dataclass

import pytest
from cnc_api_simulator import Simulator
from sybil import Document, Example, Sybil
from sybil.parsers.markdown import CodeBlockParser, SkipParser
from tools_helpers import run_cli

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUBS = ROOT / "python" / "cnc_api_client_core-stubs" / "__init__.pyi"
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md")), STUBS]
# Ports of the machines the examples talk to, and of the servers they start.
MACHINE_PORT = re.compile(r"\b800\d\b")
LISTEN_PORTS = ("8050", "9108")
DOCUMENTED_PORT = re.compile(r"\b(?:800\d|8050|9108)\b")
# Languages of fenced blocks: the first two run, the others show output or files.
RUN_LANGUAGES = {"python", "sh"}
SHOWN_LANGUAGES = {"text", "csv", "json", "gcode", "toml", "ini", "yaml"}
SKIP_DIRECTIVE = re.compile(r"<!--+\s*skip:\s*(\w+)(.*?)-->", re.S)
EXPECTED_EXIT = re.compile(r"#.*\bexits? (\d+)\b")
# A long-running command is up once it has printed this much, or has run this long.
STARTUP_SECONDS = 20.0
COMMAND_SECONDS = 120.0


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


# ----- the shell examples -------------------------------------------------------------------


def console_script() -> list[str]:
    """The installed `cnc-api`, or the package's __main__ where none is installed."""
    script = pathlib.Path(sys.executable).with_name("cnc-api")
    return [str(script)] if script.exists() else [sys.executable, "-m", "cnc_api_tools"]


def make_targets() -> set[str]:
    text = (ROOT / "Makefile").read_text()
    targets: set[str] = set()
    for line in text.splitlines():
        match = re.match(r"^([A-Za-z0-9_.%-][A-Za-z0-9_.% -]*?)\s*:(?!=)", line)
        if match and not line.startswith((".", "\t")):
            targets.update(match.group(1).split())
    return targets


def extras() -> set[str]:
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    return set(project["optional-dependencies"])


@dataclass
class Command:
    argv: list[str]
    env: dict[str, str]
    expected: int
    text: str


def shell_commands(source: str) -> Iterator[Command]:
    """The commands of an `sh` block: one a line, `\\` continues a line, `#` starts a comment."""
    logical = re.sub(r"\\\n", " ", source)
    for line in logical.splitlines():
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        lexer = shlex.shlex(line, posix=True, punctuation_chars=";&|<>")
        lexer.whitespace_split = True
        lexer.commenters = "#"
        words = list(lexer)
        bad = [w for w in words if w and set(w) <= set(";&|<>")]
        assert not bad, f"shell syntax the examples do not use: {line!r}"
        env: dict[str, str] = {}
        while words and re.match(r"^[A-Z_][A-Z0-9_]*=", words[0]):
            name, _, value = words.pop(0).partition("=")
            env[name] = value
        expected = EXPECTED_EXIT.search(line)
        yield Command(words, env, int(expected.group(1)) if expected else 0, line.strip())


@dataclass
class Sandbox:
    """Where the examples of one document run: simulators, ports, a working folder."""

    folder: pathlib.Path
    ports: dict[str, str]

    def ported(self, text: str) -> str:
        return DOCUMENTED_PORT.sub(lambda m: self.ports.get(m.group(), m.group()), text)

    def env(self, extra: dict[str, str]) -> dict[str, str]:
        env = {k: v for k, v in os.environ.items() if not k.startswith("CNC_API_")}
        env.update(COLUMNS="100", NO_COLOR="1", TERM="dumb", PYTHONUNBUFFERED="1")
        env["CNC_API_PORT"] = self.ports.get("8000", "8000")
        env.update({k: self.ported(v) for k, v in extra.items()})
        return env


def with_own_port(argv: list[str], option: str, value: str) -> list[str]:
    """`argv` with `option`'s value set to `value` (added when missing)."""
    if option in argv:
        argv = list(argv)
        argv[argv.index(option) + 1] = value
        return argv
    return [*argv, option, value]


def resolve(command: Command, box: Sandbox) -> tuple[list[str], bool] | None:
    """The argv to run and whether it serves until interrupted; None for a checked set-up command."""
    argv = command.argv
    program = argv[0]
    if program == "make":
        wanted = [a for a in argv[1:] if not a.startswith("-") and "=" not in a]
        missing = [t for t in wanted if t not in make_targets()]
        assert wanted and not missing, f"{command.text}: no make target {missing}"
        return None
    if program == "pip":
        assert argv[1:2] == ["install"], command.text
        for arg in argv[2:]:
            match = re.fullmatch(r"\.\[([\w,-]+)\]", arg)
            if match:
                unknown = set(match.group(1).split(",")) - extras()
                assert not unknown, f"{command.text}: no extra {unknown}"
        return None
    if program == "cnc-api":
        sub = argv[1] if len(argv) > 1 else ""
        rest = argv[1:]
        if sub == "sim":
            rest = with_own_port(rest, "--port", str(free_port()))
        elif sub in ("export", "dashboard", "opcua") and "--listen" not in rest and "--help" not in rest:
            rest = [*rest, "--listen", "127.0.0.1:0"]
        serves = sub in ("sim", "watch", "export", "dashboard", "opcua") and "--help" not in rest
        return [*console_script(), *(box.ported(a) for a in rest)], serves
    if program in ("python", "python3", ".venv/bin/python"):
        rest = argv[1:]
        if rest[:1] == ["-m"] and rest[1:2] == ["cnc_api_simulator"]:
            serves = "--help" not in rest and "--version" not in rest
            if serves:
                rest = with_own_port(rest, "--port", str(free_port()))
            return [sys.executable, *rest], serves
        script = ROOT / rest[0]
        assert script.is_file(), f"{command.text}: no script {rest[0]}"
        if rest[0].startswith("bench/"):
            # Benchmarks run in `make bench`; here their options must be ones the script takes.
            shown = subprocess.run(
                [sys.executable, str(script), "--help"], capture_output=True, text=True, timeout=60, cwd=ROOT
            )
            unknown_options = [o for o in rest[1:] if o.startswith("--") and o.split("=")[0] not in shown.stdout]
            assert shown.returncode == 0 and not unknown_options, f"{command.text}: {unknown_options or shown.stderr}"
            return None
        return [sys.executable, str(script), *(box.ported(a) for a in rest[1:])], False
    raise AssertionError(f"a command the examples do not run: {command.text!r}")


def run_to_end(argv: list[str], env: dict[str, str], box: Sandbox) -> tuple[int, str]:
    script = console_script()
    if argv[: len(script)] == script and box.folder.resolve() == pathlib.Path.cwd().resolve():
        # A command that ends by itself runs its entry point in this process: a
        # child interpreter per command made the command-line page take a minute.
        done = run_cli(*argv[len(script) :], env=env)
        return done.returncode, done.stdout + done.stderr
    done = subprocess.run(
        argv, cwd=box.folder, env=env, capture_output=True, text=True, timeout=COMMAND_SECONDS, stdin=subprocess.DEVNULL
    )
    return done.returncode, done.stdout + done.stderr


def run_until_interrupted(argv: list[str], env: dict[str, str], box: Sandbox) -> tuple[int, str]:
    """Start a serving command, wait until it has printed something, then send it Ctrl-C."""
    proc = subprocess.Popen(
        argv,
        cwd=box.folder,
        env={**env, "PYTHONFAULTHANDLER": "1"},
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        stdin=subprocess.DEVNULL,
        text=True,
    )
    lines: queue.Queue[str | None] = queue.Queue()

    def read() -> None:
        assert proc.stdout is not None
        for line in proc.stdout:
            lines.put(line)
        lines.put(None)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    output: list[str] = []

    def drain(wait: float) -> None:
        reader.join(wait)
        while not lines.empty():
            line = lines.get_nowait()
            if line is not None:
                output.append(line)

    try:
        try:
            first = lines.get(timeout=STARTUP_SECONDS)
        except queue.Empty:
            first = None
        if first is not None:
            output.append(first)
            time.sleep(0.5)  # it keeps running after its first words
        if first is None or proc.poll() is not None:
            drain(5)
            raise AssertionError(f"ended or stayed silent instead of serving (status {proc.poll()}): {''.join(output)}")
        proc.send_signal(signal.SIGINT)
        try:
            status = proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            # With PYTHONFAULTHANDLER set, SIGABRT makes a Python child print every
            # thread's stack first: the report then says where it was stuck.
            proc.send_signal(signal.SIGABRT)
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
            drain(5)
            raise AssertionError(f"still running 30 s after Ctrl-C: {''.join(output)}") from None
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    drain(5)
    return status, "".join(output)


def run_shell(source: str, box: Sandbox) -> None:
    for command in shell_commands(source):
        resolved = resolve(command, box)
        if resolved is None:
            continue
        argv, serves = resolved
        env = box.env(command.env)
        status, output = (run_until_interrupted if serves else run_to_end)(argv, env, box)
        assert status == command.expected, f"{command.text}\nexit status {status}, not {command.expected}:\n{output}"


# ----- documents ----------------------------------------------------------------------------


def examples(path: pathlib.Path, box: Sandbox) -> Iterator[Example]:
    def evaluate_python(example: Example) -> None:
        source = box.ported(example.parsed)
        exec(compile(source, f"{path.name}:{example.line}", "exec"), example.namespace)

    def evaluate_shell(example: Example) -> None:
        run_shell(example.parsed, box)

    sybil = Sybil(
        parsers=[
            CodeBlockParser(language="python", evaluator=evaluate_python),
            CodeBlockParser(language="sh", evaluator=evaluate_shell),
            SkipParser(),
        ],
        document_types={".pyi": StubDocstrings},
    )
    yield from sybil.parse(path)


def machine_ports(path: pathlib.Path) -> list[str]:
    return sorted(set(MACHINE_PORT.findall(path.read_text())) | {"8000"})


@contextlib.contextmanager
def sandbox(path: pathlib.Path, folder: pathlib.Path) -> Iterator[Sandbox]:
    """Simulators for the machine ports `path` names, free ports for its listeners, a working folder."""
    (folder / "examples").symlink_to(ROOT / "examples", target_is_directory=True)
    (folder / "programs").mkdir()
    with contextlib.ExitStack() as stack:
        ports: dict[str, str] = {}
        for number in machine_ports(path):
            programs = folder / f"machine-{number}"
            programs.mkdir()
            sim = stack.enter_context(Simulator("127.0.0.1", 0, str(programs), speed=50.0))
            ports[number] = str(sim.port)
        ports.update({number: str(free_port()) for number in LISTEN_PORTS})
        yield Sandbox(folder, ports)


def run_document(path: pathlib.Path, box: Sandbox) -> tuple[int, str]:
    """Runs the examples of `path` in `box`; the count run and what the Python examples printed."""
    out = io.StringIO()
    count = 0
    with contextlib.redirect_stdout(out):
        for example in examples(path, box):
            try:
                example.evaluate()
            except unittest.SkipTest:
                continue  # marked in the document, with its reason
            count += 1
    return count, out.getvalue()


def fenced_languages(text: str) -> list[str]:
    return re.findall(r"^\s*```(\S*)", text, re.M)[::2]


def test_every_document_is_checked() -> None:
    names = {p.relative_to(ROOT).as_posix() for p in DOCUMENTS}
    assert {"README.md", "docs/index.md", "docs/getting-started.md", "docs/command-line.md"} <= names
    assert sum(1 for p in DOCUMENTS if "```python" in p.read_text()) >= 5
    assert sum(1 for p in DOCUMENTS if "```sh" in p.read_text()) >= 5


@pytest.mark.parametrize("path", DOCUMENTS[:-1], ids=lambda p: p.relative_to(ROOT).as_posix())
def test_blocks_are_run_or_plainly_output(path: pathlib.Path) -> None:
    # A block in a language that is not run must be output or a file shown, never a command.
    languages = fenced_languages(path.read_text())
    assert set(languages) <= RUN_LANGUAGES | SHOWN_LANGUAGES, languages


@pytest.mark.parametrize("path", DOCUMENTS[:-1], ids=lambda p: p.relative_to(ROOT).as_posix())
def test_skipped_examples_say_why(path: pathlib.Path) -> None:
    for action, reason in SKIP_DIRECTIVE.findall(path.read_text()):
        assert action == "next", "skip one example at a time"
        assert re.fullmatch(r'\s*"[^"]{15,}"\s*', reason), f"a skip without a reason: {reason!r}"


@pytest.mark.parametrize(
    "source, commands",
    [
        ("cnc-api status --json\n", [(["cnc-api", "status", "--json"], {}, 0)]),
        (
            "cnc-api status --port 1   # exits 3: nothing listens there\n",
            [(["cnc-api", "status", "--port", "1"], {}, 3)],
        ),
        (
            "CNC_API_TRACE=wire.log cnc-api run \\\n    examples/sample.nc\n# a comment\n\n",
            [(["cnc-api", "run", "examples/sample.nc"], {"CNC_API_TRACE": "wire.log"}, 0)],
        ),
        ('cnc-api mdi "G0 X10" "G1 Y5 F500"\n', [(["cnc-api", "mdi", "G0 X10", "G1 Y5 F500"], {}, 0)]),
    ],
)
def test_shell_examples_are_read_as_a_shell_would(
    source: str, commands: list[tuple[list[str], dict[str, str], int]]
) -> None:
    assert [(c.argv, c.env, c.expected) for c in shell_commands(source)] == commands


@pytest.mark.parametrize("line", ["cnc-api status | head", "cnc-api status > out.txt", "make docs && make test"])
def test_shell_syntax_beyond_plain_commands_is_refused(line: str) -> None:
    with pytest.raises(AssertionError, match="shell syntax"):
        list(shell_commands(line + "\n"))


@pytest.mark.parametrize(
    "line",
    [
        "make no-such-target",
        'pip install ".[no-such-extra]"',
        "curl http://127.0.0.1/",
        "python bench/run.py --no-such-option",
        "python examples/no_such_example.py",
    ],
)
def test_commands_that_would_rot_are_caught(line: str, tmp_path: pathlib.Path) -> None:
    with pytest.raises(AssertionError):
        run_shell(line + "\n", Sandbox(tmp_path, {}))


def test_set_up_commands_are_checked_not_run(tmp_path: pathlib.Path) -> None:
    run_shell('make docs test\npip install ".[exporter,dashboard]"\npip install .\n', Sandbox(tmp_path, {}))


def with_commands_marked_slow(paths: list[pathlib.Path]) -> list[object]:
    """The documents, those with shell examples marked slow: their commands run for seconds."""
    return [pytest.param(p, marks=pytest.mark.slow) if "```sh" in p.read_text() else p for p in paths]


@pytest.mark.parametrize("path", with_commands_marked_slow(DOCUMENTS), ids=lambda p: p.relative_to(ROOT).as_posix())
def test_examples_run_against_the_simulator(
    path: pathlib.Path, tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.chdir(tmp_path)  # files the examples write land here
    for name in ("CNC_API_TRACE", "CNC_API_HOST", "CNC_API_PORT"):
        monkeypatch.delenv(name, raising=False)
    with sandbox(path, tmp_path) as box:
        count, printed = run_document(path, box)
    if RUN_LANGUAGES & set(fenced_languages(path.read_text())):
        assert count > 0, "examples that Sybil did not find"
    assert "no API server" not in printed


def first_python_example(box: Sandbox) -> str:
    return next(str(e.parsed) for e in examples(ROOT / "README.md", box) if "import cnc_api_client_core" in e.parsed)


def test_readme_first_example_explains_a_missing_server(tmp_path: pathlib.Path) -> None:
    # Nothing listens on the port: the example must say so instead of ending silently.
    box = Sandbox(tmp_path, {"8000": str(free_port())})
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(box.ported(first_python_example(box)), {})
    printed = out.getvalue()
    assert f"127.0.0.1:{box.ports['8000']}" in printed
    assert "no API server" in printed and "python -m cnc_api_simulator" in printed


def test_readme_first_example_reports_the_machine(tmp_path: pathlib.Path) -> None:
    with Simulator("127.0.0.1", 0, str(tmp_path)) as sim:
        box = Sandbox(tmp_path, {"8000": str(sim.port)})
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(box.ported(first_python_example(box)), {})
    assert re.search(r"state IDLE\b", out.getvalue()), out.getvalue()
