"""Run a G-code file on a CNC and follow it to its end.

    python examples/program_runner.py examples/sample.nc --host 127.0.0.1 --port 8000

Sets the file's text as the control's program, checks that it compiles, starts it,
prints each state change and each new program line, and at the end prints the
machining statistics of the program. Ctrl-C stops the machine.

Exit status: 0 when the program ran to its end, 1 when the server cannot be reached
or refuses the program, 2 when the connection is lost, 3 when the machine leaves the
run for a state other than idle (an alarm, a limit) or the time limit runs out.
"""

from __future__ import annotations

import argparse
import sys
import time

import cnc_api_client_core as cnc
from status_monitor import number, state_name

# States in which the program is still under way.
UNDER_WAY = {cnc.SM_RUN, cnc.SM_PAUSE, cnc.SM_CHANGE_TOOL, cnc.SM_MEASURE_TOOL, cnc.SM_RETRACT}

# A started program that shows no run state within this time has already ended.
START_GRACE = 1.0


class RunnerError(Exception):
    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def load(client: cnc.CncAPIClientCore, text: str) -> None:
    if not client.program_gcode_set_text(text):
        raise RunnerError("the control refused the program text", 1)
    compiled = client.get_compile_info()
    if not compiled.has_data:
        raise RunnerError("no compile information from the API server", 2)
    if compiled.state == cnc.CS_ERROR:
        raise RunnerError(f"program error at line {compiled.file_line}: {compiled.message} (code {compiled.code})", 1)


def follow(client: cnc.CncAPIClientCore, lines: list[str], poll: float, timeout: float) -> str:
    """Print state changes and program lines until the run ends; returns the worked time."""
    started = time.monotonic()
    seen_run = False
    last_state: object = None
    last_line: object = None
    while True:
        info = client.get_cnc_info()
        if not info.has_data:
            raise RunnerError("connection to the API server lost", 2)
        state = info.state_machine
        if state != last_state:
            print(f"state {state_name(state)}", flush=True)
            last_state = state
        if state in UNDER_WAY:
            seen_run = True
            if info.gcode_line != last_line:
                last_line = info.gcode_line
                source = lines[last_line - 1].strip() if isinstance(last_line, int) and 0 < last_line <= len(lines) else ""
                print(f"  line {last_line}: {source}", flush=True)
        elif state == cnc.SM_IDLE:
            if seen_run or time.monotonic() - started > START_GRACE:
                return info.worked_time
        else:
            raise RunnerError(f"the run ended in state {state_name(state)}", 3)
        if time.monotonic() - started > timeout:
            client.cnc_stop()
            raise RunnerError(f"the program did not end within {timeout:g} s; machine stopped", 3)
        time.sleep(poll)


def print_machining_info(info: cnc.APIMachiningInfo) -> None:
    if not info.has_data:
        print("no machining information")
        return
    print("machining information")
    print(f"  tool path in fast  {number(info.tool_path_in_fast, 12)} mm")
    print(f"  tool path in feed  {number(info.tool_path_in_feed, 12)} mm")
    print(f"  total path         {number(info.total_path, 12)} mm")
    print(f"  estimated time     {info.estimated_time:>12}")
    for tool in info.used_tool:
        print(f"  tool {tool.tool_id!s:<4} fast {number(tool.in_fast, 10)} mm  feed {number(tool.in_feed, 10)} mm")
    for label, lo, hi in (
        ("X", info.tcp_extents_in_feed_min_x, info.tcp_extents_in_feed_max_x),
        ("Y", info.tcp_extents_in_feed_min_y, info.tcp_extents_in_feed_max_y),
        ("Z", info.tcp_extents_in_feed_min_z, info.tcp_extents_in_feed_max_z),
    ):
        print(f"  feed extents {label}     {number(lo, 10)} .. {number(hi, 10)} mm")


def run(client: cnc.CncAPIClientCore, text: str, poll: float, timeout: float) -> int:
    load(client, text)
    if not client.cnc_start():
        raise RunnerError("the control refused to start the program", 1)
    try:
        worked = follow(client, text.splitlines(), poll, timeout)
    except KeyboardInterrupt:
        client.cnc_stop()
        print("interrupted; machine stopped", file=sys.stderr)
        return 130
    print(f"program finished, worked time {worked}")
    print_machining_info(client.get_machining_info())
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Run a G-code file on a CNC API server and follow it.")
    parser.add_argument("file", help="G-code file to run")
    parser.add_argument("--host", default="127.0.0.1", help="API server address (default %(default)s)")
    parser.add_argument("--port", type=int, default=8000, help="API server port (default %(default)s)")
    parser.add_argument("--poll", type=float, default=0.1, help="seconds between status reads (default %(default)s)")
    parser.add_argument("--timeout", type=float, default=3600.0,
                        help="stop the machine after this many seconds (default %(default)s)")
    args = parser.parse_args(argv)

    try:
        with open(args.file, encoding="utf-8") as f:
            text = f.read()
    except OSError as exc:
        print(f"cannot read {args.file}: {exc.strerror}", file=sys.stderr)
        return 1

    client = cnc.CncAPIClientCore()
    if not client.connect(args.host, args.port):
        print(f"cannot connect to the API server at {args.host}:{args.port}", file=sys.stderr)
        return 1
    try:
        return run(client, text, args.poll, args.timeout)
    except RunnerError as exc:
        print(exc, file=sys.stderr)
        return exc.status
    finally:
        client.close()


if __name__ == "__main__":
    sys.exit(main())
