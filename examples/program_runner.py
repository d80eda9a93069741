"""Run a G-code file on a CNC and follow it to its end.

    python examples/program_runner.py examples/sample.nc --host 127.0.0.1 --port 8000

Sets the file's text as the control's program, waits until the control has checked
it, starts it, prints each state change and each new program line, and at the end
prints the machining statistics of the program. Ctrl-C stops the machine and waits
until the control confirms it: over the same connection, or over a fresh one when
the interrupted call left the first one out of step.

Exit status: 0 when the program ran to its end, 1 when the server cannot be reached
or refuses the program, 2 when the connection is lost, 3 when the machine leaves the
run for a state other than idle (an alarm, a limit) or the time limit runs out, 130
when Ctrl-C stopped the machine (4 when the stop could not be confirmed).
"""

from __future__ import annotations

import argparse
import signal
import sys
import time
from types import FrameType

import cnc_api_client_core as cnc
from status_monitor import number, state_name

# States in which the program is still under way.
UNDER_WAY = {cnc.SM_RUN, cnc.SM_PAUSE, cnc.SM_CHANGE_TOOL, cnc.SM_MEASURE_TOOL, cnc.SM_RETRACT}

# Compile states of a program the control is still checking.
CHECKING = {
    cnc.CS_INIT,
    cnc.CS_FIRST_STEP,
    cnc.CS_FIRST_STEP_RUNNING,
    cnc.CS_WAITING_FOR_DATA,
    cnc.CS_WAITING_FOR_DATA_RUNNING,
}
COMPILE_STATES = {getattr(cnc, name): name[3:] for name in dir(cnc) if name.startswith("CS_")}

# A started program that shows no run state within this time has already ended.
START_GRACE = 1.0

# How long a stop may take to show.
STOP_CONFIRM_TIME = 10.0


class RunnerError(Exception):
    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


class Interrupt:
    """SIGINT handler. The first Ctrl-C raises KeyboardInterrupt, so that a wait in
    Python code ends at once; a query that it interrupts absorbs it and returns its
    failure record, so the runner also checks `requested` after each call. Once the
    runner is stopping the machine, further Ctrl-C are only noted."""

    def __init__(self) -> None:
        self.requested = False
        self.stopping = False

    def __call__(self, signum: int, frame: FrameType | None) -> None:
        self.requested = True
        if not self.stopping:
            raise KeyboardInterrupt

    def check(self) -> None:
        if self.requested:
            raise KeyboardInterrupt


