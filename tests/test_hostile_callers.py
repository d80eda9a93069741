"""Callers that turn the module's own objects against it: record classes that
run code while being filled, and subclasses whose private methods call each
other. Each case runs in a child interpreter and must end cleanly."""

from __future__ import annotations

import json

import pytest
from child import assert_clean_exit, run_child
from fake_server import FakeServer, respond

GEOMETRY = json.dumps(
    {
        "res": [
            {
                "name": n,
                "x": 1.0,
                "y": 2.0,
                "z": 3.0,
                "color": 4,
                "scale": 1.0,
                "visible": True,
                "edges.angle": 30.0,
                "edges.visible": False,
            }
            for n in ("a", "b", "c")
        ]
    }
)

# A record class whose attribute setting empties every list that holds the
# record, so only the module's own references keep it alive.
CLEARING_RECORD = r"""
import gc, json, sys
import cnc_api_client_core as cnc

class Clearing(cnc.APIVMGeometryInfo):
    def __setattr__(self, name, value):
        for holder in gc.get_referrers(self):
            if type(holder) is list:
                holder.clear()
        gc.collect()
        object.__setattr__(self, name, value)

cnc.APIVMGeometryInfo = Clearing
client = cnc.CncAPIClientCore()
assert client.connect("127.0.0.1", int(sys.argv[1]))
records = client.get_vm_geometry_info(["a", "b", "c"])
print(json.dumps(None if records is None else [[r.name, r.has_data] for r in records]))
"""


def test_record_class_clearing_the_result_list(core):
    with FakeServer(default=respond(lambda _: GEOMETRY)) as server:
        proc = run_child(CLEARING_RECORD, server.port)
    assert_clean_exit(proc)
    assert json.loads(proc.stdout) == [["a", True], ["b", True], ["c", True]]


# Private methods aliased so that the module's methods call each other forever.
ALIASED = r"""
import json, sys
import cnc_api_client_core as cnc

which = sys.argv[2]

class Looping(cnc.CncAPIClientCore):
    pass

if which == "send-is-execute":
    Looping._CncAPIClientCore__send_command = cnc.CncAPIClientCore._CncAPIClientCore__execute_request
else:
    Looping.get_axes_info = cnc.CncAPIInfoContext.update

client = Looping()
assert client.connect("127.0.0.1", int(sys.argv[1]))
out = {}
if which == "send-is-execute":
    out["cnc_start"] = client.cnc_start()
    out["has_data"] = client.get_cnc_info().has_data
    out["send"] = client._CncAPIClientCore__send_command('{"cmd":"cnc.start"}')
else:
    client._CncAPIInfoContext__api = client  # update() asks the client itself for axes: update() again
    try:
        cnc.CncAPIInfoContext.update(client)
    except RecursionError:
        out["update"] = "RecursionError"
out["connected"] = client.is_connected
print(json.dumps(out))
"""


@pytest.mark.parametrize(
    "which, expected",
    [
        ("send-is-execute", {"cnc_start": False, "has_data": False, "send": False, "connected": True}),
        ("update-is-a-query", {"update": "RecursionError", "connected": True}),
    ],
)
def test_private_methods_calling_each_other(core, which, expected):
    with FakeServer() as server:
        proc = run_child(ALIASED, server.port, which)
    assert_clean_exit(proc)
    assert json.loads(proc.stdout) == expected
