"""Client for the TCP/JSON API server of a CNC control software.

One `CncAPIClientCore` talks to one API server over one TCP connection: it sends
machine commands, manages the G-code program, sets overrides and program
positions, reads the machine's state into plain records and reads or writes CNC
parameters and the geometry of the virtual machine model. Every call sends one
JSON request line and blocks until one JSON reply line has come back.

Failures are results, not errors: commands return `False`, queries return a
record whose `has_data` is `False` (the geometry reader returns `None`). A
transport failure (no first reply byte within 5 seconds, more than 1 second
between two bytes, a reset, a server that closes the connection) leaves the
client dropped: `is_connected` turns `False` and a new client is needed to talk
to the server again.

The module-level constants are plain `int` or `str` values grouped by their
prefix or suffix; there is no enumeration type and no reverse lookup, and values
of different families overlap (7 is `X2Z_AXIS_MASK`, `CS_FINISHED`, `JC_A_BW`,
`SM_JOG` and `TT_DRAG_KNIFE`).
"""

import json as json
import socket as socket
from typing import Any, Final

__version__: Final[str]
"""Version of the module, the same as the distribution's."""

# ---------------------------------------------------------------- analysis modes
# The `mode` of CncAPIClientCore.program_analysis: two-letter texts that the
# client carries to the server unchecked.

ANALYSIS_MT: Final[str]
"""Program analysis mode `"mt"`, for `CncAPIClientCore.program_analysis`."""
ANALYSIS_RT: Final[str]
"""Program analysis mode `"rt"`, for `CncAPIClientCore.program_analysis`."""
ANALYSIS_RF: Final[str]
"""Program analysis mode `"rf"`, for `CncAPIClientCore.program_analysis`."""
ANALYSIS_RV: Final[str]
"""Program analysis mode `"rv"`, for `CncAPIClientCore.program_analysis`."""
ANALYSIS_RZ: Final[str]
"""Program analysis mode `"rz"`, for `CncAPIClientCore.program_analysis`."""

# ---------------------------------------------------------------- axis masks
# One bit per axis, X in bit 0. Combine them with `|` for
# CncAPIClientCore.cnc_homing; APICncInfo.axes_mask and
# APIAxesInfo.homing_done_mask use the same bits.

X_AXIS_MASK: Final[int]
"""Axis mask bit of the X axis (1, bit 0)."""
Y_AXIS_MASK: Final[int]
"""Axis mask bit of the Y axis (2, bit 1)."""
Z_AXIS_MASK: Final[int]
"""Axis mask bit of the Z axis (4, bit 2)."""
A_AXIS_MASK: Final[int]
"""Axis mask bit of the A axis (8, bit 3)."""
B_AXIS_MASK: Final[int]
"""Axis mask bit of the B axis (16, bit 4)."""
C_AXIS_MASK: Final[int]
"""Axis mask bit of the C axis (32, bit 5)."""
U_AXIS_MASK: Final[int]
"""Axis mask bit of the U axis (64, bit 6)."""
V_AXIS_MASK: Final[int]
"""Axis mask bit of the V axis (128, bit 7)."""
W_AXIS_MASK: Final[int]
"""Axis mask bit of the W axis (256, bit 8)."""
X2Z_AXIS_MASK: Final[int]
"""The axes X, Y and Z together (7)."""
X2C_AXIS_MASK: Final[int]
"""The axes X to C together (63)."""
X2W_AXIS_MASK: Final[int]
"""All nine axes, X to W, together (511)."""

# ---------------------------------------------------------------- compile states
# Values of APICompileInfo.state.

CS_INIT: Final[int]
"""Compile state 0: the compiler has not started on the program."""
CS_READY: Final[int]
"""Compile state 1: the program compiled and is ready."""
CS_ERROR: Final[int]
"""Compile state 2: the program has an error; `APICompileInfo` tells where."""
CS_FIRST_STEP: Final[int]
"""Compile state 3: the first compile step."""
CS_FIRST_STEP_RUNNING: Final[int]
"""Compile state 4: the first compile step, while the program runs."""
CS_WAITING_FOR_DATA: Final[int]
"""Compile state 5: the compiler waits for more program data."""
CS_WAITING_FOR_DATA_RUNNING: Final[int]
"""Compile state 6: the compiler waits for more program data while the program runs."""
CS_FINISHED: Final[int]
"""Compile state 7: compilation finished."""

# ---------------------------------------------------------------- jog commands
# The `command` of CncAPIClientCore.cnc_jog_command: JC_NONE to JC_C_FW (0 to 12)
# are sent, any other value makes the call return False without sending.
# _BW moves an axis backward (negative direction), _FW forward.

JC_NONE: Final[int]
"""Jog command 0: no jog; ends a jog in progress."""
JC_X_BW: Final[int]
"""Jog command 1: X axis backward."""
JC_X_FW: Final[int]
"""Jog command 2: X axis forward."""
JC_Y_BW: Final[int]
"""Jog command 3: Y axis backward."""
JC_Y_FW: Final[int]
"""Jog command 4: Y axis forward."""
JC_Z_BW: Final[int]
"""Jog command 5: Z axis backward."""
JC_Z_FW: Final[int]
"""Jog command 6: Z axis forward."""
JC_A_BW: Final[int]
"""Jog command 7: A axis backward."""
JC_A_FW: Final[int]
"""Jog command 8: A axis forward."""
JC_B_BW: Final[int]
"""Jog command 9: B axis backward."""
JC_B_FW: Final[int]
"""Jog command 10: B axis forward."""
JC_C_BW: Final[int]
"""Jog command 11: C axis backward."""
JC_C_FW: Final[int]
"""Jog command 12: C axis forward; the highest code that is sent."""

# ---------------------------------------------------------------- state machine
# Values of APICncInfo.state_machine.

SM_DISCONNECTED: Final[int]
"""State 0: the control is not connected to its machine."""
SM_SIMULATOR: Final[int]
"""State 1: the control runs as a simulator."""
SM_INIT: Final[int]
"""State 2: the control initialises."""
SM_INIT_FIELD_BUS: Final[int]
"""State 3: the control initialises its field bus."""
SM_ALARM: Final[int]
"""State 4: an alarm is active."""
SM_IDLE: Final[int]
"""State 5: idle, ready for commands."""
SM_HOMING: Final[int]
"""State 6: homing axes."""
SM_JOG: Final[int]
"""State 7: jogging an axis."""
SM_RUN: Final[int]
"""State 8: running the program."""
SM_PAUSE: Final[int]
"""State 9: the program is paused."""
SM_LIMIT: Final[int]
"""State 10: an axis reached a limit."""
SM_MEASURE_TOOL: Final[int]
"""State 11: measuring a tool."""
SM_SCAN_3D: Final[int]
"""State 12: scanning in 3D."""
SM_SAFETY_IDLE: Final[int]
"""State 13: idle in safety mode."""
SM_CHANGE_TOOL: Final[int]
"""State 14: changing the tool."""
SM_SAFETY: Final[int]
"""State 15: safety mode."""
SM_WAIT_MAIN_POWER: Final[int]
"""State 16: waiting for main power."""
SM_RETRACT: Final[int]
"""State 17: retracting."""

