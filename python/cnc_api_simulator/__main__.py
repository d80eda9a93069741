"""Command line: python -m cnc_api_simulator [--host H] [--port P] [--programs-dir DIR] [--speed F] ..."""

from __future__ import annotations

import argparse
import os
import select
import signal
import sys
from collections.abc import Callable
from typing import NoReturn

from . import __version__, options
from .config import (
    AXES,
    DEFAULT_ACCEL,
    DEFAULT_IGNORED_M,
    DEFAULT_MAX_FEED,
    DEFAULT_RAPID,
    DIALECTS,
    MachineConfig,
    format_axis_values,
    parse_axis_values,
)
from .limits import IDLE_TIMEOUT, MAX_CONNECTIONS
from .server import DEFAULT_HOST, DEFAULT_PORT, DEFAULT_SPEED


def _speed(text: str) -> float:
    value = float(text)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError("must be a positive number")
    return value


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port number") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"{value} is not a port number (0 to 65535)")
    return value


def _seconds(text: str) -> float:
    value = float(text)
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError("must be 0 or a positive number of seconds")
    return value


def _count(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _axes(defaults: tuple[float, ...]) -> Callable[[str], tuple[float, ...]]:
    def parse(text: str) -> tuple[float, ...]:
        try:
            return parse_axis_values(text, defaults)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from exc

    return parse


def _m_codes(text: str) -> frozenset[int]:
    """`10,11,100-199` replaces the default list; `+428,900` adds to it."""
    text = text.strip()
    codes: set[int] = set()
    if text.startswith("+"):
        text = text[1:]
        codes.update(DEFAULT_IGNORED_M)
        if not text.strip(" ,"):
            raise argparse.ArgumentTypeError("expected M codes to add after '+', such as +428,900")
    for item in text.replace(" ", "").split(","):
        if not item:
            continue
        low, sep, high = item.upper().lstrip("M").partition("-")
        try:
            first, last = int(low), int(high.lstrip("M")) if sep else int(low)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(f"{item!r}: expected M codes such as 10,11,100-199") from exc
        if not 0 <= first <= last <= 9999:
            raise argparse.ArgumentTypeError(f"{item!r}: not a range of M codes")
        codes.update(range(first, last + 1))
    return frozenset(codes)


def _probe(text: str) -> dict[int, float]:
    out: dict[int, float] = {}
    for item in text.split(","):
        axis, sep, value = item.strip().partition("=")
        axis = axis.strip().upper()
        try:
            if not sep or axis not in AXES or not axis:
                raise ValueError
            out[AXES.index(axis)] = float(value)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(f"{item!r}: expected AXIS=POSITION, such as Z=-5") from exc
    return out


def _ranges(codes: frozenset[int]) -> str:
    spans: list[list[int]] = []
    for code in sorted(codes):
        if spans and spans[-1][1] == code - 1:
            spans[-1][1] = code
        else:
            spans.append([code, code])
    return ",".join(f"{a}" if a == b else f"{a}-{b}" for a, b in spans)


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # Wrong usage in one line: the usage block would bury it, and --help has it all.
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="python -m cnc_api_simulator", description="Simulated CNC API server (one JSON request per line)."
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("--host", default=DEFAULT_HOST, help="address to listen on (default %(default)s)")
    parser.add_argument(
        "--port", type=_port, default=DEFAULT_PORT, help="TCP port, 0 picks a free one (default %(default)s)"
    )
    parser.add_argument(
        "--programs-dir",
        help="directory of program.load/program.save files and of subroutine "
        "files (default: a temporary directory removed at exit)",
    )
    parser.add_argument(
        "--speed", type=_speed, default=DEFAULT_SPEED, help="machine time multiplier (default %(default)s)"
    )
    parser.add_argument(
        "--max-connections",
        type=_count,
        default=MAX_CONNECTIONS,
        help="clients served at once; one more is refused (default %(default)s)",
    )
    parser.add_argument(
        "--idle-timeout",
        type=_seconds,
        default=IDLE_TIMEOUT,
        metavar="SECONDS",
        help="close a client that sends nothing for this long, 0 never (default %(default)s)",
    )
    limits = parser.add_argument_group(
        "machine limits", "per axis, as AXIS=VALUE[,AXIS=VALUE...]; axes not named keep their default"
    )
    limits.add_argument(
        "--max-rapid",
        type=_axes(DEFAULT_RAPID),
        default=DEFAULT_RAPID,
        metavar="AXES",
        help=f"rapid rates, mm/min and deg/min (default {format_axis_values(DEFAULT_RAPID)})",
    )
    limits.add_argument(
        "--max-feed",
        type=_axes(DEFAULT_MAX_FEED),
        default=DEFAULT_MAX_FEED,
        metavar="AXES",
        help=f"highest feed rates, mm/min and deg/min (default {format_axis_values(DEFAULT_MAX_FEED)})",
    )
    limits.add_argument(
        "--accel",
        type=_axes(DEFAULT_ACCEL),
        default=DEFAULT_ACCEL,
        metavar="AXES",
        help=f"accelerations, mm/s^2 and deg/s^2 (default {format_axis_values(DEFAULT_ACCEL)})",
    )
    codes = parser.add_argument_group("program")
    codes.add_argument(
        "--ignore-m",
        type=_m_codes,
        default=DEFAULT_IGNORED_M,
        metavar="CODES",
        help="machine-specific M codes accepted and ignored: CODES replaces the list, +CODES adds to it "
        f"(default {_ranges(DEFAULT_IGNORED_M)})",
    )
    codes.add_argument(
        "--dialect",
        choices=DIALECTS,
        default=DIALECTS[0],
        help="how G4 reads its words: rs274ngc takes P in seconds, iso takes P in milliseconds and "
        "X or U in seconds (default %(default)s)",
    )
    codes.add_argument("--optional-stop", action="store_true", help="M1 pauses like M0 (default: M1 is skipped)")
    codes.add_argument(
        "--block-delete", action="store_true", help="lines starting with / are skipped (default: they run)"
    )
    codes.add_argument(
        "--probe-trip",
        type=_probe,
        default={},
        metavar="AXES",
        help="probing moves (G38.x) trip where they cross these machine positions, "
        "as AXIS=POSITION[,...] (default: at the programmed end)",
    )
    options.add_arguments(parser)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.programs_dir is not None and not os.path.isdir(args.programs_dir):
        parser.error(f"--programs-dir {args.programs_dir!r} is not a directory")
    config = MachineConfig(
        rapid=args.max_rapid,
        max_feed=args.max_feed,
        accel=args.accel,
        ignored_m=args.ignore_m,
        optional_stop=args.optional_stop,
        block_delete=args.block_delete,
        probe_trip=args.probe_trip,
        dialect=args.dialect,
    )

    # The analysis thread shares the interpreter lock with the connection threads: hand
    # it over every millisecond instead of every five, so replies wait less behind it.
    sys.setswitchinterval(0.001)
    # The handler runs in the main thread between any two bytecodes, also while that
    # thread holds an Event's lock: it takes no lock, it writes a byte the loop waits on.
    wake_read, wake_write = os.pipe()
    os.set_blocking(wake_write, False)

    def stop_requested(signum: int, frame: object) -> None:
        try:
            os.write(wake_write, b"!")
        except OSError:  # full of earlier requests
            pass

    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, stop_requested)

    try:
        bench = Bench(args, config)
    except ValueError as exc:
        parser.error(str(exc))
    try:
        bench.start()
    except (OSError, OverflowError, ValueError) as exc:
        print(f"cnc_api_simulator: cannot listen: {exc}", file=sys.stderr)
        return 1
    try:
        while not select.select([wake_read], [], [])[0]:
            pass
    finally:
        bench.stop()
        os.close(wake_read)
        os.close(wake_write)
    return 0


