"""The simulator's G-code: each construct on a small program whose end point, path
lengths or error are worked out by hand."""

import math

import pytest
from sim_helpers import (
    CS_ERROR,
    CS_FIRST_STEP,
    CS_READY,
    Conn,
    MachineConfig,
    Simulator,
    analyse,
    ask,
    end_point,
    new_machine,
    storage,
)
from tools_helpers import wait_for

PI = math.pi


@pytest.fixture
def machine(tmp_path):
    m = new_machine(tmp_path)
    yield m
    m.close()


def approx(values, tol=1e-4):
    return pytest.approx(values, abs=tol)


@pytest.mark.parametrize(
    "text, end",
    [
        # numbered and named parameters, operators, functions
        ("#1=3\n#<d>=[#1*2]\n#<_g>=1\nG0 X#<d> Y[2**3] Z[10 MOD 4]", [6, 8, 2]),
        ("G0 X[ABS[-2]+SQRT[16]] Y[ATAN[1]/[1]] Z[ROUND[2.5]]", [6, 45, 3]),
        ("G0 X[FIX[-1.5]] Y[FUP[1.2]] Z[EXISTS[#<nothing>]]", [-2, 2, 0]),
        ("G0 X[1 GT 0 AND 2 LT 1] Y[1 EQ 1 OR 0] Z[1 XOR 1]", [0, 1, 0]),
        ("G0 X[COS[60]*4] Y[SIN[30]*4] Z[-LN[EXP[2]]]", [2, 2, -2]),
        ("#1=2\n#2=#1+3*2\nG0 X#2 Y-#1 Z[#[1]]", [8, -2, 2]),  # macro-style assignment without brackets
        ("#5=1\n##5=7\nG0 X#1", [7, 0, 0]),  # indirect parameter
        ("#1=1 #2=#1\nG0 X#2", [0, 0, 0]),  # a line reads its parameters before setting any
        # polar coordinates, incremental and lathe-style U/W words
        ("G0 @10 ^90", [0, 10, 0]),
        ("G0 X1 Y1\nG91 G0 @2 ^0", [3, 1, 0]),
        ("G0 X5 Z5\nG0 U1 W-2", [6, 0, 3]),
        ("G20 G0 X1 Y0.5", [25.4, 12.7, 0]),
    ],
)
def test_values_and_coordinates(machine, text, end):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    assert end_point(machine) == approx(end)


@pytest.mark.parametrize(
    "text, end, feed_length",
    [
        ("G0 X0 Y0\nG2 X10 Y0 R5 F100", [10, 0, 0], 5 * PI),  # half circle, right way up
        ("G2 X5 Y5 R-5 F100", [5, 5, 0], 1.5 * PI * 5),  # negative R: the long way round
        ("G3 X5 Y5 R5 F100", [5, 5, 0], 0.5 * PI * 5),
        ("G3 X0 Y0 Z-3 I5 J0 F100", [0, 0, -3], math.hypot(10 * PI, 3)),  # helical full turn
        ("G2 X0 Y0 I5 P2 F100", [0, 0, 0], 20 * PI),  # two turns
        ("G18 G2 X10 Z0 I5 K0 F100", [10, 0, 0], 5 * PI),  # XZ plane
        ("G18 G0 X10 Z0\nG3 X10 Z-10 R5 F100", [10, 0, -10], 5 * PI),
        ("G19 G2 Y0 Z10 J0 K5 F100", [0, 0, 10], 5 * PI),  # YZ plane
        ("G90.1 G0 X10 Y0\nG3 X0 Y10 I0 J0 F100", [0, 10, 0], 5 * PI),  # absolute centre
    ],
)
def test_arcs(machine, text, end, feed_length):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    assert end_point(machine) == approx(end)
    assert ask(machine, {"get": "machining.info"})["tool.path"]["in.feed"] == approx(feed_length, 1e-3)


