import math

import cnc_api_client_core as cnc
import pytest
from cnc_api_tools import as_dict, diff, field_names, records_equal, summary
from tools_helpers import SAMPLE, sim  # noqa: F401

QUERIES = [
    "get_cnc_info",
    "get_axes_info",
    "get_compile_info",
    "get_enabled_commands",
    "get_machining_info",
    "get_system_info",
    "get_scan3d_info",
    "get_analog_inputs",
    "get_analog_outputs",
    "get_digital_inputs",
    "get_digital_outputs",
    "get_programmed_points",
]


@pytest.fixture
def client(sim):  # noqa: F811
    c = cnc.CncAPIClientCore()
    assert c.connect("127.0.0.1", sim.port)
    with open(SAMPLE) as f:
        assert c.program_gcode_set_text(f.read())
    yield c
    c.close()


@pytest.mark.parametrize("query", QUERIES)
def test_as_dict_and_summary_of_every_query_record(client, query):
    record = getattr(client, query)()
    assert record.has_data
    d = as_dict(record)
    assert list(d) == field_names(record)
    assert all(d[k] == getattr(record, k) or isinstance(d[k], list) for k in d)
    line = summary(record)
    assert "\n" not in line and line.startswith(type(record).__name__ + ": ") and "no data" not in line


def test_nested_used_tools_become_dicts(client):
    d = as_dict(client.get_machining_info())
    assert d["used_tool"] == [
        {"tool_id": 1, "in_fast": 11.0, "in_feed": 76.0},
        {"tool_id": 3, "in_fast": 34.0, "in_feed": 9.0},
    ]


def test_geometry_records_in_a_list(client):
    records = client.get_vm_geometry_info(["table"])
    assert records and as_dict(records[0])["name"] == "table"


def test_as_dict_never_aliases_the_class_default_lists():
    d = as_dict(cnc.APIAxesInfo())
    d["machine_position"].append(99.0)
    assert cnc.APIAxesInfo.machine_position == [0.0] * 6
    assert as_dict(cnc.APIDigitalInputs())["value"] == [0] * 128


def test_as_dict_keeps_attributes_added_to_a_record():
    r = cnc.APICompileInfo()
    r.note = "mine"
    assert as_dict(r)["note"] == "mine"


@pytest.mark.parametrize("value", [None, 5, {"has_data": True}, cnc.CncAPIClientCore])
def test_non_records_are_refused(value):
    with pytest.raises(TypeError):
        as_dict(value)


def _info(**fields):
    r = cnc.APICncInfo()
    for k, v in fields.items():
        setattr(r, k, v)
    return r


@pytest.mark.parametrize(
    ("a", "b", "equal"),
    [
        (_info(), _info(), True),
        (_info(gcode_line=3), _info(gcode_line=3), True),
        (_info(gcode_line=3), _info(gcode_line=4), False),
        (_info(gcode_line=1), _info(gcode_line=1.0), False),  # a reply can carry either
        (_info(gcode_line=1), _info(gcode_line=True), False),
        (_info(tool_diameter=math.nan), _info(tool_diameter=math.nan), True),
        (cnc.APIAnalogInputs(), cnc.APIAnalogOutputs(), False),  # same fields, other class
    ],
)
def test_records_equal(a, b, equal):
    assert records_equal(a, b) is equal
    assert records_equal(b, a) is equal


def test_equal_records_from_two_queries(client):
    assert records_equal(client.get_machining_info(), client.get_machining_info())
    m = client.get_machining_info()
    m.used_tool = [cnc.APIMachiningInfoUsedTool()]
    assert not records_equal(m, client.get_machining_info())


def test_diff_names_changed_fields():
    assert diff(_info(gcode_line=2), _info(gcode_line=5, feed_target=10)) == {
        "gcode_line": (2, 5),
        "feed_target": (0, 10),
    }
    with pytest.raises(TypeError):
        diff(cnc.APICncInfo(), cnc.APIAxesInfo())


@pytest.mark.parametrize(
    ("record", "expected"),
    [
        (cnc.APICncInfo(), "APICncInfo: no data"),
        (_info(has_data=True, state_machine=4, gcode_line=12), "state=ALARM line=12"),
        (_info(has_data=True, state_machine=250), "state=UNKNOWN_250"),
    ],
)
def test_summary_names_codes(record, expected):
    assert expected in summary(record)


def test_summary_of_a_compile_error():
    r = cnc.APICompileInfo()
    r.has_data, r.state, r.code, r.message, r.file_name, r.file_line = True, 2, 7, "bad word", "part.nc", 12
    assert summary(r) == "APICompileInfo: state=ERROR code=7 'bad word' at part.nc:12"