# ---------------------------------------------------------------- spindle status
# Values of APICncInfo.spindle_status. The family starts at 1: the field's
# default 0 is no spindle status at all.

SS_OFF: Final[int]
"""Spindle status 1: the spindle is off."""
SS_CW: Final[int]
"""Spindle status 2: the spindle turns clockwise."""
SS_CCW: Final[int]
"""Spindle status 3: the spindle turns counter-clockwise."""

# ---------------------------------------------------------------- tool types
# Values of APICncInfo.tool_type.

TT_GENERIC: Final[int]
"""Tool type 0: generic tool; the default of `APICncInfo.tool_type`."""
TT_FLAT_END_MILL: Final[int]
"""Tool type 1: flat end mill."""
TT_BALL_NOSE_END_MILL: Final[int]
"""Tool type 2: ball nose end mill."""
TT_DRILL: Final[int]
"""Tool type 3: drill."""
TT_PROBE: Final[int]
"""Tool type 4: probe."""
TT_SAW: Final[int]
"""Tool type 5: saw."""
TT_PLASMA: Final[int]
"""Tool type 6: plasma torch."""
TT_DRAG_KNIFE: Final[int]
"""Tool type 7: drag knife."""
TT_LATHE: Final[int]
"""Tool type 8: lathe tool."""
TT_LASER: Final[int]
"""Tool type 9: laser."""
TT_WATER_JET: Final[int]
"""Tool type 10: water jet."""

# ---------------------------------------------------------------- units mode
# Values of APICncInfo.units_mode.

UM_METRIC: Final[int]
"""Units mode 0: millimetres; the default of `APICncInfo.units_mode`."""
UM_IMPERIAL: Final[int]
"""Units mode 1: inches."""

# ---------------------------------------------------------------- records
# Every field is a class-level default that a query replaces on the record it
# returns. A reply value is stored exactly as `json.loads` gives it, so a field
# may hold another kind of value than its default's. List defaults are one list
# per class, shared by every record that a query left unfilled: treat the lists
# of a record whose `has_data` is False as read-only.

class APIAnalogInputs:
    """Analog inputs, as read by `CncAPIClientCore.get_analog_inputs`.

    A record made by the caller, or one whose query failed, shows the defaults:
    16 zeros and `has_data` False.
    """

    has_data: bool
    """True when the record holds the server's reply; False means defaults only."""
    value: list[float]
    """The input values, in the server's order and number (default: 16 times 0.0)."""

class APIAnalogOutputs:
    """Analog outputs, as read by `CncAPIClientCore.get_analog_outputs`.

    A record made by the caller, or one whose query failed, shows the defaults:
    16 zeros and `has_data` False.
    """

    has_data: bool
    """True when the record holds the server's reply; False means defaults only."""
    value: list[float]
    """The output values, in the server's order and number (default: 16 times 0.0)."""

class APIAxesInfo:
    """Positions, offsets and homing of the axes, as read by `CncAPIClientCore.get_axes_info`.

    The position lists hold one value per joint or axis in the order X, Y, Z, A,
    B, C (six by default); `dynamic_offset` holds X, Y and Z.
    """

    has_data: bool
    """True when the record holds the server's reply; False means defaults only."""
    joint_position: list[float]
    """Position of each joint (default: 6 times 0.0)."""
    machine_position: list[float]
    """Position of each axis in machine coordinates (default: 6 times 0.0)."""
    program_position: list[float]
    """Position of each axis in program (work) coordinates (default: 6 times 0.0)."""
    machine_target_position: list[float]
    """Target of the current move in machine coordinates (default: 6 times 0.0)."""
    program_target_position: list[float]
    """Target of the current move in program coordinates (default: 6 times 0.0)."""
    actual_velocity: list[int]
    """Current velocity of each axis (default: 6 times the integer 0)."""
    working_wcs: int
    """Number of the work coordinate system in use."""
    working_offset: list[float]
    """Offset of the work coordinate system in use (default: 6 times 0.0)."""
    dynamic_offset: list[float]
    """Dynamic offset on X, Y and Z (default: 3 times 0.0)."""
    homing_done: int
    """Non-zero once homing has been done."""
    homing_done_mask: int
    """Axes that are homed, as `*_AXIS_MASK` bits."""