def test_arc_bulge_widens_extents(machine):
    analyse(machine, "G0 X0 Y0\nG2 X10 Y0 I5 J0 F100")  # clockwise from the left: over the top
    feed = ask(machine, {"get": "machining.info"})["tcp.extents.in.feed"]
    assert (feed["min.y"], feed["max.y"], feed["length.x"]) == approx((0.0, 5.0, 10.0))


# tool 1 of the simulator's table is 6 mm across: 3 mm to the side of the programmed path
SQUARE = "G0 X0 Y-10\nG41 D1\nG1 X0 Y0 F600\nG1 Y30\nG1 X40\nG1 Y0\nG1 X0\nG40\nG0 X0 Y-10"


@pytest.mark.parametrize(
    "text, feed_length, reached, missed, extents",
    [
        # a 40 x 30 square milled outside: the entry ends 3 left of (0, 0), three outside corners are
        # quarter circles about the programmed corners, the last move ends square to itself on G40
        (SQUARE, math.hypot(3, 10) + 140 + 3 * 1.5 * PI, [[-3, 30], [0, 33], [43, 30]], [[0, 30]], (-3, 43, -10, 33)),
        # an inside corner at X20: the tool stops where its two offset paths cross
        (
            "G0 X0 Y-10\nG41 D1\nG1 X0 Y0 F600\nG1 X20\nG1 Y20\nG40\nG0 X0 Y30",
            math.hypot(3, 10) + 1.5 * PI + 17 + 17,
            [[17, 3], [17, 20]],
            [[20, 0], [20, 20]],
            (-3, 17, -10, 20),
        ),
        # a circle pocket with G41.1 (a diameter): the tool runs a circle of radius 10 - 3
        (
            "G0 X10 Y-10\nG41.1 D6\nG1 Y0 F600\nG3 I-10 J0\nG40",
            math.hypot(3, 10) + 2 * PI * 7,
            [[7, 0]],
            [[10, 0]],
            (-7, 10, -10, 7),
        ),
    ],
)
def test_cutter_compensation(machine, text, feed_length, reached, missed, extents):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    points = [p[:2] for p in ask(machine, {"get": "programmed.points"})["points"]]
    assert all(any(p == approx(q) for p in points) for q in reached)
    assert not any(p == approx(q) for q in missed for p in points)
    reply = ask(machine, {"get": "machining.info"})
    assert reply["tool.path"]["in.feed"] == approx(feed_length, 1e-3)
    box = reply["tcp.extents.in.feed"]
    assert (box["min.x"], box["max.x"], box["min.y"], box["max.y"]) == approx(extents)


@pytest.mark.parametrize(
    "text, end, fast",
    [
        # G28 goes through the intermediate point, then home on the named axes only
        ("G0 X10 Y10 Z10\nG28 Z20", [10, 10, 0], math.sqrt(300) + 10 + 20),
        ("G0 X3 Y4\nG28", [0, 0, 0], 10),
        ("G0 X1\nG30.1\nG0 X5\nG30 X5", [1, 0, 0], 1 + 4 + 4),
        # G53: machine coordinates for one line
        ("G10 L2 P1 X5\nG53 G0 X0", [-5, 0, 0], 0),
        # G92 and its cancel, restore
        ("G0 X10\nG92 X0\nG0 X5", [5, 0, 0], 15),
        ("G0 X10\nG92 X0\nG92.1\nG0 X5", [5, 0, 0], 15),
        ("G0 X10\nG92 X0\nG92.2\nG92.3\nG0 X1", [1, 0, 0], 11),
        # work offsets G54 to G59.3, G10 L2 and L20
        ("G10 L2 P2 X100\nG55 G0 X1", [1, 0, 0], 101),
        ("G0 X10\nG10 L20 P3 X0\nG56 G0 X2", [2, 0, 0], 12),
        ("G10 L2 P9 Y-20\nG59.3 G0 Y0", [0, 0, 0], 20),
        ("G52 X10\nG0 X0", [0, 0, 0], 10),
    ],
)
def test_homes_offsets_and_machine_moves(machine, text, end, fast):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    assert end_point(machine) == approx(end)
    assert ask(machine, {"get": "machining.info"})["tool.path"]["in.fast"] == approx(fast)


