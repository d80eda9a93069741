import cnc_api_client_core as cnc
import pytest

F = False
CLOCK = "00:00:00"


def adjustable(name):
    return [(name, 0), (f"{name}_min", 0), (f"{name}_max", 100), (f"{name}_enabled", F), (f"{name}_locked", F)]


def zeros(names, value=0.0):
    return [(n, value) for n in names.split()]


def extents(prefix, axes, kinds=("min", "max", "length")):
    return [(f"{prefix}_{k}_{a}", 0.0) for k in kinds for a in axes]


IO_ANALOG = [("has_data", F), ("value", [0.0] * 16)]
IO_DIGITAL = [("has_data", F), ("value", [0] * 128)]

RECORDS = [
    ("APIAnalogInputs", "analog inputs.", IO_ANALOG),
    ("APIAnalogOutputs", "analog outputs.", IO_ANALOG),
    (
        "APIAxesInfo",
        "axes info.",
        [
            ("has_data", F),
            *[
                (n, [0.0] * 6)
                for n in (
                    "joint_position",
                    "machine_position",
                    "program_position",
                    "machine_target_position",
                    "program_target_position",
                )
            ],
            ("actual_velocity", [0] * 6),
            ("working_wcs", 0),
            ("working_offset", [0.0] * 6),
            ("dynamic_offset", [0.0] * 3),
            ("homing_done", 0),
            ("homing_done_mask", 0),
        ],
    ),
    (
        "APICncInfo",
        "cnc info.",
        [
            ("has_data", F),
            *zeros("units_mode axes_mask state_machine gcode_line", 0),
            ("worked_time", CLOCK),
            ("coolant_mist", F),
            ("coolant_flood", F),
            *zeros(
                "lube_axis_cycles_made lube_axis_time_to_next_cycle lube_spindle_cycles_made "
                "lube_spindle_time_to_next_cycle feed_programmed feed_target feed_reference "
                "spindle_programmed spindle_target spindle_actual spindle_load spindle_torque "
                "spindle_status",
                0,
            ),
            *[
                f
                for q in (
                    "override_jog",
                    "override_spindle",
                    "override_fast",
                    "override_feed",
                    "override_feed_custom_1",
                    "override_feed_custom_2",
                    "plasma_power",
                    "plasma_voltage",
                )
                for f in adjustable(q)
            ],
            ("tool_id", 0),
            ("tool_slot", F),
            ("tool_type", 0),
            *zeros("tool_diameter tool_offset_x tool_offset_y tool_offset_z tool_param_1 tool_param_2 tool_param_3"),
        ],
    ),
    ("APICncParameters", "cnc parameters.", [("has_data", F), ("address", 0), ("parameters", [])]),
    (
        "APICompileInfo",
        "compile info.",
        [("has_data", F), *zeros("code code_line file_line", 0), ("file_name", ""), ("message", ""), ("state", 0)],
    ),
    ("APIDigitalInputs", "digital inputs.", IO_DIGITAL),
    ("APIDigitalOutputs", "digital outputs.", IO_DIGITAL),
    (
        "APIEnabledCommands",
        "enabled commands.",
        [
            ("has_data", F),
            ("cnc_continue", F),
            ("cnc_homing", 0),
            ("cnc_jog_command", 0),
            *zeros(
                "cnc_mdi_command cnc_parameters cnc_pause cnc_resume cnc_resume_from_line "
                "cnc_resume_from_point cnc_start cnc_start_from_line cnc_start_from_point cnc_stop "
                "program_analysis program_analysis_abort program_gcode_add_text program_gcode_clear "
                "program_gcode_set_text program_load program_new program_save",
                F,
            ),
            ("set_program_position", 0),
        ],
    ),
    ("APIMachiningInfoUsedTool", None, [("tool_id", 0), ("in_fast", 0.0), ("in_feed", 0.0)]),
    (
        "APIMachiningInfo",
        "machining info.",
        [
            ("has_data", F),
            *zeros("tool_path_in_fast tool_path_in_feed total_path"),
            ("estimated_time", CLOCK),
            ("used_tool", []),
            *extents("tcp_extents_in_fast", "xyz"),
            *extents("tcp_extents_in_feed", "xyz"),
            *extents("joints_in_fast", "xyzabc"),
            *extents("joints_in_feed", "xyzabc")[:-1],
        ],
    ),
    ("APIProgrammedPoints", "programmed points.", [("has_data", F), ("points", [])]),
    (
        "APIScan3DInfo",
        "scan3d info.",
        [
            ("has_data", F),
            ("laser_out_bit", 0),
            ("laser_out_umf", 0),
            ("laser_h_measure", 0.0),
            ("laser_z_position", 0.0),
        ],
    ),
    (
        "APISystemInfo",
        "system info.",
        [
            ("has_data", F),
            *zeros(
                "cnc_control_software cnc_core_version api_server_version firmware_version "
                "firmware_version_tag firmware_interface_level order_code customer_id serial_number "
                "part_number customization_number hardware_version operative_system "
                "operative_system_crc pld_version",
                "",
            ),
        ],
    ),
    (
        "APIVMGeometryInfo",
        "virtual machine geometry info.",
        [
            ("has_data", F),
            ("name", ""),
            *zeros("x y z"),
            ("color", 0),
            ("scale", 0.0),
            ("visible", F),
            ("edges_angle", 0.0),
            ("edges_visible", F),
        ],
    ),
]
IDS = [name for name, _, _ in RECORDS]


def fields(cls):
    return {k: v for k, v in vars(cls).items() if not k.startswith("__")}


def same(a, b):
    """Equal and of the same type, element by element for lists."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    return a == b


def test_field_counts():
    counts = {name: len(f) for name, _, f in RECORDS}
    assert (counts["APICncInfo"], counts["APIMachiningInfo"], counts["APIEnabledCommands"]) == (71, 59, 23)


@pytest.mark.parametrize("name, doc, expected", RECORDS, ids=IDS)
def test_record_class_shape(name, doc, expected):
    cls = getattr(cnc, name)
    assert cls.__doc__ == (f"API data structure for {doc}" if doc else "API data structure with used tool info.")
    got = fields(cls)
    assert list(got) == [n for n, _ in expected]
    wrong = {n: got[n] for n, v in expected if not same(got[n], v)}
    assert not wrong


@pytest.mark.parametrize("name, _doc, expected", RECORDS, ids=IDS)
def test_new_record_reads_class_defaults(name, _doc, expected):
    cls = getattr(cnc, name)
    a, b = cls(), cls()
    assert vars(a) == {}
    for field, _ in expected:
        assert getattr(a, field) is getattr(cls, field) is getattr(b, field)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes no arguments$"):
        cls(1)


@pytest.mark.parametrize("name, _doc, expected", RECORDS, ids=IDS)
def test_assignment_stays_on_the_record(name, _doc, expected):
    cls = getattr(cnc, name)
    a, b = cls(), cls()
    for field, default in expected:
        setattr(a, field, ["own"] if isinstance(default, list) else "own")
    a.extra = 1
    assert all(getattr(b, f) is getattr(cls, f) for f, _ in expected)
    assert all(same(getattr(cls, f), d) for f, d in expected)
    assert not hasattr(b, "extra")


def test_used_tool_has_no_has_data():
    assert not hasattr(cnc.APIMachiningInfoUsedTool(), "has_data")
