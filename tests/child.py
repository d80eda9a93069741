"""Child interpreters for cases that could crash: a crash then fails one test
instead of ending the whole session."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap


def run_child(code: str, *args: object, timeout: float = 60.0) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter with `args` as sys.argv[1:]."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True, text=True, timeout=timeout
    )


def assert_clean_exit(proc: subprocess.CompletedProcess[str]) -> None:
    """Exit status 0 and nothing at all on stderr."""
    assert (proc.returncode, proc.stderr) == (0, ""), f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr[-4000:]}"


def start_children(
    code: str, *args: object, count: int, keeps_objects_at_exit: bool = False
) -> list[subprocess.Popen[str]]:
    """`count` children of `code` running side by side.

    `keeps_objects_at_exit`: the children end with threads that finalisation
    cut off from the GIL. Such a thread can never release what it holds (the
    interpreter's own threads keep theirs too), so under the sanitizer build
    leak detection is off for these children.
    """
    env = dict(os.environ)
    if keeps_objects_at_exit and "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return [
        subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
        )
        for _ in range(count)
    ]


def finish(children: list[subprocess.Popen[str]], timeout: float = 60.0) -> list[subprocess.CompletedProcess[str]]:
    done = []
    for child in children:
        out, err = child.communicate(timeout=timeout)
        done.append(subprocess.CompletedProcess(child.args, child.returncode, out, err))
    return done
