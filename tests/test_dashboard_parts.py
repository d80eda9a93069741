"""The dashboard's pure parts: reading reported points, move kinds from program text, thinning a
path, finding program files, durations, listen addresses and machine arguments."""

from __future__ import annotations

import math
import os
import tracemalloc

import pytest
from cnc_api_tools.dashboard.command import parse_machine
from cnc_api_tools.dashboard.model import number, parse_duration
from cnc_api_tools.dashboard.path import FEED, RAPID, ToolPath, build_path, motion_moves, point_of, simplify
from cnc_api_tools.dashboard.programs import ProgramFiles, base_name, window

# The listen checks live beside the server, which loads uvicorn and starlette: they are imported
# by the tests that use them, not by every worker that collects this module.


@pytest.mark.parametrize(
    ("entry", "expected"),
    [
        ([1, 2, 3], ((1.0, 2.0, 3.0), None)),
        ((1.5, -2, 0), ((1.5, -2.0, 0.0), None)),
        ([1, 2], ((1.0, 2.0, 0.0), None)),
        ([1, 2, 3, 45, 90, 0], ((1.0, 2.0, 3.0), None)),  # rotary axes after X Y Z
        ({"x": 1, "y": 2, "z": 3, "type": "rapid"}, ((1.0, 2.0, 3.0), RAPID)),
        ({"X": 1, "Y": 2, "Kind": "G01"}, ((1.0, 2.0, 0.0), FEED)),
        ({"position": [4, 5, 6], "g": 0}, ((4.0, 5.0, 6.0), RAPID)),
        ({"pos": [4, 5, 6], "motion": 2}, ((4.0, 5.0, 6.0), FEED)),
        ({"x": 1, "y": 2, "rapid": False}, ((1.0, 2.0, 0.0), FEED)),
        ({"x": 1, "y": 2, "fast": True}, ((1.0, 2.0, 0.0), RAPID)),
        ({"x": 1, "y": 2, "type": "spline"}, ((1.0, 2.0, 0.0), None)),
        ({"x": 1, "y": 2, "type": 0.5}, ((1.0, 2.0, 0.0), None)),
        ({"x": 1, "y": 2, "type": True}, ((1.0, 2.0, 0.0), None)),
        ([1], None),
        ([True, 2, 3], None),
        (["1", 2, 3], None),
        ([math.nan, 2, 3], None),
        ([1, math.inf, 3], None),
        ([1.0, 2.0, math.nan], None),
        ([10**400, 0, 0], None),  # an integer no float holds
        ({"x": 1}, None),
        ({"x": 1, "y": "2"}, None),
        ("1,2,3", None),
        (None, None),
        (7, None),
    ],
)
def test_point_of_reads_the_shapes_a_control_may_report(entry, expected):
    assert point_of(entry) == expected


PLAIN = """%
(part; G0 in a comment is no move)
N10 G21 G90
N20 G0 X0 Y0 Z5
N30 g1 z-1 f600 ; lower case works too
N40 X10
N50 Y10 (modal G1)
N60 G2 X20 Y0 I5 J-5
N70 G0 Z5
N80 G4 P1
N90 G92 X0 Y0
N100 M30
"""


def test_motion_moves_follow_modal_motion_and_skip_non_moves():
    assert motion_moves(PLAIN.splitlines()) == [(RAPID, 4), (FEED, 5), (FEED, 6), (FEED, 7), (FEED, 8), (RAPID, 9)]


@pytest.mark.parametrize(
    "block",
    ["#1 = 5", "G1 X[1+2]", "O100 sub", "G28 X0", "G30", "G53 G0 Z0", "G81 X1 Y1 Z-2 R1", "M98 P100", "G38.2 Z-10"],
)
def test_motion_moves_give_up_on_what_does_not_map_one_for_one(block):
    assert motion_moves(["G0 X0 Y0", block, "G1 X1"]) is None


@pytest.mark.parametrize(
    ("entries", "program", "kinds"),
    [
        ([[0, 0, 5], [0, 0, -1], [10, 0, -1]], ["G0 X0 Y0 Z5", "G1 Z-1", "X10"], b"011"),
        ([[0, 0, 5], [0, 0, -1]], ["G0 X0 Y0 Z5", "G1 Z-1", "X10"], None),  # one point short: kinds unknown
        ([[0, 0, 5], [0, 0, -1], [10, 0, -1]], None, None),
        ([{"x": 0, "y": 0, "type": "rapid"}, {"x": 1, "y": 0}], ["G1 X0", "G1 X1"], b"01"),  # reported kinds win
        ([[0, 0, 5], "junk", [1, 1, 1]], ["G0 X0", "G1 X1", "G1 X2"], None),  # a skipped entry spoils the mapping
    ],
)
def test_build_path_tells_rapid_from_feed_where_it_can(entries, program, kinds):
    path = build_path(entries, program)
    assert path.kinds == kinds
    assert path.reported == len(entries)
    assert path.count + path.skipped == len(entries)