SUB = "O<sq> SUB\nG1 X#1 F1000\nG1 Y#1\nO<sq> ENDSUB [#1*2]\n"


@pytest.mark.parametrize(
    "text, end",
    [
        (SUB + "O<sq> CALL [10]\nG0 Z#<_value>", [10, 10, 20]),
        (SUB + "O<sq> CALL [3]\nO<sq> CALL [4]", [4, 4, 0]),
        ("#1=0\nO1 WHILE [#1 LT 5]\n#1=[#1+1]\nO1 ENDWHILE\nG0 X#1", [5, 0, 0]),
        ("#1=0\nO2 DO\n#1=[#1+2]\nO2 WHILE [#1 LT 7]\nG0 X#1", [8, 0, 0]),
        ("#1=0\nO3 REPEAT [4]\n#1=[#1+1]\nO3 ENDREPEAT\nG0 X#1", [4, 0, 0]),
        ("#1=2\nO4 IF [#1 EQ 1]\nG0 X1\nO4 ELSEIF [#1 EQ 2]\nG0 X2\nO4 ELSE\nG0 X3\nO4 ENDIF", [2, 0, 0]),
        ("#1=5\nO4 IF [#1 EQ 1]\nG0 X1\nO4 ELSEIF [#1 EQ 2]\nG0 X2\nO4 ELSE\nG0 X3\nO4 ENDIF", [3, 0, 0]),
        ("#1=0\nO5 WHILE [1]\n#1=[#1+1]\nO6 IF [#1 GE 3]\nO5 BREAK\nO6 ENDIF\nO5 ENDWHILE\nG0 X#1", [3, 0, 0]),
        (
            "#1=0\n#2=0\nO5 WHILE [#1 LT 4]\n#1=[#1+1]\nO6 IF [#1 EQ 2]\nO5 CONTINUE\nO6 ENDIF\n#2=[#2+1]\n"
            "O5 ENDWHILE\nG0 X#2",
            [3, 0, 0],
        ),
        # program-number subprograms, macro calls and macro statements
        ("O0001\nM98 P1000 L3\nM30\nO1000\nG91 G0 X1\nG90\nM99", [3, 0, 0]),
        ("M98 P21000\nM30\nO1000\nG91 G0 Y2\nG90\nM99", [0, 4, 0]),  # repeat count in front of the number
        ("G65 P9000 A2 B3\nM30\nO9000\nG0 X#1 Y#2\nIF [#3 EQ #0] GOTO 10\nG0 Z-1\nN10 M99", [2, 3, 0]),
        ("G65 P9000 A2 B3 C1\nM30\nO9000\nG0 X#1 Y#2\nIF [#3 EQ #0] GOTO 10\nG0 Z-1\nN10 M99", [2, 3, -1]),
        ("#1=0\nWHILE [#1 LT 3] DO1\nG0 X#1\n#1=#1+1\nEND1\nG0 Y#1", [2, 3, 0]),
        ("#1=1\nIF [#1 GT 0] THEN #2=7\nG0 X#2", [7, 0, 0]),
        ("G0 X1\nGOTO 20\nG0 X2\nN20 G0 Y5", [1, 5, 0]),
    ],
)
def test_subroutines_and_flow(machine, text, end):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    assert end_point(machine) == approx(end)


def test_subroutine_from_its_own_file(machine, tmp_path):
    (tmp_path / "pocket.ngc").write_text("O<pocket> SUB\nG1 X#1 Y#2 F500\nO<pocket> ENDSUB\n")
    info = analyse(machine, "O<pocket> CALL [4] [5]\nM2")
    assert info["state"] == CS_READY, info["message"]
    assert end_point(machine) == approx([4, 5, 0])