class APICncInfo:
    """General status of the CNC, as read by `CncAPIClientCore.get_cnc_info`.

    Besides the state machine, units, axes and program line, it carries coolant
    and lubrication, feed and spindle values, the current tool, and five fields
    for each of eight adjustable quantities (jog, spindle, fast, feed, custom
    feed 1 and 2, plasma power and voltage): the current value, its minimum and
    maximum (defaults 0 and 100), and whether it is enabled and locked.
    """

    has_data: bool
    """True when the record holds the server's reply; False means defaults only."""
    units_mode: int
    """Units of the control: `UM_METRIC` (the default) or `UM_IMPERIAL`."""
    axes_mask: int
    """Axes the machine has, as `*_AXIS_MASK` bits."""
    state_machine: int
    """State of the control, an `SM_*` value (the default 0 equals `SM_DISCONNECTED`)."""
    gcode_line: int
    """Program line in execution."""
    worked_time: str
    """Time worked, as the server writes it (default `"00:00:00"`), not parsed."""
    coolant_mist: bool
    """Whether mist coolant is on."""
    coolant_flood: bool
    """Whether flood coolant is on."""
    lube_axis_cycles_made: int
    """Lubrication cycles made on the axes."""
    lube_axis_time_to_next_cycle: int
    """Time left until the next axes lubrication cycle."""
    lube_spindle_cycles_made: int
    """Lubrication cycles made on the spindle."""
    lube_spindle_time_to_next_cycle: int
    """Time left until the next spindle lubrication cycle."""
    feed_programmed: int
    """Feed rate the program asks for."""
    feed_target: int
    """Feed rate the control aims at, overrides applied."""
    feed_reference: int
    """Reference feed rate."""
    spindle_programmed: int
    """Spindle speed the program asks for."""
    spindle_target: int
    """Spindle speed the control aims at, overrides applied."""
    spindle_actual: int
    """Spindle speed measured now."""
    spindle_load: int
    """Spindle load."""
    spindle_torque: int
    """Spindle torque."""
    spindle_status: int
    """Spindle status, an `SS_*` value (the default 0 is none of them)."""
    override_jog: int
    """Current jog override, in percent; `CncAPIClientCore.set_override_jog` asks to change it."""
    override_jog_min: int
    """Lowest jog override the control allows (default 0)."""
    override_jog_max: int
    """Highest jog override the control allows (default 100)."""
    override_jog_enabled: bool
    """Whether the jog override is in use."""
    override_jog_locked: bool
    """Whether the jog override is locked against changes."""
    override_spindle: int
    """Current spindle speed override, in percent; `CncAPIClientCore.set_override_spindle` asks to change it."""
    override_spindle_min: int
    """Lowest spindle speed override the control allows (default 0)."""
    override_spindle_max: int
    """Highest spindle speed override the control allows (default 100)."""
    override_spindle_enabled: bool
    """Whether the spindle speed override is in use."""
    override_spindle_locked: bool
    """Whether the spindle speed override is locked against changes."""
    override_fast: int
    """Current rapid (fast) moves override, in percent; `CncAPIClientCore.set_override_fast` asks to change it."""
    override_fast_min: int
    """Lowest rapid (fast) moves override the control allows (default 0)."""
    override_fast_max: int
    """Highest rapid (fast) moves override the control allows (default 100)."""
    override_fast_enabled: bool
    """Whether the rapid (fast) moves override is in use."""
    override_fast_locked: bool
    """Whether the rapid (fast) moves override is locked against changes."""
    override_feed: int
    """Current feed override, in percent; `CncAPIClientCore.set_override_feed` asks to change it."""
    override_feed_min: int
    """Lowest feed override the control allows (default 0)."""
    override_feed_max: int
    """Highest feed override the control allows (default 100)."""
    override_feed_enabled: bool
    """Whether the feed override is in use."""
    override_feed_locked: bool
    """Whether the feed override is locked against changes."""
    override_feed_custom_1: int
    """Current custom feed 1 override, in percent; `CncAPIClientCore.set_override_feed_custom_1` asks to change it."""
    override_feed_custom_1_min: int
    """Lowest custom feed 1 override the control allows (default 0)."""
    override_feed_custom_1_max: int
    """Highest custom feed 1 override the control allows (default 100)."""
    override_feed_custom_1_enabled: bool
    """Whether the custom feed 1 override is in use."""
    override_feed_custom_1_locked: bool
    """Whether the custom feed 1 override is locked against changes."""
    override_feed_custom_2: int
    """Current custom feed 2 override, in percent; `CncAPIClientCore.set_override_feed_custom_2` asks to change it."""
    override_feed_custom_2_min: int
    """Lowest custom feed 2 override the control allows (default 0)."""
    override_feed_custom_2_max: int
    """Highest custom feed 2 override the control allows (default 100)."""
    override_feed_custom_2_enabled: bool
    """Whether the custom feed 2 override is in use."""
    override_feed_custom_2_locked: bool
    """Whether the custom feed 2 override is locked against changes."""
    plasma_power: int
    """Current plasma power setting; `CncAPIClientCore.set_override_plasma_power` asks to change it."""
    plasma_power_min: int
    """Lowest plasma power setting the control allows (default 0)."""
    plasma_power_max: int
    """Highest plasma power setting the control allows (default 100)."""
    plasma_power_enabled: bool
    """Whether the plasma power setting is in use."""
    plasma_power_locked: bool
    """Whether the plasma power setting is locked against changes."""
    plasma_voltage: int
    """Current plasma voltage setting; `CncAPIClientCore.set_override_plasma_voltage` asks to change it."""
    plasma_voltage_min: int
    """Lowest plasma voltage setting the control allows (default 0)."""
    plasma_voltage_max: int
    """Highest plasma voltage setting the control allows (default 100)."""
    plasma_voltage_enabled: bool
    """Whether the plasma voltage setting is in use."""
    plasma_voltage_locked: bool
    """Whether the plasma voltage setting is locked against changes."""
    tool_id: int
    """Number of the tool in use."""
    tool_slot: bool
    """Tool slot as the server reports it (default False, not 0)."""
    tool_type: int
    """Type of the tool in use, a `TT_*` value (default `TT_GENERIC`)."""
    tool_diameter: float
    """Diameter of the tool in use."""
    tool_offset_x: float
    """Tool offset on X."""
    tool_offset_y: float
    """Tool offset on Y."""
    tool_offset_z: float
    """Tool offset on Z (the tool length offset)."""
    tool_param_1: float
    """First free parameter of the tool."""
    tool_param_2: float
    """Second free parameter of the tool."""
    tool_param_3: float
    """Third free parameter of the tool."""

class APICncParameters:
    """A run of CNC parameters, as read by `CncAPIClientCore.get_cnc_parameters`."""

    has_data: bool
    """True when the record holds the server's reply; False means defaults only."""
    address: int
    """Always the default 0: the reader does not fill it in, whatever address was asked for."""
    parameters: list[Any]
    """The parameter values from the requested address on, as the server sent them (default: empty)."""

class APICompileInfo:
    """State of the program's compilation, as read by `CncAPIClientCore.get_compile_info`.

    After an error (`state == CS_ERROR`) the other fields say what and where.
    """

    has_data: bool
    """True when the record holds the server's reply; False means defaults only."""
    code: int
    """Error code of the compiler."""
    code_line: int
    """Line of the program code where the compiler stopped."""
    file_line: int
    """Line of the file where the compiler stopped."""
    file_name: str
    """File the compiler worked on."""
    message: str
    """Message of the compiler."""
    state: int
    """Compile state, a `CS_*` value (the default 0 equals `CS_INIT`)."""

class APIDigitalInputs:
    """Digital inputs, as read by `CncAPIClientCore.get_digital_inputs`.

    A record made by the caller, or one whose query failed, shows the defaults:
    128 zeros and `has_data` False.
    """

    has_data: bool
    """True when the record holds the server's reply; False means defaults only."""
    value: list[int]
    """The input states, in the server's order and number (default: 128 times 0)."""

class APIDigitalOutputs:
    """Digital outputs, as read by `CncAPIClientCore.get_digital_outputs`.

    A record made by the caller, or one whose query failed, shows the defaults:
    128 zeros and `has_data` False.
    """

    has_data: bool
    """True when the record holds the server's reply; False means defaults only."""
    value: list[int]
    """The output states, in the server's order and number (default: 128 times 0)."""

