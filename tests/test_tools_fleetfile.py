"""The tools' fleet file reader and the fleet split between processes."""

from __future__ import annotations

import pytest
from cnc_api_tools.fleetfile import FleetFileError, FleetMachine, load_fleet
from cnc_api_tools.shard import parse_shard, select, shard_of

FULL = """
[defaults]
host = "10.0.0.9"
poll_rate = 2
kind = "mill"
[defaults.labels]
site = "plant1"
line = "A"

[[machine]]
name = "mill-1"
address = "10.0.0.5:8001"
labels = { line = "B", cell = "c1" }
poll_rate = 0.5
axes = "XYZ"
limits = { X = [-200.0, 200.0] }
[machine.faults]
latency = 0.05

[[machine]]
name = "lathe_2.a"
port = 8002

[[machine]]
name = "v6"
address = "[::1]:8003"
"""


def test_fleet_file_merges_defaults_and_ignores_simulator_keys(tmp_path):
    path = tmp_path / "fleet.toml"
    path.write_text(FULL)
    assert load_fleet(path) == [
        FleetMachine("mill-1", "10.0.0.5", 8001, {"site": "plant1", "line": "B", "cell": "c1"}, 0.5),
        FleetMachine("lathe_2.a", "10.0.0.9", 8002, {"site": "plant1", "line": "A"}, 2.0),
        FleetMachine("v6", "::1", 8003, {"site": "plant1", "line": "A"}, 2.0),
    ]


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ('[[machine]]\nname = "a"\naddress = "h:1"\n[extra]\n', "unknown top-level key 'extra'"),
        ('[[machine]]\nname = "a"\naddres = "h:1"\n', "machine 'a': unknown key 'addres'"),
        ('[[machine]]\naddress = "h:1"\n', "machine #1: key 'name' is missing"),
        ('[[machine]]\nname = "a b"\naddress = "h:1"\n', "machine #1: key 'name'"),
        ('[[machine]]\nname = "a"\naddress = "h:1"\n[[machine]]\nname = "a"\naddress = "h:2"\n', "name used twice"),
        ('[[machine]]\nname = "a"\naddress = "h:1"\n[[machine]]\nname = "b"\naddress = "H:1"\n', "same address as"),
        ('[[machine]]\nname = "a"\naddress = "h"\n', "has no port"),
        ('[[machine]]\nname = "a"\naddress = "h:99999"\n', "bad port"),
        ('[[machine]]\nname = "a"\n', "no address"),
        ('[[machine]]\nname = "a"\naddress = "h:1"\nport = 2\n', "either 'address' or 'host' and 'port'"),
        ('[[machine]]\nname = "a"\nport = true\n', "key 'port'"),
        ('[[machine]]\nname = "a"\nport = 1\npoll_rate = 0\n', "key 'poll_rate'"),
        ('[[machine]]\nname = "a"\nport = 1\npoll_rate = "fast"\n', "key 'poll_rate'"),
        ('[defaults]\npoll_rate = inf\n[[machine]]\nname = "a"\nport = 1\n', "[defaults]: key 'poll_rate'"),
        ('[[machine]]\nname = "a"\nport = 1\nlabels = { cell = 3 }\n', "label 'cell': must be a string"),
        ('[[machine]]\nname = "a"\nport = 1\nlabels = { "9x" = "v" }\n', "label '9x'"),
        ('[[machine]]\nname = "a"\nport = 1\nlabels = { cell = "a\\nb" }\n', "no control characters"),
        ("machine = 3\n", "array of tables"),
        ("[defaults]\n", "no machines"),
        ("[[machine]\n", "not valid TOML"),
        (b"[[machine]]\nname = '\xff'\n", "not valid TOML: not UTF-8 text"),
    ],
)
def test_fleet_file_refuses_with_one_line(tmp_path, text, expected):
    path = tmp_path / "f.toml"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(FleetFileError) as caught:
        load_fleet(path)
    message = str(caught.value)
    assert expected in message
    assert message.startswith(str(path)) and "\n" not in message


def test_fleet_file_missing(tmp_path):
    with pytest.raises(FleetFileError, match="cannot read"):
        load_fleet(tmp_path / "none.toml")


def test_shards_cover_the_fleet_once_and_growing_moves_only_the_new_share():
    names = [f"m-{i}" for i in range(600)]
    parts = [select(names, k, 3) for k in (1, 2, 3)]
    assert sorted(sum(parts, [])) == sorted(names)
    assert all(150 < len(p) < 250 for p in parts)
    # A fourth process takes machines only from the others; none moves between the first three.
    assert all(shard_of(n, 4) in (shard_of(n, 3), 4) for n in names)
    # Fixed values: the split must not change between processes, interpreters or releases.
    assert [shard_of(n, 4) for n in ("mill-1", "mill-2", "lathe-7", "laser")] == [4, 3, 3, 2]


@pytest.mark.parametrize("text", ["0/2", "3/2", "1", "a/b", "1/0", "1/99999", "-1/2"])
def test_parse_shard_refuses(text):
    with pytest.raises(ValueError, match="shard"):
        parse_shard(text)
