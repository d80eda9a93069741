"""`cnc-api watch` end to end in a pseudo-terminal: live view, a machine going down and back, Ctrl-C."""

import io
import os
import pty
import re
import select
import signal
import subprocess
import time

import cnc_api_client_core as cnc
import pytest
from cnc_api_simulator import Simulator
from cnc_api_tools.cmd_watch import render
from cnc_api_tools.machine import Machine
from rich.console import Console
from tools_helpers import cli_env, command, free_port, wait_for

ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b[()][A-Z0-9]")


class Terminal:
    """The console script on a pseudo-terminal; `text` is everything it wrote, escapes removed."""

    def __init__(self, *args):
        self.master, slave = pty.openpty()
        env = cli_env(COLUMNS="200", LINES="30", TERM="xterm-256color")
        env.pop("NO_COLOR")
        self.proc = subprocess.Popen(
            [*command(), *args], stdin=slave, stdout=slave, stderr=slave, env=env, close_fds=True
        )
        os.close(slave)
        self.raw = b""

    def read(self, seconds):
        end = time.monotonic() + seconds
        while (left := end - time.monotonic()) > 0:
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.master, 65536)
                except OSError:
                    return
                if not chunk:
                    return
                self.raw += chunk

    @property
    def text(self):
        return ANSI.sub("", self.raw.decode("utf-8", "replace"))

    def wait_for(self, pattern, timeout=20.0):
        end = time.monotonic() + timeout
        start = len(self.raw)
        while time.monotonic() < end:
            self.read(0.1)
            if re.search(pattern, ANSI.sub("", self.raw[start:].decode("utf-8", "replace"))):
                return
        raise AssertionError(f"{pattern!r} not shown; screen ends with:\n{self.text[-2000:]}")

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        os.close(self.master)


def test_watch_shows_machines_a_machine_going_down_and_coming_back_and_leaves_cleanly():
    steady = Simulator(port=0)
    steady.start()
    flaky = Simulator(port=0)
    port = flaky.start()
    term = Terminal("watch", f"127.0.0.1:{steady.port}", f"127.0.0.1:{port}", "--rate", "5")
    try:
        term.wait_for(rf"127\.0\.0\.1:{port}\s+.\s*CONNECTED\s+.\s*IDLE")
        term.wait_for(rf"127\.0\.0\.1:{steady.port}\s+.\s*CONNECTED\s+.\s*IDLE")
        assert b"\x1b[?1049h" in term.raw  # the alternate screen
        flaky.stop()
        term.wait_for(rf"127\.0\.0\.1:{port}\s+.\s*DOWN")
        term.wait_for(rf"127\.0\.0\.1:{steady.port}\s+.\s*CONNECTED\s+.\s*IDLE")  # the other one carries on
        with Simulator(port=port):
            term.wait_for(rf"127\.0\.0\.1:{port}\s+.\s*CONNECTED\s+.\s*IDLE")
            term.proc.send_signal(signal.SIGINT)
            assert term.proc.wait(15) == 0
        term.read(0.5)
        assert term.raw.rstrip().endswith(b"\x1b[?1049l") or b"\x1b[?1049l" in term.raw[-200:]  # screen restored
        assert b"\x1b[?25h" in term.raw[-200:]  # cursor shown again
    finally:
        term.close()
        steady.stop()
        flaky.stop()


@pytest.mark.parametrize("by_fleet", [False, True], ids=["port", "fleet"])
def test_watch_into_a_pipe_prints_a_table_per_refresh(tmp_path, by_fleet):
    with Simulator(port=0) as s:
        fleet = tmp_path / "fleet.toml"
        fleet.write_text(f'[[machine]]\nname = "mill-7"\nport = {s.port}\n')
        where = ["--fleet", str(fleet)] if by_fleet else ["--port", str(s.port)]
        proc = subprocess.Popen(
            [*command(), "watch", *where, "--rate", "4"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=cli_env(),
        )
        # Read until three tables came out: a loaded machine may take seconds to start the tool.
        out = ""
        deadline = time.monotonic() + 30
        assert proc.stdout is not None
        while out.count("cnc-api watch - 1 machine(s)") < 3 and time.monotonic() < deadline:
            line = proc.stdout.readline()
            if not line:
                break
            out += line
        proc.send_signal(signal.SIGINT)
        rest, err = proc.communicate(timeout=15)
        out += rest
    assert proc.returncode == 0, err
    assert out.count("cnc-api watch - 1 machine(s)") >= 3
    name = "mill-7" if by_fleet else rf"127\.0\.0\.1:{s.port}"
    assert re.search(rf"{name}\s+.\s*CONNECTED\s+.\s*IDLE", out)
    assert "\x1b[" not in out


def view(machines, width):
    """The watch view as a terminal of `width` columns shows it."""
    console = Console(width=width, record=True, file=io.StringIO(), highlight=False)
    latest = [m.poll(compile=True) for m in machines]
    console.print(render(machines, latest, 2.0, console))
    return console.export_text()


@pytest.mark.parametrize("long_name", [False, True], ids=["address", "long-name"])
@pytest.mark.parametrize("width", [80, 100, 120, 200])
def test_the_view_fits_the_terminal_and_keeps_every_position(width, long_name):
    with Simulator(port=0) as a, Simulator(port=0) as b:
        c = cnc.CncAPIClientCore()
        assert c.connect("127.0.0.1", b.port) and c.cnc_mdi_command("G0 X-123.456 Y78.9 Z-5")
        wait_for(lambda: c.get_axes_info().program_position[:3] == [-123.456, 78.9, -5.0])
        name = "cell-3-lathe-with-a-long-host-name.plant.example:8000" if long_name else None
        machines = [Machine("127.0.0.1", a.port, name=name), Machine("127.0.0.1", b.port)]
        machines.append(Machine("127.0.0.1", free_port()))
        try:
            text = view(machines, width)
        finally:
            for m in machines:
                m.close()
    lines = text.splitlines()
    assert max(len(line) for line in lines) <= width
    assert "…" not in text
    header = next(line for line in lines if line.lstrip().startswith("machine"))
    for column in ("machine", "state", "position"):
        assert re.search(rf"\b{column}\b", header)
    for value in ("X-123.456", "Y78.900", "Z-5.000", "X0.000", "IDLE", "DOWN", "refused"):
        assert value in text
    assert text.count("CONNECTED") == 2