class APIEnabledCommands:
    """Which commands the server accepts now, as read by `CncAPIClientCore.get_enabled_commands`.

    One field per command, named after the method that sends it. It is
    information only: the client sends a command whatever the last record said.
    Three fields are integers where the others are truth values.
    """

    has_data: bool
    """True when the record holds the server's reply; False means defaults only."""
    cnc_continue: bool
    """Whether `cnc_continue` is accepted."""
    cnc_homing: int
    """What the server reports for `cnc_homing` (an integer, not a truth value)."""
    cnc_jog_command: int
    """What the server reports for `cnc_jog_command` (an integer, not a truth value)."""
    cnc_mdi_command: bool
    """Whether `cnc_mdi_command` is accepted."""
    cnc_parameters: bool
    """Whether the CNC parameters can be read and written."""
    cnc_pause: bool
    """Whether `cnc_pause` is accepted."""
    cnc_resume: bool
    """Whether `cnc_resume` is accepted."""
    cnc_resume_from_line: bool
    """Whether `cnc_resume_from_line` is accepted."""
    cnc_resume_from_point: bool
    """Whether `cnc_resume_from_point` is accepted."""
    cnc_start: bool
    """Whether `cnc_start` is accepted."""
    cnc_start_from_line: bool
    """Whether `cnc_start_from_line` is accepted."""
    cnc_start_from_point: bool
    """Whether `cnc_start_from_point` is accepted."""
    cnc_stop: bool
    """Whether `cnc_stop` is accepted."""
    program_analysis: bool
    """Whether `program_analysis` is accepted."""
    program_analysis_abort: bool
    """Whether `program_analysis_abort` is accepted."""
    program_gcode_add_text: bool
    """Whether `program_gcode_add_text` is accepted."""
    program_gcode_clear: bool
    """Whether `program_gcode_clear` is accepted."""
    program_gcode_set_text: bool
    """Whether `program_gcode_set_text` is accepted."""
    program_load: bool
    """Whether `program_load` is accepted."""
    program_new: bool
    """Whether `program_new` is accepted."""
    program_save: bool
    """Whether `program_save` is accepted."""
    set_program_position: int
    """What the server reports for the `set_program_position_*` setters (an integer)."""

class APIMachiningInfoUsedTool:
    """One tool that the program uses: an element of `APIMachiningInfo.used_tool`.

    The only record without `has_data`.
    """

    tool_id: int
    """Number of the tool."""
    in_fast: float
    """Path the tool covers in rapid (fast) moves."""
    in_feed: float
    """Path the tool covers in feed moves."""

class APIMachiningInfo:
    """Machining statistics of the loaded program, as read by `CncAPIClientCore.get_machining_info`.

    Path lengths and estimated time, the tools used, the extents of the tool
    centre point path (`tcp_extents_in_{fast,feed}_{min,max,length}_{x,y,z}`)
    and the ranges of the six joints (`joints_in_{fast,feed}_{min,max,length}_{x..c}`),
    each in rapid (fast) and in feed moves. There is no `joints_in_feed_length_c`.
    """

    has_data: bool
    """True when the record holds the server's reply; False means defaults only."""
    tool_path_in_fast: float
    """Tool path covered in rapid (fast) moves."""
    tool_path_in_feed: float
    """Tool path covered in feed moves."""
    total_path: float
    """Total tool path."""
    estimated_time: str
    """Estimated machining time, as the server writes it (default `"00:00:00"`), not parsed."""
    used_tool: list[APIMachiningInfoUsedTool]
    """The tools the program uses, one record each, in the server's order (default: empty)."""
    tcp_extents_in_fast_min_x: float
    """Smallest X of the tool centre point in rapid (fast) moves."""
    tcp_extents_in_fast_min_y: float
    """Smallest Y of the tool centre point in rapid (fast) moves."""
    tcp_extents_in_fast_min_z: float
    """Smallest Z of the tool centre point in rapid (fast) moves."""
    tcp_extents_in_fast_max_x: float
    """Largest X of the tool centre point in rapid (fast) moves."""
    tcp_extents_in_fast_max_y: float
    """Largest Y of the tool centre point in rapid (fast) moves."""
    tcp_extents_in_fast_max_z: float
    """Largest Z of the tool centre point in rapid (fast) moves."""
    tcp_extents_in_fast_length_x: float
    """Extent (largest minus smallest) X of the tool centre point in rapid (fast) moves."""
    tcp_extents_in_fast_length_y: float
    """Extent (largest minus smallest) Y of the tool centre point in rapid (fast) moves."""
    tcp_extents_in_fast_length_z: float
    """Extent (largest minus smallest) Z of the tool centre point in rapid (fast) moves."""
    tcp_extents_in_feed_min_x: float
    """Smallest X of the tool centre point in feed moves."""
    tcp_extents_in_feed_min_y: float
    """Smallest Y of the tool centre point in feed moves."""
    tcp_extents_in_feed_min_z: float
    """Smallest Z of the tool centre point in feed moves."""
    tcp_extents_in_feed_max_x: float
    """Largest X of the tool centre point in feed moves."""
    tcp_extents_in_feed_max_y: float
    """Largest Y of the tool centre point in feed moves."""
    tcp_extents_in_feed_max_z: float
    """Largest Z of the tool centre point in feed moves."""
    tcp_extents_in_feed_length_x: float
    """Extent (largest minus smallest) X of the tool centre point in feed moves."""
    tcp_extents_in_feed_length_y: float
    """Extent (largest minus smallest) Y of the tool centre point in feed moves."""
    tcp_extents_in_feed_length_z: float
    """Extent (largest minus smallest) Z of the tool centre point in feed moves."""
    joints_in_fast_min_x: float
    """Smallest position of joint X in rapid (fast) moves."""
    joints_in_fast_min_y: float
    """Smallest position of joint Y in rapid (fast) moves."""
    joints_in_fast_min_z: float
    """Smallest position of joint Z in rapid (fast) moves."""
    joints_in_fast_min_a: float
    """Smallest position of joint A in rapid (fast) moves."""
    joints_in_fast_min_b: float
    """Smallest position of joint B in rapid (fast) moves."""
    joints_in_fast_min_c: float
    """Smallest position of joint C in rapid (fast) moves."""
    joints_in_fast_max_x: float
    """Largest position of joint X in rapid (fast) moves."""
    joints_in_fast_max_y: float
    """Largest position of joint Y in rapid (fast) moves."""
    joints_in_fast_max_z: float
    """Largest position of joint Z in rapid (fast) moves."""
    joints_in_fast_max_a: float
    """Largest position of joint A in rapid (fast) moves."""
    joints_in_fast_max_b: float
    """Largest position of joint B in rapid (fast) moves."""
    joints_in_fast_max_c: float
    """Largest position of joint C in rapid (fast) moves."""
    joints_in_fast_length_x: float
    """Range (largest minus smallest) position of joint X in rapid (fast) moves."""
    joints_in_fast_length_y: float
    """Range (largest minus smallest) position of joint Y in rapid (fast) moves."""
    joints_in_fast_length_z: float
    """Range (largest minus smallest) position of joint Z in rapid (fast) moves."""
    joints_in_fast_length_a: float
    """Range (largest minus smallest) position of joint A in rapid (fast) moves."""
    joints_in_fast_length_b: float
    """Range (largest minus smallest) position of joint B in rapid (fast) moves."""
    joints_in_fast_length_c: float
    """Range (largest minus smallest) position of joint C in rapid (fast) moves."""
    joints_in_feed_min_x: float
    """Smallest position of joint X in feed moves."""
    joints_in_feed_min_y: float
    """Smallest position of joint Y in feed moves."""
    joints_in_feed_min_z: float
    """Smallest position of joint Z in feed moves."""
    joints_in_feed_min_a: float
    """Smallest position of joint A in feed moves."""
    joints_in_feed_min_b: float
    """Smallest position of joint B in feed moves."""
    joints_in_feed_min_c: float
    """Smallest position of joint C in feed moves."""
    joints_in_feed_max_x: float
    """Largest position of joint X in feed moves."""
    joints_in_feed_max_y: float
    """Largest position of joint Y in feed moves."""
    joints_in_feed_max_z: float
    """Largest position of joint Z in feed moves."""
    joints_in_feed_max_a: float
    """Largest position of joint A in feed moves."""
    joints_in_feed_max_b: float
    """Largest position of joint B in feed moves."""
    joints_in_feed_max_c: float
    """Largest position of joint C in feed moves."""
    joints_in_feed_length_x: float
    """Range (largest minus smallest) position of joint X in feed moves."""
    joints_in_feed_length_y: float
    """Range (largest minus smallest) position of joint Y in feed moves."""
    joints_in_feed_length_z: float
    """Range (largest minus smallest) position of joint Z in feed moves."""
    joints_in_feed_length_a: float
    """Range (largest minus smallest) position of joint A in feed moves."""
    joints_in_feed_length_b: float
    """Range (largest minus smallest) position of joint B in feed moves."""

