// Constants and record tables. Every entry here is read once when the module
// is loaded (constants, classes) and on every query (wire keys), so the tables
// are plain constant data with static storage.
#include "model/tables.hpp"

#ifndef CNC_VERSION
#error "CNC_VERSION (the project version) must be defined by the build"
#endif

#include <iterator>
#include <string_view>

namespace cnc::model {
namespace {

// ---------------------------------------------------------------------------
// Constants

constexpr Constant number(const char* name, long value) { return {name, value, nullptr}; }
constexpr Constant text(const char* name, const char* value) { return {name, 0, value}; }

constexpr Constant kConstantTable[] = {
    text("__version__", CNC_VERSION),  // the project version, from the build

    // Program analysis modes.
    text("ANALYSIS_MT", "mt"),
    text("ANALYSIS_RT", "rt"),
    text("ANALYSIS_RF", "rf"),
    text("ANALYSIS_RV", "rv"),
    text("ANALYSIS_RZ", "rz"),

    // Single-axis masks, X in bit 0.
    number("X_AXIS_MASK", 1),
    number("Y_AXIS_MASK", 2),
    number("Z_AXIS_MASK", 4),
    number("A_AXIS_MASK", 8),
    number("B_AXIS_MASK", 16),
    number("C_AXIS_MASK", 32),
    number("U_AXIS_MASK", 64),
    number("V_AXIS_MASK", 128),
    number("W_AXIS_MASK", 256),

    // Range masks: every axis from X up to the named one.
    number("X2Z_AXIS_MASK", 7),
    number("X2C_AXIS_MASK", 63),
    number("X2W_AXIS_MASK", 511),

    // Compile states.
    number("CS_INIT", 0),
    number("CS_READY", 1),
    number("CS_ERROR", 2),
    number("CS_FIRST_STEP", 3),
    number("CS_FIRST_STEP_RUNNING", 4),
    number("CS_WAITING_FOR_DATA", 5),
    number("CS_WAITING_FOR_DATA_RUNNING", 6),
    number("CS_FINISHED", 7),

    // Jog commands: backward then forward per axis.
    number("JC_NONE", 0),
    number("JC_X_BW", 1),
    number("JC_X_FW", 2),
    number("JC_Y_BW", 3),
    number("JC_Y_FW", 4),
    number("JC_Z_BW", 5),
    number("JC_Z_FW", 6),
    number("JC_A_BW", 7),
    number("JC_A_FW", 8),
    number("JC_B_BW", 9),
    number("JC_B_FW", 10),
    number("JC_C_BW", 11),
    number("JC_C_FW", 12),

    // CNC state machine.
    number("SM_DISCONNECTED", 0),
    number("SM_SIMULATOR", 1),
    number("SM_INIT", 2),
    number("SM_INIT_FIELD_BUS", 3),
    number("SM_ALARM", 4),
    number("SM_IDLE", 5),
    number("SM_HOMING", 6),
    number("SM_JOG", 7),
    number("SM_RUN", 8),
    number("SM_PAUSE", 9),
    number("SM_LIMIT", 10),
    number("SM_MEASURE_TOOL", 11),
    number("SM_SCAN_3D", 12),
    number("SM_SAFETY_IDLE", 13),
    number("SM_CHANGE_TOOL", 14),
    number("SM_SAFETY", 15),
    number("SM_WAIT_MAIN_POWER", 16),
    number("SM_RETRACT", 17),

    // Spindle status; there is deliberately no value 0.
    number("SS_OFF", 1),
    number("SS_CW", 2),
    number("SS_CCW", 3),

    // Tool types.
    number("TT_GENERIC", 0),
    number("TT_FLAT_END_MILL", 1),
    number("TT_BALL_NOSE_END_MILL", 2),
    number("TT_DRILL", 3),
    number("TT_PROBE", 4),
    number("TT_SAW", 5),
    number("TT_PLASMA", 6),
    number("TT_DRAG_KNIFE", 7),
    number("TT_LATHE", 8),
    number("TT_LASER", 9),
    number("TT_WATER_JET", 10),

    // Units modes.
    number("UM_METRIC", 0),
    number("UM_IMPERIAL", 1),
};

// ---------------------------------------------------------------------------
// Field builders. Arguments read: field name, default (where it is not
// implied), wire key, group. A null group means the key sits directly under
// `res` (or, for array elements, directly in the element).

constexpr Field has_data{"has_data", Default::False, 0, nullptr, nullptr, nullptr, nullptr};

constexpr Field boolean(const char* name, const char* key, const char* group = nullptr) {
    return {name, Default::False, 0, nullptr, group, key, nullptr};
}
constexpr Field integer(const char* name, const char* key, const char* group = nullptr, long value = 0) {
    return {name, Default::Int, value, nullptr, group, key, nullptr};
}
constexpr Field real(const char* name, const char* key, const char* group = nullptr) {
    return {name, Default::Float, 0, nullptr, group, key, nullptr};
}
constexpr Field string(const char* name, const char* value, const char* key, const char* group = nullptr) {
    return {name, Default::Text, 0, value, group, key, nullptr};
}
constexpr Field int_zeros(const char* name, long count, const char* key) {
    return {name, Default::IntZeros, count, nullptr, nullptr, key, nullptr};
}
constexpr Field real_zeros(const char* name, long count, const char* key) {
    return {name, Default::FloatZeros, count, nullptr, nullptr, key, nullptr};
}
constexpr Field empty_list(const char* name, const char* key, const char* group = nullptr,
                           const Record* element = nullptr) {
    return {name, Default::EmptyList, 0, nullptr, group, key, element};
}
constexpr Field constant(const char* name, const char* constant_name, const char* key, const char* group = nullptr) {
    return {name, Default::Constant, 0, constant_name, group, key, nullptr};
}

// ---------------------------------------------------------------------------
// I/O records: one list, replaced whole by the reply.

constexpr Field kAnalogFields[] = {
    has_data,
    real_zeros("value", 16, "value"),
};

constexpr Field kDigitalFields[] = {
    has_data,
    int_zeros("value", 128, "value"),
};

// ---------------------------------------------------------------------------

constexpr Field kAxesInfoFields[] = {
    has_data,
    real_zeros("joint_position", 6, "joint.position"),
    real_zeros("machine_position", 6, "machine.position"),
    real_zeros("program_position", 6, "program.position"),
    real_zeros("machine_target_position", 6, "machine.target.position"),
    real_zeros("program_target_position", 6, "program.target.position"),
    int_zeros("actual_velocity", 6, "actual.velocity"),
    integer("working_wcs", "working.wcs"),
    real_zeros("working_offset", 6, "working.offset"),
    real_zeros("dynamic_offset", 3, "dynamic.offset"),
    integer("homing_done", "homing.done"),
    integer("homing_done_mask", "homing.done.mask"),
};

// ---------------------------------------------------------------------------

// Each adjustable quantity lives in the `override` group as five members:
// current value, minimum, maximum (100 until the server says otherwise),
// enabled and locked.
#define CNC_ADJUSTABLE(field, key)                                                                                 \
    integer(field, key, "override"), integer(field "_min", key ".min", "override"),                                \
        integer(field "_max", key ".max", "override", 100), boolean(field "_enabled", key ".enabled", "override"), \
        boolean(field "_locked", key ".locked", "override")

constexpr Field kCncInfoFields[] = {
    has_data,
    constant("units_mode", "UM_METRIC", "units.mode"),
    integer("axes_mask", "axes.mask"),
    integer("state_machine", "state.machine"),
    integer("gcode_line", "gcode.line"),
    string("worked_time", "00:00:00", "worked.time"),
    boolean("coolant_mist", "mist", "coolant"),
    boolean("coolant_flood", "flood", "coolant"),
    integer("lube_axis_cycles_made", "axis.cycles.made", "lube"),
    integer("lube_axis_time_to_next_cycle", "axis.time.to.next.cycle", "lube"),
    integer("lube_spindle_cycles_made", "spindle.cycles.made", "lube"),
    integer("lube_spindle_time_to_next_cycle", "spindle.time.to.next.cycle", "lube"),
    integer("feed_programmed", "programmed", "feed"),
    integer("feed_target", "target", "feed"),
    integer("feed_reference", "reference", "feed"),
    integer("spindle_programmed", "programmed", "spindle"),
    integer("spindle_target", "target", "spindle"),
    integer("spindle_actual", "actual", "spindle"),
    integer("spindle_load", "load", "spindle"),
    integer("spindle_torque", "torque", "spindle"),
    integer("spindle_status", "status", "spindle"),
    CNC_ADJUSTABLE("override_jog", "jog"),
    CNC_ADJUSTABLE("override_spindle", "spindle"),
    CNC_ADJUSTABLE("override_fast", "fast"),
    CNC_ADJUSTABLE("override_feed", "feed"),
    CNC_ADJUSTABLE("override_feed_custom_1", "feed.custom.1"),
    CNC_ADJUSTABLE("override_feed_custom_2", "feed.custom.2"),
    // The plasma quantities sit in `override` too, but their fields carry no
    // `override_` prefix.
    CNC_ADJUSTABLE("plasma_power", "plasma.power"),
    CNC_ADJUSTABLE("plasma_voltage", "plasma.voltage"),
    integer("tool_id", "id", "tool"),
    boolean("tool_slot", "slot", "tool"),  // false, not 0, by design
    constant("tool_type", "TT_GENERIC", "type", "tool"),
    real("tool_diameter", "diameter", "tool"),
    real("tool_offset_x", "offset.x", "tool"),
    real("tool_offset_y", "offset.y", "tool"),
    real("tool_offset_z", "offset.z", "tool"),
    real("tool_param_1", "param.1", "tool"),
    real("tool_param_2", "param.2", "tool"),
    real("tool_param_3", "param.3", "tool"),
};

#undef CNC_ADJUSTABLE

// ---------------------------------------------------------------------------

constexpr Field kCncParametersFields[] = {
    has_data,
    integer("address", nullptr),  // never filled by the read
    empty_list("parameters", "parameters"),
};

constexpr Field kCompileInfoFields[] = {
    has_data,
    integer("code", "code"),
    integer("code_line", "code.line"),
    integer("file_line", "file.line"),
    string("file_name", "", "file.name"),
    string("message", "", "message"),
    integer("state", "state"),
};

// ---------------------------------------------------------------------------

constexpr Field kEnabledCommandsFields[] = {
    has_data,
    boolean("cnc_continue", "cnc.continue"),
    integer("cnc_homing", "cnc.homing"),
    integer("cnc_jog_command", "cnc.jog.command"),
    boolean("cnc_mdi_command", "cnc.mdi.command"),
    boolean("cnc_parameters", "cnc.parameters"),
    boolean("cnc_pause", "cnc.pause"),
    boolean("cnc_resume", "cnc.resume"),
    boolean("cnc_resume_from_line", "cnc.resume.from.line"),
    boolean("cnc_resume_from_point", "cnc.resume.from.point"),
    boolean("cnc_start", "cnc.start"),
    boolean("cnc_start_from_line", "cnc.start.from.line"),
    boolean("cnc_start_from_point", "cnc.start.from.point"),
    boolean("cnc_stop", "cnc.stop"),
    boolean("program_analysis", "program.analysis"),
    boolean("program_analysis_abort", "program.analysis.abort"),
    boolean("program_gcode_add_text", "program.gcode.add.text"),
    boolean("program_gcode_clear", "program.gcode.clear"),
    boolean("program_gcode_set_text", "program.gcode.set.text"),
    boolean("program_load", "program.load"),
    boolean("program_new", "program.new"),
    boolean("program_save", "program.save"),
    integer("set_program_position", "set.program.position"),
};

// ---------------------------------------------------------------------------
// Machining info. Keys of the used-tool entries are members of each element
// of `tool.path` / `used.tool`.

constexpr Field kUsedToolFields[] = {
    integer("tool_id", "id"),
    real("in_fast", "in.fast"),
    real("in_feed", "in.feed"),
};

// One real field per axis: field `<prefix>_<axis>` from member `<key>.<axis>`.
#define MI_XYZ(prefix, key, group) \
    real(prefix "_x", key ".x", group), real(prefix "_y", key ".y", group), real(prefix "_z", key ".z", group)
#define MI_AB(prefix, key, group) real(prefix "_a", key ".a", group), real(prefix "_b", key ".b", group)
#define MI_C(prefix, key, group) real(prefix "_c", key ".c", group)

// min, max and length over X, Y, Z.
#define MI_TCP_EXTENTS(prefix, group) \
    MI_XYZ(prefix "_min", "min", group), MI_XYZ(prefix "_max", "max", group), MI_XYZ(prefix "_length", "length", group)

constexpr Field kMachiningInfoFields[] = {
    has_data,
    real("tool_path_in_fast", "in.fast", "tool.path"),
    real("tool_path_in_feed", "in.feed", "tool.path"),
    real("total_path", "total.path", "tool.path"),
    string("estimated_time", "00:00:00", "estimated.time", "tool.path"),
    empty_list("used_tool", "used.tool", "tool.path", record(kMachiningInfoUsedTool)),

    MI_TCP_EXTENTS("tcp_extents_in_fast", "tcp.extents.in.fast"),
    MI_TCP_EXTENTS("tcp_extents_in_feed", "tcp.extents.in.feed"),

    MI_XYZ("joints_in_fast_min", "min", "joints.in.fast"),
    MI_AB("joints_in_fast_min", "min", "joints.in.fast"),
    MI_C("joints_in_fast_min", "min", "joints.in.fast"),
    MI_XYZ("joints_in_fast_max", "max", "joints.in.fast"),
    MI_AB("joints_in_fast_max", "max", "joints.in.fast"),
    MI_C("joints_in_fast_max", "max", "joints.in.fast"),
    MI_XYZ("joints_in_fast_length", "length", "joints.in.fast"),
    MI_AB("joints_in_fast_length", "length", "joints.in.fast"),
    MI_C("joints_in_fast_length", "length", "joints.in.fast"),

    MI_XYZ("joints_in_feed_min", "min", "joints.in.feed"),
    MI_AB("joints_in_feed_min", "min", "joints.in.feed"),
    MI_C("joints_in_feed_min", "min", "joints.in.feed"),
    MI_XYZ("joints_in_feed_max", "max", "joints.in.feed"),
    MI_AB("joints_in_feed_max", "max", "joints.in.feed"),
    MI_C("joints_in_feed_max", "max", "joints.in.feed"),
    MI_XYZ("joints_in_feed_length", "length", "joints.in.feed"),
    MI_AB("joints_in_feed_length", "length", "joints.in.feed"),
    // No field for the feed length of C: see kMachiningInfoRequired.
};

#undef MI_TCP_EXTENTS
#undef MI_C
#undef MI_AB
#undef MI_XYZ

// The server sends a feed length for C as well; the reply is only complete
// with it, but the record has nowhere to keep it.
constexpr WireKey kMachiningInfoRequired[] = {
    {"joints.in.feed", "length.c"},
};

// ---------------------------------------------------------------------------

constexpr Field kProgrammedPointsFields[] = {
    has_data,
    empty_list("points", "points"),
};

constexpr Field kScan3DInfoFields[] = {
    has_data,
    integer("laser_out_bit", "laser.out.bit"),
    integer("laser_out_umf", "laser.out.umf"),
    real("laser_h_measure", "laser.h.measure"),
    real("laser_z_position", "laser.z.position"),
};

constexpr Field kSystemInfoFields[] = {
    has_data,
    string("cnc_control_software", "", "cnc.control.software"),
    string("cnc_core_version", "", "cnc.core.version"),
    string("api_server_version", "", "api.server.version"),
    string("firmware_version", "", "firmware.version"),
    string("firmware_version_tag", "", "firmware.version.tag"),
    string("firmware_interface_level", "", "firmware.interface.level"),
    string("order_code", "", "order.code"),
    string("customer_id", "", "customer.id"),
    string("serial_number", "", "serial.number"),
    string("part_number", "", "part.number"),
    string("customization_number", "", "customization.number"),
    string("hardware_version", "", "hardware.version"),
    string("operative_system", "", "operative.system"),
    string("operative_system_crc", "", "operative.system.crc"),
    string("pld_version", "", "pld.version"),
};

// Keys are members of each element of the reply's `res` array.
constexpr Field kVMGeometryInfoFields[] = {
    has_data,
    string("name", "", "name"),
    real("x", "x"),
    real("y", "y"),
    real("z", "z"),
    integer("color", "color"),
    real("scale", "scale"),
    boolean("visible", "visible"),
    real("edges_angle", "edges.angle"),
    boolean("edges_visible", "edges.visible"),
};

// ---------------------------------------------------------------------------

}  // namespace

constexpr Record kRecordTable[kRecordCount] = {
    {"APIAnalogInputs", "API data structure for analog inputs.", kAnalogFields},
    {"APIAnalogOutputs", "API data structure for analog outputs.", kAnalogFields},
    {"APIAxesInfo", "API data structure for axes info.", kAxesInfoFields},
    {"APICncInfo", "API data structure for cnc info.", kCncInfoFields},
    {"APICncParameters", "API data structure for cnc parameters.", kCncParametersFields},
    {"APICompileInfo", "API data structure for compile info.", kCompileInfoFields},
    {"APIDigitalInputs", "API data structure for digital inputs.", kDigitalFields},
    {"APIDigitalOutputs", "API data structure for digital outputs.", kDigitalFields},
    {"APIEnabledCommands", "API data structure for enabled commands.", kEnabledCommandsFields},
    {"APIMachiningInfoUsedTool", "API data structure with used tool info.", kUsedToolFields},
    {"APIMachiningInfo", "API data structure for machining info.", kMachiningInfoFields, kMachiningInfoRequired},
    {"APIProgrammedPoints", "API data structure for programmed points.", kProgrammedPointsFields},
    {"APIScan3DInfo", "API data structure for scan3d info.", kScan3DInfoFields},
    {"APISystemInfo", "API data structure for system info.", kSystemInfoFields},
    {"APIVMGeometryInfo", "API data structure for virtual machine geometry info.", kVMGeometryInfoFields},
};

// Guard the counts that are easy to get wrong when editing the tables above.
static_assert(std::size(kRecordTable) == 15);
static_assert(std::size(kCncInfoFields) == 1 + 70);
static_assert(std::size(kMachiningInfoFields) == 1 + 5 + 53);
static_assert(std::size(kEnabledCommandsFields) == 1 + 22);
static_assert(std::size(kSystemInfoFields) == 1 + 15);
static_assert(std::size(kAxesInfoFields) == 1 + 11);

// The record indices name the rows of the record table.
constexpr std::string_view kIndexedNames[kRecordCount] = {
    "APIAnalogInputs",  "APIAnalogOutputs",    "APIAxesInfo",       "APICncInfo",         "APICncParameters",
    "APICompileInfo",   "APIDigitalInputs",    "APIDigitalOutputs", "APIEnabledCommands", "APIMachiningInfoUsedTool",
    "APIMachiningInfo", "APIProgrammedPoints", "APIScan3DInfo",     "APISystemInfo",      "APIVMGeometryInfo",
};
static_assert([] {
    for (size_t i = 0; i < kRecordCount; ++i)
        if (kIndexedNames[i] != kRecordTable[i].name) return false;
    return true;
}());

constinit const std::span<const Constant> kConstants{kConstantTable};
constinit const std::span<const Record> kRecords{kRecordTable};

}  // namespace cnc::model
