"""Short leak soak: bench/soak.py in a process of its own, so that its resident
memory and reference counts are not those of the test session."""

import pathlib
import subprocess
import sys

import pytest

SOAK = pathlib.Path(__file__).resolve().parent.parent / "bench" / "soak.py"


@pytest.mark.parametrize(
    "calls, options",
    [
        (20000, []),  # native replay server, built on demand
        (5000, ["--python-server", "--warmup", "1000"]),  # the stand-in for when it cannot be built
    ],
    ids=["replay-server", "python-server"],
)
def test_soak_leaks_nothing(core, calls, options):
    proc = subprocess.run(
        [sys.executable, str(SOAK), "--calls", str(calls), *options], capture_output=True, text=True, timeout=180
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr[-4000:]
    assert "soak: OK" in proc.stdout