class APIProgrammedPoints:
    """Points of the loaded program, as read by `CncAPIClientCore.get_programmed_points`."""

    has_data: bool
    """True when the record holds the server's reply; False means defaults only."""
    points: list[Any]
    """The points as the server sent them, unexamined (default: empty)."""

class APIScan3DInfo:
    """Settings of the 3D laser scan, as read by `CncAPIClientCore.get_scan3d_info`."""

    has_data: bool
    """True when the record holds the server's reply; False means defaults only."""
    laser_out_bit: int
    """Output bit that switches the laser."""
    laser_out_umf: int
    """Output unit of the laser."""
    laser_h_measure: float
    """Measuring height of the laser."""
    laser_z_position: float
    """Z position of the laser."""

class APISystemInfo:
    """Identity and versions of the control, as read by `CncAPIClientCore.get_system_info`.

    Every field is a text, empty by default.
    """

    has_data: bool
    """True when the record holds the server's reply; False means defaults only."""
    cnc_control_software: str
    """Name of the CNC control software."""
    cnc_core_version: str
    """Version of the CNC core."""
    api_server_version: str
    """Version of the API server."""
    firmware_version: str
    """Version of the firmware."""
    firmware_version_tag: str
    """Tag of the firmware version."""
    firmware_interface_level: str
    """Interface level of the firmware."""
    order_code: str
    """Order code of the control board."""
    customer_id: str
    """Customer identifier."""
    serial_number: str
    """Serial number."""
    part_number: str
    """Part number."""
    customization_number: str
    """Customisation number."""
    hardware_version: str
    """Version of the hardware."""
    operative_system: str
    """Operating system of the control."""
    operative_system_crc: str
    """Checksum of the operating system."""
    pld_version: str
    """Version of the programmable logic device."""

class APIVMGeometryInfo:
    """One geometry element of the virtual machine model.

    `CncAPIClientCore.get_vm_geometry_info` returns one per requested name, and
    `CncAPIClientCore.set_vm_geometry_info` sends a list of them. Make one with
    `APIVMGeometryInfo()` and set its fields to write an element.
    """

    has_data: bool
    """True when the reply named the element (a `name` other than the empty text)."""
    name: str
    """Name of the element."""
    x: float
    """Position of the element on X."""
    y: float
    """Position of the element on Y."""
    z: float
    """Position of the element on Z."""
    color: int
    """Colour of the element."""
    scale: float
    """Scale of the element."""
    visible: bool
    """Whether the element is shown."""
    edges_angle: float
    """Angle from which edges are drawn."""
    edges_visible: bool
    """Whether the element's edges are shown."""

# ---------------------------------------------------------------- services

