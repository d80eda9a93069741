"""Client for the API server of a CNC control software (native extension module)."""

import json as json
import socket as socket
from typing import Any, Final

__version__: Final[str]

# Program analysis modes (the `mode` of program_analysis).
ANALYSIS_MT: Final[str]
ANALYSIS_RT: Final[str]
ANALYSIS_RF: Final[str]
ANALYSIS_RV: Final[str]
ANALYSIS_RZ: Final[str]

# Axis bit masks, X in bit 0.
X_AXIS_MASK: Final[int]
Y_AXIS_MASK: Final[int]
Z_AXIS_MASK: Final[int]
A_AXIS_MASK: Final[int]
B_AXIS_MASK: Final[int]
C_AXIS_MASK: Final[int]
U_AXIS_MASK: Final[int]
V_AXIS_MASK: Final[int]
W_AXIS_MASK: Final[int]
X2Z_AXIS_MASK: Final[int]
X2C_AXIS_MASK: Final[int]
X2W_AXIS_MASK: Final[int]

# Compile states (APICompileInfo.state).
CS_INIT: Final[int]
CS_READY: Final[int]
CS_ERROR: Final[int]
CS_FIRST_STEP: Final[int]
CS_FIRST_STEP_RUNNING: Final[int]
CS_WAITING_FOR_DATA: Final[int]
CS_WAITING_FOR_DATA_RUNNING: Final[int]
CS_FINISHED: Final[int]

# Jog commands (cnc_jog_command).
JC_NONE: Final[int]
JC_X_BW: Final[int]
JC_X_FW: Final[int]
JC_Y_BW: Final[int]
JC_Y_FW: Final[int]
JC_Z_BW: Final[int]
JC_Z_FW: Final[int]
JC_A_BW: Final[int]
JC_A_FW: Final[int]
JC_B_BW: Final[int]
JC_B_FW: Final[int]
JC_C_BW: Final[int]
JC_C_FW: Final[int]

# CNC state machine (APICncInfo.state_machine).
SM_DISCONNECTED: Final[int]
SM_SIMULATOR: Final[int]
SM_INIT: Final[int]
SM_INIT_FIELD_BUS: Final[int]
SM_ALARM: Final[int]
SM_IDLE: Final[int]
SM_HOMING: Final[int]
SM_JOG: Final[int]
SM_RUN: Final[int]
SM_PAUSE: Final[int]
SM_LIMIT: Final[int]
SM_MEASURE_TOOL: Final[int]
SM_SCAN_3D: Final[int]
SM_SAFETY_IDLE: Final[int]
SM_CHANGE_TOOL: Final[int]
SM_SAFETY: Final[int]
SM_WAIT_MAIN_POWER: Final[int]
SM_RETRACT: Final[int]

# Spindle status (APICncInfo.spindle_status).
SS_OFF: Final[int]
SS_CW: Final[int]
SS_CCW: Final[int]

# Tool types (APICncInfo.tool_type).
TT_GENERIC: Final[int]
TT_FLAT_END_MILL: Final[int]
TT_BALL_NOSE_END_MILL: Final[int]
TT_DRILL: Final[int]
TT_PROBE: Final[int]
TT_SAW: Final[int]
TT_PLASMA: Final[int]
TT_DRAG_KNIFE: Final[int]
TT_LATHE: Final[int]
TT_LASER: Final[int]
TT_WATER_JET: Final[int]

# Units mode (APICncInfo.units_mode).
UM_METRIC: Final[int]
UM_IMPERIAL: Final[int]

# Records. Every field is a class-level default that a query replaces per record;
# a reply may carry a value of another kind than the default's, which is stored as decoded.
# List defaults are shared by all records of a class: treat them as read-only.

class APIAnalogInputs:
    has_data: bool
    value: list[float]

class APIAnalogOutputs:
    has_data: bool
    value: list[float]

class APIAxesInfo:
    has_data: bool
    joint_position: list[float]
    machine_position: list[float]
    program_position: list[float]
    machine_target_position: list[float]
    program_target_position: list[float]
    actual_velocity: list[int]
    working_wcs: int
    working_offset: list[float]
    dynamic_offset: list[float]
    homing_done: int
    homing_done_mask: int

