"""Peak memory of large requests and replies.

A reply line should cost its bytes once while it arrives plus the text made
from them; a program request one copy beyond json.dumps' result (the generic
path also needs the bytes it hands to `sendall`). Measured as the growth of
the peak resident size of a child interpreter, in units of the line's size.
"""

from __future__ import annotations

import json
import os

import pytest
from child import assert_clean_exit, run_child
from fake_server import FakeServer, respond

SIZE = 34 << 20  # just above a power of two, where a doubling buffer wastes most

CHILD = r"""
import json, socket, sys
import cnc_api_client_core as cnc

port, path, what, size = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])

class Generic(socket.socket):
    pass

client = cnc.CncAPIClientCore()
if path == "generic":
    client.ipc.close()
    client.ipc = Generic()
assert client.connect("127.0.0.1", port)
text = "G" * size
assert client.cnc_start()  # everything a call needs is loaded before measuring

def peak():
    # VmHWM is this process's own high-water mark (ru_maxrss can carry the parent's over exec)
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) * 1024

before = peak()
if what == "reply":
    result = len(client._CncAPIClientCore__send_command('{"get":"big"}'))
else:
    result = client.program_gcode_set_text(text)
print(json.dumps({"growth": (peak() - before) / size, "result": result}))
"""


def big_reply(request: bytes) -> bytes:
    if b"big" in request:
        return b'{"res":"' + b"x" * (SIZE - 10) + b'"}'
    return b'{"res":true}'


@pytest.mark.parametrize(
    "path, what, most",
    [
        ("native", "reply", 2.4),
        ("native", "request", 2.4),
        ("generic", "request", 3.4),
    ],
)
def test_peak_memory(core, path, what, most, monkeypatch):
    if "ASAN_OPTIONS" in os.environ:
        # the sanitizer's quarantine keeps freed blocks (the generic path's send pieces) from reuse
        monkeypatch.setenv("ASAN_OPTIONS", os.environ["ASAN_OPTIONS"] + ":quarantine_size_mb=1")
    with FakeServer(default=respond(big_reply)) as server:
        proc = run_child(CHILD, server.port, path, what, SIZE, timeout=120)
    assert_clean_exit(proc)
    out = json.loads(proc.stdout)
    assert out["result"] == (SIZE if what == "reply" else True)
    assert out["growth"] < most, out