class Runner:
    def __init__(self, host: str, port: int, poll: float, timeout: float, compile_timeout: float) -> None:
        self.host, self.port = host, port
        self.poll, self.timeout, self.compile_timeout = poll, timeout, compile_timeout
        self.interrupt = Interrupt()
        self.client = cnc.CncAPIClientCore()

    def connect(self) -> bool:
        return self.client.connect(self.host, self.port)

    def load(self, text: str) -> None:
        """Sets the program and waits until the control has judged it."""
        client = self.client
        if not client.program_gcode_set_text(text):
            raise RunnerError("the control refused the program text", 1)
        deadline = time.monotonic() + self.compile_timeout
        while True:
            compiled = client.get_compile_info()
            self.interrupt.check()
            if not compiled.has_data:
                raise RunnerError("no compile information from the API server", 2)
            if compiled.state == cnc.CS_ERROR:
                raise RunnerError(
                    f"program error at line {compiled.file_line}: {compiled.message} (code {compiled.code})", 1
                )
            if compiled.state not in CHECKING:
                return
            if compiled.state == cnc.CS_INIT and not text.strip():
                raise RunnerError("the program is empty", 1)
            if time.monotonic() > deadline:
                raise RunnerError(
                    f"the control did not finish checking the program within {self.compile_timeout:g} s"
                    f" (compile state {COMPILE_STATES.get(compiled.state, compiled.state)})",
                    1,
                )
            time.sleep(self.poll)

    def refusal(self) -> str:
        """Why the control would not start the program, as far as it tells."""
        reasons = []
        info = self.client.get_cnc_info()
        if info.has_data:
            reasons.append(f"machine state {state_name(info.state_machine)}")
        enabled = self.client.get_enabled_commands()
        if enabled.has_data and not enabled.cnc_start:
            reasons.append("start is not enabled")
        compiled = self.client.get_compile_info()
        if compiled.has_data and compiled.state != cnc.CS_READY:
            reasons.append(f"compile state {COMPILE_STATES.get(compiled.state, compiled.state)}")
        if not self.client.is_connected:
            reasons.append("the connection was lost")
        return "; ".join(reasons) or "the API server gave no reason"

    def follow(self, lines: list[str]) -> str:
        """Print state changes and program lines until the run ends; returns the worked time."""
        client = self.client
        started = time.monotonic()
        seen_run = False
        last_state: object = None
        last_line: object = None
        while True:
            info = client.get_cnc_info()
            self.interrupt.check()
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
                    in_program = isinstance(last_line, int) and 0 < last_line <= len(lines)
                    source = lines[last_line - 1].strip() if in_program else ""
                    print(f"  line {last_line}: {source}", flush=True)
            elif state == cnc.SM_IDLE:
                if seen_run or time.monotonic() - started > START_GRACE:
                    return str(info.worked_time)
            else:
                raise RunnerError(f"the run ended in state {state_name(state)}", 3)
            if time.monotonic() - started > self.timeout:
                client.cnc_stop()
                raise RunnerError(f"the program did not end within {self.timeout:g} s; machine stopped", 3)
            time.sleep(self.poll)

    def stop(self) -> int:
        """Stops the machine after Ctrl-C and waits until it shows."""
        self.interrupt.stopping = True
        client = self.client
        if not client.is_connected:  # the interrupted call left this one out of step
            client = cnc.CncAPIClientCore()
            if not client.connect(self.host, self.port):
                print("interrupted; cannot reach the API server to stop the machine", file=sys.stderr)
                return 4
        try:
            if not client.cnc_stop():
                print("interrupted; the control refused to stop the machine", file=sys.stderr)
                return 4
            deadline = time.monotonic() + STOP_CONFIRM_TIME
            while time.monotonic() < deadline:
                info = client.get_cnc_info()
                if info.has_data and info.state_machine not in UNDER_WAY:
                    print(f"interrupted; machine stopped (state {state_name(info.state_machine)})", file=sys.stderr)
                    return 130
                if not client.is_connected:
                    break
                time.sleep(self.poll)
            print("interrupted; stop sent but not confirmed", file=sys.stderr)
            return 4
        finally:
            if client is not self.client:
                client.close()

    def run(self, text: str) -> int:
        previous = signal.signal(signal.SIGINT, self.interrupt)
        try:
            try:
                self.load(text)
                if not self.client.cnc_start():
                    self.interrupt.check()
                    raise RunnerError(f"the control refused to start the program: {self.refusal()}", 1)
                worked = self.follow(text.splitlines())
            except KeyboardInterrupt:
                return self.stop()
            print(f"program finished, worked time {worked}")
            print_machining_info(self.client.get_machining_info())
            return 0
        finally:
            signal.signal(signal.SIGINT, previous)


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


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Run a G-code file on a CNC API server and follow it.")
    parser.add_argument("file", help="G-code file to run")
    parser.add_argument("--host", default="127.0.0.1", help="API server address (default %(default)s)")
    parser.add_argument("--port", type=int, default=8000, help="API server port (default %(default)s)")
    parser.add_argument("--poll", type=float, default=0.1, help="seconds between status reads (default %(default)s)")
    parser.add_argument(
        "--timeout", type=float, default=3600.0, help="stop the machine after this many seconds (default %(default)s)"
    )
    parser.add_argument(
        "--compile-timeout",
        type=float,
        default=60.0,
        help="longest wait for the control to check the program (default %(default)s)",
    )
    args = parser.parse_args(argv)

    try:
        with open(args.file, encoding="utf-8") as f:
            text = f.read()
    except OSError as exc:
        print(f"cannot read {args.file}: {exc.strerror}", file=sys.stderr)
        return 1

    runner = Runner(args.host, args.port, args.poll, args.timeout, args.compile_timeout)
    if not runner.connect():
        print(f"cannot connect to the API server at {args.host}:{args.port}", file=sys.stderr)
        return 1
    try:
        return runner.run(text)
    except RunnerError as exc:
        print(exc, file=sys.stderr)
        return exc.status
    finally:
        runner.client.close()


if __name__ == "__main__":
    sys.exit(main())
