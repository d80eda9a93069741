"""Complete, realistic replies for every record query, built from compact tables.

Each table maps a wire path under `res` (a member name, or a group name and a
member name; dots belong to the names) to a value that no other field of the
table shares, so a decoded record can be checked field by field. The record
field of a path is its names joined by "_" with dots made "_", unless `renamed`
says otherwise (None: the member is required but kept in no field).

Element arrays (`used.tool`) are lists of element tables; their members follow
`ELEMENTS`.
"""

from __future__ import annotations

import copy
from dataclasses import dataclass, field

import cnc_api_client_core as cnc
import pytest

ADJUSTABLE = ("jog", "spindle", "fast", "feed", "feed.custom.1", "feed.custom.2", "plasma.power", "plasma.voltage")
USED_TOOL = ("tool.path", "used.tool")
ELEMENTS = {USED_TOOL: ("APIMachiningInfoUsedTool", {"id": "tool_id", "in.fast": "in_fast", "in.feed": "in_feed"})}
GEOMETRY_FIELDS = {
    "name": "name",
    "x": "x",
    "y": "y",
    "z": "z",
    "color": "color",
    "scale": "scale",
    "visible": "visible",
    "edges.angle": "edges_angle",
    "edges.visible": "edges_visible",
}


@dataclass(frozen=True)
class Query:
    method: str
    request: str
    record: str
    table: dict
    renamed: dict = field(default_factory=dict)
    args: tuple = ()

    def field(self, path):
        return self.renamed.get(path, "_".join(path).replace(".", "_"))

    def res(self, value=lambda path, v: v) -> dict:
        """The `res` object, each leaf passed through `value(path, v)`."""
        res = {}
        for path, v in self.table.items():
            holder = res
            for group in path[:-1]:
                holder = holder.setdefault(group, {})
            holder[path[-1]] = elements(path, v, value) if path in ELEMENTS else value(path, v)
        return res

    def reply(self, value=lambda path, v: v) -> dict:
        return {"res": self.res(value)}

    def expected(self, value=lambda path, v: v) -> dict:
        """Record field -> value the query must store (element lists as lists of field dicts)."""
        out = {}
        for path, v in self.table.items():
            name = self.field(path)
            if name is None:
                continue
            if path in ELEMENTS:
                record, names = ELEMENTS[path]
                out[name] = [Element(record, {names[k]: x for k, x in e.items()}) for e in elements(path, v, value)]
            else:
                out[name] = value(path, v)
        return out


@dataclass(frozen=True)
class Element:
    """An element record expected inside a list field."""

    record: str
    fields: dict


def elements(path, items, value):
    return [{k: value((*path, i, k), x) for k, x in e.items()} for i, e in enumerate(items)]


def tagged(path, _v):
    """A text naming the path: distinct for every leaf, booleans included."""
    return "/".join(map(str, path))


def _cnc_info():
    table = {
        ("units.mode",): 1,
        ("axes.mask",): 7,
        ("state.machine",): 4,
        ("gcode.line",): 1250,
        ("worked.time",): "01:23:45",
        ("coolant", "mist"): True,
        ("coolant", "flood"): False,
        ("lube", "axis.cycles.made"): 31,
        ("lube", "axis.time.to.next.cycle"): 345,
        ("lube", "spindle.cycles.made"): 9,
        ("lube", "spindle.time.to.next.cycle"): 678,
        ("feed", "programmed"): 1500,
        ("feed", "target"): 1400,
        ("feed", "reference"): 1450,
        ("spindle", "programmed"): 12000,
        ("spindle", "target"): 11800,
        ("spindle", "actual"): 11790,
        ("spindle", "load"): 35,
        ("spindle", "torque"): 22,
        ("spindle", "status"): 2,
    }
    renamed = {}
    for i, name in enumerate(ADJUSTABLE):
        for suffix, v in (
            ("", 60 + i),
            (".min", 10 + i),
            (".max", 120 + i),
            (".enabled", i % 2 == 0),
            (".locked", i % 3 == 0),
        ):
            path = ("override", name + suffix)
            table[path] = v
            if name.startswith("plasma"):
                renamed[path] = (name + suffix).replace(".", "_")
    table.update(
        {
            ("tool", "id"): 5,
            ("tool", "slot"): 3,
            ("tool", "type"): 6,
            ("tool", "diameter"): 6.35,
            ("tool", "offset.x"): 0.125,
            ("tool", "offset.y"): -0.25,
            ("tool", "offset.z"): 42.5,
            ("tool", "param.1"): 1.5,
            ("tool", "param.2"): 2.75,
            ("tool", "param.3"): -3.125,
        }
    )
    return Query("get_cnc_info", '{"get":"cnc.info"}', "APICncInfo", table, renamed)


