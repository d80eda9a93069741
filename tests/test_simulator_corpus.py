"""Whole programs of the kinds users bring (CAM post-processor output and hand-written
programs for mills, lathes, plasma, laser and rotary axes) run to their programmed end.

Each end position was worked out by hand from the program text, in machine
coordinates (default offsets, the simulator's tool table).
"""

import pathlib
import shutil
import time

import pytest
from sim_helpers import CS_ERROR, CS_READY, SM_IDLE, MachineConfig, ask, new_machine

CORPUS = pathlib.Path(__file__).parent / "data" / "gcode"

# file: machine position at the end (X Y Z [A B C])
ENDS = {
    "mill_fanuc_post.nc": [0, 0, 0],
    "compact_lowercase_crlf.nc": [99, 0.25, 0],  # the block-delete switch is off: / lines run
    "ngc_cam_post.ngc": [0, 0, 0],
    "lathe_fanuc.nc": [0, 0, 0],
    "lathe_ngc.ngc": [60, 0, -5],
    "plasma_inch.nc": [0, 0, 0],
    "laser_engrave.gcode": [0, 0, 0],
    "rotary_4axis.ngc": [0, 0, 30, 0, 0, 0],
    "macro_fanuc.nc": [12, 7, 50],
    "macro_ngc.ngc": [11, 7, 2],
    "probe_offsets.ngc": [0, 0, 0],
    "transforms_fanuc.nc": [5, 5, 10],
    "tapping.nc": [0, 0, 20],
    "splines.ngc": [10, 0, 0],
    "subprogram_file_main.nc": [10, 0, 10],
    "fanuc_inch_mill.nc": [0, 0, 0],
    "ngc_params_system.ngc": [17, 28, 3],
    "fanuc_macro_loops.nc": [-40, -15, 65],
    "cam_3d_finish_g18_g19.nc": [20, 0, 0],
    "plasma_ngc_io.ngc": [0, 0, 0],
    "rotary_5axis_g93.ngc": [0, 0, 50, 0, 0, 0],
    "haas_style_post.nc": [0, 0, 0],
    "ngc_lathe_profile_sub.ngc": [60, 0, 20],
    "fanuc_lathe_g73_g75.nc": [0, 0, 0],
    "laser_grbl_style.gcode": [0, 0, 0],
    "probe_touchoff_main.ngc": [0, 0, -45],
}

# file: (line of the error, word named in the message)
FAULTY = {
    "bad_arc.nc": (6, "G3"),
    "bad_modal_arc.nc": (5, "G2"),
}


# programs written for ISO-style controls (G04 X0.5 dwells half a second), run in that dialect
ISO_STYLE = {"lathe_fanuc.nc", "fanuc_lathe_g73_g75.nc", "mill_fanuc_post.nc", "haas_style_post.nc"}


@pytest.fixture
def machine(tmp_path, request):
    for path in CORPUS.iterdir():
        shutil.copy(path, tmp_path / path.name)
    name = request.node.callspec.params.get("name")
    config = MachineConfig(dialect="iso" if name in ISO_STYLE else "rs274ngc")
    m = new_machine(tmp_path, speed=5000.0, config=config)
    yield m
    m.close()


def load(machine, name, timeout=20.0):
    assert ask(machine, {"cmd": "program.load", "name": name}) is True
    deadline = time.monotonic() + timeout
    while (info := ask(machine, {"get": "compile.info"}))["state"] not in (CS_READY, CS_ERROR):
        assert time.monotonic() < deadline, "analysis did not finish"
        time.sleep(0.005)
    return info


def test_every_file_is_listed():
    listed = set(ENDS) | set(FAULTY) | {"O7001", "touchoff.ngc"}  # subroutine files
    assert {p.name for p in CORPUS.iterdir()} == listed


@pytest.mark.parametrize("name", sorted(ENDS))
def test_program_runs_to_its_end(machine, name):
    info = load(machine, name)
    assert info["state"] == CS_READY, info["message"]
    assert ask(machine, {"cmd": "cnc.start"}) is True
    deadline = time.monotonic() + 20.0
    while ask(machine, {"get": "cnc.info"})["state.machine"] != SM_IDLE:
        assert time.monotonic() < deadline, "the run did not end"
        time.sleep(0.005)
    expected = ENDS[name]
    position = ask(machine, {"get": "axes.info"})["machine.position"]
    assert position[: len(expected)] == pytest.approx(expected, abs=1e-3)


@pytest.mark.parametrize("name", sorted(FAULTY))
def test_faulty_program_rejected_with_its_line(machine, name):
    line, word = FAULTY[name]
    info = load(machine, name)
    assert info["state"] == CS_ERROR
    assert info["code.line"] == line
    assert f"line {line}" in info["message"] and word in info["message"]
