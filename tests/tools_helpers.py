"""Shared pieces of the tools tests: simulators, a port that never answers, the console script."""

from __future__ import annotations

import contextlib
import functools
import json
import os
import socket
import subprocess
import sys
import time
from collections.abc import Callable, Iterator

import pytest
from cnc_api_simulator import Simulator

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "examples", "sample.nc")


@pytest.fixture
def sim() -> Iterator[Simulator]:
    with Simulator(port=0) as s:
        yield s


def wait_for(predicate: Callable[[], object], timeout: float = 10.0, interval: float = 0.02) -> object:
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"condition not met within {timeout} s")
        time.sleep(interval)


@contextlib.contextmanager
def unanswered_port() -> Iterator[int]:
    """A loopback port whose accept queue is full, so a new connect hangs until its time-out."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    port = listener.getsockname()[1]
    fillers = []
    try:
        for _ in range(8):  # fill the backlog; the first connect that does not finish proves it full
            s = socket.socket()
            s.settimeout(0.2)
            try:
                s.connect(("127.0.0.1", port))
            except OSError:
                s.close()
                break
            fillers.append(s)
        else:
            pytest.skip("the loopback accept queue never filled up")
        yield port
    finally:
        for s in fillers:
            s.close()
        listener.close()


def free_port() -> int:
    """A port nothing listens on (bound and released at once)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port: int = s.getsockname()[1]
    s.close()
    return port


def cli_env(**extra: str) -> dict[str, str]:
    env = dict(os.environ, COLUMNS="160", NO_COLOR="1", PYTHONUNBUFFERED="1")
    env.pop("CNC_API_TRACE", None)
    env.update(extra)
    return env


def command() -> list[str]:
    """The installed console script, or the package's __main__ where none is installed."""
    script = os.path.join(os.path.dirname(sys.executable), "cnc-api")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "cnc_api_tools"]


def cnc_api(
    *args: str, timeout: float = 60.0, env: dict[str, str] | None = None, input: str | None = None
) -> subprocess.CompletedProcess[str]:
    """Run the console script in a real subprocess."""
    return subprocess.run(
        [*command(), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env or cli_env(),
        input=input,
    )


def run_cli(
    *args: str, env: dict[str, str] | None = None, input: str | None = None
) -> subprocess.CompletedProcess[str]:
    """Run the console script's entry point in this process, as `cnc_api` runs it in a child.

    The environment becomes `env` (default `cli_env()`) for the call, and the
    exit status is what `main` returns to the script. A child interpreter costs
    a third of a second of CPU for each call; the few tests that need a real
    process (signals, a terminal, the installed script itself) use `cnc_api`.
    """
    from click.testing import CliRunner
    from cnc_api_tools.cli import main

    wanted = env or cli_env()
    changes: dict[str, str | None] = {k: v for k, v in wanted.items() if os.environ.get(k) != v}
    changes.update({k: None for k in os.environ if k not in wanted})
    with CliRunner().isolation(input=input, env=changes) as (out, err, _):
        status = main(list(args))
        sys.stdout.flush()
        sys.stderr.flush()
        return subprocess.CompletedProcess(
            ["cnc-api", *args], status, out.getvalue().decode(), err.getvalue().decode("utf-8", "replace")
        )


def cnc_api_popen(*args: str, env: dict[str, str] | None = None, **kw: object) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [*command(), *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env or cli_env(),
        **kw,  # type: ignore[call-overload]
    )


@functools.cache
def _sim_replies() -> str:
    with Simulator(port=0) as s, socket.create_connection(("127.0.0.1", s.port), timeout=5) as sock:
        replies = {}
        reader = sock.makefile("rb")
        for name in ("cnc.info", "axes.info", "compile.info", "enabled.commands"):
            sock.sendall(json.dumps({"get": name}).encode() + b"\n")
            replies[name] = json.loads(reader.readline())["res"]
        return json.dumps(replies)


def sim_replies() -> dict[str, dict[str, object]]:
    """The `res` objects of an idle simulator's queries, as a base for scripted controls."""
    replies: dict[str, dict[str, object]] = json.loads(_sim_replies())
    return replies


HOSTILE = [
    "[/bold]",
    "[link=https://example.invalid]click[/link]",
    "[red on white]restyled",
    "\x1b]8;;https://example.invalid\x07click\x1b[31m",
]


def hostile_answer(text: str) -> Callable[[bytes], dict[str, object]]:
    """A control that puts `text` in every text field it reports (state, line, compile result,
    geometry names, parameter values, inputs and outputs), for a fake server's `respond`."""
    base = sim_replies()

    def answer(request: bytes) -> dict[str, object]:
        req = json.loads(request)
        kind = req.get("get")
        if kind == "cnc.info":
            return {"res": {**base["cnc.info"], "state.machine": text, "gcode.line": text}}
        if kind == "compile.info":
            return {"res": {**base["compile.info"], "state": 2, "message": text, "file.name": text, "file.line": 3}}
        if kind == "vm.geometry.info":
            element = {"x": 0.0, "y": 0.0, "z": 0.0, "color": 0, "scale": 1.0, "visible": True}
            return {"res": [{**element, "name": text, "edges.angle": 0.0, "edges.visible": False} for _ in req["name"]]}
        if kind == "cnc.parameters":
            return {"res": {"parameters": [text]}}
        if kind in ("digital.inputs", "digital.outputs", "analog.inputs", "analog.outputs"):
            return {"res": {"value": [1.5, text]}}
        if kind in base:
            return {"res": base[kind]}
        return {"res": False}

    return answer
