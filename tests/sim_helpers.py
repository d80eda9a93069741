"""Talking to the simulator's request handler in-process: one JSON request in, `res` out."""

import json
import pathlib
import socket
import sys
import threading
import time

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[1] / "python"
if str(PYTHON_DIR) not in sys.path:
    sys.path.insert(0, str(PYTHON_DIR))

from cnc_api_simulator import Simulator, gcodes, protocol, storage  # noqa: E402
from cnc_api_simulator import compiled as compiled_module  # noqa: E402
from cnc_api_simulator.__main__ import build_parser  # noqa: E402
from cnc_api_simulator.__main__ import main as cli_main  # noqa: E402
from cnc_api_simulator.compiled import Compiled  # noqa: E402
from cnc_api_simulator.config import MachineConfig  # noqa: E402
from cnc_api_simulator.errors import GCodeError  # noqa: E402
from cnc_api_simulator.interp import Interpreter  # noqa: E402
from cnc_api_simulator.limits import Budget  # noqa: E402
from cnc_api_simulator.machine import Machine  # noqa: E402
from cnc_api_simulator.server import LineReader  # noqa: E402
from cnc_api_simulator.state import State  # noqa: E402
from cnc_api_simulator.text import SLICE, JsonString, Pending, ProgramFile, ProgramText  # noqa: E402

__all__ = [
    "SLICE",
    "Budget",
    "Compiled",
    "Conn",
    "GCodeError",
    "Interpreter",
    "JsonString",
    "LineReader",
    "Machine",
    "MachineConfig",
    "ProgramFile",
    "ProgramText",
    "Simulator",
    "State",
    "build_parser",
    "cli_main",
    "compiled_module",
    "gcodes",
    "protocol",
    "storage",
]

CS_INIT, CS_READY, CS_ERROR, CS_FIRST_STEP, CS_FIRST_STEP_RUNNING = 0, 1, 2, 3, 4
SM_IDLE, SM_RUN, SM_PAUSE = 5, 8, 9


class Conn:
    """A client of the simulator over a plain socket."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.file = self.sock.makefile("rb")

    def raw(self, line):
        self.sock.sendall(line if isinstance(line, bytes) else line.encode())
        reply = self.file.readline()
        assert reply.endswith(b"\n") and reply.isascii()
        return json.loads(reply)

    def ask(self, request):
        """Send a request (dict, or a raw text without line end) and return `res`."""
        text = request if isinstance(request, str) else json.dumps(request)
        return self.raw(text + "\n")["res"]

    def close(self):
        self.file.close()
        self.sock.close()


def ask(machine, request):
    return json.loads(protocol.handle(machine, json.dumps(request).encode() + b"\n"))["res"]


def analysed(machine, timeout=20.0):
    """Wait for the analysis in progress; returns the compile info."""
    deadline = time.monotonic() + timeout
    while True:
        info = ask(machine, {"get": "compile.info"})
        if info["state"] in (CS_READY, CS_ERROR, CS_INIT):
            return info
        assert time.monotonic() < deadline, "analysis did not finish"
        time.sleep(0.002)


def analyse(machine, text, timeout=20.0):
    """Set the program and wait for its analysis; returns the compile info."""
    assert ask(machine, {"cmd": "program.gcode.set.text", "text": text}) is True
    return analysed(machine, timeout)


def end_point(machine):
    points = ask(machine, {"get": "programmed.points"})["points"]
    return points[-1] if points else None


def estimated_seconds(machine):
    h, m, s = (int(v) for v in ask(machine, {"get": "machining.info"})["tool.path"]["estimated.time"].split(":"))
    return 3600 * h + 60 * m + s


def new_machine(tmp_path, **kw):
    return Machine(str(tmp_path), speed=kw.pop("speed", 1.0), **kw)


class Clock:
    """Machine time that moves only when the test moves it."""

    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


class Gate(Pending):
    """Program text that arrives only when the test opens the gate, as a large request's text
    arrives only once decoded: until then the analysis is in progress, for as long as needed."""

    def __init__(self, text):
        super().__init__()
        self.text = text
        self.opened = threading.Event()

    def open(self):
        self.opened.set()

    def size(self):
        return len(self.text)

    def _make(self, cancelled):
        while not self.opened.wait(0.005):
            if cancelled():
                return None
        return self.text


def set_gated(machine, text):
    """Set a program whose analysis waits for the gate returned."""
    gate = Gate(text)
    with machine.lock:
        assert machine.program_set_text(gate) is True
    return gate
