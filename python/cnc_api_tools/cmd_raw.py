"""`cnc-api raw`: one request line as typed, its reply line as it came, for debugging a control."""

from __future__ import annotations

import json
import socket
import time

import click

from .clibase import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_UNREACHABLE, CliError, Target, target_options
from .program_file import ByteSize, human_size
from .safe import printable
from .trace import _show, _sink_for

__all__ = ["exchange", "raw"]

DEFAULT_MAX_REPLY = 1024 * 1024


def _check(line: str) -> bytes:
    if "\n" in line or "\r" in line:
        raise click.BadParameter("one line only: the server reads a line break as the end of the request")
    try:
        request = json.loads(line)
    except ValueError as exc:
        raise click.BadParameter(f"not JSON: {exc}", param_hint="LINE") from None
    except RecursionError:
        raise click.BadParameter("nested too deeply to be a request", param_hint="LINE") from None
    if not isinstance(request, dict):
        raise click.BadParameter('a request is a JSON object, such as \'{"get":"cnc.info"}\'', param_hint="LINE")
    return line.encode("utf-8", "surrogateescape")


def _reason(exc: OSError, timeout: float) -> str:
    """Worded as the other commands word a failed connect."""
    if isinstance(exc, TimeoutError):
        return f"no answer within {timeout:g} s"
    if isinstance(exc, socket.gaierror):
        return f"unknown host ({exc.strerror})"
    text = exc.strerror or str(exc)
    return text[:1].lower() + text[1:]


def exchange(target: Target, request: bytes, limit: int) -> tuple[bytes, str | None, int]:
    """Send `request` and a line break; the reply line without its break, what went wrong
    (None for a whole line) and the exit status that goes with it. Connection and reply
    together take at most --timeout seconds, and at most `limit` bytes are kept."""
    timeout = target.timeout
    deadline = time.monotonic() + timeout
    data = bytearray()
    try:
        sock = socket.create_connection((target.host.strip("[]"), target.port), timeout=timeout)
    except OSError as exc:
        raise CliError(f"cannot reach {target.name}: {_reason(exc, timeout)}", EXIT_UNREACHABLE) from None
    with sock:
        try:
            sock.settimeout(max(0.001, deadline - time.monotonic()))
            sock.sendall(request + b"\n")
            while len(data) <= limit:
                sock.settimeout(max(0.001, deadline - time.monotonic()))
                chunk = sock.recv(min(65536, limit + 1 - len(data)))
                if not chunk:
                    return (
                        bytes(data),
                        f"the connection closed after {len(data)} bytes without ending the line",
                        EXIT_UNREACHABLE,
                    )
                data += chunk
                end = data.find(b"\n")
                if end >= 0:
                    return bytes(data[:end]).removesuffix(b"\r"), None, 0
        except TimeoutError:
            return bytes(data), f"no whole reply line within {timeout:g} s ({len(data)} bytes came)", EXIT_UNREACHABLE
        except OSError as exc:
            return (
                bytes(data),
                f"the connection failed after {len(data)} bytes: {exc.strerror or exc}",
                EXIT_UNREACHABLE,
            )
    return (
        bytes(data[:limit]),
        f"the reply line is longer than {human_size(limit)} (--max-reply): cut there",
        EXIT_FAILED,
    )


@click.command()
@target_options
@click.argument("line")
@click.option(
    "--max-reply",
    type=ByteSize(),
    default=DEFAULT_MAX_REPLY,
    show_default="1M",
    help="Longest reply line to keep (500K, 64M, ...).",
)
def raw(target: Target, line: str, max_reply: int) -> None:
    """Send one request LINE (a JSON object) and print the reply line as it came.

    The reply is printed as text, control characters and bytes that are not UTF-8 shown as \\xNN.
    Exits 0 when a whole reply line came, whatever it says; 3 when none came within --timeout or
    the connection ended first, 1 when it is longer than --max-reply (what came is printed all the same).
    """
    request = _check(line)
    sink = None if target.trace_to is None else _sink_for(None if target.trace_to == "-" else target.trace_to)
    if sink is not None:
        sink.write(target.name, f"-> {_show(request)}")
    started = time.perf_counter()
    try:
        reply, problem, status = exchange(target, request, max_reply)
    except KeyboardInterrupt:
        raise SystemExit(EXIT_INTERRUPTED) from None
    if sink is not None:
        took = f"({(time.perf_counter() - started) * 1000:.3f} ms)"
        sink.write(target.name, f"<- {_show(reply)} {took}" if problem is None else f"<- {problem} {took}")
    if reply or problem is None:
        click.echo(printable(reply.decode("utf-8", "backslashreplace")))
    if problem is not None:
        raise CliError(problem, status)
