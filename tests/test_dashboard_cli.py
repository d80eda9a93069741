"""`cnc-api dashboard` as a user runs it: the command line in this process where it ends at once,
the console script in a real subprocess where it serves, and a child without the extra."""

from __future__ import annotations

import re
import signal
import socket
import subprocess
import sys
import threading

import httpx
import pytest
from dashboard_helpers import simulator
from tools_helpers import cnc_api_popen, free_port, run_cli, wait_for


def test_dashboard_is_a_command_of_the_command_line():
    listing = run_cli("--help")
    assert listing.returncode == 0 and re.search(r"^\s+dashboard\s", listing.stdout, re.M)
    usage = run_cli("dashboard", "--help")
    assert usage.returncode == 0
    for option in ("--listen", "--allow-control", "--token", "--programs", "--interval"):
        assert option in usage.stdout


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--listen", "0.0.0.0:0", "--allow-control"], "--allow-control on 0.0.0.0 would let anyone"),
        (["--listen", "[::]:0", "--allow-control"], "--allow-control on :: would let anyone"),
        (["--listen", "127.0.0.1:0", "--allow-control", "--token", " "], "--token must not be empty"),
        (["--listen", "127.0.0.1:70000"], "bad port"),
        (["--listen", ":8050"], "no address"),
        (["--listen", "127.0.0.1:0", "127.0.0.1:http"], "bad port"),
        (["--listen", "127.0.0.1:0", "--fleet", "/nonexistent/fleet.toml"], "fleet.toml: cannot read"),
    ],
    ids=["any-v4", "any-v6", "empty-token", "bad-listen-port", "no-listen-address", "bad-machine", "bad-fleet"],
)
def test_refused_invocations_say_why_in_one_line(args, message):
    machines = [] if any(a.startswith("127.0.0.1:h") for a in args) else [f"127.0.0.1:{free_port()}"]
    done = run_cli("dashboard", *args, *machines)
    assert done.returncode == 2, done
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("cnc-api dashboard: ") and message in lines[0], done.stderr
    assert done.stdout == ""


def test_no_machine_is_a_usage_error():
    done = run_cli("dashboard", "--listen", "127.0.0.1:0")
    assert done.returncode == 2 and "name at least one machine" in done.stderr


@pytest.mark.parametrize("by_fleet", [False, True], ids=["argument", "fleet"])
def test_serves_until_interrupted_even_with_a_live_stream_open(tmp_path, by_fleet):
    with simulator(tmp_path) as sim:
        fleet = tmp_path / "fleet.toml"
        fleet.write_text(f'[[machine]]\nname = "mill"\nport = {sim.port}\n')
        machine = ["--fleet", str(fleet)] if by_fleet else [f"mill=127.0.0.1:{sim.port}"]
        proc = cnc_api_popen("dashboard", "--listen", "127.0.0.1:0", "--interval", "0.1", *machine, "--allow-control")
        try:
            line = proc.stdout.readline() if proc.stdout else ""
            match = re.match(r"cnc-api dashboard: (http://127\.0\.0\.1:\d+/) \(1 machine, control allowed\)$", line)
            assert match, line
            url = match.group(1)
            machines = wait_for(lambda: httpx.get(url + "api/machines", timeout=5).json()["machines"])
            assert machines[0]["name"] == "mill"
            wait_for(lambda: httpx.get(url + "api/machines", timeout=5).json()["machines"][0]["state"])
            opened = threading.Event()

            def hold_stream() -> None:
                try:
                    with httpx.stream("GET", url + "api/events", timeout=30) as reply:
                        for _ in reply.iter_lines():
                            opened.set()
                except httpx.HTTPError:
                    pass

            reader = threading.Thread(target=hold_stream, daemon=True)
            reader.start()
            assert opened.wait(10)
            proc.send_signal(signal.SIGINT)
            assert proc.wait(timeout=10) == 0  # the open stream does not hold the server up
            reader.join(10)
            assert not reader.is_alive()
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


def test_a_taken_port_is_one_clear_line():
    taken = socket.create_server(("127.0.0.1", 0))
    try:
        done = run_cli("dashboard", "--listen", f"127.0.0.1:{taken.getsockname()[1]}", "127.0.0.1:1")
    finally:
        taken.close()
    assert done.returncode == 1
    assert re.fullmatch(r"cnc-api dashboard: cannot listen on 127\.0\.0\.1:\d+: .*\n", done.stderr), done.stderr


@pytest.mark.parametrize("missing", ["starlette", "uvicorn", "jinja2"])
def test_without_the_extra_the_command_line_works_and_the_dashboard_says_what_to_install(missing):
    # A module set to None in sys.modules cannot be imported: as if the extra were not installed.
    script = (
        f"import sys; sys.modules[{missing!r}] = None\n"
        "from cnc_api_tools.cli import main\n"
        "assert main(['--help']) == 0\n"
        "sys.exit(main(['dashboard', '127.0.0.1:1']))\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1, done
    assert done.stderr.strip().splitlines()[-1] == (
        f"cnc-api dashboard: the dashboard needs its extra ({missing} is missing): "
        "pip install 'cnc_api_client_core[dashboard]'"
    )
