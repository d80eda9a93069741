"""Command line: python -m cnc_api_simulator [--host H] [--port P] [--programs-dir DIR] [--speed F]"""

import argparse
import os
import signal
import sys
import threading

from .server import DEFAULT_HOST, DEFAULT_PORT, DEFAULT_SPEED, Simulator


def _speed(text):
    value = float(text)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError("must be a positive number")
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m cnc_api_simulator",
                                     description="Simulated CNC API server (one JSON request per line).")
    parser.add_argument("--host", default=DEFAULT_HOST, help="address to listen on (default %(default)s)")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT,
                        help="TCP port, 0 picks a free one (default %(default)s)")
    parser.add_argument("--programs-dir", help="directory of program.load/program.save files "
                        "(default: a temporary directory removed at exit)")
    parser.add_argument("--speed", type=_speed, default=DEFAULT_SPEED,
                        help="machine time multiplier (default %(default)s)")
    args = parser.parse_args(argv)
    if args.programs_dir is not None and not os.path.isdir(args.programs_dir):
        parser.error(f"--programs-dir {args.programs_dir!r} is not a directory")

    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())

    sim = Simulator(args.host, args.port, args.programs_dir, speed=args.speed)
    try:
        port = sim.start()
    except OSError as exc:
        print(f"cnc_api_simulator: cannot listen on {args.host}:{args.port}: {exc}", file=sys.stderr)
        return 1
    print(f"cnc_api_simulator listening on {args.host}:{port}", flush=True)
    try:
        while not done.wait(0.5):
            pass
    finally:
        sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
