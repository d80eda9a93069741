#!/usr/bin/env python3
"""Leak soak: every command and query of the client, many times, then a check
that nothing accumulated.

The calls mix every method of `CncAPIClientCore` and `CncAPIInfoContext` with
realistic replies, failing replies (not JSON, missing members, wrong shapes,
bytes outside ASCII, empty lines), transport failures, clients that are not
connected and argument errors. Replies come from the native replay server in
bench/replay_server (built with cmake into build/soak/), or from a small
threaded server in this script when that cannot be built (or with --python-server).

After a warm-up the script takes resident memory (/proc/self/statm), the
interpreter's count of allocated memory blocks, and the reference counts of the
module's classes and of the shared default lists of the record classes; after
the remaining calls it takes them again. It fails (exit 1) when resident memory
grew by more than --max-growth-mb, when the block count grew by more than one
block per 200 calls, when a reference count drifted, or when a shared default
list changed. Under AddressSanitizer the
allocator's quarantine makes resident memory meaningless, so it is printed but
not judged there.

    python3 bench/soak.py                 # 200,000 calls
    python3 bench/soak.py --calls 20000   # the short run of the test suite
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from replay import ReplayProcess  # noqa: E402

HOST = "127.0.0.1"
REEXEC_GUARD = "CNC_SOAK_REEXECED"

# Environment variables that must not reach the compiler or the server: under
# `make test-asan` they would load the sanitizer runtime into cmake and g++.
SANITIZER_ENV = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


# ---------------------------------------------------------------- replies


def _axes():
    six = [12.5, -3.25, 40.0, 0.0, 90.0, 0.0]
    return {
        "joint.position": six,
        "machine.position": six,
        "program.position": [2.5, -3.25, 10.0, 0.0, 90.0, 0.0],
        "machine.target.position": six,
        "program.target.position": six,
        "actual.velocity": [1200, 0, 35, 0, 0, 0],
        "working.wcs": 1,
        "working.offset": [10.0, 0.0, 30.0, 0.0, 0.0, 0.0],
        "dynamic.offset": [0.0, 0.0, 0.125],
        "homing.done": 1,
        "homing.done.mask": 7,
    }


def _cnc():
    adjustable = {}
    for key, value in (
        ("jog", 80),
        ("spindle", 100),
        ("fast", 90),
        ("feed", 95),
        ("feed.custom.1", 100),
        ("feed.custom.2", 100),
        ("plasma.power", 0),
        ("plasma.voltage", 0),
    ):
        adjustable.update(
            {key: value, f"{key}.min": 0, f"{key}.max": 150, f"{key}.enabled": True, f"{key}.locked": False}
        )
    return {
        "units.mode": 0,
        "axes.mask": 7,
        "state.machine": 8,
        "gcode.line": 1287,
        "worked.time": "01:42:17",
        "coolant": {"mist": False, "flood": True},
        "lube": {
            "axis.cycles.made": 412,
            "axis.time.to.next.cycle": 1785,
            "spindle.cycles.made": 96,
            "spindle.time.to.next.cycle": 3420,
        },
        "feed": {"programmed": 2400, "target": 2160, "reference": 2400},
        "spindle": {"programmed": 18000, "target": 18000, "actual": 17985, "load": 37, "torque": 12, "status": 2},
        "override": adjustable,
        "tool": {
            "id": 14,
            "slot": 3,
            "type": 1,
            "diameter": 6.35,
            "offset.x": 0.0,
            "offset.y": 0.0,
            "offset.z": 42.718,
            "param.1": 0.125,
            "param.2": 30.0,
            "param.3": 0.0,
        },
    }


def _compile():
    return {"code": 0, "code.line": 0, "file.line": 211, "file.name": "bracket.ngc", "message": "", "state": 7}


ENABLED_BOOLEANS = (
    "cnc.continue",
    "cnc.mdi.command",
    "cnc.parameters",
    "cnc.pause",
    "cnc.resume",
    "cnc.resume.from.line",
    "cnc.resume.from.point",
    "cnc.start",
    "cnc.start.from.line",
    "cnc.start.from.point",
    "cnc.stop",
    "program.analysis",
    "program.analysis.abort",
    "program.gcode.add.text",
    "program.gcode.clear",
    "program.gcode.set.text",
    "program.load",
    "program.new",
    "program.save",
)


def _enabled():
    reply = {key: i % 3 != 0 for i, key in enumerate(ENABLED_BOOLEANS)}
    reply.update({"cnc.homing": 7, "cnc.jog.command": 1, "set.program.position": 1})
    return reply


def _machining(used_tool=None):
    def axes(keys, base):
        return {
            f"{part}.{axis}": base + i * 1.5
            for i, (part, axis) in enumerate((p, a) for p in ("min", "max", "length") for a in keys)
        }

    tools = (
        used_tool
        if used_tool is not None
        else [
            {"id": 3, "in.fast": 120.5, "in.feed": 3400.25},
            {"id": 14, "in.fast": 80.0, "in.feed": 1250.0},
            {"id": 21, "in.fast": 12.75, "in.feed": 410.5},
        ]
    )
    return {
        "tool.path": {
            "in.fast": 213.25,
            "in.feed": 5060.75,
            "total.path": 5274.0,
            "estimated.time": "00:41:07",
            "used.tool": tools,
        },
        "tcp.extents.in.fast": axes("xyz", -10.0),
        "tcp.extents.in.feed": axes("xyz", -5.0),
        "joints.in.fast": axes("xyzabc", -20.0),
        "joints.in.feed": axes("xyzabc", -15.0),
    }


def _system():
    keys = (
        "cnc.control.software",
        "cnc.core.version",
        "api.server.version",
        "firmware.version",
        "firmware.version.tag",
        "firmware.interface.level",
        "order.code",
        "customer.id",
        "serial.number",
        "part.number",
        "customization.number",
        "hardware.version",
        "operative.system",
        "operative.system.crc",
        "pld.version",
    )
    return {key: f"{key.split('.')[0].upper()}-{i}.{i * 7 % 10}" for i, key in enumerate(keys)}


def _geometry(names):
    return [
        {
            "name": name,
            "x": 10.0 * i,
            "y": -2.5,
            "z": 0.0,
            "color": 0x3366CC,
            "scale": 1.0,
            "visible": True,
            "edges.angle": 30.0,
            "edges.visible": i % 2 == 0,
        }
        for i, name in enumerate(names)
    ]


def _without(mapping, key):
    return {k: v for k, v in mapping.items() if k != key}


def _line(value) -> bytes:
    if isinstance(value, bytes):
        return value
    return json.dumps(value, separators=(",", ":")).encode()


GOOD = {
    '"get":"analog.inputs"': {"res": {"value": [round(0.1 * i, 3) for i in range(16)]}},
    '"get":"analog.outputs"': {"res": {"value": [5.0] * 8 + [0.0] * 8}},
    '"get":"digital.inputs"': {"res": {"value": [i % 3 == 0 and 1 or 0 for i in range(128)]}},
    '"get":"digital.outputs"': {"res": {"value": [False] * 64 + [True] * 64}},
    '"get":"axes.info"': {"res": _axes()},
    '"get":"cnc.info"': {"res": _cnc()},
    '"get":"cnc.parameters"': {"res": {"parameters": [1, 2.5, -3, 0.0001, 1e16, 7]}},
    '"get":"compile.info"': {"res": _compile()},
    '"get":"enabled.commands"': {"res": _enabled()},
    '"get":"machining.info"': {"res": _machining()},
    '"get":"programmed.points"': {"res": {"points": [[i * 0.5, i * -0.25, 5.0] for i in range(200)]}},
    '"get":"scan3d.info"': {
        "res": {"laser.out.bit": 4, "laser.out.umf": 1, "laser.h.measure": 12.5, "laser.z.position": -3.75}
    },
    '"get":"system.info"': {"res": _system()},
    '"get":"vm.geometry.info"': {"res": _geometry(["base", "table", "spindle"])},
    '"cmd":"cnc.stop"': {"res": "True"},
    '"cmd":"cnc.pause"': {"res": "TRUE"},
}

# Every query fails here, each in its own way; commands get a plain refusal.
BAD_A = {
    '"get":"analog.inputs"': b'{"res":{"value":[1,2',  # cut short
    '"get":"analog.outputs"': {"res": {}},  # member missing
    '"get":"digital.inputs"': {"res": [1, 2, 3]},  # res not an object
    '"get":"digital.outputs"': {"nores": 1},  # res missing
    '"get":"axes.info"': {"res": _without(_axes(), "homing.done.mask")},
    '"get":"cnc.info"': {"res": {**_cnc(), "tool": _without(_cnc()["tool"], "param.3")}},
    '"get":"cnc.parameters"': {"res": None},
    '"get":"compile.info"': b"not json at all",
    '"get":"enabled.commands"': {"res": _without(_enabled(), "set.program.position")},
    '"get":"machining.info"': {"res": _machining([{"id": 1, "in.fast": 1.0}])},
    '"get":"programmed.points"': b"[]",
    '"get":"scan3d.info"': {"res": {"laser.out.bit": 4, "laser.out.umf": 1, "laser.h.measure": 12.5}},
    '"get":"system.info"': _line({"res": _system()}).replace(b"CNC-0", b"CNC-\xc3\xa9"),  # not ASCII
    '"get":"vm.geometry.info"': {"res": _geometry(["base"])},  # fewer elements than names
    '"cmd":"cnc.stop"': {"res": "yes"},
    '"cmd":"cnc.start"': b'{"res":tru',
    '"cmd":"program.new"': b'{"res":true}\xff',
    '"set":"override"': [True],
}
BAD_A_DEFAULT = {"res": False}

BAD_B = {
    '"get":"analog.inputs"': b"",  # empty line
    '"get":"analog.outputs"': b'{"res":{"value":[1.0]}} trailing',
    '"get":"digital.inputs"': b'\x80{"res":{"value":[]}}',
    '"get":"digital.outputs"': {"res": "value"},
    '"get":"axes.info"': {"res": {"joint.position": None}},
    '"get":"cnc.info"': {"res": {**_cnc(), "override": []}},
    '"get":"cnc.parameters"': {"res": {"parametres": [1]}},
    '"get":"compile.info"': {"res": _without(_compile(), "state")},
    '"get":"enabled.commands"': b"",
    '"get":"machining.info"': {"res": _without(_machining(), "joints.in.feed")},
    '"get":"programmed.points"': {"res": {}},
    '"get":"scan3d.info"': b'{"res":{"laser.out.bit":4,"laser.out.umf":1,"laser.h.m\xe2\x82\xac":1}}',
    '"get":"system.info"': {"res": [_system()]},
    '"get":"vm.geometry.info"': {"res": {"name": "base"}},  # res not an array
    '"cmd":"cnc.pause"': {"res": {"ok": True}},
}
BAD_B_DEFAULT = {"res": 1}


def write_table(directory, replies) -> str:
    """A replay-server table for `replies`; returns its path."""
    lines = ["# request substring<TAB>reply file"]
    for i, (needle, reply) in enumerate(replies.items()):
        name = f"reply{i:02d}.txt"
        with open(os.path.join(directory, name), "wb") as f:
            f.write(_line(reply) + b"\n")
        lines.append(f"{needle}\t{name}")
    path = os.path.join(directory, "table.tsv")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


# ---------------------------------------------------------------- servers


def clean_env():
    return {k: v for k, v in os.environ.items() if k not in SANITIZER_ENV}


def build_replay_server(build_dir) -> str | None:
    """Path of the native replay server, built on demand; None when it cannot be."""
    src = os.path.join(HERE, "replay_server")
    cmake = shutil.which("cmake")
    if not os.path.exists(os.path.join(src, "CMakeLists.txt")) or cmake is None:
        return None
    env = clean_env()
    try:
        if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
            subprocess.run(
                [cmake, "-S", src, "-B", build_dir],
                check=True,
                env=env,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE,
                timeout=300,
            )
        subprocess.run(
            [cmake, "--build", build_dir],
            check=True,
            env=env,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            timeout=300,
        )
    except (subprocess.CalledProcessError, subprocess.TimeoutExpired, OSError) as exc:
        print(f"note: replay server not built ({exc}); using the Python server", file=sys.stderr)
        return None
    exe = os.path.join(build_dir, "replay_server")
    return exe if os.access(exe, os.X_OK) else None


class ReplayServer(ReplayProcess):
    """The replay server answering from its own temporary table."""

    def __init__(self, exe, replies, default, max_seconds):
        self.dir = tempfile.mkdtemp(prefix="cnc-soak-")
        try:
            super().__init__(
                exe,
                write_table(self.dir, replies),
                max_seconds,
                extra=("--default", _line(default).decode()),
                env=clean_env(),
            )
        except RuntimeError:
            shutil.rmtree(self.dir, ignore_errors=True)
            raise

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class _Threads:
    """Accept loop and connection threads that all end on close(): threads
    still running at exit would show up as leaks under LeakSanitizer."""

    def __init__(self):
        self.listener = socket.create_server((HOST, 0), backlog=64)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.conns, self.threads = [], []
        self._start(self._accept)

    def _start(self, target, *args):
        thread = threading.Thread(target=target, args=args, daemon=True)
        with self.lock:
            self.threads = [t for t in self.threads if t.is_alive()] + [thread]
        thread.start()

    def _release(self, conn):
        with self.lock:
            if conn in self.conns:
                self.conns.remove(conn)
        conn.close()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.conns.append(conn)
            self.accepted(conn)

    def accepted(self, conn):
        raise NotImplementedError

    def close(self):
        with self.lock:
            socks, threads = [self.listener] + self.conns, list(self.threads)
        for sock in socks:
            try:
                sock.shutdown(socket.SHUT_RDWR)  # wakes a thread blocked on it
            except OSError:
                pass
        for thread in threads:
            thread.join(5)
        for sock in socks:
            sock.close()


class PythonServer(_Threads):
    """Threaded stand-in for the replay server: same table semantics."""

    def __init__(self, replies, default):
        self.table = [(needle.encode(), _line(reply) + b"\n") for needle, reply in replies.items()]
        self.default = _line(default) + b"\n"
        super().__init__()

    def accepted(self, conn):
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._start(self._serve, conn)

    def _serve(self, conn):
        try:
            self._answer(conn)
        finally:
            self._release(conn)

    def _answer(self, conn):
        pending = b""
        while True:
            try:
                chunk = conn.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            pending += chunk
            while b"\n" in pending:
                request, pending = pending.split(b"\n", 1)
                reply = next((r for needle, r in self.table if needle in request), self.default)
                try:
                    conn.sendall(reply)
                except OSError:
                    return


class Closer(_Threads):
    """Accepts connections and closes each at once: a server that goes away."""

    def accepted(self, conn):
        self._release(conn)


def refusing_socket() -> socket.socket:
    """Bound but not listening: connects to its port are refused, and no other
    server can take the port while it is held."""
    sock = socket.socket()
    sock.bind((HOST, 0))
    return sock


# ---------------------------------------------------------------- workload

GCODE = 'G21 G90\nG0 X0 Y0 Z5\n(Fräsen "Tasche" \\ 1)\nG1 Z-1 F300\tM3 S18000\nG2 X10 Y0 I5 J0\nM30\n'


def operations(cnc):
    """(name, call) for every method, each call taking a client."""
    geometry = []
    for i, name in enumerate(("base", "table")):
        record = cnc.APIVMGeometryInfo()
        record.name, record.x, record.z, record.visible, record.edges_visible = name, 1.5 * i, 10.5, True, False
        geometry.append(record)
    ops = [
        ("cnc_continue", lambda c: c.cnc_continue()),
        ("cnc_homing", lambda c: c.cnc_homing(cnc.X2Z_AXIS_MASK)),
        ("cnc_jog_command", lambda c: c.cnc_jog_command(cnc.JC_Y_FW)),
        ("cnc_mdi_command", lambda c: c.cnc_mdi_command('G0 X10.5 Y-3 ("µ" \\ 😀)')),
        ("cnc_pause", lambda c: c.cnc_pause()),
        ("cnc_resume", lambda c: c.cnc_resume(12)),
        ("cnc_resume_from_line", lambda c: c.cnc_resume_from_line(40)),
        ("cnc_resume_from_point", lambda c: c.cnc_resume_from_point(3)),
        ("cnc_start", lambda c: c.cnc_start()),
        ("cnc_start_from_line", lambda c: c.cnc_start_from_line(7)),
        ("cnc_start_from_point", lambda c: c.cnc_start_from_point(2)),
        ("cnc_stop", lambda c: c.cnc_stop()),
        ("program_analysis", lambda c: c.program_analysis(cnc.ANALYSIS_RT)),
        ("program_analysis_abort", lambda c: c.program_analysis_abort()),
        ("program_gcode_add_text", lambda c: c.program_gcode_add_text(GCODE)),
        ("program_gcode_clear", lambda c: c.program_gcode_clear()),
        ("program_gcode_set_text", lambda c: c.program_gcode_set_text(GCODE * 8)),
        ("program_new", lambda c: c.program_new()),
        ("program_load", lambda c: c.program_load({"file": "bracket.ngc", "rev": [1, 2.5, None, True]})),
        ("program_save", lambda c: c.program_save("/tmp/bräcket.ngc")),
        ("get_analog_inputs", lambda c: c.get_analog_inputs()),
        ("get_analog_outputs", lambda c: c.get_analog_outputs()),
        ("get_axes_info", lambda c: c.get_axes_info()),
        ("get_cnc_info", lambda c: c.get_cnc_info()),
        ("get_cnc_parameters", lambda c: c.get_cnc_parameters(100, 6)),
        ("get_compile_info", lambda c: c.get_compile_info()),
        ("get_digital_inputs", lambda c: c.get_digital_inputs()),
        ("get_digital_outputs", lambda c: c.get_digital_outputs()),
        ("get_enabled_commands", lambda c: c.get_enabled_commands()),
        ("get_machining_info", lambda c: c.get_machining_info()),
        ("get_programmed_points", lambda c: c.get_programmed_points()),
        ("get_scan3d_info", lambda c: c.get_scan3d_info()),
        ("get_system_info", lambda c: c.get_system_info()),
        ("get_vm_geometry_info", lambda c: c.get_vm_geometry_info(["base", "table"])),
        ("set_cnc_parameters", lambda c: c.set_cnc_parameters(100, [1, 2.5, -3, 1e-05, 1e16, float("nan"), True])),
        ("set_vm_geometry_info", lambda c: c.set_vm_geometry_info(geometry)),
        ("send_command", lambda c: c._CncAPIClientCore__send_command('{"get":"cnc.info"}')),
        ("execute_request", lambda c: c._CncAPIClientCore__execute_request('{"cmd":"cnc.start"}')),
        ("evaluate_response", lambda c: c._CncAPIClientCore__evaluate_response('{"res":"tRUe"}')),
        ("close_cnc_control_software", lambda c: c.close_cnc_control_software()),
    ]
    for name in ("fast", "feed", "feed_custom_1", "feed_custom_2", "jog", "plasma_power", "plasma_voltage", "spindle"):
        method = f"set_override_{name}"
        ops.append((method, lambda c, m=method: getattr(c, m)(95)))
    for axis in "abcxyz":
        method = f"set_program_position_{axis}"
        ops.append((method, lambda c, m=method: getattr(c, m)(-12.625)))
    return ops


def misuse_operations(cnc):
    """Calls that are refused before anything is sent: errors and false results."""

    def raises(call, error):
        def run(c):
            try:
                call(c)
            except error:
                return None
            raise AssertionError(f"expected {error!r}")

        return run

    def send_none(c):
        """A type error once connected, the empty text otherwise."""
        try:
            result = c._CncAPIClientCore__send_command(None)
        except TypeError:
            return
        if result != "" or c.is_connected:
            raise AssertionError(f"send_command(None) gave {result!r} on a connected client")

    return [
        ("cnc_mdi_command(int)", raises(lambda c: c.cnc_mdi_command(5), TypeError)),
        ("program_save(bytes)", raises(lambda c: c.program_save(b"x"), TypeError)),
        ("program_load(object)", raises(lambda c: c.program_load(object()), TypeError)),
        ("cnc_resume(None)", raises(lambda c: c.cnc_resume(None), TypeError)),
        ("set_override_feed()", raises(lambda c: c.set_override_feed(), TypeError)),
        ("set_program_position_x(str)", raises(lambda c: c.set_program_position_x("x"), (TypeError, ValueError))),
        ("cnc_start(extra)", raises(lambda c: c.cnc_start(1), TypeError)),
        ("get_cnc_info(kw)", raises(lambda c: c.get_cnc_info(x=1), TypeError)),
        ("get_vm_geometry_info(tuple)", raises(lambda c: c.get_vm_geometry_info(("a",)), TypeError)),
        ("set_cnc_parameters(bad kw)", raises(lambda c: c.set_cnc_parameters(1, valeus=[1]), TypeError)),
        ("send_command(None)", send_none),
        ("cnc_jog_command(13)", lambda c: c.cnc_jog_command(13)),
        ("set_cnc_parameters(mixed)", lambda c: c.set_cnc_parameters(1, [1, "x", 2])),
        ("set_cnc_parameters(None)", lambda c: c.set_cnc_parameters(1, None)),
        ("set_vm_geometry_info(foreign)", lambda c: c.set_vm_geometry_info([cnc.APICncInfo()])),
        ("get_vm_geometry_info(non-text)", lambda c: c.get_vm_geometry_info(["base", 5])),
        ("get_vm_geometry_info([])", lambda c: c.get_vm_geometry_info([])),
        ("evaluate_response(None)", lambda c: c._CncAPIClientCore__evaluate_response(None)),
        ("execute_request(None)", lambda c: c._CncAPIClientCore__execute_request(None)),
    ]


def shared_lists(cnc):
    """(label, list) for every list-valued default of a record class."""
    found = []
    for name in dir(cnc):
        cls = getattr(cnc, name)
        if isinstance(cls, type) and name.startswith("API"):
            for attr, value in vars(cls).items():
                if isinstance(value, list):
                    found.append((f"{name}.{attr}", value))
    return found


def module_classes(cnc):
    return [
        (name, getattr(cnc, name))
        for name in dir(cnc)
        if isinstance(getattr(cnc, name), type) and getattr(cnc, name).__module__ == cnc.__name__
    ]


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def under_asan() -> bool:
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


class Soak:
    def __init__(self, cnc, ports, closer_port, refused_port):
        self.cnc = cnc
        self.ports = ports  # profile -> port
        self.closer_port = closer_port
        self.refused_port = refused_port
        self.ops = operations(cnc)
        self.misuse = misuse_operations(cnc)
        self.calls = 0
        self.renewals = 0
        self.clients = {profile: self.connect(port) for profile, port in ports.items()}
        self.context = cnc.CncAPIInfoContext(self.clients["good"])

    def connect(self, port):
        client = self.cnc.CncAPIClientCore()
        if client.connect(HOST, port) is not True:
            raise RuntimeError(f"cannot connect to the soak server on port {port}")
        self.calls += 1
        return client

    def renew(self, profile):
        """Replace a client: close it and connect a new one (socket lifecycle)."""
        old = self.clients[profile]
        if old.close() is not True:
            raise AssertionError(f"{profile} client was dropped: the server lost step with it")
        self.calls += 1
        self.clients[profile] = self.connect(self.ports[profile])
        if profile == "good":
            self.context = self.cnc.CncAPIInfoContext(self.clients["good"])
        self.renewals += 1

    def check(self, profile, name, result):
        """Plausibility of a result, so the soak exercises what it claims to."""
        good = profile == "good"
        if name.startswith("get_vm_geometry_info"):
            ok = result is not None and all(r.has_data for r in result) if good else result is None
        elif name.startswith("get_"):
            ok = result.has_data is good
        elif name in ("send_command", "evaluate_response", "close_cnc_control_software"):
            return
        else:
            ok = result is good
        if not ok:
            raise AssertionError(f"{name} on the {profile} server gave {result!r}")

    def round(self, verify):
        """One pass over every method on every server, plus the failure paths."""
        for profile, client in self.clients.items():
            for name, call in self.ops:
                result = call(client)
                self.calls += 1
                if verify:
                    self.check(profile, name, result)
            if not client.is_connected:
                raise AssertionError(f"{profile} client dropped during a round")
        self.context.update()
        self.calls += 1
        if verify and not self.context.cnc_info.has_data:
            raise AssertionError("info context update read no data")
        # Transport failures: a server that goes away, then calls on the
        # dropped client, on a never connected one and a refused connect.
        dropped = self.cnc.CncAPIClientCore()
        dropped.connect(HOST, self.closer_port)
        lonely = self.cnc.CncAPIClientCore()
        lonely.connect(HOST, self.refused_port)
        self.calls += 3
        for _name, call in self.ops[::4] + self.misuse:
            call(dropped)
            call(lonely)
            self.calls += 2
        if verify and (dropped.is_connected or lonely.is_connected):
            raise AssertionError("a client stayed connected to a server that went away")
        dropped.close()
        del dropped, lonely
        for _name, call in self.misuse:
            call(self.clients["good"])
            self.calls += 1
        for profile in self.clients:
            self.renew(profile)

    def run(self, calls, verify_first=True):
        first = True
        while self.calls < calls:
            self.round(verify_first and first)
            first = False


def snapshot(cnc, lists):
    # The attribute lookup cache keeps the names it was last asked for alive,
    # up to 4096 of them: emptied, it adds no blocks of its own to the count.
    sys._clear_type_cache()
    gc.collect()
    return {
        "blocks": sys.getallocatedblocks(),
        "classes": {name: sys.getrefcount(cls) for name, cls in module_classes(cnc)},
        "lists": {label: sys.getrefcount(value) for label, value in lists},
        "contents": {label: list(value) for label, value in lists},
    }


def report_drift(before, after):
    problems = []
    for kind in ("classes", "lists"):
        for name, count in before[kind].items():
            if after[kind][name] != count:
                problems.append(f"refcount of {name} drifted: {count} -> {after[kind][name]}")
    for label, content in before["contents"].items():
        if after["contents"][label] != content:
            problems.append(f"shared default list {label} changed")
    return problems


def start_servers(args, max_seconds):
    profiles = {"good": (GOOD, {"res": True}), "bad_a": (BAD_A, BAD_A_DEFAULT), "bad_b": (BAD_B, BAD_B_DEFAULT)}
    exe = None if args.python_server else build_replay_server(args.build_dir)
    servers = {}
    for profile, (replies, default) in profiles.items():
        servers[profile] = ReplayServer(exe, replies, default, max_seconds) if exe else PythonServer(replies, default)
    return servers, ("native replay server" if exe else "Python server")


def maybe_reexec_in_venv(argv):
    """Prefer the project's venv, where `make install` puts the module."""
    try:
        import cnc_api_client_core  # noqa: F401

        return
    except ImportError:
        pass
    venv_py = os.path.join(ROOT, ".venv", "bin", "python")
    if os.environ.get(REEXEC_GUARD) or not os.path.exists(venv_py):
        return
    os.execve(venv_py, [venv_py, os.path.abspath(__file__)] + argv, dict(os.environ, **{REEXEC_GUARD: "1"}))


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--calls", type=int, default=200_000, help="calls in total (default 200,000)")
    p.add_argument(
        "--warmup",
        type=int,
        default=None,
        help="calls before the first measurement (default a tenth of --calls, at least 2,000)",
    )
    p.add_argument("--max-growth-mb", type=float, default=2.0, help="allowed resident memory growth")
    p.add_argument("--python-server", action="store_true", help="use the Python server, not the native one")
    p.add_argument("--build-dir", default=os.path.join(ROOT, "build", "soak"))
    args = p.parse_args(argv)
    maybe_reexec_in_venv(argv)
    import cnc_api_client_core as cnc

    warmup = args.warmup if args.warmup is not None else max(2000, args.calls // 10)
    started = time.monotonic()
    servers, server_kind = start_servers(args, max_seconds=3600)
    closer, refusing = Closer(), refusing_socket()
    try:
        soak = Soak(cnc, {k: s.port for k, s in servers.items()}, closer.port, refusing.getsockname()[1])
        lists = shared_lists(cnc)
        soak.run(warmup)
        before = snapshot(cnc, lists)
        rss_before = rss_bytes()
        measured_from = soak.calls
        soak.run(args.calls)
        after = snapshot(cnc, lists)
        rss_after = rss_bytes()
    finally:
        refusing.close()
        closer.close()
        for server in servers.values():
            server.close()
    elapsed = time.monotonic() - started

    asan = under_asan()
    growth = rss_after - rss_before
    problems = report_drift(before, after)
    if not asan and growth > args.max_growth_mb * 1024 * 1024:
        problems.append(f"resident memory grew by {growth / 1024:.0f} KiB (limit {args.max_growth_mb} MB)")
    # One object kept per call of any one method adds about calls / 80 blocks;
    # the interpreter's own caches settle within the warm-up. The count is of
    # the interpreter's own allocator, which PYTHONMALLOC=malloc bypasses.
    blocks = after["blocks"] - before["blocks"]
    block_limit = max(200, (soak.calls - measured_from) // 200)
    if blocks > block_limit:
        problems.append(f"the interpreter holds {blocks} more memory blocks (limit {block_limit})")

    print(
        f"soak: {soak.calls} calls ({warmup} warm-up) against the {server_kind} in {elapsed:.1f} s, "
        f"{soak.renewals} client renewals"
    )
    print(
        f"rss: before {rss_before / 1024:.0f} KiB, after {rss_after / 1024:.0f} KiB, "
        f"growth {growth / 1024:+.0f} KiB" + (" (not judged under AddressSanitizer)" if asan else "")
    )
    print(
        f"interpreter memory blocks: before {before['blocks']}, after {after['blocks']}, growth {blocks:+d}"
        + (" (the interpreter's allocator is off)" if not before["blocks"] else "")
    )
    width = max(len(n) for n in list(after["classes"]) + list(after["lists"]))
    print("refcounts (before -> after):")
    for kind in ("classes", "lists"):
        for name in sorted(after[kind]):
            print(f"  {name:<{width}}  {before[kind][name]:>4} -> {after[kind][name]:>4}")
    if problems:
        for problem in problems:
            print("FAIL: " + problem)
        return 1
    print("soak: OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