class APICncInfo:
    has_data: bool
    units_mode: int
    axes_mask: int
    state_machine: int
    gcode_line: int
    worked_time: str
    coolant_mist: bool
    coolant_flood: bool
    lube_axis_cycles_made: int
    lube_axis_time_to_next_cycle: int
    lube_spindle_cycles_made: int
    lube_spindle_time_to_next_cycle: int
    feed_programmed: int
    feed_target: int
    feed_reference: int
    spindle_programmed: int
    spindle_target: int
    spindle_actual: int
    spindle_load: int
    spindle_torque: int
    spindle_status: int
    override_jog: int
    override_jog_min: int
    override_jog_max: int
    override_jog_enabled: bool
    override_jog_locked: bool
    override_spindle: int
    override_spindle_min: int
    override_spindle_max: int
    override_spindle_enabled: bool
    override_spindle_locked: bool
    override_fast: int
    override_fast_min: int
    override_fast_max: int
    override_fast_enabled: bool
    override_fast_locked: bool
    override_feed: int
    override_feed_min: int
    override_feed_max: int
    override_feed_enabled: bool
    override_feed_locked: bool
    override_feed_custom_1: int
    override_feed_custom_1_min: int
    override_feed_custom_1_max: int
    override_feed_custom_1_enabled: bool
    override_feed_custom_1_locked: bool
    override_feed_custom_2: int
    override_feed_custom_2_min: int
    override_feed_custom_2_max: int
    override_feed_custom_2_enabled: bool
    override_feed_custom_2_locked: bool
    plasma_power: int
    plasma_power_min: int
    plasma_power_max: int
    plasma_power_enabled: bool
    plasma_power_locked: bool
    plasma_voltage: int
    plasma_voltage_min: int
    plasma_voltage_max: int
    plasma_voltage_enabled: bool
    plasma_voltage_locked: bool
    tool_id: int
    tool_slot: bool
    tool_type: int
    tool_diameter: float
    tool_offset_x: float
    tool_offset_y: float
    tool_offset_z: float
    tool_param_1: float
    tool_param_2: float
    tool_param_3: float

class APICncParameters:
    has_data: bool
    address: int
    parameters: list[Any]

class APICompileInfo:
    has_data: bool
    code: int
    code_line: int
    file_line: int
    file_name: str
    message: str
    state: int

class APIDigitalInputs:
    has_data: bool
    value: list[int]

class APIDigitalOutputs:
    has_data: bool
    value: list[int]

class APIEnabledCommands:
    has_data: bool
    cnc_continue: bool
    cnc_homing: int
    cnc_jog_command: int
    cnc_mdi_command: bool
    cnc_parameters: bool
    cnc_pause: bool
    cnc_resume: bool
    cnc_resume_from_line: bool
    cnc_resume_from_point: bool
    cnc_start: bool
    cnc_start_from_line: bool
    cnc_start_from_point: bool
    cnc_stop: bool
    program_analysis: bool
    program_analysis_abort: bool
    program_gcode_add_text: bool
    program_gcode_clear: bool
    program_gcode_set_text: bool
    program_load: bool
    program_new: bool
    program_save: bool
    set_program_position: int

class APIMachiningInfoUsedTool:
    tool_id: int
    in_fast: float
    in_feed: float

class APIMachiningInfo:
    has_data: bool
    tool_path_in_fast: float
    tool_path_in_feed: float
    total_path: float
    estimated_time: str
    used_tool: list[APIMachiningInfoUsedTool]
    tcp_extents_in_fast_min_x: float
    tcp_extents_in_fast_min_y: float
    tcp_extents_in_fast_min_z: float
    tcp_extents_in_fast_max_x: float
    tcp_extents_in_fast_max_y: float
    tcp_extents_in_fast_max_z: float
    tcp_extents_in_fast_length_x: float
    tcp_extents_in_fast_length_y: float
    tcp_extents_in_fast_length_z: float
    tcp_extents_in_feed_min_x: float
    tcp_extents_in_feed_min_y: float
    tcp_extents_in_feed_min_z: float
    tcp_extents_in_feed_max_x: float
    tcp_extents_in_feed_max_y: float
    tcp_extents_in_feed_max_z: float
    tcp_extents_in_feed_length_x: float
    tcp_extents_in_feed_length_y: float
    tcp_extents_in_feed_length_z: float
    joints_in_fast_min_x: float
    joints_in_fast_min_y: float
    joints_in_fast_min_z: float
    joints_in_fast_min_a: float
    joints_in_fast_min_b: float
    joints_in_fast_min_c: float
    joints_in_fast_max_x: float
    joints_in_fast_max_y: float
    joints_in_fast_max_z: float
    joints_in_fast_max_a: float
    joints_in_fast_max_b: float
    joints_in_fast_max_c: float
    joints_in_fast_length_x: float
    joints_in_fast_length_y: float
    joints_in_fast_length_z: float
    joints_in_fast_length_a: float
    joints_in_fast_length_b: float
    joints_in_fast_length_c: float
    joints_in_feed_min_x: float
    joints_in_feed_min_y: float
    joints_in_feed_min_z: float
    joints_in_feed_min_a: float
    joints_in_feed_min_b: float
    joints_in_feed_min_c: float
    joints_in_feed_max_x: float
    joints_in_feed_max_y: float
    joints_in_feed_max_z: float
    joints_in_feed_max_a: float
    joints_in_feed_max_b: float
    joints_in_feed_max_c: float
    joints_in_feed_length_x: float
    joints_in_feed_length_y: float
    joints_in_feed_length_z: float
    joints_in_feed_length_a: float
    joints_in_feed_length_b: float

class APIProgrammedPoints:
    has_data: bool
    points: list[Any]

class APIScan3DInfo:
    has_data: bool
    laser_out_bit: int
    laser_out_umf: int
    laser_h_measure: float
    laser_z_position: float