class CncAPIClientCore:
    """Client of one API server: one TCP connection, one request at a time.

    Make one client per server, `connect` it, then call its commands and
    queries; each call sends one JSON request line and blocks until the reply
    line has come or the exchange has failed. A client goes New, Connected
    (after `connect`), then Closed (after `close`) or Dropped (after a transport
    failure); a closed or dropped client never connects again, so make a new one.

    Commands and the two data-set writers return True only when the server's
    reply is a JSON object whose `res` is true or the text "true" in any letter
    case, and False otherwise: not connected (nothing is sent), transport failure,
    or any other reply. Queries return a new record per call whose `has_data`
    says whether it holds the reply. Nothing is retried or logged.

    Every wait on the socket runs without the GIL, so clients on different
    threads proceed in parallel; one client must be used by one thread at a time.

    Every method refuses a wrong number of arguments or an unknown keyword with
    `TypeError` before doing anything, and a text argument that is not exactly a
    `str` or `None` (a list argument not exactly a `list` or `None`) likewise.

    Example:
        ```python
        import cnc_api_client_core as cnc

        api = cnc.CncAPIClientCore()
        if api.connect("127.0.0.1", 8000):
            info = api.get_cnc_info()
            print(info.has_data, info.state_machine == cnc.SM_IDLE)
            api.close()
        ```
    """

    ipc: socket.socket
    """The client's one IPv4 TCP socket, made with the client and never replaced.

    A socket of a subclass put here makes the client exchange through its
    methods instead of working on the descriptor directly.
    """
    is_connected: bool
    """True from a successful `connect` until `close` or a transport failure."""
    def __init__(self) -> None:
        """Make a client with a new, unconnected socket.

        Raises:
            OSError: The platform cannot make a socket.
        """
    def connect(self, host: str | None, port: int) -> bool:
        """Connect to the API server at `host`, `port`.

        Waits as long as the platform's connect does; no time-out is set. A
        client connects once: on a connected, closed or dropped client the call
        returns False and the connection in place stays as it is.

        Args:
            host: Host name or dotted IPv4 address of the server, e.g. "127.0.0.1".
            port: TCP port of the server (0 to 65535).

        Returns:
            True when this call connected the client. False for every failure:
            a name that does not resolve, a refused connection, a port out of range
            or of a wrong type, a `None` host, or a client that is not new.

        Raises:
            TypeError: `host` is neither a `str` nor `None`.
        """
    def close(self) -> bool:
        """Close the connection. The client cannot be connected again.

        Returns:
            True when a connected client was closed by this call; False when it
            was not connected (new, already closed or dropped: a dropped client's
            socket stays open until the client is destroyed).
        """
    def close_cnc_control_software(self) -> None:
        """Do nothing: a placeholder that sends no request and returns None."""
    # ------------------------------------------------------------ machine control
    def cnc_continue(self) -> bool:
        """Continue the paused program (`{"cmd":"cnc.continue"}`).

        Returns:
            True when the server reported success.
        """
    def cnc_homing(self, axes_mask: int) -> bool:
        """Home the axes of a mask (`{"cmd":"cnc.homing","axes.mask":7}`).

        Args:
            axes_mask: `*_AXIS_MASK` bits or'ed together, e.g. `X2Z_AXIS_MASK`.
                Sent in its `str()` form, unchecked.

        Returns:
            True when the server reported success.
        """
    def cnc_jog_command(self, command: int) -> bool:
        """Start or stop a jog (`{"cmd":"cnc.jog.command","command":2}`).

        Args:
            command: A `JC_*` code. Only a value equal to one from `JC_NONE` to
                `JC_C_FW` (read from the module at call time) is sent.

        Returns:
            True when the server reported success; False without sending for
            any other command value.
        """
    def cnc_mdi_command(self, command: str | None) -> bool:
        """Execute one line of manual data input, e.g. `"G0 X10"`.

        Args:
            command: The G-code line, sent as a JSON string (`None` as null).

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `command` is neither a `str` nor `None`.
        """
    def cnc_pause(self) -> bool:
        """Pause the running program (`{"cmd":"cnc.pause"}`).

        Returns:
            True when the server reported success.
        """
    def cnc_resume(self, line: int) -> bool:
        """Resume the program (`{"cmd":"cnc.resume", "line":12}`).

        Args:
            line: A line above 0 is sent with the request; 0 or less resumes
                without a line (`{"cmd":"cnc.resume"}`).

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `line` cannot be compared with 0 (a `str`, `None`); other
                errors of that comparison (a decimal NaN) pass through as well.
        """
    def cnc_resume_from_line(self, line: int) -> bool:
        """Resume the program from a line (`{"cmd":"cnc.resume.from.line", "line":12}`).

        Args:
            line: Program line, sent in its `str()` form, unchecked.

        Returns:
            True when the server reported success.
        """
    def cnc_resume_from_point(self, point: int) -> bool:
        """Resume the program from a point (`{"cmd":"cnc.resume.from.point", "point":3}`).

        Args:
            point: Program point, sent in its `str()` form, unchecked.

        Returns:
            True when the server reported success.
        """
    def cnc_start(self) -> bool:
        """Start the loaded program (`{"cmd":"cnc.start"}`).

        Returns:
            True when the server reported success.
        """
    def cnc_start_from_line(self, line: int) -> bool:
        """Start the program from a line (`{"cmd":"cnc.start.from.line", "line":12}`).

        Args:
            line: Program line, sent in its `str()` form, unchecked.

        Returns:
            True when the server reported success.
        """
    def cnc_start_from_point(self, point: int) -> bool:
        """Start the program from a point (`{"cmd":"cnc.start.from.point", "point":3}`).

        Args:
            point: Program point, sent in its `str()` form, unchecked.

        Returns:
            True when the server reported success.
        """
    def cnc_stop(self) -> bool:
        """Stop the program or the motion in progress (`{"cmd":"cnc.stop"}`).

        Returns:
            True when the server reported success.
        """
    # ------------------------------------------------------------ program management
    def program_analysis(self, mode: str | None) -> bool:
        """Start the analysis of the loaded program.

        Args:
            mode: An `ANALYSIS_*` code, sent as a JSON string, unchecked.

        Returns:
            True when the server reported success. Follow the analysis with
            `get_compile_info` and `get_machining_info`.

        Raises:
            TypeError: `mode` is neither a `str` nor `None`.
        """
    def program_analysis_abort(self) -> bool:
        """Abort the analysis in progress (`{"cmd":"program.analysis.abort"}`).

        Returns:
            True when the server reported success.
        """
    def program_gcode_add_text(self, text: str | None) -> bool:
        """Append G-code text to the loaded program.

        Args:
            text: G-code, any number of lines, sent whole as one JSON string.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `text` is neither a `str` nor `None`.
        """
    def program_gcode_clear(self) -> bool:
        """Clear the G-code of the loaded program (`{"cmd":"program.gcode.clear"}`).

        Returns:
            True when the server reported success.
        """
    def program_gcode_set_text(self, text: str | None) -> bool:
        """Replace the G-code of the loaded program.

        A program of many megabytes travels as one line; the send waits while
        the server reads and fails only when no byte can be sent for 5 seconds.

        Args:
            text: G-code, any number of lines, sent whole as one JSON string.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `text` is neither a `str` nor `None`.
        """
    def program_new(self) -> bool:
        """Start a new, empty program (`{"cmd":"program.new"}`).

        Returns:
            True when the server reported success.
        """
    def program_load(self, file_name: Any) -> bool:
        """Load a program file on the server's side.

        Args:
            file_name: Path of the file as the server sees it. Written with
                `json.dumps`, so any JSON-writable value travels as the name.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `json.dumps` cannot write `file_name`.
            ValueError: `json.dumps` refuses `file_name` (a circular list).
        """
    def program_save(self, file_name: str | None) -> bool:
        """Save the loaded program to a file on the server's side.

        Args:
            file_name: Path of the file as the server sees it, sent as a JSON string.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `file_name` is neither a `str` nor `None`.
        """
    # ------------------------------------------------------------ queries
    def get_analog_inputs(self) -> APIAnalogInputs:
        """Read the analog inputs (`{"get":"analog.inputs"}`).

        Returns:
            A new record; `has_data` is False and the fields hold their defaults
            when the client is not connected or the reply is missing or malformed.
        """
    def get_analog_outputs(self) -> APIAnalogOutputs:
        """Read the analog outputs (`{"get":"analog.outputs"}`).

        Returns:
            A new record; `has_data` is False and the fields hold their defaults
            when the client is not connected or the reply is missing or malformed.
        """
    def get_axes_info(self) -> APIAxesInfo:
        """Read positions, offsets and homing of the axes (`{"get":"axes.info"}`).

        Returns:
            A new record; `has_data` is False and the fields hold their defaults
            when the client is not connected or the reply is missing or malformed.
        """
    def get_cnc_info(self) -> APICncInfo:
        """Read the general status of the CNC (`{"get":"cnc.info"}`).

        Returns:
            A new record; `has_data` is False and the fields hold their defaults
            when the client is not connected or the reply is missing or malformed.
        """
    def get_cnc_parameters(self, address: int, elements: int) -> APICncParameters:
        """Read consecutive CNC parameters.

        Args:
            address: Number of the first parameter, sent unchecked.
            elements: How many parameters to read, sent unchecked.

        Returns:
            A new record whose `parameters` holds the values; `has_data` is False
            and the fields hold their defaults on any failure.
        """
    def get_compile_info(self) -> APICompileInfo:
        """Read the state of the program's compilation (`{"get":"compile.info"}`).

        Returns:
            A new record; `has_data` is False and the fields hold their defaults
            when the client is not connected or the reply is missing or malformed.
        """
    def get_digital_inputs(self) -> APIDigitalInputs:
        """Read the digital inputs (`{"get":"digital.inputs"}`).

        Returns:
            A new record; `has_data` is False and the fields hold their defaults
            when the client is not connected or the reply is missing or malformed.
        """
    def get_digital_outputs(self) -> APIDigitalOutputs:
        """Read the digital outputs (`{"get":"digital.outputs"}`).

        Returns:
            A new record; `has_data` is False and the fields hold their defaults
            when the client is not connected or the reply is missing or malformed.
        """
    def get_enabled_commands(self) -> APIEnabledCommands:
        """Read which commands the server accepts now (`{"get":"enabled.commands"}`).

        Returns:
            A new record; `has_data` is False and the fields hold their defaults
            when the client is not connected or the reply is missing or malformed.
        """
    def get_machining_info(self) -> APIMachiningInfo:
        """Read the machining statistics of the loaded program (`{"get":"machining.info"}`).

        Returns:
            A new record; `has_data` is False and the fields hold their defaults
            when the client is not connected or the reply is missing or malformed.
        """
    def get_programmed_points(self) -> APIProgrammedPoints:
        """Read the points of the loaded program (`{"get":"programmed.points"}`).

        Returns:
            A new record; `has_data` is False and the fields hold their defaults
            when the client is not connected or the reply is missing or malformed.
        """
    def get_scan3d_info(self) -> APIScan3DInfo:
        """Read the settings of the 3D laser scan (`{"get":"scan3d.info"}`).

        Returns:
            A new record; `has_data` is False and the fields hold their defaults
            when the client is not connected or the reply is missing or malformed.
        """
    def get_system_info(self) -> APISystemInfo:
        """Read the identity and versions of the control (`{"get":"system.info"}`).

        Returns:
            A new record; `has_data` is False and the fields hold their defaults
            when the client is not connected or the reply is missing or malformed.
        """
    def get_vm_geometry_info(self, names: list[str] | None) -> list[APIVMGeometryInfo] | None:
        """Read elements of the virtual machine model by name.

        Args:
            names: Names of the elements, each written as a JSON string.

        Returns:
            One record per name, in the order of `names`; a record's `has_data`
            is False when the reply gave it an empty name. When the client is not
            connected or no reply came, every record holds its defaults. None for
            an empty list, a name that is not a `str`, `None`, or a malformed reply
            (fewer elements than names, a missing member).

        Raises:
            TypeError: `names` is neither a `list` nor `None`.
        """
    # ------------------------------------------------------------ data-set writers
    # list[int] is listed apart because list is invariant.
    def set_cnc_parameters(self, address: int, values: list[float] | list[int] | None) -> bool:
        """Write CNC parameters from an address on.

        Args:
            address: Number of the first parameter to write, sent unchecked.
            values: Numbers (`int`, `float` or their subclasses) for consecutive
                parameters.

        Returns:
            True when the server reported success. False without sending for an
            empty list, `None` or an element that is not a number; False for a
            failed exchange too.

        Raises:
            TypeError: `values` is neither a `list` nor `None`.
        """
    # ------------------------------------------------------------ overrides
    # The value goes through int(), so a float is truncated toward zero, a text
    # holding an integer is parsed, and no range is checked.
    def set_override_fast(self, value: int) -> bool:
        """Set the rapid (fast) move override, in percent.

        Args:
            value: The new override; `int(value)` is sent, unchecked.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `int()` refuses the value (`None`, a list).
            ValueError: `int()` refuses the value (a text like "4.5", NaN), or it has
                more digits than an integer may be written with.
            OverflowError: The value is infinite.
        """
    def set_override_feed(self, value: int) -> bool:
        """Set the feed override, in percent.

        Args:
            value: The new override; `int(value)` is sent, unchecked.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `int()` refuses the value (`None`, a list).
            ValueError: `int()` refuses the value (a text like "4.5", NaN), or it has
                more digits than an integer may be written with.
            OverflowError: The value is infinite.
        """
    def set_override_feed_custom_1(self, value: int) -> bool:
        """Set the custom feed 1 override, in percent.

        Args:
            value: The new override; `int(value)` is sent, unchecked.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `int()` refuses the value (`None`, a list).
            ValueError: `int()` refuses the value (a text like "4.5", NaN), or it has
                more digits than an integer may be written with.
            OverflowError: The value is infinite.
        """
    def set_override_feed_custom_2(self, value: int) -> bool:
        """Set the custom feed 2 override, in percent.

        Args:
            value: The new override; `int(value)` is sent, unchecked.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `int()` refuses the value (`None`, a list).
            ValueError: `int()` refuses the value (a text like "4.5", NaN), or it has
                more digits than an integer may be written with.
            OverflowError: The value is infinite.
        """
    def set_override_jog(self, value: int) -> bool:
        """Set the jog override, in percent.

        Args:
            value: The new override; `int(value)` is sent, unchecked.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `int()` refuses the value (`None`, a list).
            ValueError: `int()` refuses the value (a text like "4.5", NaN), or it has
                more digits than an integer may be written with.
            OverflowError: The value is infinite.
        """
    def set_override_plasma_power(self, value: int) -> bool:
        """Set the plasma power.

        Args:
            value: The new setting; `int(value)` is sent, unchecked.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `int()` refuses the value (`None`, a list).
            ValueError: `int()` refuses the value (a text like "4.5", NaN), or it has
                more digits than an integer may be written with.
            OverflowError: The value is infinite.
        """
    def set_override_plasma_voltage(self, value: int) -> bool:
        """Set the plasma voltage.

        Args:
            value: The new setting; `int(value)` is sent, unchecked.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `int()` refuses the value (`None`, a list).
            ValueError: `int()` refuses the value (a text like "4.5", NaN), or it has
                more digits than an integer may be written with.
            OverflowError: The value is infinite.
        """
    def set_override_spindle(self, value: int) -> bool:
        """Set the spindle speed override, in percent.

        Args:
            value: The new override; `int(value)` is sent, unchecked.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `int()` refuses the value (`None`, a list).
            ValueError: `int()` refuses the value (a text like "4.5", NaN), or it has
                more digits than an integer may be written with.
            OverflowError: The value is infinite.
        """
    # ------------------------------------------------------------ program position
    # The value goes through float(); a text is refused even when it holds a number.
    def set_program_position_a(self, value: float) -> bool:
        """Set the program position of the A axis.

        Args:
            value: The new position; `float(value)` is sent.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `float()` refuses the value (a `str`, `None`, a list).
            OverflowError: An `int` too large for a float.
        """
    def set_program_position_b(self, value: float) -> bool:
        """Set the program position of the B axis.

        Args:
            value: The new position; `float(value)` is sent.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `float()` refuses the value (a `str`, `None`, a list).
            OverflowError: An `int` too large for a float.
        """
    def set_program_position_c(self, value: float) -> bool:
        """Set the program position of the C axis.

        Args:
            value: The new position; `float(value)` is sent.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `float()` refuses the value (a `str`, `None`, a list).
            OverflowError: An `int` too large for a float.
        """
    def set_program_position_x(self, value: float) -> bool:
        """Set the program position of the X axis.

        Args:
            value: The new position; `float(value)` is sent.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `float()` refuses the value (a `str`, `None`, a list).
            OverflowError: An `int` too large for a float.
        """
    def set_program_position_y(self, value: float) -> bool:
        """Set the program position of the Y axis.

        Args:
            value: The new position; `float(value)` is sent.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `float()` refuses the value (a `str`, `None`, a list).
            OverflowError: An `int` too large for a float.
        """
    def set_program_position_z(self, value: float) -> bool:
        """Set the program position of the Z axis.

        Args:
            value: The new position; `float(value)` is sent.

        Returns:
            True when the server reported success.

        Raises:
            TypeError: `float()` refuses the value (a `str`, `None`, a list).
            OverflowError: An `int` too large for a float.
        """
    def set_vm_geometry_info(self, values: list[APIVMGeometryInfo] | None) -> bool:
        """Write elements of the virtual machine model.

        Args:
            values: `APIVMGeometryInfo` records; names are written as JSON strings.

        Returns:
            True when the server reported success. False without sending for an
            empty list, `None`, an element that is not an `APIVMGeometryInfo` or
            a record whose name is not a `str`; False for a failed exchange too.

        Raises:
            TypeError: `values` is neither a `list` nor `None`.
        """
    # ------------------------------------------------------------ private members
    # Reachable under their class-private names only.
    @staticmethod
    def _CncAPIClientCore__evaluate_response(response: str | None) -> bool:
        """Judge a command's reply line.

        Returns:
            True when `response` is a JSON object whose `res` is true or the text
            "true" in any letter case; False for anything else, `None` included.

        Raises:
            TypeError: `response` is neither a `str` nor `None`.
        """
    def _CncAPIClientCore__execute_request(self, request: str | None) -> bool:
        """Send a request line and judge its reply as a command's.

        Returns:
            False when not connected (nothing is sent) or on any failure of the
            exchange; otherwise the verdict of `__evaluate_response`.

        Raises:
            TypeError: `request` is neither a `str` nor `None`.
        """
    def _CncAPIClientCore__send_command(self, request: str | None) -> str:
        """Exchange one request line for one reply line.

        Discards up to 1024 stale bytes, sends the request with one line feed
        appended (unless it ends with one), then reads up to the next line feed:
        the first byte within 5 seconds, each later one within 1 second.

        Returns:
            The reply without its line feed. The empty text when not connected
            or the request is empty (nothing is sent), when the request holds a
            line feed anywhere but at its end (nothing is sent), or on a
            transport failure, which also drops the client.

        Raises:
            TypeError: `request` is `None` on a connected client, or neither a
                `str` nor `None`.
            UnicodeDecodeError: A reply byte outside ASCII; the rest of that reply
                line is read and dropped first, so the next call stays in step.
            UnicodeEncodeError: The request holds a lone surrogate.
        """

