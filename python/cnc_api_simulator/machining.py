"""Machining statistics of a compiled program: path lengths, time, extents, tools."""

import math

_TCP = "xyz"
_JOINTS = "xyzabc"


def hms(seconds):
    seconds = max(0, int(round(seconds)))
    return f"{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


def _round(value):
    return round(value, 6) + 0.0  # + 0.0 turns -0.0 into 0.0


class _Extents:
    def __init__(self, axes):
        self.axes = axes
        self.low = [math.inf] * len(axes)
        self.high = [-math.inf] * len(axes)

    def add(self, point):
        for i in range(len(self.axes)):
            self.low[i] = min(self.low[i], point[i])
            self.high[i] = max(self.high[i], point[i])

    def as_dict(self):
        empty = self.low[0] == math.inf
        low = [0.0] * len(self.axes) if empty else self.low
        high = [0.0] * len(self.axes) if empty else self.high
        out = {}
        for prefix, values in (("min", low), ("max", high), ("length", [h - lo for lo, h in zip(low, high)])):
            for axis, value in zip(self.axes, values):
                out[f"{prefix}.{axis}"] = _round(value)
        return out


def machining_info(program, rapid_rate):
    """Statistics at 100 % overrides; `rapid_rate` in mm/min. A program with an error has none."""
    path = {"rapid": 0.0, "feed": 0.0}
    seconds = 0.0
    tools = {}
    tcp = {"rapid": _Extents(_TCP), "feed": _Extents(_TCP)}
    joints = {"rapid": _Extents(_JOINTS), "feed": _Extents(_JOINTS)}
    segments = [] if program.error else program.segments
    for seg in segments:
        if seg.kind == "dwell":
            seconds += seg.duration
            continue
        if seg.kind not in path:
            continue
        path[seg.kind] += seg.length
        seconds += seg.length / (rapid_rate if seg.kind == "rapid" else seg.modal.feed) * 60.0
        if seg.modal.tool:
            used = tools.setdefault(seg.modal.tool, {"rapid": 0.0, "feed": 0.0})
            used[seg.kind] += seg.length
        for ext in (tcp[seg.kind], joints[seg.kind]):
            ext.add(seg.start)
            ext.add(seg.end)
    return {
        "tool.path": {
            "in.fast": _round(path["rapid"]),
            "in.feed": _round(path["feed"]),
            "total.path": _round(path["rapid"] + path["feed"]),
            "estimated.time": hms(seconds),
            "used.tool": [{"id": tool, "in.fast": _round(p["rapid"]), "in.feed": _round(p["feed"])}
                          for tool, p in tools.items()],
        },
        "tcp.extents.in.fast": tcp["rapid"].as_dict(),
        "tcp.extents.in.feed": tcp["feed"].as_dict(),
        "joints.in.fast": joints["rapid"].as_dict(),
        "joints.in.feed": joints["feed"].as_dict(),
    }