@pytest.mark.parametrize("call", ["G65 P3001", "M98 P3001"])
def test_subprogram_found_by_the_number_its_file_declares(tmp_path, call):
    (tmp_path / "side_sub.nc").write_text("%\nO3001 (SIDE)\nG91 G0 X7 Y3\nG90\nM99\n%\n")
    (tmp_path / "notes.txt").write_text("(O3001 in a comment declares nothing)\nG0 X1\n")
    with Simulator(port=0, programs_dir=str(tmp_path)) as sim:
        c = Conn(sim.port)

        def end_of(text):
            assert c.ask({"cmd": "program.gcode.set.text", "text": text}) is True
            info = wait_for(lambda: (i := c.ask({"get": "compile.info"}))["state"] != CS_FIRST_STEP and i)
            assert info["state"] == CS_READY, info["message"]
            return c.ask({"get": "programmed.points"})["points"][-1]

        assert end_of(f"{call}\nM30\n") == approx([7, 3, 0])
        (tmp_path / "later.nc").write_text(":3003\nG0 Z-4\nM99\n")  # a new file: the folder is looked at again
        assert end_of("M98 P3003\nM30\n") == approx([0, 0, -4])
        c.close()


@pytest.mark.parametrize(
    "head, number",
    [
        (b"%\r\nO3001 (SIDE)\r\n", 3001),
        (b"\n(made by hand)\n; side\n:0100\n", 100),
        (b"o12(LOWER CASE)", 12),
        (b"G0 X1\nO3001\n", None),  # a program line first: no declaration
        (b"(O3001)\n", None),
        (b"O<side> sub\n", None),
        (b"O3001.5\n", None),
    ],
)
def test_declared_program_number(head, number):
    assert storage.declared_number(head) == number


@pytest.mark.parametrize(
    "text, fast, feed, points",
    [
        # drill at two holes from Z5, R2, to Z-5: G98 back to 5, G99 to R
        ("G0 Z5\nG81 X10 Y0 Z-5 R2 F100\nX20\nG80", 5 + 10 + 3 + 10 + 10 + 3 + 10, 14, 9),
        ("G0 Z5\nG99 G81 X10 Y0 Z-5 R2 F100\nX20\nG80", 5 + 10 + 3 + 7 + 10 + 7, 14, 8),
        # G83 pecks of 2 from R2 to -5 (0, -2, -4, -5): back to R after each, down to 0.254 above the last
        ("G0 Z2\nG83 X0 Y0 Z-5 R2 Q2 F100\nG80", 2 + 2 + 1.746 + 4 + 3.746 + 6 + 5.746 + 7, 7 + 3 * 0.254, 12),
        ("G0 Z5\nG82 X1 Z-1 R1 P0.5 F100\nG80", 5 + 1 + 4 + 6, 2, 5),
        # incremental: R from the start level, Z from R, the holes 10 apart
        ("G0 Z5\nG91 G81 X10 Z-6 R-3 L3 F100\nG90 G80", 5 + 3 * (10 + 3 + 9), 18, 13),
        ("G0 Z5\nG85 X1 Z-1 R1 F100\nG80", 5 + 1 + 4 + 4, 4, 6),
    ],
)
def test_canned_cycles(machine, text, fast, feed, points):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    path = ask(machine, {"get": "machining.info"})["tool.path"]
    assert (path["in.fast"], path["in.feed"]) == approx((fast, feed))
    assert len(ask(machine, {"get": "programmed.points"})["points"]) == points


@pytest.mark.parametrize(
    "text, end",
    [
        ("G18 G7 G96 S200 D2000 G95 M3\nG0 X20 Z2\nG76 P1.5 Z-20 I-0.5 J0.2 K1 R2 H1", [20, 0, 2]),
        ("G18 G97 S800 M3 G95\nG0 X20 Z2\nG76 P010060 Q50 R0.02\nG76 X17 Z-20 P1000 Q300 F1.5", [20, 0, 2]),
        ("S500 M3\nG0 X0 Z5\nG33 Z-10 K1.5\nG0 X5", [5, 0, -10]),
        ("S500 M3\nG33.1 Z-10 K1", [0, 0, 0]),
    ],
)
def test_lathe_and_threading(machine, text, end):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    assert end_point(machine) == approx(end)


