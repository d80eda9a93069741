"""Live status line of one CNC: state, G-code line, positions, feed and spindle.

    python examples/status_monitor.py --host 127.0.0.1 --port 8000 --seconds 10

On a terminal the line is redrawn in place; otherwise one line is printed per refresh.
Exit status: 0 when the count or time ran out (or on Ctrl-C), 1 when the server
cannot be reached, 2 when the connection is lost while monitoring.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import TextIO

import cnc_api_client_core as cnc

STATE_NAMES: dict[object, str] = {
    cnc.SM_DISCONNECTED: "DISCONNECTED",
    cnc.SM_SIMULATOR: "SIMULATOR",
    cnc.SM_INIT: "INIT",
    cnc.SM_INIT_FIELD_BUS: "INIT_FIELD_BUS",
    cnc.SM_ALARM: "ALARM",
    cnc.SM_IDLE: "IDLE",
    cnc.SM_HOMING: "HOMING",
    cnc.SM_JOG: "JOG",
    cnc.SM_RUN: "RUN",
    cnc.SM_PAUSE: "PAUSE",
    cnc.SM_LIMIT: "LIMIT",
    cnc.SM_MEASURE_TOOL: "MEASURE_TOOL",
    cnc.SM_SCAN_3D: "SCAN_3D",
    cnc.SM_SAFETY_IDLE: "SAFETY_IDLE",
    cnc.SM_CHANGE_TOOL: "CHANGE_TOOL",
    cnc.SM_SAFETY: "SAFETY",
    cnc.SM_WAIT_MAIN_POWER: "WAIT_MAIN_POWER",
    cnc.SM_RETRACT: "RETRACT",
}

SPINDLE_NAMES: dict[object, str] = {cnc.SS_OFF: "OFF", cnc.SS_CW: "CW", cnc.SS_CCW: "CCW"}

AXES = "XYZABC"


def state_name(code: object) -> str:
    """Name of a state-machine code; the server may report codes this client does not know."""
    return STATE_NAMES.get(code, f"STATE_{code}")


def number(value: object, width: int, decimals: int = 3) -> str:
    # Reply values are stored as decoded, so a field may hold something other than a number.
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return f"{value:{width}.{decimals}f}"
    return f"{value!s:>{width}}"


def status_line(context: cnc.CncAPIInfoContext, axes: int = 3) -> str:
    info = context.cnc_info
    position = context.axes_info.program_position
    coords = " ".join(f"{name}{number(value, 10)}" for name, value in zip(AXES[:axes], position, strict=False))
    spindle = SPINDLE_NAMES.get(info.spindle_status, "?")
    return (
        f"{state_name(info.state_machine):<12} line {number(info.gcode_line, 5, 0)}  {coords}"
        f"  F{number(info.feed_reference, 6, 0)}/{number(info.feed_target, 6, 0)}"
        f"  S{number(info.spindle_actual, 6, 0)} {spindle:<3}  {info.worked_time}"
    )


def monitor(
    client: cnc.CncAPIClientCore,
    interval: float,
    count: int | None,
    seconds: float | None,
    axes: int,
    out: TextIO,
    in_place: bool,
) -> int:
    context = cnc.CncAPIInfoContext(client)
    deadline = None if seconds is None else time.monotonic() + seconds
    shown = 0
    width = 0
    try:
        while count is None or shown < count:
            if deadline is not None and time.monotonic() >= deadline:
                break
            started = time.monotonic()
            if not context.update() or not context.cnc_info.has_data:
                if in_place and shown:
                    out.write("\n")
                print("connection to the API server lost", file=sys.stderr)
                return 2
            line = status_line(context, axes)
            if in_place:
                out.write("\r" + line.ljust(width))
                width = len(line)
            else:
                out.write(line + "\n")
            out.flush()
            shown += 1
            pause = interval - (time.monotonic() - started)
            if pause > 0 and (count is None or shown < count):
                if deadline is not None:
                    pause = min(pause, max(0.0, deadline - time.monotonic()))
                time.sleep(pause)
    except KeyboardInterrupt:
        pass
    if in_place and shown:
        out.write("\n")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Show a live status line of a CNC API server.")
    parser.add_argument("--host", default="127.0.0.1", help="API server address (default %(default)s)")
    parser.add_argument("--port", type=int, default=8000, help="API server port (default %(default)s)")
    parser.add_argument("--interval", type=float, default=0.25, help="seconds between refreshes (default %(default)s)")
    parser.add_argument("--count", type=int, help="stop after this many refreshes")
    parser.add_argument("--seconds", type=float, help="stop after this many seconds")
    parser.add_argument("--axes", type=int, choices=range(1, 7), default=3, help="axes shown (default %(default)s)")
    parser.add_argument("--lines", action="store_true", help="print one line per refresh even on a terminal")
    args = parser.parse_args(argv)

    client = cnc.CncAPIClientCore()
    if not client.connect(args.host, args.port):
        print(f"cannot connect to the API server at {args.host}:{args.port}", file=sys.stderr)
        return 1
    try:
        in_place = sys.stdout.isatty() and not args.lines
        return monitor(client, args.interval, args.count, args.seconds, args.axes, sys.stdout, in_place)
    finally:
        client.close()


if __name__ == "__main__":
    sys.exit(main())