def _machining_info():
    table = {
        ("tool.path", "in.fast"): 1234.5,
        ("tool.path", "in.feed"): 5678.25,
        ("tool.path", "total.path"): 6912.75,
        ("tool.path", "estimated.time"): "00:42:17",
        USED_TOOL: [
            {"id": 1, "in.fast": 100.5, "in.feed": 200.25},
            {"id": 4, "in.fast": 300.5, "in.feed": 400.25},
            {"id": 2, "in.fast": 500.5, "in.feed": 600.25},
        ],
    }
    renamed = {
        ("tool.path", "total.path"): "total_path",
        ("tool.path", "estimated.time"): "estimated_time",
        USED_TOOL: "used_tool",
        ("joints.in.feed", "length.c"): None,
    }
    groups = [
        ("tcp.extents.in.fast", "xyz"),
        ("tcp.extents.in.feed", "xyz"),
        ("joints.in.fast", "xyzabc"),
        ("joints.in.feed", "xyzabc"),
    ]
    for g, (group, axes) in enumerate(groups, 1):
        for k, (kind, sign) in enumerate((("min", -1), ("max", 1), ("length", 1))):
            for a, axis in enumerate(axes):
                table[(group, f"{kind}.{axis}")] = sign * (g * 1000 + k * 100 + a + 0.5)
    return Query("get_machining_info", '{"get":"machining.info"}', "APIMachiningInfo", table, renamed)


_ENABLED = (
    "cnc.continue cnc.homing cnc.jog.command cnc.mdi.command cnc.parameters cnc.pause cnc.resume "
    "cnc.resume.from.line cnc.resume.from.point cnc.start cnc.start.from.line cnc.start.from.point "
    "cnc.stop program.analysis program.analysis.abort program.gcode.add.text program.gcode.clear "
    "program.gcode.set.text program.load program.new program.save set.program.position"
).split()
_ENABLED_NUMBERS = {"cnc.homing": 7, "cnc.jog.command": 3, "set.program.position": 63}

_SYSTEM = {
    "cnc.control.software": "CNC Control",
    "cnc.core.version": "4.2.1",
    "api.server.version": "1.4.1",
    "firmware.version": "3.1",
    "firmware.version.tag": "r3127",
    "firmware.interface.level": "12",
    "order.code": "OC-5500",
    "customer.id": "C0042",
    "serial.number": "SN123456",
    "part.number": "PN-77",
    "customization.number": "CU-9",
    "hardware.version": "HW-2",
    "operative.system": "Linux 6.1",
    "operative.system.crc": "0x1F2E3D4C",
    "pld.version": "",  # empty text is data too
}


def _plain(method, request, record, members):
    return Query(method, request, record, {(k,): v for k, v in members.items()})


def _positions(base):
    return [base + i + 0.25 for i in range(6)]


