"""Shared pieces of the dashboard tests: a test part, simulators with program folders, a
dashboard served on a free port, the live stream read as events, and a scripted control."""

from __future__ import annotations

import contextlib
import json
import math
import os
import time
from collections.abc import Callable, Iterator, Mapping
from typing import TYPE_CHECKING, Any

import cnc_api_client_core as cnc
import httpx
from cnc_api_simulator import Simulator
from cnc_api_tools import CompileState, State
from cnc_api_tools.codes import FINAL_COMPILE_STATES
from replies import QUERIES
from tools_helpers import wait_for

if TYPE_CHECKING:
    from cnc_api_tools.dashboard.server import DashboardServer

PART = "part.nc"


def part_program(depths: int = 2, segments: int = 72) -> str:
    """A small part: outline, two circular passes per depth as line segments, four drilled holes."""
    lines = ["(dashboard test part)", "G21 G90 G54", "T1 M6", "S12000 M3", "G0 X0 Y0 Z5"]
    lines += ["G1 Z-1 F600", "G1 X80 F1500", "G1 Y50", "G1 X0", "G1 Y0", "G0 Z5"]
    cx, cy = 40.0, 25.0
    for depth in range(1, depths + 1):
        for radius in (6.0, 12.0):
            lines += [f"G0 X{cx + radius:.3f} Y{cy:.3f}", f"G1 Z{-depth:.3f} F600"]
            for k in range(1, segments + 1):
                a = 2 * math.pi * k / segments
                lines.append(f"G1 X{cx + radius * math.cos(a):.3f} Y{cy + radius * math.sin(a):.3f} F1500")
            lines.append("G0 Z5")
    for x, y in ((10, 10), (70, 10), (70, 40), (10, 40)):
        lines += [f"G0 X{x} Y{y}", "G1 Z-3 F400", "G0 Z5"]
    lines += ["M5", "G0 X0 Y0", "M30"]
    return "\n".join(lines) + "\n"


@contextlib.contextmanager
def simulator(
    tmp_path: Any, name: str = "sim", speed: float = 1.0, clock: Callable[[], float] = time.monotonic
) -> Iterator[Simulator]:
    """A simulator whose program folder is under tmp_path and holds the test part (about 33 s of
    machine time). With a manual `clock` (cnc_api_simulator.testing.MachineClock) the program moves
    only as the test advances it."""
    folder = tmp_path / f"{name}-programs"
    folder.mkdir()
    (folder / PART).write_text(part_program())
    with Simulator(port=0, programs_dir=str(folder), speed=speed, clock=clock) as sim:
        yield sim


def client(port: int) -> cnc.CncAPIClientCore:
    c = cnc.CncAPIClientCore()
    assert c.connect("127.0.0.1", port)
    return c


def state(c: cnc.CncAPIClientCore) -> State:
    return State(c.get_cnc_info().state_machine)


def load_and_start(port: int, name: str = PART) -> cnc.CncAPIClientCore:
    """Load a program from the control's folder, wait for its compile result, start it."""
    c = client(port)
    assert c.program_load(name)
    wait_for(lambda: c.get_compile_info().state in FINAL_COMPILE_STATES)
    assert c.get_compile_info().state != CompileState.ERROR
    # The control may still be analysing in the background; a refused start is asked again.
    wait_for(lambda: c.cnc_start() or state(c) in (State.RUN, State.PAUSE))
    return c


@contextlib.contextmanager
def dashboard(
    ports: list[int],
    *,
    programs: list[str] | None = None,
    policy: Mapping[str, Any] | None = None,
    interval: float = 0.1,
    names: list[str] | None = None,
    allowed_hosts: tuple[str, ...] = (),
    limits: Mapping[str, Any] | None = None,
) -> Iterator[DashboardServer]:
    """The dashboard on a free loopback port, on a thread of its own, watching the
    given API ports. `policy` and `limits` are the fields of a ControlPolicy and of Limits.

    The web libraries are imported here, on first use: every worker imports this module while
    collecting, few of them run a dashboard."""
    from cnc_api_tools.dashboard.app import ControlPolicy, create_app
    from cnc_api_tools.dashboard.guard import Limits
    from cnc_api_tools.dashboard.hub import Endpoint, Settings
    from cnc_api_tools.dashboard.server import DashboardServer

    endpoints = [Endpoint(names[i] if names else f"m{i}", "127.0.0.1", port) for i, port in enumerate(ports)]
    app = create_app(
        endpoints,
        settings=Settings(interval=interval, connect_timeout=1.0),
        programs=programs or [],
        policy=None if policy is None else ControlPolicy(**policy),
        allowed_hosts=allowed_hosts,
        limits=None if limits is None else Limits(**limits),
    )
    server = DashboardServer(app, "127.0.0.1", 0)
    server.start()
    try:
        yield server
    finally:
        server.stop()


