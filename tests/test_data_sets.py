"""The two data sets: CNC parameters by address, virtual machine geometry by name."""

import json
import math

import cnc_api_client_core as cnc
import pytest
from conftest import wire
from fake_server import reply, reset, respond
from replies import GEOMETRY_FIELDS, geometry_element, record_defaults_untouched, strict  # noqa: F401

GET_PARAMETERS = '{"get":"cnc.parameters", "address":%s, "elements":%s}'
SET_PARAMETERS = '{"set":"cnc.parameters", "address":%s, "parameters":[%s]}'
GET_GEOMETRY = '{"get":"vm.geometry.info", "name":[%s]}'
SET_GEOMETRY = '{"set":"vm.geometry.info", "data":[%s]}'
TABLE_TEXT = (
    '{"name":"table","x":0.0,"y":0.0,"z":10.5,"color":255,"scale":1.0,'
    '"visible":true,"edges.angle":30.0,"edges.visible":false}'
)
AWKWARD_NAMES = ['quote"d', "back\\slash", "line\nfeed", '"],"set":"x', "\u00e9\u20ac\U0001f600", "tab\there", ""]


def requests_text(server):
    return [r.decode() for r in server.requests]


@pytest.fixture(params=["never-connected", "closed"])
def offline(request, core, server):
    """A client that is not connected, and the number of connections it made."""
    c = core.CncAPIClientCore()
    if request.param == "closed":
        assert c.connect(server.host, server.port) and c.close()
    return c, int(request.param == "closed")


# CNC parameters ------------------------------------------------------------


@pytest.mark.parametrize(
    "args, texts",
    [
        ((100, 3), ("100", "3")),
        ((-7, 0), ("-7", "0")),
        ((2**70, 1e16), (str(2**70), "1e+16")),
        ((2.5, True), ("2.5", "True")),  # integer arguments are written, not checked
    ],
)
def test_read_parameters(client, server, args, texts):
    server.script(reply({"res": {"parameters": [7, -0.5, 1e300], "address": 999}}))
    record = client.get_cnc_parameters(*args)
    assert requests_text(server) == [GET_PARAMETERS % texts]
    assert strict(vars(record)) == strict({"parameters": [7, -0.5, 1e300], "has_data": True})
    assert record.address == 0


@pytest.mark.parametrize(
    "values, text",
    [
        ([1, 2.5, -3], "1,2.5,-3"),
        ([5], "5"),
        ([1e-05, 1e16, 100.0], "1e-05,1e+16,100.0"),
        ([True, False, 0], "True,False,0"),
        (
            [0.0001, -0.0, 1e15, 0.1 + 0.2, 2**64],
            "0.0001,-0.0,1000000000000000.0,0.30000000000000004,18446744073709551616",
        ),
        ([math.nan, math.inf, -math.inf], "nan,inf,-inf"),
    ],
)
def test_write_parameters_request(client, server, values, text):
    assert client.set_cnc_parameters(100, values) is True
    assert requests_text(server) == [SET_PARAMETERS % ("100", text)]


@pytest.mark.parametrize(
    "line, result",
    [
        (b'{"res":"TRUE"}', True),
        (b'{"res":false}', False),
        (b'{"res":1}', False),
        (b"not json", False),
    ],
)
def test_write_parameters_judges_reply(client, server, line, result):
    server.script(reply(line))
    assert client.set_cnc_parameters(-1, [0]) is result
    assert requests_text(server) == [SET_PARAMETERS % ("-1", "0")]


@pytest.mark.parametrize("values", [[], None, [1, "x", 2], ["1"], [None], [1.5, [2]], [1, 2, {}], [b"1"]])
def test_write_parameters_refused_without_sending(client, server, values):
    assert client.set_cnc_parameters(7, values) is False
    assert client.is_connected is True
    assert wire(server, client) == b""


def test_write_parameters_tuple_raises(client, server):
    with pytest.raises(TypeError) as info:
        client.set_cnc_parameters(7, (1, 2))
    assert str(info.value) == "Argument 'values' has incorrect type (expected list, got tuple)"
    assert wire(server, client) == b""


def test_parameters_offline(offline, server):
    c, connections = offline
    assert c.set_cnc_parameters(100, [1]) is False
    record = c.get_cnc_parameters(100, 3)
    assert type(record) is cnc.APICncParameters and vars(record) == {}
    assert wire(server, c, connections) == b""