class APISystemInfo:
    has_data: bool
    cnc_control_software: str
    cnc_core_version: str
    api_server_version: str
    firmware_version: str
    firmware_version_tag: str
    firmware_interface_level: str
    order_code: str
    customer_id: str
    serial_number: str
    part_number: str
    customization_number: str
    hardware_version: str
    operative_system: str
    operative_system_crc: str
    pld_version: str

class APIVMGeometryInfo:
    has_data: bool
    name: str
    x: float
    y: float
    z: float
    color: int
    scale: float
    visible: bool
    edges_angle: float
    edges_visible: bool

class CncAPIClientCore:
    ipc: socket.socket
    is_connected: bool
    def __init__(self) -> None: ...
    def connect(self, host: str | None, port: int) -> bool: ...
    def close(self) -> bool: ...
    def close_cnc_control_software(self) -> None: ...
    # Machine control
    def cnc_continue(self) -> bool: ...
    def cnc_homing(self, axes_mask: int) -> bool: ...
    def cnc_jog_command(self, command: int) -> bool: ...
    def cnc_mdi_command(self, command: str | None) -> bool: ...
    def cnc_pause(self) -> bool: ...
    def cnc_resume(self, line: int) -> bool: ...
    def cnc_resume_from_line(self, line: int) -> bool: ...
    def cnc_resume_from_point(self, point: int) -> bool: ...
    def cnc_start(self) -> bool: ...
    def cnc_start_from_line(self, line: int) -> bool: ...
    def cnc_start_from_point(self, point: int) -> bool: ...
    def cnc_stop(self) -> bool: ...
    # Program management
    def program_analysis(self, mode: str | None) -> bool: ...
    def program_analysis_abort(self) -> bool: ...
    def program_gcode_add_text(self, text: str | None) -> bool: ...
    def program_gcode_clear(self) -> bool: ...
    def program_gcode_set_text(self, text: str | None) -> bool: ...
    def program_new(self) -> bool: ...
    # Any value the JSON writer accepts travels as the name.
    def program_load(self, file_name: Any) -> bool: ...
    def program_save(self, file_name: str | None) -> bool: ...
    # Queries
    def get_analog_inputs(self) -> APIAnalogInputs: ...
    def get_analog_outputs(self) -> APIAnalogOutputs: ...
    def get_axes_info(self) -> APIAxesInfo: ...
    def get_cnc_info(self) -> APICncInfo: ...
    def get_cnc_parameters(self, address: int, elements: int) -> APICncParameters: ...
    def get_compile_info(self) -> APICompileInfo: ...
    def get_digital_inputs(self) -> APIDigitalInputs: ...
    def get_digital_outputs(self) -> APIDigitalOutputs: ...
    def get_enabled_commands(self) -> APIEnabledCommands: ...
    def get_machining_info(self) -> APIMachiningInfo: ...
    def get_programmed_points(self) -> APIProgrammedPoints: ...
    def get_scan3d_info(self) -> APIScan3DInfo: ...
    def get_system_info(self) -> APISystemInfo: ...
    def get_vm_geometry_info(self, names: list[str] | None) -> list[APIVMGeometryInfo] | None: ...
    # Data set writers; list[int] is listed apart because list is invariant.
    def set_cnc_parameters(self, address: int, values: list[float] | list[int] | None) -> bool: ...
    # Overrides: the value goes through int(), so a float is truncated.
    def set_override_fast(self, value: int) -> bool: ...
    def set_override_feed(self, value: int) -> bool: ...
    def set_override_feed_custom_1(self, value: int) -> bool: ...
    def set_override_feed_custom_2(self, value: int) -> bool: ...
    def set_override_jog(self, value: int) -> bool: ...
    def set_override_plasma_power(self, value: int) -> bool: ...
    def set_override_plasma_voltage(self, value: int) -> bool: ...
    def set_override_spindle(self, value: int) -> bool: ...
    # Program position of one axis
    def set_program_position_a(self, value: float) -> bool: ...
    def set_program_position_b(self, value: float) -> bool: ...
    def set_program_position_c(self, value: float) -> bool: ...
    def set_program_position_x(self, value: float) -> bool: ...
    def set_program_position_y(self, value: float) -> bool: ...
    def set_program_position_z(self, value: float) -> bool: ...
    def set_vm_geometry_info(self, values: list[APIVMGeometryInfo] | None) -> bool: ...
    # Private members, under their class-private names.
    @staticmethod
    def _CncAPIClientCore__evaluate_response(response: str | None) -> bool: ...
    def _CncAPIClientCore__execute_request(self, request: str | None) -> bool: ...
    def _CncAPIClientCore__send_command(self, request: str | None) -> str: ...

class CncAPIInfoContext:
    # Class-level records shown by every context until its first successful update.
    axes_info: APIAxesInfo
    cnc_info: APICncInfo
    compile_info: APICompileInfo
    enabled_commands: APIEnabledCommands
    _CncAPIInfoContext__api: CncAPIClientCore
    def __init__(self, api: CncAPIClientCore) -> None: ...
    def update(self) -> bool: ...
