"""Data the machine only stores and reports: CNC parameters, geometry, identity, tools."""

from __future__ import annotations

from typing import Any

from .codes import TT_BALL_NOSE_END_MILL, TT_DRILL, TT_FLAT_END_MILL, TT_PROBE

PARAMETER_COUNT = 65536
PARAMETER_READ_MAX = 4096

# id: (type, diameter, length, param.1, param.2, param.3)
TOOLS = {
    1: (TT_FLAT_END_MILL, 6.0, 45.0, 2.0, 0.0, 0.0),
    2: (TT_BALL_NOSE_END_MILL, 4.0, 50.0, 2.0, 0.0, 0.0),
    3: (TT_DRILL, 5.0, 60.0, 118.0, 0.0, 0.0),
    4: (TT_PROBE, 2.0, 80.0, 0.0, 0.0, 0.0),
}

GEOMETRY = {
    "base": (0.0, 0.0, 0.0, 0x808080),
    "table": (0.0, 0.0, 100.0, 0x4060A0),
    "bridge": (0.0, 0.0, 300.0, 0xD0D0D0),
    "carriage": (0.0, 0.0, 400.0, 0xE08020),
    "spindle": (0.0, 0.0, 350.0, 0x303030),
    "tool": (0.0, 0.0, 250.0, 0xC0C0C0),
}
MAX_GEOMETRY = 1024  # elements, the model's own ones included
MAX_GEOMETRY_NAME = 256  # characters
GEOMETRY_KEYS = ("x", "y", "z", "color", "scale", "visible", "edges.angle", "edges.visible")

SYSTEM_INFO = {
    "cnc.control.software": "CNC API Simulator",
    "cnc.core.version": "1.4.1",
    "api.server.version": "1.4.1",
    "firmware.version": "1.0.0",
    "firmware.version.tag": "sim",
    "firmware.interface.level": "1",
    "order.code": "SIM-0000",
    "customer.id": "0",
    "serial.number": "00000000",
    "part.number": "SIM-MACHINE",
    "customization.number": "0",
    "hardware.version": "simulated",
    "operative.system": "simulated",
    "operative.system.crc": "00000000",
    "pld.version": "0.0",
}

SCAN3D_INFO = {"laser.out.bit": 5, "laser.out.umf": 0, "laser.h.measure": 25.0, "laser.z.position": -10.0}


class Tables:
    """CNC parameters by address and the geometry elements of the virtual machine."""

    def __init__(self) -> None:
        self.parameters: dict[int, Any] = {}
        self.geometry: dict[str, dict[str, Any]] = {
            name: {
                "x": x,
                "y": y,
                "z": z,
                "color": c,
                "scale": 1.0,
                "visible": True,
                "edges.angle": 30.0,
                "edges.visible": False,
            }
            for name, (x, y, z, c) in GEOMETRY.items()
        }

    def get_parameters(self, address: int, elements: int) -> Any:
        if address < 0 or not 1 <= elements <= PARAMETER_READ_MAX or address + elements > PARAMETER_COUNT:
            return False
        return {"parameters": [self.parameters.get(a, 0.0) for a in range(address, address + elements)]}

    def set_parameters(self, address: int, values: list[Any]) -> bool:
        if address < 0 or not values or address + len(values) > PARAMETER_COUNT:
            return False
        for i, value in enumerate(values):
            self.parameters[address + i] = value
        return True

    def get_geometry(self, names: list[str]) -> list[dict[str, Any]]:
        out = []
        for name in names:
            element = self.geometry.get(name)
            if element is None:  # an empty name tells the client that there is no such element
                out.append(
                    {
                        "name": "",
                        "x": 0.0,
                        "y": 0.0,
                        "z": 0.0,
                        "color": 0,
                        "scale": 0.0,
                        "visible": False,
                        "edges.angle": 0.0,
                        "edges.visible": False,
                    }
                )
            else:
                out.append({"name": name, **element})
        return out

    def set_geometry(self, elements: list[dict[str, Any]]) -> bool:
        # A client names the elements it writes: without a bound, writing new names would grow
        # the table for as long as it likes.
        if any(len(e["name"]) > MAX_GEOMETRY_NAME for e in elements):
            return False
        new = {e["name"] for e in elements}.difference(self.geometry)
        if len(self.geometry) + len(new) > MAX_GEOMETRY:
            return False
        for element in elements:
            self.geometry[element["name"]] = {k: element[k] for k in GEOMETRY_KEYS}
        return True

    def system_info(self) -> dict[str, str]:
        return dict(SYSTEM_INFO)

    def scan3d_info(self) -> dict[str, Any]:
        return dict(SCAN3D_INFO)
