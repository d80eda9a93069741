"""Command-line options of the test bench: the fleet, the faults, the request log, the control port."""

from __future__ import annotations

import argparse
from typing import Any

from .faults import CUT_MODES, GARBAGE


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be a positive whole number")
    return value


def _port(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError("must be a port number 0-65535")
    return value


def _seconds(text: str) -> float:
    value = float(text)
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError("must be a number of seconds, 0 or more")
    return value


def _latency(text: str) -> list[float]:
    low, _, high = text.partition(":")
    values = [_seconds(low), _seconds(high or low)]
    if values[1] < values[0]:
        raise argparse.ArgumentTypeError("MIN:MAX needs MIN <= MAX")
    return values


def _probability(text: str) -> float:
    value = float(text)
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError("must be above 0 and at most 1")
    return value


def _names(text: str) -> list[str]:
    return [n.strip() for n in text.split(",") if n.strip()]


def _refuse(text: str) -> int | list[str]:
    return _positive_int(text) if text.strip().isdigit() else _names(text)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    fleet = parser.add_argument_group("fleet", "many machines in one process, each printed as NAME HOST:PORT")
    fleet.add_argument(
        "--machines", type=_positive_int, metavar="N", help="serve N machines on ports from --port on (0: free ports)"
    )
    fleet.add_argument("--fleet", metavar="FILE", help="serve the machines of a fleet file (TOML)")
    faults = parser.add_argument_group("faults", "for every machine (a fleet file's [machine.faults] adds to them)")
    faults.add_argument("--latency", type=_latency, metavar="S[:MAX]", help="delay each reply S seconds (or S to MAX)")
    faults.add_argument("--latency-requests", type=_names, metavar="NAMES", help="delay only these, as cnc.info,...")
    faults.add_argument("--stall", type=_positive_int, metavar="N", help="no reply to the first N requests")
    faults.add_argument("--cut", type=_positive_int, metavar="N", help="close the connection on the Nth request")
    faults.add_argument("--cut-mode", choices=CUT_MODES, default="close", help="close at once, or after half a reply")
    faults.add_argument("--cut-probability", type=_probability, metavar="P", help="cut each request at chance P")
    faults.add_argument("--garbage", choices=sorted(GARBAGE), help="garble replies: not JSON, wrong shape, byte 0x80+")
    faults.add_argument("--garbage-count", type=_positive_int, default=1, metavar="N", help="garble N replies")
    faults.add_argument(
        "--refuse", type=_refuse, metavar="N|NAMES", help="answer res:false to the first N requests, or always to these"
    )
    faults.add_argument("--alarm-at-time", type=_seconds, metavar="S", help="raise an alarm after S s of machine time")
    faults.add_argument("--alarm-at-line", type=_positive_int, metavar="LINE", help="raise it when a run enters LINE")
    faults.add_argument("--alarm-code", type=int, default=1000, metavar="CODE", help="its code (default %(default)s)")
    faults.add_argument("--alarm-message", default="alarm", metavar="TEXT", help="its text (default %(default)s)")
    faults.add_argument("--seed", type=int, help="seed of the random latency and cuts")
    bench = parser.add_argument_group("test bench")
    bench.add_argument(
        "--log-requests", metavar="FILE", help="write one JSON line per request and reply to FILE (- for stderr)"
    )
    bench.add_argument("--control-port", type=_port, metavar="PORT", help="serve the fault controls on PORT (0: free)")
    bench.add_argument("--control-host", default="127.0.0.1", help="address of the control port (default %(default)s)")


def fault_settings(args: argparse.Namespace) -> dict[str, Any]:
    """The fault options as a fleet file's `[machine.faults]` table."""
    settings: dict[str, Any] = {}
    if args.latency is not None:
        settings["latency"] = args.latency
        if args.latency_requests:
            settings["latency_requests"] = args.latency_requests
    for key in ("stall", "cut", "cut_probability", "refuse", "seed", "alarm_at_time", "alarm_at_line"):
        if getattr(args, key) is not None:
            settings[key] = getattr(args, key)
    if args.cut is not None or args.cut_probability is not None:
        settings["cut_mode"] = args.cut_mode
    if args.garbage is not None:
        settings.update(garbage=args.garbage, garbage_count=args.garbage_count)
    if args.alarm_at_time is not None or args.alarm_at_line is not None:
        settings.update(alarm_code=args.alarm_code, alarm_message=args.alarm_message)
    return settings