def test_points_map_to_program_lines_through_thinning():
    program = ["(part)", "G0 X0 Y0", "G1 X0.000001 F100", "G1 X0.000002", "", "G1 X50", "G0 X50 Y50", "M30"]
    entries = [[0.0, 0.0, 0.0], [1e-6, 0.0, 0.0], [2e-6, 0.0, 0.0], [50.0, 0.0, 0.0], [50.0, 50.0, 0.0]]
    path = build_path(entries, program)
    assert path.lines == [2, 3, 4, 6, 7]
    thin = simplify(path)
    assert thin.count == 4 and thin.lines == [2, 3, 6, 7]  # each kept point keeps its own line
    assert thin.as_json(3)["lines"] == [2, 3, 6, 7]
    assert build_path(entries).as_json(1)["lines"] is None  # no program text: no lines


@pytest.mark.parametrize("value", [None, {"points": []}, "points", 12])
def test_build_path_of_a_value_that_is_no_list_is_empty(value):
    path = build_path(value)
    assert path.count == 0 and path.bounds() is None and path.as_json(1)["bounds"] is None


def test_simplify_drops_only_points_too_close_to_see():
    xyz: list[float] = []
    for i in range(1001):  # 1000 tiny steps along X, then a rapid jump, then a last feed point
        xyz += [i * 1e-6, 0.0, 0.0]
    xyz += [100.0, 0.0, 0.0, 100.0, 50.0, 0.0]
    kinds = b"0" + b"1" * 1000 + b"0" + b"1"
    thin = simplify(ToolPath(xyz, kinds, 1003))
    assert thin.count == 5 and thin.simplified == 998
    # kept: the start, both ends of the feed run, the rapid jump and the last point
    assert thin.xyz == [0.0, 0.0, 0.0, 1e-6, 0.0, 0.0, 1000e-6, 0.0, 0.0, 100.0, 0.0, 0.0, 100.0, 50.0, 0.0]
    assert thin.kinds == b"01101"
    unknown = simplify(ToolPath(xyz, None, 1003))
    assert unknown.count == 3 and unknown.kinds is None  # without kinds only distance counts


