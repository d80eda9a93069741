"""Analysis of a large program in a process of its own.

The server's threads share one interpreter lock; a long analysis beside them would
make every reply wait its turn. A child process instead gets a core of its own and
hands back compact arrays. Run as `python -m cnc_api_simulator.child PARENT_PID`: it reads one
job from standard input and writes the result to standard output, then exits.

Frames: 8-byte little-endian length, then the payload. A job is a pickled header
(config, state, file name, programs directory, and what each part of the program text
is) and then a frame for each part that travels: a text as UTF-8, or the raw JSON
string a large request brought, from the string's first byte to the request's end. The
child decodes those and reads program files itself, so the server never spends its
time on a large text. A result is a pickled header and then the raw bytes of each
segment array, in `ARRAYS` order.
"""

from __future__ import annotations

import ctypes
import gc
import logging
import os
import pickle
import signal
import struct
import subprocess
import sys
import threading
from collections.abc import Callable
from typing import IO, Any

from .config import MachineConfig
from .errors import GCodeError
from .interp import Interpreter, Result
from .program import Builder
from .state import State
from .text import JsonString, Part, ProgramFile, ProgramText

ARRAYS = ("kinds", "ends", "lines", "modals", "durations", "arc_segments", "arc_data", "snapshot_at", "snapshot_states")
CHUNK = 1 << 20  # bytes moved per read or write, so no single step holds the lock long
_LEN = struct.Struct("<Q")
_log = logging.getLogger(__name__)


def write_frame(out: IO[bytes], payload: bytes | memoryview) -> None:
    view = memoryview(payload).cast("B")
    out.write(_LEN.pack(view.nbytes))
    for k in range(0, len(view), CHUNK):
        out.write(view[k : k + CHUNK])


def read_exact(inp: IO[bytes], size: int) -> bytes:
    data = inp.read(size)
    if data is None or len(data) != size:
        raise EOFError("the other side closed the pipe")
    return data


def read_frame_into(inp: IO[bytes], sink: Callable[[bytes], object]) -> int:
    """Read one frame a chunk at a time into `sink`; the frame's length."""
    size = _LEN.unpack(read_exact(inp, _LEN.size))[0]
    left = size
    while left:
        chunk = read_exact(inp, min(CHUNK, left))
        sink(chunk)
        left -= len(chunk)
    return int(size)


def read_frame(inp: IO[bytes]) -> bytes:
    parts: list[bytes] = []
    read_frame_into(inp, parts.append)
    return b"".join(parts)


# ----- child side -------------------------------------------------------------------------------------


def _error_fields(error: GCodeError | None) -> tuple[str, str, int, int, str] | None:
    if error is None:
        return None
    return (error.message, error.word, error.code, error.line, error.file)


def _read_payload(inp: IO[bytes]) -> bytearray:
    size = _LEN.unpack(read_exact(inp, _LEN.size))[0]
    buffer = bytearray(size)  # filled in place: no list of pieces beside the whole
    for k in range(0, size, CHUNK):
        buffer[k : k + CHUNK] = read_exact(inp, min(CHUNK, size - k))
    return buffer


def _read_parts(inp: IO[bytes], kinds: list[tuple[str, int, str, str]]) -> list[Part]:
    parts: list[Part] = []
    for kind, stop, path, name in kinds:
        if kind == "file":
            parts.append(ProgramFile(path, name))
        elif kind == "json":
            parts.append(JsonString(_read_payload(inp), 0, stop))
        else:
            parts.append(_read_payload(inp).decode("utf-8", "surrogatepass"))
    return parts


def serve(inp: IO[bytes], out: IO[bytes]) -> None:
    gc.disable()  # the analysis makes few containers; collections would only cost time
    try:
        os.nice(10)  # background work: the server (and everything else) goes first
    except OSError:
        pass
    header = pickle.loads(read_frame(inp))
    config: MachineConfig = header["config"]
    state: State = header["state"]
    source = ProgramText(_read_parts(inp, header["parts"]), True)
    blank = False
    try:
        text = source.value()
        assert text is not None
    except GCodeError as exc:  # the text itself is faulty: that is the program's error
        result = Result(Builder(config, state.position), state, exc, 0, False)
    else:
        blank = not source.has_text
        del source
        result = Interpreter(
            "" if blank else text,
            state,
            config,
            file_name=header["file_name"],
            programs_dir=header["programs_dir"],
            keep_modes=header["keep_modes"],
        ).run()
        del text
    b = result.builder
    meta: dict[str, Any] = {
        "blank": blank,
        "error": _error_fields(result.error),
        "state": result.state,
        "line_count": result.line_count,
        "pauses": result.pauses,
        "start": b.start,
        "modal_table": b.modal_table,
        "stats": b.stats,
        "dwells": b.dwells,
        "monotonic": b.monotonic,
        "states": b.states,
    }
    write_frame(out, pickle.dumps(meta, protocol=pickle.HIGHEST_PROTOCOL))
    for name in ARRAYS:
        write_frame(out, memoryview(getattr(b, name)))
    out.flush()