@pytest.mark.parametrize(
    "text",
    [
        "T1 M6\nG43 H1\nG0 Z10\nG49\nG43.1 Z5\nG0 Z1",  # tool length offsets
        "T1 M6 G41 D1\nG1 X10 F100\nG42.1 D3\nG1 Y5\nG40",  # cutter compensation
        "G93 G1 X10 F2\nG94\nG95 S1000 M3 G1 X0 F0.1",  # feed modes
        "G64 P0.02 Q0.01\nG61\nG61.1\nG64",  # path control
        "M7\nM8\nM9\nM10\nM11\nM62 P1\nM100\nM5",  # coolant and machine-specific codes
        "G38.2 Z-10 F100\nG0 Z[#5063+1]",  # probing
        "G0 X1 (comment; with a semicolon)\n; whole line\nN10 G0 Y2 ; trailing\n/G0 Z3\n%",
        "M3 S1000\nG4 P0.5\nM0\nM1\nM60\nM30",  # dwell and stops
        "G17 G21 G90 G94 G40 G49 G80 G54 G98 G97 G8",  # a typical safety line
        "G0 A90\nG1 A180 B10 F3600\nG1 X10 C45 F100",  # rotary axes
        "O100 (program name)\nG0 X1\nM99",
    ],
)
def test_accepted(machine, text):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]


@pytest.mark.parametrize(
    "text, line, word, why",
    [
        ("G0 X0 Y0\nG2 X10 Y0 I1 J0 F100", 2, "G2", "not on the arc"),
        ("G0 X0 Y0\nG2 X10 Y0 I5 F100\nX0 Y0", 3, "G2", "centre"),  # modal G2 without centre
        ("G2 X10 Y0 R2 F100", 1, "R", "less than half the chord"),
        ("G0 X1\nM428", 2, "M428", "start the simulator with its option --ignore-m +428"),
        ("$H\nG0 X1", 1, "$H", "dialect"),
        ("G0 X1\nG1 X[#<undefined>+1] F100", 2, "#<undefined>", "not defined"),
        ("G0 X1\nGOTO 50\nN40 G0 X2", 2, "GOTO50", "no line N50"),
        ("G0 X1\nO<s> SUB\nG0 X2", 2, "O<s>", "ENDSUB"),
        ("G5.2 X1", 1, "G5.2", "unsupported"),
        ("G1 X1 Q3", 1, "Q3", "Q word"),
        ("G1 X[1/0]", 1, "/", "division by zero"),
        ("#3000=1 (TOOL BROKEN)", 1, "#3000", "alarm"),
        ("G1 X1 F-5", 1, "F-5", "negative"),
        ("G10 L2 P12 X1", 1, "P12", "out of range"),
        # cutter compensation where the tool cannot fit, a too short entry, a cycle with it on
        ("G0 X0 Y-10\nG41 D1\nG1 X0 Y0 F600\nG1 X20\nG1 Y2\nG1 X0", 5, "G41", "cannot fit in this corner"),
        ("G41.1 D6\nG0 X10 Y10\nG3 X12 Y10 I1 F100", 3, "G41.1", "cannot fit inside this arc"),
        ("G0 X0 Y0\nG41 D1\nG1 X2 F100", 3, "G41", "longer than the tool radius"),
        ("G42 D1\nG0 X10\nG81 X20 Z-5 R2 F100", 3, "G42", "G40 first"),
        ("G41 D1\nG0 X10\nG18 G0 Z-5", 3, "G18", "plane cannot change"),
        # what controls refuse: no feed rate yet, a peck cycle without its peck, nested comments,
        # a dwell without its time, machine coordinates in incremental mode
        ("G0 X1\nG1 X5", 2, "G1", "no feed rate in force"),
        ("G0 X1\nG2 X3 I1", 2, "G2", "no feed rate in force"),
        ("G0 Z5\nG83 X0 Z-5 R2 F100", 2, "G83", "needs Q"),
        ("G0 X1 (DRILL (4X) HOLES) Y2", 1, "(4X", "comments do not nest"),
        ("G0 X1\nG4", 2, "G4", "needs P"),
        ("G91\nG53 G0 X0", 2, "G53", "G90"),
    ],
)
def test_rejected_with_line_word_and_reason(machine, text, line, word, why):
    info = analyse(machine, text, timeout=60.0)
    assert info["state"] == CS_ERROR
    assert info["file.line"] == line and info["code.line"] == line and info["code"] != 0
    message = info["message"]
    assert message.startswith(f"line {line}") and why in message
    if word:
        assert f"'{word.upper()}" in message.upper()