@pytest.mark.parametrize(
    "xyz",
    [[], [1.0, 2.0, 3.0], [1.0, 2.0, 3.0] * 5, [0.0, 0.0, 0.0, 1.0, 1.0, 1.0]],
    ids=["empty", "one", "same", "two"],
)
def test_simplify_leaves_degenerate_paths_alone(xyz):
    path = ToolPath(xyz, None, len(xyz) // 3)
    assert simplify(path).xyz == xyz


@pytest.mark.parametrize(
    ("reported", "name"),
    [
        ("part.nc", "part.nc"),
        ("C:\\CNC\\Programs\\part.nc", "part.nc"),
        ("/home/cnc/programs/part.nc", "part.nc"),
        ("../../etc/passwd", "passwd"),
        ("..", ""),
        ("folder/", ""),
        ("", ""),
        ("a\x00b.nc", ""),
    ],
)
def test_base_name_keeps_only_the_files_own_name(reported, name):
    assert base_name(reported) == name


def test_program_files_are_found_by_name_inside_their_folders_only(tmp_path):
    first, second, outside = tmp_path / "first", tmp_path / "second", tmp_path / "outside"
    for folder in (first, second, outside):
        folder.mkdir()
    (second / "part.nc").write_text("G0 X0\nG1 X1\n")
    (outside / "secret.nc").write_text("not yours")
    os.symlink(outside / "secret.nc", first / "link.nc")
    (first / "dir.nc").mkdir()
    files = ProgramFiles([str(first), str(second)])
    text = files.read("C:\\somewhere\\part.nc")
    assert text is not None and list(text.lines) == ["G0 X0", "G1 X1"]
    assert files.read("../outside/secret.nc") is None
    assert files.read("link.nc") is None  # a link out of the folder is not followed
    assert files.read("dir.nc") is None and files.read("missing.nc") is None
    assert ProgramFiles([]).read("part.nc") is None


def test_program_text_is_read_again_when_the_file_changes(tmp_path):
    program = tmp_path / "p.nc"
    program.write_text("G0 X0\n")
    files = ProgramFiles([str(tmp_path)])
    first = files.read("p.nc")
    assert files.read("p.nc") is first  # unchanged: the cached text
    program.write_text("G0 X0\nG1 X5\n")
    os.utime(program, ns=(1, 1))
    second = files.read("p.nc")
    assert second is not None and list(second.lines) == ["G0 X0", "G1 X5"]


@pytest.mark.parametrize(
    ("data", "lines"),
    [
        (b"", []),
        (b"G0 X0", ["G0 X0"]),
        (b"G0\r\nG1\r\n", ["G0", "G1"]),
        (b"\n\nG1\n", ["", "", "G1"]),
        (b"(\xc3\xa9t\xff)\nM30", ["(\u00e9t\ufffd)", "M30"]),  # bad bytes replaced
        (b"G1 X1\n" * 300_000, ["G1 X1"] * 300_000),  # lines across the blocks it is indexed in
    ],
    ids=["empty", "no-newline", "crlf", "blank-lines", "utf8-and-bad-bytes", "long"],
)
def test_program_lines_are_the_files_lines(tmp_path, data, lines):
    (tmp_path / "p.nc").write_bytes(data)
    text = ProgramFiles([str(tmp_path)]).read("p.nc")
    assert text is not None and len(text.lines) == len(lines) and list(text.lines) == lines
    if lines:
        assert text.lines[-1] == lines[-1] and text.lines[:3] == lines[:3]


def test_a_long_program_of_short_lines_is_kept_compact(tmp_path):
    data = b"".join(b"G1 X%d\n" % (i % 10) for i in range(150_000))
    (tmp_path / "p.nc").write_bytes(data)
    files = ProgramFiles([str(tmp_path)])
    tracemalloc.start()
    try:
        text = files.read("p.nc")
        kept = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert text is not None and len(text.lines) == 150_000
    assert kept < 2.5 * len(data)  # a list of str would hold some ten times the file


@pytest.mark.parametrize(
    ("current", "first", "count"),
    [(1, 1, 13), (0, 1, 13), (50, 42, 21), (100, 92, 9), (500, 92, 9)],
)
def test_window_around_the_current_line(current, first, count):
    lines = [f"N{i}" for i in range(1, 101)]
    shown = window(lines, current, before=8, after=12)
    assert (shown["first"], len(shown["lines"]), shown["total"]) == (first, count, 100)
    assert shown["lines"][0] == f"N{first}"


@pytest.mark.parametrize(
    ("value", "seconds"),
    [
        ("00:42:17", 2537.0),
        ("1:02:03.5", 3723.5),
        ("05:30", 330.0),
        ("1.02:00:00", 93600.0),
        ("100:00:00", 360000.0),
        (90, 90.0),
        (12.5, 12.5),
        (-1, None),
        ("soon", None),
        ("", None),
        (None, None),
        (True, None),
    ],
)
def test_parse_duration(value, seconds):
    assert parse_duration(value) == seconds


@pytest.mark.parametrize(
    ("value", "result"),
    [(3, 3), (2.5, 2.5), (True, None), (math.nan, None), (-math.inf, None), (2**60, None), ("1", None), (None, None)],
)
def test_number_keeps_only_finite_numbers_a_browser_holds(value, result):
    assert number(value) == result


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("127.0.0.1:8050", ("127.0.0.1", 8050)),
        ("0.0.0.0:80", ("0.0.0.0", 80)),
        ("9000", ("127.0.0.1", 9000)),
        ("localhost", ("localhost", 8050)),
        ("[::1]:0", ("::1", 0)),
        ("::1", ("::1", 8050)),
    ],
)
def test_parse_listen(text, expected):
    from cnc_api_tools.dashboard.server import parse_listen

    assert parse_listen(text) == expected


@pytest.mark.parametrize("text", [":8050", "host:99999", "host:http", "[::1]x", ""])
def test_parse_listen_refuses(text):
    from cnc_api_tools.dashboard.server import parse_listen

    with pytest.raises(ValueError):
        parse_listen(text)


@pytest.mark.parametrize(
    ("host", "loopback"),
    [
        ("127.0.0.1", True),
        ("127.8.9.10", True),
        ("::1", True),
        ("localhost", True),
        ("0.0.0.0", False),
        ("::", False),
        ("192.0.2.10", False),
        ("10.1.2.3", False),
    ],
)
def test_is_loopback(host, loopback):
    from cnc_api_tools.dashboard.server import is_loopback

    assert is_loopback(host) is loopback


@pytest.mark.parametrize(
    ("host", "allow", "token", "refused"),
    [
        ("127.0.0.1", True, None, False),
        ("0.0.0.0", True, None, True),
        ("0.0.0.0", True, "secret", False),
        ("0.0.0.0", False, None, False),  # read-only anywhere
        ("127.0.0.1", True, "", True),
    ],
)
def test_control_needs_loopback_or_a_token(host, allow, token, refused):
    from cnc_api_tools.dashboard.server import control_listen_error

    assert (control_listen_error(host, allow, token) is not None) is refused


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("10.0.0.5", ("10.0.0.5:8000", "10.0.0.5", 8000)),
        ("10.0.0.5:9000", ("10.0.0.5:9000", "10.0.0.5", 9000)),
        ("mill-3=10.0.0.5:9000", ("mill-3", "10.0.0.5", 9000)),
        ("=cnc.local", ("cnc.local:8000", "cnc.local", 8000)),
        ("[fe80::1]:7000", ("[fe80::1]:7000", "fe80::1", 7000)),
    ],
)
def test_parse_machine(text, expected):
    assert parse_machine(text) == expected
