#include "module/methods.hpp"

#include "commands/commands.hpp"
#include "context/info_context.hpp"
#include "core/client.hpp"
#include "model/tables.hpp"
#include "queries/queries.hpp"

namespace cnc {
namespace {

constexpr Owner C = Owner::Client;
constexpr Annotation Unicode = Annotation::Unicode;
constexpr Annotation Int = Annotation::Int;
constexpr Annotation Float = Annotation::Float;
constexpr Annotation List = Annotation::List;

constexpr const char* kXxx = "Xxx...";

constexpr const char* kConnectDoc =
    "\n"
    "        Opens the connection with the specified API server host/port.\n"
    "\n"
    "        host        The server host address to connect to (eg. '192.168.0.10').\n"
    "        port        The server host port to connect to (valid range 0..65535).\n"
    "        return      True if the connection with the API server has been established.\n"
    "        ";

constexpr const char* kCloseDoc =
    "\n"
    "        Closes the current connection with the API server\n"
    "\n"
    "        return      True if the client is connected to an API server and connection is closed successfully.\n"
    "        ";

constexpr const char* kHomingDoc =
    "\n"
    "        Requires Homing for specified axes\n"
    "\n"
    "        axes_mask   Mask with axes affected by the command.\n"
    "        return      True if the request was successful.\n"
    "        ";

constexpr const char* kJogDoc =
    "\n"
    "        Requires a JOG Command\n"
    "\n"
    "        command     Jog command. Available commands are in JC_xxx constants.\n"
    "        return      True if the request was successful.\n"
    "        ";

constexpr const char* kUpdateDoc =
    "\n"
    "        Update cnc api info context.\n"
    "\n"
    "        :return                 False when the is no connection with the API server\n"
    "        :rtype                  (bool)\n"
    "        ";

// A command without argument: its request text as it stands.
constexpr MethodSpec command(const char* name, const char* request) {
    return {.owner = C, .name = name, .doc = kXxx, .impl = commands::fixed, .request = request};
}

// A command with one argument spliced between `head` and `closing`.
constexpr MethodSpec command(const char* name, Param param, Impl splice, const char* head, const char* closing = "}") {
    return {
        .owner = C, .name = name, .params = {param}, .doc = kXxx, .impl = splice, .request = head, .closing = closing};
}

constexpr MethodSpec set_override(const char* name, const char* head) {
    return command(name, {"value", Int}, commands::with_integer, head);
}

constexpr MethodSpec set_position(const char* name, const char* head) {
    return command(name, {"value", Float}, commands::with_text_form, head, "}}");
}

Ref absorb_false(const Call&) { return py_bool(false); }
Ref absorb_none(const Call&) { return py_none(); }

// A query that fills the record `record` from the reply to `request`.
constexpr MethodSpec query(const char* name, const char* request, model::RecordIndex record) {
    return {.owner = C,
            .name = name,
            .doc = kXxx,
            .impl = queries::fill_record,
            .absorb = queries::default_record,
            .request = request,
            .record = model::record(record)};
}

constexpr MethodSpec kMethodTable[] = {
    // CncAPIClientCore
    {.owner = C, .name = "__init__", .impl = core::client_init},
    {.owner = C,
     .name = "connect",
     .params = {{{"host", Unicode}, {"port", Int}}},
     .returns_bool = true,
     .doc = kConnectDoc,
     .impl = core::connect},
    {.owner = C, .name = "close", .returns_bool = true, .doc = kCloseDoc, .impl = core::close},
    {.owner = C,
     .name = "close_cnc_control_software",
     .doc = "Not implemented yet!",
     .impl = core::close_cnc_control_software},

    command("cnc_continue", R"({"cmd":"cnc.continue"})"),
    {.owner = C,
     .name = "cnc_homing",
     .params = {{{"axes_mask", Int}}},
     .returns_bool = true,
     .doc = kHomingDoc,
     .impl = commands::with_text_form,
     .request = R"({"cmd":"cnc.homing","axes.mask":)",
     .closing = "}"},
    {.owner = C,
     .name = "cnc_jog_command",
     .params = {{{"command", Int}}},
     .doc = kJogDoc,
     .impl = commands::jog,
     .request = R"({"cmd":"cnc.jog.command","command":)",
     .closing = "}"},
    command("cnc_mdi_command", {"command", Unicode}, commands::with_json, R"({"cmd":"cnc.mdi.command","command":)"),
    command("cnc_pause", R"({"cmd":"cnc.pause"})"),
    command("cnc_resume", {"line", Int}, commands::resume, R"({"cmd":"cnc.resume", "line":)"),
    command("cnc_resume_from_line", {"line", Int}, commands::with_text_form,
            R"({"cmd":"cnc.resume.from.line", "line":)"),
    command("cnc_resume_from_point", {"point", Int}, commands::with_text_form,
            R"({"cmd":"cnc.resume.from.point", "point":)"),
    command("cnc_start", R"({"cmd":"cnc.start"})"),
    command("cnc_start_from_line", {"line", Int}, commands::with_text_form, R"({"cmd":"cnc.start.from.line", "line":)"),
    command("cnc_start_from_point", {"point", Int}, commands::with_text_form,
            R"({"cmd":"cnc.start.from.point", "point":)"),
    command("cnc_stop", R"({"cmd":"cnc.stop"})"),

    command("program_analysis", {"mode", Unicode}, commands::with_json, R"({"cmd":"program.analysis","mode":)"),
    command("program_analysis_abort", R"({"cmd":"program.analysis.abort"})"),
    command("program_gcode_add_text", {"text", Unicode}, commands::with_json,
            R"({"cmd":"program.gcode.add.text","text":)"),
    command("program_gcode_clear", R"({"cmd":"program.gcode.clear"})"),
    command("program_gcode_set_text", {"text", Unicode}, commands::with_json,
            R"({"cmd":"program.gcode.set.text","text":)"),
    command("program_new", R"({"cmd":"program.new"})"),
    command("program_load", {"file_name", Annotation::None}, commands::with_json, R"({"cmd":"program.load","name":)"),
    command("program_save", {"file_name", Unicode}, commands::with_json, R"({"cmd":"program.save","name":)"),

    query("get_analog_inputs", R"({"get":"analog.inputs"})", model::kAnalogInputs),
    query("get_analog_outputs", R"({"get":"analog.outputs"})", model::kAnalogOutputs),
    query("get_axes_info", R"({"get":"axes.info"})", model::kAxesInfo),
    query("get_cnc_info", R"({"get":"cnc.info"})", model::kCncInfo),
    {.owner = C,
     .name = "get_cnc_parameters",
     .params = {{{"address", Int}, {"elements", Int}}},
     .doc = kXxx,
     .impl = queries::get_cnc_parameters,
     .absorb = queries::default_record,
     .record = model::record(model::kCncParameters)},
    query("get_compile_info", R"({"get":"compile.info"})", model::kCompileInfo),
    query("get_digital_inputs", R"({"get":"digital.inputs"})", model::kDigitalInputs),
    query("get_digital_outputs", R"({"get":"digital.outputs"})", model::kDigitalOutputs),
    query("get_enabled_commands", R"({"get":"enabled.commands"})", model::kEnabledCommands),
    query("get_machining_info", R"({"get":"machining.info"})", model::kMachiningInfo),
    query("get_programmed_points", R"({"get":"programmed.points"})", model::kProgrammedPoints),
    query("get_scan3d_info", R"({"get":"scan3d.info"})", model::kScan3DInfo),
    query("get_system_info", R"({"get":"system.info"})", model::kSystemInfo),
    {.owner = C,
     .name = "get_vm_geometry_info",
     .params = {{{"names", List}}},
     .doc = kXxx,
     .impl = queries::get_vm_geometry_info,
     .absorb = absorb_none,
     .record = model::record(model::kVMGeometryInfo)},
    {.owner = C,
     .name = "set_cnc_parameters",
     .params = {{{"address", Int}, {"values", List}}},
     .doc = kXxx,
     .impl = queries::set_cnc_parameters,
     .absorb = absorb_false},

    set_override("set_override_fast", R"({"set":"override", "name":"fast", "value":)"),
    set_override("set_override_feed", R"({"set":"override", "name":"feed", "value":)"),
    set_override("set_override_feed_custom_1", R"({"set":"override", "name":"feed.custom.1", "value":)"),
    set_override("set_override_feed_custom_2", R"({"set":"override", "name":"feed.custom.2", "value":)"),
    set_override("set_override_jog", R"({"set":"override", "name":"jog", "value":)"),
    set_override("set_override_plasma_power", R"({"set":"override", "name":"plasma.power", "value":)"),
    set_override("set_override_plasma_voltage", R"({"set":"override", "name":"plasma.voltage", "value":)"),
    set_override("set_override_spindle", R"({"set":"override", "name":"spindle", "value":)"),
    set_position("set_program_position_a", R"({"set":"program.position", "data":{"a":)"),
    set_position("set_program_position_b", R"({"set":"program.position", "data":{"b":)"),
    set_position("set_program_position_c", R"({"set":"program.position", "data":{"c":)"),
    set_position("set_program_position_x", R"({"set":"program.position", "data":{"x":)"),
    set_position("set_program_position_y", R"({"set":"program.position", "data":{"y":)"),
    set_position("set_program_position_z", R"({"set":"program.position", "data":{"z":)"),
    {.owner = C,
     .name = "set_vm_geometry_info",
     .params = {{{"values", List}}},
     .doc = kXxx,
     .impl = queries::set_vm_geometry_info,
     .absorb = absorb_false},

    {.owner = C,
     .name = "__evaluate_response",
     .params = {{{"response", Unicode}}},
     .is_static = true,
     .impl = core::evaluate_response,
     .absorb = absorb_false},
    {.owner = C,
     .name = "__execute_request",
     .params = {{{"request", Unicode}}},
     .impl = core::execute_request,
     .absorb = absorb_false},
    {.owner = C, .name = "__send_command", .params = {{{"request", Unicode}}}, .impl = core::send_command},

    // CncAPIInfoContext
    {.owner = Owner::Context, .name = "__init__", .params = {{{"api", Annotation::None}}}, .impl = context::init},
    {.owner = Owner::Context, .name = "update", .returns_bool = true, .doc = kUpdateDoc, .impl = context::update},
};

}  // namespace

const std::span<const MethodSpec> kMethods = kMethodTable;

}  // namespace cnc