@pytest.mark.parametrize(
    ("limits", "text", "why"),
    [
        ({"max_run_lines": 20_000}, "#1=0\nO1 WHILE [1]\n#1=[#1+1]\nO1 ENDWHILE", "endless loop"),
        # one cycle line whose moves would not end: micrometre pecks and shifts, a thousand million holes,
        # a thousand million spring passes
        ({"max_segments": 10_000}, "G18 G0 X60 Z2\nG74 X0 Z-100 P1 Q1 F0.1", "too many moves"),
        ({"max_segments": 10_000}, "G0 Z5\nG91 G81 X1 Z-1 R1 L1000000000 F100", "too many moves"),
        ({}, "G18 S1000 M3 G0 X20 Z2\nG76 X18 Z-20 I0 J0.1 K1 P1.5 H1000000000", "too many moves"),
    ],
)
def test_endless_work_ends_in_an_error(tmp_path, limits, text, why):
    m = new_machine(tmp_path, config=MachineConfig(**limits))
    try:
        info = analyse(m, text)
        assert info["state"] == CS_ERROR and why in info["message"] and info["code.line"] == 2
    finally:
        m.close()


def test_error_in_subroutine_file_names_the_file(machine, tmp_path):
    (tmp_path / "bad.ngc").write_text("O<bad> SUB\nG0 X1\nG0 X[1/0]\nO<bad> ENDSUB\n")
    info = analyse(machine, "G0 Y1\nO<bad> CALL")
    assert info["state"] == CS_ERROR
    assert (info["file.name"], info["file.line"]) == ("bad.ngc", 3)


@pytest.mark.parametrize(
    "text, seconds",
    [
        ("G20 G1 X100 F9999", 2540 / (8000 / 60)),  # F9999 in/min, held to the X limit of 8000 mm/min
        ("G0 X2000", 2000 / (10000 / 60)),
        ("G0 Z600", 600 / (6000 / 60)),
    ],
)
def test_speed_limited_by_the_machine(machine, text, seconds):
    analyse(machine, text)
    estimate = _seconds(ask(machine, {"get": "machining.info"})["tool.path"]["estimated.time"])
    assert estimate == pytest.approx(seconds, abs=1.0)


def _seconds(hms):
    h, m, s = (int(v) for v in hms.split(":"))
    return 3600 * h + 60 * m + s


@pytest.mark.parametrize(
    "text, fast, feed, seconds",
    [
        ("G0 A360", 0.0, 0.0, 360 / (7200 / 60)),  # rotary travel is not millimetres of path
        ("G1 A90 F900", 0.0, 0.0, 90 / 15),
        ("G1 X60 A90 F600", 0.0, 60.0, 6.0),
        ("G93 G1 X10 F6", 0.0, 10.0, 10.0),  # inverse time: 1/6 minute
        ("G95 S1000 M3\nG1 X100 F0.1", 0.0, 100.0, 60.0),  # 0.1 mm/rev at 1000 rpm
        ("G1 X10 F600\nG4 P30", 0.0, 10.0, 31.0),
        # a full circle in inches ends where it began and still runs at F inches a minute: 4 pi in at 100 in/min
        ("G20 G90 G17\nG0 X2 Y0\nG1 F100\nG3 X2 Y0 I-2 J0\nM2", 50.8, 4 * PI * 25.4, 7.5),
    ],
)
def test_time_and_length(machine, text, fast, feed, seconds):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    path = ask(machine, {"get": "machining.info"})["tool.path"]
    assert (path["in.fast"], path["in.feed"]) == approx((fast, feed))
    assert _seconds(path["estimated.time"]) == pytest.approx(seconds, abs=1.0)