class Bench:
    """The machines the options ask for, their request log and control port."""

    def __init__(self, args: argparse.Namespace, config: MachineConfig) -> None:
        from dataclasses import replace

        from .control import ControlServer
        from .fleet import Fleet
        from .fleetfile import SimMachine, load_fleet
        from .reqlog import RequestLog

        if args.fleet is not None and args.machines is not None:
            raise ValueError("--machines and --fleet exclude each other")
        self.listing = args.fleet is not None or args.machines is not None
        if args.fleet is not None:
            machines = load_fleet(args.fleet)
        else:
            machines = [SimMachine(f"sim-{i}") for i in range(1, (args.machines or 1) + 1)]
        settings = options.fault_settings(args)
        machines = [replace(m, faults={**settings, **m.faults}) for m in machines]
        self.log = RequestLog(args.log_requests) if args.log_requests else None
        self.fleet = Fleet(
            machines,
            args.host,
            args.port,
            args.programs_dir,
            args.speed,
            config,
            self.log,
            max_connections=args.max_connections,
            idle_timeout=args.idle_timeout,
        )
        self.control = (
            ControlServer(self.fleet, args.control_host, args.control_port) if args.control_port is not None else None
        )

    def start(self) -> None:
        addresses = self.fleet.start()
        try:
            if self.control is not None:
                self.control.start()
        except BaseException:
            self.fleet.stop()
            raise
        for name, host, port in addresses:
            where = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
            print(f"{name} {where}" if self.listing else f"cnc_api_simulator listening on {where}", flush=True)
        if self.control is not None:
            print(f"control {self.control.host}:{self.control.port}", flush=True)

    def stop(self) -> None:
        if self.control is not None:
            self.control.stop()
        self.fleet.stop()


if __name__ == "__main__":
    sys.exit(main())