class CncAPIInfoContext:
    """The four records a monitor reads most, refreshed together by `update`.

    Example:
        ```python
        import cnc_api_client_core as cnc

        api = cnc.CncAPIClientCore()
        context = cnc.CncAPIInfoContext(api)
        if api.connect("127.0.0.1", 8000) and context.update():
            print(context.cnc_info.state_machine, context.axes_info.machine_position)
        ```
    """

    axes_info: APIAxesInfo
    """Axes record of the last successful `update` (until then one default record shared by all contexts)."""
    cnc_info: APICncInfo
    """CNC record of the last successful `update` (until then one default record shared by all contexts)."""
    compile_info: APICompileInfo
    """Compile record of the last successful `update` (until then one default record shared by all contexts)."""
    enabled_commands: APIEnabledCommands
    """Enabled-commands record of the last successful `update` (until then one default shared by all contexts)."""
    _CncAPIInfoContext__api: CncAPIClientCore
    """The client given to the constructor; the context neither owns nor closes it."""
    def __init__(self, api: CncAPIClientCore) -> None:
        """Hold `api` for later updates; nothing is sent and nothing is checked.

        Args:
            api: The client whose queries `update` calls.
        """
    def update(self) -> bool:
        """Refresh the four records: axes, CNC, compile, enabled commands, in that order.

        Each query runs an exchange of its own, so the records show four
        successive moments. A query that fails stores its default record
        (`has_data` False) and the others still run.

        Returns:
            False, changing nothing, when the client's `is_connected` is not
            `True`; True otherwise, even when some queries failed.

        Raises:
            AttributeError: `api` lacks `is_connected` or one of the four queries.
        """
