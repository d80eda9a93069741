"""Talking to the simulator's request handler in-process: one JSON request in, `res` out."""

import json
import pathlib
import sys
import time

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[1] / "python"
if str(PYTHON_DIR) not in sys.path:
    sys.path.insert(0, str(PYTHON_DIR))

from cnc_api_simulator import Simulator, protocol  # noqa: E402
from cnc_api_simulator.compiled import Compiled  # noqa: E402
from cnc_api_simulator.config import MachineConfig  # noqa: E402
from cnc_api_simulator.interp import Interpreter  # noqa: E402
from cnc_api_simulator.machine import Machine  # noqa: E402
from cnc_api_simulator.state import State  # noqa: E402
from cnc_api_simulator.text import SLICE  # noqa: E402

__all__ = ["SLICE", "Compiled", "Interpreter", "Machine", "MachineConfig", "Simulator", "State", "protocol"]

CS_INIT, CS_READY, CS_ERROR, CS_FIRST_STEP, CS_FIRST_STEP_RUNNING = 0, 1, 2, 3, 4
SM_IDLE, SM_RUN, SM_PAUSE = 5, 8, 9


def ask(machine, request):
    return json.loads(protocol.handle(machine, json.dumps(request).encode() + b"\n"))["res"]


def analyse(machine, text, timeout=20.0):
    """Set the program and wait for its analysis; returns the compile info."""
    assert ask(machine, {"cmd": "program.gcode.set.text", "text": text}) is True
    deadline = time.monotonic() + timeout
    while True:
        info = ask(machine, {"get": "compile.info"})
        if info["state"] in (CS_READY, CS_ERROR, CS_INIT):
            return info
        assert time.monotonic() < deadline, "analysis did not finish"
        time.sleep(0.005)


def end_point(machine):
    points = ask(machine, {"get": "programmed.points"})["points"]
    return points[-1] if points else None


def new_machine(tmp_path, **kw):
    return Machine(str(tmp_path), speed=kw.pop("speed", 1.0), **kw)