def events(url: str, until: Callable[[dict[str, Any]], bool], timeout: float = 10.0) -> list[dict[str, Any]]:
    """The `machine` events of a live stream until one satisfies `until` (AssertionError after `timeout`)."""
    seen: list[dict[str, Any]] = []
    deadline = time.monotonic() + timeout
    name, data = None, []
    with httpx.stream("GET", url, timeout=timeout) as reply:
        assert reply.status_code == 200
        assert reply.headers["content-type"].startswith("text/event-stream")
        for line in reply.iter_lines():
            if time.monotonic() > deadline:
                break
            if line.startswith("event:"):
                name = line[6:].strip()
            elif line.startswith("data:"):
                data.append(line[5:].strip())
            elif line == "" and data:
                if name == "machine":
                    value = json.loads("\n".join(data))
                    seen.append(value)
                    if until(value):
                        return seen
                name, data = None, []
    raise AssertionError(f"no matching event within {timeout} s; last: {seen[-1:] if seen else None}")


def programs_dir(sim: Simulator) -> str:
    return os.fspath(sim.programs_dir)


def odd_replies(request: bytes) -> object:
    """Replies of a control that fills fields with values of the wrong kind."""
    text = request.decode()
    if "cnc.info" in text:
        reply = QUERIES["cnc_info"].reply()
        res = reply["res"]
        res.update({"state.machine": "RUN", "gcode.line": 2**70, "worked.time": None})
        res["feed"]["reference"] = "fast"
        res["spindle"]["actual"] = [1, 2]
        res["override"]["feed"] = {"x": 1}
        return reply
    if "axes.info" in text:
        reply = QUERIES["axes_info"].reply()
        reply["res"]["program.position"] = ["a", None, 1.5]
        return reply
    if "compile.info" in text:
        return {
            "res": {
                "code": "E",
                "code.line": None,
                "file.line": 3.5,
                "file.name": 7,
                "message": 9,
                "state": int(CompileState.ERROR),
            }
        }
    if "machining.info" in text:
        reply = QUERIES["machining_info"].reply()
        reply["res"]["tool.path"]["estimated.time"] = "soon"
        return reply
    if "programmed.points" in text:
        return {"res": {"points": [[0, 0, 0], "x", [1, "y", 2], {"x": 3, "y": 4}, [1e400, 0, 0], [5, 6, 7]]}}
    for query in QUERIES.values():
        if query.request == text:
            return query.reply()
    return {"res": True}


class ScriptedControl:
    """A control whose program (file name, points, compile serial), state and line a test sets."""

    def __init__(self, name: str, points: list[list[float]] | None) -> None:
        """`points` None: no points yet, as while the control is still analysing."""
        self.name, self.points, self.state, self.line, self.serial = name, points, State.IDLE, 0, 0

    def load(self, name: str, points: list[list[float]] | None) -> None:
        """A new program: the compile result changes with it (the name may not, as with a text sent after a load)."""
        self.name, self.points, self.serial = name, points, self.serial + 1

    def __call__(self, request: bytes) -> object:
        text = request.decode()
        if "cnc.info" in text:
            reply = QUERIES["cnc_info"].reply()
            reply["res"].update({"state.machine": int(self.state), "gcode.line": self.line})
            return reply
        if "compile.info" in text:
            res = {"code": 0, "code.line": self.serial, "file.line": 0, "file.name": self.name, "message": ""}
            return {"res": {**res, "state": int(CompileState.FINISHED)}}
        if "programmed.points" in text:
            return {"res": None if self.points is None else {"points": self.points}}
        for query in QUERIES.values():
            if query.request == text:
                return query.reply()
        return {"res": True}
