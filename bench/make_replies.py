"""Writes the canned replies of the replay server into bench/replies/.

Deterministic: running it again rewrites the same bytes. Values look like a
machine in the middle of a job so that the decoder sees a realistic mix of
integers, reals, booleans and texts.
"""

import json
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from baseline_client import AXES_INFO_MEMBERS, CNC_INFO_MEMBERS  # noqa: E402

REPLIES_DIR = os.path.join(HERE, "replies")
POINTS_TARGET_BYTES = 64 * 1024

CNC_VALUES = {
    "units.mode": 0,
    "axes.mask": 7,
    "state.machine": 8,
    "gcode.line": 1287,
    "worked.time": "01:42:17",
    "coolant/mist": False,
    "coolant/flood": True,
    "lube/axis.cycles.made": 412,
    "lube/axis.time.to.next.cycle": 1785,
    "lube/spindle.cycles.made": 96,
    "lube/spindle.time.to.next.cycle": 3420,
    "feed/programmed": 2400,
    "feed/target": 2160,
    "feed/reference": 2400,
    "spindle/programmed": 18000,
    "spindle/target": 18000,
    "spindle/actual": 17985,
    "spindle/load": 37,
    "spindle/torque": 12,
    "spindle/status": 2,
    "tool/id": 14,
    "tool/slot": 3,
    "tool/type": 1,
    "tool/diameter": 6.35,
    "tool/offset.x": 0.0,
    "tool/offset.y": 0.0,
    "tool/offset.z": 42.718,
    "tool/param.1": 0.125,
    "tool/param.2": 30.0,
    "tool/param.3": 0.0,
}
OVERRIDE_VALUES = {
    "jog": (80, 0, 100, True, False),
    "spindle": (100, 50, 150, True, False),
    "fast": (90, 0, 100, True, False),
    "feed": (90, 10, 200, True, False),
    "feed.custom.1": (100, 0, 100, False, False),
    "feed.custom.2": (100, 0, 100, False, True),
    "plasma.power": (0, 0, 100, False, True),
    "plasma.voltage": (0, 0, 100, False, True),
}
for _name, _vals in OVERRIDE_VALUES.items():
    for _suffix, _v in zip(("", ".min", ".max", ".enabled", ".locked"), _vals, strict=True):
        CNC_VALUES[f"override/{_name}{_suffix}"] = _v


def cnc_info():
    res = {}
    for group, key, _field in CNC_INFO_MEMBERS:
        value = CNC_VALUES[key if group is None else f"{group}/{key}"]
        (res if group is None else res.setdefault(group, {}))[key] = value
    return {"res": res}


def axes_info():
    joint = [152.3847, -87.1250, -12.5000, 0.0, 0.0, 0.0]
    work_offset = [100.0, 50.0, -25.0, 0.0, 0.0, 0.0]
    program = [round(j - o, 4) for j, o in zip(joint, work_offset, strict=True)]
    values = {
        "joint.position": joint,
        "machine.position": joint,
        "program.position": program,
        "machine.target.position": [152.4012, -87.0933, -12.5000, 0.0, 0.0, 0.0],
        "program.target.position": [52.4012, -137.0933, 12.5000, 0.0, 0.0, 0.0],
        "actual.velocity": [1527, 1296, 0, 0, 0, 0],
        "working.wcs": 1,
        "working.offset": work_offset,
        "dynamic.offset": [0.0, 0.0, 0.1250],
        "homing.done": 1,
        "homing.done.mask": 7,
    }
    return {"res": {key: values[key] for key, _field in AXES_INFO_MEMBERS}}


def programmed_points():
    # A pocketing spiral descending in Z: three decimals, like a CAM post.
    points = []
    i = 0
    size = 0
    while size < POINTS_TARGET_BYTES - 40:
        a = i * 0.05
        r = 5.0 + 0.02 * i
        p = [round(100.0 + r * math.cos(a), 3), round(80.0 + r * math.sin(a), 3), round(-0.001 * i, 3) + 0.0]
        points.append(p)
        size += len(json.dumps(p)) + 2
        i += 1
    return {"res": {"points": points}}


REPLIES = {
    "cnc_info.json": cnc_info,
    "axes_info.json": axes_info,
    "programmed_points.json": programmed_points,
}

TABLE = """\
# request substring<TAB>reply file, first match wins; other requests get {"res":true}
"get":"cnc.info"\tcnc_info.json
"get":"axes.info"\taxes_info.json
"get":"programmed.points"\tprogrammed_points.json
"""


def _write_if_changed(path, text):
    try:
        with open(path, encoding="ascii", newline="") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write(text)


def write_all(directory=REPLIES_DIR):
    """Brings the reply files up to date; returns the reply sizes without the line feed."""
    os.makedirs(directory, exist_ok=True)
    sizes = {}
    for name, make in REPLIES.items():
        line = json.dumps(make()) + "\n"
        _write_if_changed(os.path.join(directory, name), line)
        sizes[name] = len(line) - 1
    _write_if_changed(os.path.join(directory, "table.tsv"), TABLE)
    return sizes


if __name__ == "__main__":
    for name, size in write_all().items():
        print(f"{name}: {size} bytes")