QUERIES = {
    "analog_inputs": _plain(
        "get_analog_inputs", '{"get":"analog.inputs"}', "APIAnalogInputs", {"value": [i * 0.5 + 0.1 for i in range(16)]}
    ),
    # fewer entries than the record's default, on purpose: the array replaces it whole
    "analog_outputs": _plain(
        "get_analog_outputs", '{"get":"analog.outputs"}', "APIAnalogOutputs", {"value": [10.0 - i for i in range(8)]}
    ),
    "digital_inputs": _plain(
        "get_digital_inputs",
        '{"get":"digital.inputs"}',
        "APIDigitalInputs",
        {"value": [(i * 7) % 3 % 2 for i in range(128)]},
    ),
    "digital_outputs": _plain(
        "get_digital_outputs",
        '{"get":"digital.outputs"}',
        "APIDigitalOutputs",
        {"value": [i % 5 == 0 for i in range(64)]},
    ),
    "axes_info": _plain(
        "get_axes_info",
        '{"get":"axes.info"}',
        "APIAxesInfo",
        {
            "joint.position": [10.5, -20.25, 30.0],  # a three-joint machine
            "machine.position": _positions(100),
            "program.position": _positions(200),
            "machine.target.position": _positions(300),
            "program.target.position": _positions(400),
            "actual.velocity": [1500, 0, -250, 0, 0, 0],
            "working.wcs": 2,
            "working.offset": _positions(500),
            "dynamic.offset": [0.1, 0.2, 0.3, 0.4, 0.5, 0.6],
            "homing.done": 1,
            "homing.done.mask": 7,
        },
    ),
    "cnc_info": _cnc_info(),
    "cnc_parameters": Query(
        "get_cnc_parameters",
        '{"get":"cnc.parameters", "address":100, "elements":3}',
        "APICncParameters",
        {("parameters",): [1, 2.5, -3]},
        args=(100, 3),
    ),
    "compile_info": _plain(
        "get_compile_info",
        '{"get":"compile.info"}',
        "APICompileInfo",
        {"code": 17, "code.line": 12, "file.line": 34, "file.name": "part.ngc", "message": "", "state": 3},
    ),
    "enabled_commands": _plain(
        "get_enabled_commands",
        '{"get":"enabled.commands"}',
        "APIEnabledCommands",
        {k: _ENABLED_NUMBERS.get(k, i % 3 != 1) for i, k in enumerate(_ENABLED)},
    ),
    "machining_info": _machining_info(),
    "programmed_points": _plain(
        "get_programmed_points",
        '{"get":"programmed.points"}',
        "APIProgrammedPoints",
        {"points": [[0.0, 0.0, 5.0], [10.0, 0.0, 5.0], {"x": 10.0, "y": 20.0}]},
    ),
    "scan3d_info": _plain(
        "get_scan3d_info",
        '{"get":"scan3d.info"}',
        "APIScan3DInfo",
        {"laser.out.bit": 5, "laser.out.umf": 2, "laser.h.measure": 12.5, "laser.z.position": -3.75},
    ),
    "system_info": _plain("get_system_info", '{"get":"system.info"}', "APISystemInfo", _SYSTEM),
}

# Fields a successful query leaves at their defaults.
KEPT = {"cnc_parameters": {"address"}}


def geometry_element(name="table", **members) -> dict:
    """One element of a geometry read reply; `members` override by wire key (dots as "_")."""
    element = {
        "name": name,
        "x": 0.0,
        "y": -12.5,
        "z": 10.5,
        "color": 255,
        "scale": 1.0,
        "visible": True,
        "edges.angle": 30.0,
        "edges.visible": False,
    }
    element.update({k.replace("_", "."): v for k, v in members.items()})
    return element


# Checking records ----------------------------------------------------------


def run(client, query: Query):
    return getattr(client, query.method)(*query.args)


def strict(value):
    """`value` with every leaf tagged by its type, so that True never equals 1 nor 1.0 equals 1."""
    if isinstance(value, dict):
        return {k: strict(v) for k, v in value.items()}
    if isinstance(value, list):
        return [strict(v) for v in value]
    if isinstance(value, Element):
        return (value.record, strict(value.fields))
    if type(value).__module__ == cnc.__name__:
        return (type(value).__name__, strict(vars(value)))
    return (type(value).__name__, value)


def assert_filled(record, query: Query, expected: dict):
    """The record holds exactly `expected` besides `has_data` true; element records are separate objects."""
    assert type(record) is getattr(cnc, query.record)
    values = dict(vars(record))
    assert values.pop("has_data", None) is True
    assert strict(values) == strict(expected)
    for v in values.values():
        if isinstance(v, list) and v and type(v[0]).__module__ == cnc.__name__:
            assert len({id(e) for e in v}) == len(v)


def assert_default(record, cls):
    """A newly made record that nothing was copied into."""
    assert type(record) is cls
    assert vars(record) == {}


def _class_state():
    classes = [v for v in vars(cnc).values() if isinstance(v, type) and v.__name__.startswith("API")]
    return {
        c.__name__: {k: (id(v), copy.deepcopy(v)) for k, v in vars(c).items() if not k.startswith("__")}
        for c in classes
    }


@pytest.fixture(autouse=True)
def record_defaults_untouched():
    """No query may replace or modify a class default, the shared lists above all."""
    before = _class_state()
    yield
    assert _class_state() == before