# Virtual machine geometry: read ----------------------------------------------


def expected_record(element, has_data=True):
    return {"has_data": has_data, **{field: element[key] for key, field in GEOMETRY_FIELDS.items()}}


def answer_each_name(request):
    return {"res": [geometry_element(name) for name in json.loads(request)["name"]]}


@pytest.mark.parametrize(
    "names, text",
    [
        (["base", "table"], '"base","table"'),
        (["base"], '"base"'),
        (AWKWARD_NAMES, ",".join(json.dumps(n) for n in AWKWARD_NAMES)),
    ],
    ids=["two", "one", "awkward"],
)
def test_read_geometry_request(client, server, names, text):
    server.script(respond(answer_each_name))
    records = client.get_vm_geometry_info(names)
    request = requests_text(server)
    assert request == [GET_GEOMETRY % text]
    assert json.loads(request[0]) == {"get": "vm.geometry.info", "name": names}
    assert [r.name for r in records] == names
    assert [r.has_data for r in records] == [n != "" for n in names]


GEOMETRY_REPLY = [
    geometry_element(
        "base", x=-1.5, y=2.25, z=0.0, color=65280, scale=0.5, visible=False, edges_angle=45.0, edges_visible=True
    ),
    geometry_element("spindle"),  # a reply may name other elements than those asked for
    geometry_element("", x="1.5", color=None, scale=[1], visible=1, edges_visible={"on": True}),
    geometry_element(7),
    geometry_element(None),
]


def test_read_geometry_fills_records_by_position(client, server):
    names = ["a", "b", "c", "d", "e"]
    extra = {**geometry_element("extra"), "zz.extra": 1}
    server.script(reply({"res": [{**e, "extra": [1]} for e in GEOMETRY_REPLY] + [extra], "more": 1}))
    records = client.get_vm_geometry_info(names)
    assert [type(r) for r in records] == [cnc.APIVMGeometryInfo] * 5
    assert len({id(r) for r in records}) == 5
    got = [strict(vars(r)) for r in records]
    assert got == [strict(expected_record(e, e["name"] != "")) for e in GEOMETRY_REPLY]


def element_lacking(key):
    element = geometry_element("b")
    del element[key]
    return element


@pytest.mark.parametrize(
    "res",
    [
        [geometry_element("a")],
        {"0": geometry_element("a"), "1": geometry_element("b")},
        [geometry_element("a"), {**element_lacking("edges.angle"), "edges": {"angle": 30.0}}],
        *[[geometry_element("a"), element_lacking(key)] for key in GEOMETRY_FIELDS],
        [geometry_element("a"), None],
        True,
    ],
    ids=["fewer", "object", "nested-key", *[f"no-{k}" for k in GEOMETRY_FIELDS], "null-element", "true"],
)
def test_read_geometry_bad_res_gives_none(client, server, res):
    server.script(reply({"res": res}))
    assert client.get_vm_geometry_info(["a", "b"]) is None
    assert client.is_connected is True


@pytest.mark.parametrize("line", [b"not json", b"{}", b"[]", b'{"res":"ab"}', b'{"res":[{}]', b'{"res":"\xc3\xa9"}'])
def test_read_geometry_malformed_reply_gives_none(client, server, line):
    server.script(reply(line))
    assert client.get_vm_geometry_info(["a"]) is None


def assert_default_records(records, count):
    assert [type(r) for r in records] == [cnc.APIVMGeometryInfo] * count
    assert all(vars(r) == {} for r in records)
    assert len({id(r) for r in records}) == count


@pytest.mark.parametrize("action", [reply(b""), reset()], ids=["empty-reply", "reset"])
def test_read_geometry_without_reply_gives_default_records(client, server, action):
    server.script(action)
    assert_default_records(client.get_vm_geometry_info(["a", "b", "c"]), 3)


def test_read_geometry_offline_gives_default_records(offline, server):
    c, connections = offline
    assert_default_records(c.get_vm_geometry_info(["base"]), 1)
    assert_default_records(c.get_vm_geometry_info(["a", "b"]), 2)
    assert wire(server, c, connections) == b""


