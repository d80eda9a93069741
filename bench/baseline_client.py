"""Plain-Python client as users run it today: the per-byte exchange.

The exchange flushes with a non-blocking recv(1024), sends the request with
sendall, then reads the reply one byte at a time (5 s for the first byte,
1 s for each later one), decoding every byte on its own. Queries decode the
reply with json.loads and copy the members into a plain record object.
This is the reference the native module is measured against.
"""

import json
import socket

# (group or None, wire key, record field), in record order.
CNC_INFO_MEMBERS = [
    (None, "units.mode", "units_mode"),
    (None, "axes.mask", "axes_mask"),
    (None, "state.machine", "state_machine"),
    (None, "gcode.line", "gcode_line"),
    (None, "worked.time", "worked_time"),
    ("coolant", "mist", "coolant_mist"),
    ("coolant", "flood", "coolant_flood"),
    ("lube", "axis.cycles.made", "lube_axis_cycles_made"),
    ("lube", "axis.time.to.next.cycle", "lube_axis_time_to_next_cycle"),
    ("lube", "spindle.cycles.made", "lube_spindle_cycles_made"),
    ("lube", "spindle.time.to.next.cycle", "lube_spindle_time_to_next_cycle"),
    ("feed", "programmed", "feed_programmed"),
    ("feed", "target", "feed_target"),
    ("feed", "reference", "feed_reference"),
    ("spindle", "programmed", "spindle_programmed"),
    ("spindle", "target", "spindle_target"),
    ("spindle", "actual", "spindle_actual"),
    ("spindle", "load", "spindle_load"),
    ("spindle", "torque", "spindle_torque"),
    ("spindle", "status", "spindle_status"),
]
for _wire, _field in [
    ("jog", "override_jog"),
    ("spindle", "override_spindle"),
    ("fast", "override_fast"),
    ("feed", "override_feed"),
    ("feed.custom.1", "override_feed_custom_1"),
    ("feed.custom.2", "override_feed_custom_2"),
    ("plasma.power", "plasma_power"),
    ("plasma.voltage", "plasma_voltage"),
]:
    CNC_INFO_MEMBERS.append(("override", _wire, _field))
    for _suffix in ("min", "max", "enabled", "locked"):
        CNC_INFO_MEMBERS.append(("override", f"{_wire}.{_suffix}", f"{_field}_{_suffix}"))
CNC_INFO_MEMBERS += [
    ("tool", "id", "tool_id"),
    ("tool", "slot", "tool_slot"),
    ("tool", "type", "tool_type"),
    ("tool", "diameter", "tool_diameter"),
    ("tool", "offset.x", "tool_offset_x"),
    ("tool", "offset.y", "tool_offset_y"),
    ("tool", "offset.z", "tool_offset_z"),
    ("tool", "param.1", "tool_param_1"),
    ("tool", "param.2", "tool_param_2"),
    ("tool", "param.3", "tool_param_3"),
]
assert len(CNC_INFO_MEMBERS) == 70

AXES_INFO_MEMBERS = [
    ("joint.position", "joint_position"),
    ("machine.position", "machine_position"),
    ("program.position", "program_position"),
    ("machine.target.position", "machine_target_position"),
    ("program.target.position", "program_target_position"),
    ("actual.velocity", "actual_velocity"),
    ("working.wcs", "working_wcs"),
    ("working.offset", "working_offset"),
    ("dynamic.offset", "dynamic_offset"),
    ("homing.done", "homing_done"),
    ("homing.done.mask", "homing_done_mask"),
]


class APICncInfo:
    has_data = False


for _group, _key, _field in CNC_INFO_MEMBERS:
    setattr(APICncInfo, _field, 0)
APICncInfo.worked_time = "00:00:00"


class APIAxesInfo:
    has_data = False


for _key, _field in AXES_INFO_MEMBERS:
    setattr(APIAxesInfo, _field, 0)


class APIProgrammedPoints:
    has_data = False
    points = []


class BaselineClient:
    def __init__(self):
        self.ipc = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.is_connected = False

    def connect(self, host, port):
        if self.is_connected:
            return False
        try:
            self.ipc.connect((host, port))
        except BaseException:
            return False
        self.is_connected = True
        return True

    def close(self):
        if not self.is_connected:
            return False
        try:
            self.ipc.close()
            self.is_connected = False
            return True
        except BaseException:
            return False

    def __flush_receiving_buffer(self):
        try:
            self.ipc.settimeout(0.0)
            self.ipc.recv(1024)
        except BaseException:
            pass

    def send_command(self, request):
        try:
            if not self.is_connected:
                return ""
            if len(request) == 0:
                return ""
            if request[-1] != "\n":
                request += "\n"
            self.__flush_receiving_buffer()
            self.ipc.sendall(request.encode("utf-8"))
            self.ipc.settimeout(5)
            reply = ""
            while True:
                byte = self.ipc.recv(1)
                self.ipc.settimeout(1)
                if not byte:
                    # Peer closed: same outcome as a reset.
                    raise ConnectionResetError("connection closed by peer")
                if byte == b"\n":
                    return reply
                reply += byte.decode("utf-8")
        except OSError:
            self.is_connected = False
            return ""

    def execute_request(self, request):
        try:
            if not self.is_connected:
                return False
            return self.evaluate_response(self.send_command(request))
        except BaseException:
            return False

    @staticmethod
    def evaluate_response(response):
        try:
            if len(response) == 0:
                return False
            return str(json.loads(response)["res"]).lower() == "true"
        except BaseException:
            return False

    def cnc_start(self):
        return self.execute_request('{"cmd":"cnc.start"}')

    def get_cnc_info(self):
        try:
            if not self.is_connected:
                raise RuntimeError("not connected")
            record = APICncInfo()
            reply = self.send_command('{"get":"cnc.info"}')
            if len(reply) == 0:
                return record
            res = json.loads(reply)["res"]
            for group, key, field in CNC_INFO_MEMBERS:
                setattr(record, field, (res if group is None else res[group])[key])
            record.has_data = True
            return record
        except BaseException:
            return APICncInfo()

    def get_axes_info(self):
        try:
            if not self.is_connected:
                raise RuntimeError("not connected")
            record = APIAxesInfo()
            reply = self.send_command('{"get":"axes.info"}')
            if len(reply) == 0:
                return record
            res = json.loads(reply)["res"]
            for key, field in AXES_INFO_MEMBERS:
                setattr(record, field, res[key])
            record.has_data = True
            return record
        except BaseException:
            return APIAxesInfo()

    def get_programmed_points(self):
        try:
            if not self.is_connected:
                raise RuntimeError("not connected")
            record = APIProgrammedPoints()
            reply = self.send_command('{"get":"programmed.points"}')
            if len(reply) == 0:
                return record
            record.points = json.loads(reply)["res"]["points"]
            record.has_data = True
            return record
        except BaseException:
            return APIProgrammedPoints()