PR_SET_PDEATHSIG = 1
PARENT_POLL = 0.5  # seconds between looks at whether the server still runs


def end_with_parent(parent: int) -> Callable[[], None]:
    """End this process when the server that started it goes, even killed outright: an
    analysis of an endless loop would otherwise run on at full speed for a minute or more.
    The system signals the death where it can; a thread that looks for a new parent
    process covers the other systems and a parent gone before the signal was asked for."""
    if sys.platform.startswith("linux"):
        try:
            ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
        except (OSError, AttributeError):
            pass

    done = threading.Event()

    def watch() -> None:
        while os.getppid() == parent:
            if done.wait(PARENT_POLL):
                return
        os._exit(1)

    if os.getppid() != parent:
        os._exit(1)
    thread = threading.Thread(target=watch, name="parent watch", daemon=True)
    thread.start()

    def stop() -> None:  # before the interpreter finalises, which leaves a waiting thread's objects behind
        done.set()
        thread.join()

    return stop


def main() -> int:
    stop = end_with_parent(int(sys.argv[1])) if len(sys.argv) > 1 and sys.argv[1].isdigit() else None
    try:
        serve(sys.stdin.buffer, sys.stdout.buffer)
    except (EOFError, BrokenPipeError):
        return 1
    finally:
        if stop is not None:
            stop()
    return 0


# ----- parent side ------------------------------------------------------------------------------------


class Child:
    """One analysis in a child process; `signal` ends it from another thread."""

    def __init__(self) -> None:
        package_parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        env = dict(os.environ)
        env["PYTHONPATH"] = package_parent + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "cnc_api_simulator.child", str(os.getpid())],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            env=env,
        )
        self.blank = False

    def run(
        self,
        parts: list[Part],
        state: State,
        config: MachineConfig,
        file_name: str,
        programs_dir: str | None,
        keep_modes: bool = False,
    ) -> Result | None:
        """The analysis result of the program that `parts` make, or None when the child was
        killed or failed; `blank` tells afterwards whether the program was only blanks."""
        proc = self.proc
        assert proc.stdin is not None and proc.stdout is not None
        try:
            sent = [_sent(part) for part in parts]
            header = {
                "config": config,
                "state": state,
                "file_name": file_name,
                "programs_dir": programs_dir,
                "keep_modes": keep_modes,
                "parts": [kind for kind, _ in sent],
            }
            write_frame(proc.stdin, pickle.dumps(header, protocol=pickle.HIGHEST_PROTOCOL))
            for _, payload in sent:
                if isinstance(payload, str):
                    _write_text(proc.stdin, payload)
                elif payload is not None:
                    write_frame(proc.stdin, payload)
            del sent
            proc.stdin.close()
            meta = pickle.loads(read_frame(proc.stdout))
            b = Builder(config, list(meta["start"]))
            for name in ARRAYS:
                target = getattr(b, name)
                read_frame_into(proc.stdout, target.frombytes)
            proc.wait()
        except (OSError, EOFError, ValueError, pickle.PickleError) as exc:
            self.kill()
            _log.debug("analysis process: %s", exc)
            return None
        self.blank = bool(meta["blank"])
        b.modal_table = meta["modal_table"]
        b.stats = meta["stats"]
        b.dwells = meta["dwells"]
        b.monotonic = meta["monotonic"]
        b.states = meta["states"]
        error = None
        if meta["error"] is not None:
            message, word, code, line, file = meta["error"]
            error = GCodeError(message, word, code)
            error.line, error.file = line, file
        return Result(b, meta["state"], error, meta["line_count"], meta["pauses"])

    def signal(self) -> None:
        """Have the child killed without waiting for it: a process of many megabytes takes a
        while to go, and whoever asks must not wait (the thread running it reaps it)."""
        if self.proc.returncode is None:
            try:
                self.proc.kill()
            except OSError:
                pass

    def kill(self) -> None:
        self.signal()
        self.proc.wait()
        for f in (self.proc.stdin, self.proc.stdout):
            if f is not None:
                try:
                    f.close()
                except OSError:
                    pass


def _sent(part: Part) -> tuple[tuple[str, int, str, str], str | memoryview | None]:
    """What the child is told of a part, and the payload that follows (None for a file)."""
    if isinstance(part, ProgramFile):
        return ("file", 0, part.path, part.name), None
    if isinstance(part, JsonString):
        raw = part.raw()
        if raw is not None:
            line, first, stop = raw
            return ("json", stop - first, "", ""), memoryview(line)[first:]
        made = part.value()
        assert made is not None
        part = made
    if not isinstance(part, str):
        raise TypeError(f"no way to send {type(part).__name__}")
    return ("text", 0, "", ""), part


def _write_text(out: IO[bytes], text: str) -> None:
    if text.isascii():  # sent a slice at a time: one encode of many megabytes holds the lock
        out.write(_LEN.pack(len(text)))
        for k in range(0, len(text), CHUNK):
            out.write(text[k : k + CHUNK].encode("ascii"))
    else:
        write_frame(out, text.encode("utf-8", "surrogatepass"))