@pytest.mark.parametrize("names", [[], None, ["base", 5], [5], ["a", None], ["a", b"b"]])
def test_read_geometry_refused_without_sending(client, server, names):
    assert client.get_vm_geometry_info(names) is None
    assert wire(server, client) == b""


# Virtual machine geometry: write ---------------------------------------------


def geometry(name="table", **fields):
    record = cnc.APIVMGeometryInfo()
    record.name = name
    for k, v in {"z": 10.5, "color": 255, "scale": 1.0, "visible": True, "edges_angle": 30.0, **fields}.items():
        setattr(record, k, v)
    return record


class DerivedGeometry(cnc.APIVMGeometryInfo):
    pass


def derived():
    record = DerivedGeometry()
    record.name = "derived"
    return record


@pytest.mark.parametrize(
    "make, data",
    [
        (lambda: [geometry()], TABLE_TEXT),
        (
            lambda: [geometry(has_data=True, extra=1), geometry("base", x=-2, visible=False, edges_visible=True)],
            TABLE_TEXT + ',{"name":"base","x":-2,"y":0.0,"z":10.5,"color":255,"scale":1.0,'
            '"visible":false,"edges.angle":30.0,"edges.visible":true}',
        ),
        (
            lambda: [
                geometry(
                    "n",
                    x=1e-05,
                    y=1e16,
                    z=math.nan,
                    color=-3,
                    scale=math.inf,
                    visible=1,
                    edges_angle=-0.0,
                    edges_visible="YES",
                )
            ],
            '{"name":"n","x":1e-05,"y":1e+16,"z":nan,"color":-3,"scale":inf,'
            '"visible":1,"edges.angle":-0.0,"edges.visible":yes}',
        ),
        (
            lambda: [geometry("n", visible=None, edges_visible=False), derived()],
            '{"name":"n","x":0.0,"y":0.0,"z":10.5,"color":255,"scale":1.0,"visible":none,"edges.angle":30.0,'
            '"edges.visible":false},{"name":"derived","x":0.0,"y":0.0,"z":0.0,"color":0,"scale":0.0,'
            '"visible":false,"edges.angle":0.0,"edges.visible":false}',
        ),
    ],
    ids=["one", "two", "value-forms", "none-and-derived"],
)
def test_write_geometry_request(client, server, make, data):
    assert client.set_vm_geometry_info(make()) is True
    assert requests_text(server) == [SET_GEOMETRY % data]


def test_write_geometry_names_are_json_strings(client, server):
    assert client.set_vm_geometry_info([geometry(n) for n in AWKWARD_NAMES]) is True
    [request] = requests_text(server)
    objects = [TABLE_TEXT.replace('"table"', json.dumps(n)) for n in AWKWARD_NAMES]
    assert request == SET_GEOMETRY % ",".join(objects)
    assert [e["name"] for e in json.loads(request)["data"]] == AWKWARD_NAMES


@pytest.mark.parametrize("line, result", [(b'{"res":"True"}', True), (b'{"res":false}', False), (b"[]", False)])
def test_write_geometry_judges_reply(client, server, line, result):
    server.script(reply(line))
    assert client.set_vm_geometry_info([geometry()]) is result


@pytest.mark.parametrize(
    "make",
    [
        lambda: [],
        lambda: None,
        lambda: [geometry(), object()],
        lambda: [geometry(), {"name": "x"}],
        lambda: [cnc.APICncInfo()],
        lambda: [geometry(5)],
        lambda: [geometry(), geometry(None)],
    ],
    ids=["empty", "none", "object", "dict", "other-record", "int-name", "none-name"],
)
def test_write_geometry_refused_without_sending(client, server, make):
    assert client.set_vm_geometry_info(make()) is False
    assert client.is_connected is True
    assert wire(server, client) == b""


def test_write_geometry_tuple_raises(client, server):
    with pytest.raises(TypeError) as info:
        client.set_vm_geometry_info((geometry(),))
    assert str(info.value) == "Argument 'values' has incorrect type (expected list, got tuple)"
    with pytest.raises(TypeError) as info:
        client.get_vm_geometry_info(("base",))
    assert str(info.value) == "Argument 'names' has incorrect type (expected list, got tuple)"
    assert wire(server, client) == b""


def test_write_geometry_offline(offline, server):
    c, connections = offline
    assert c.set_vm_geometry_info([geometry()]) is False
    assert wire(server, c, connections) == b""
