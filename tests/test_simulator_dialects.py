"""Constructs of milling, turning and cutting dialects, each on a small program whose end
point, path lengths or error are worked out by hand."""

import math
import pathlib

import pytest
from sim_helpers import (
    CS_ERROR,
    CS_READY,
    MachineConfig,
    analyse,
    ask,
    build_parser,
    cli_main,
    end_point,
    estimated_seconds,
    gcodes,
    new_machine,
)

SQRT_HALF = math.sqrt(0.5)


@pytest.fixture
def machine(tmp_path):
    m = new_machine(tmp_path)
    yield m
    m.close()


def feed_and_fast(machine):
    path = ask(machine, {"get": "machining.info"})["tool.path"]
    return path["in.feed"], path["in.fast"]


@pytest.mark.parametrize(
    "text",
    [
        "G1 X10 Y5 F100",
        "g1x10y5f100",
        "N10 G01 X+10. Y5.0 F100.",
        "G1\tX10\tY5\tF100",
        "  G01 X 10 Y 5 F 100  ",
        "G90 G1 X10 Y5 F100 (a comment)",
        "G1 X10 Y5 F100 ; trailing comment",
        "F100\nG1\nX10 Y5",
        "N1 G17 G21 G90 G94 G01 X10. Y5. F100.",
    ],
)
def test_one_move_however_it_is_spelled(machine, text):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    assert end_point(machine) == pytest.approx([10, 5, 0])
    assert feed_and_fast(machine) == pytest.approx((math.sqrt(125), 0.0))


@pytest.mark.parametrize(
    "text, end, feed",
    [
        # G68 turns the program about its centre; arcs' centre offsets turn with it
        ("G68 X0 Y0 R90\nG1 X10 Y0 F600\nG69", [0, 10, 0], 10.0),
        ("G0 X5 Y5\nG68 R45\nG91 G1 X10 F600", [5 + 10 * SQRT_HALF, 5 + 10 * SQRT_HALF, 0], 10.0),
        ("G68 X0 Y0 R90\nG0 X10 Y0\nG3 X0 Y10 I-10 J0 F600", [-10, 0, 0], 5 * math.pi),
        ("G68 X0 Y0 R90\nG1 X10 F600\nG69\nG1 X10 Y0", [10, 0, 0], 10 + 10 * math.sqrt(2)),
        # G16: X is a radius and Y an angle, both modal; about the origin, or here under G91
        ("G16\nG0 X10 Y90\nG1 Y180 F600\nG15", [-10, 0, 0], 10 * math.sqrt(2)),
        ("G0 X5 Y5\nG91 G16 G0 X10 Y0", [15, 5, 0], 0.0),
        ("G16\nG0 X10 Y0\nG81 Y90 Z-2 R1 F100\nY180\nG80\nG15", [-10, 0, 1], 6.0),  # back to R, above
        # G52 shifts the program, G54.1 picks an extra offset table
        ("G52 X10 Y10\nG1 X0 Y0 F600\nG52 X0 Y0", [0, 0, 0], math.sqrt(200)),
        ("G54.1 P1\nG1 X1 F600", [1, 0, 0], 1.0),
        # G5 cubic and G5.1 quadratic splines, here with their control points on the chord
        ("G5 I1 J0 P-1 Q0 X3 Y0 F600", [3, 0, 0], 3.0),
        ("G5.1 X4 Y0 I2 J0 F600", [4, 0, 0], 4.0),
        ("G5 I1 J0 P-1 Q0 X3 Y0 F600\nG5 P-1 Q0 X6 Y0", [6, 0, 0], 6.0),  # I J from the last P Q
    ],
)
def test_transforms_and_splines(machine, text, end, feed):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    assert end_point(machine) == pytest.approx(end, abs=1e-6)
    assert feed_and_fast(machine)[0] == pytest.approx(feed, rel=1e-6)


def test_quadratic_spline_length_is_that_of_its_curve(machine):
    # (0,0) (1,1) (2,0): length 0.5 * (sqrt(8) + 2 ln(1 + sqrt(2)))
    analyse(machine, "G5.1 X2 Y0 I1 J1 F600")
    exact = 0.5 * (math.sqrt(8) + 2 * math.log(1 + math.sqrt(2)))
    assert feed_and_fast(machine)[0] == pytest.approx(exact, rel=2e-3)
    extents = ask(machine, {"get": "machining.info"})["tcp.extents.in.feed"]
    assert extents["max.y"] == pytest.approx(0.5, abs=5e-3)  # the top of the curve, near a chord end


LATHE = "G18 G21 G95 S1000 M3\nG0 X40 Z2\n"
PROFILE = "N10 G0 X20\nN20 G1 Z-10\nN30 X40\n"


@pytest.mark.parametrize(
    "text, end, feed, fast",
    [
        # G70 runs the profile (in diameters) and comes back to where it began
        (LATHE + "G70 P10 Q30 F0.2\nG0 X50\nM30\n" + PROFILE, [50, 0, 2], 32.0, 42.0 + math.hypot(40, 2)),
        # G71 roughs down to the profile, returns, and goes on after the profile's last line
        (LATHE + "G71 U2 R1\nG71 P10 Q30 U0 W0 F0.2\n" + PROFILE + "G0 X50", [50, 0, 2], None, None),
        (LATHE + "G72 W2 R1\nG72 P10 Q30 F0.2\n" + PROFILE + "G0 X50", [50, 0, 2], None, None),
        # G74 pecks 3 mm at a time with 0.5 mm back-offs: 3 + 3.5 + 3.5 + 3.5 fed, 2 + 3 x 0.5 + 12 rapid
        ("G18 G95 S1000 M3\nG0 X0 Z2\nG74 R0.5\nG74 Z-10 Q3000 F0.1", [0, 0, 2], 13.5, 15.5),
        # G32 and G33 cut a thread at the lead per revolution
        ("G18 G97 S500 M3\nG0 X20 Z2\nG32 Z-20 F1.5", [20, 0, -20], 22.0, math.hypot(20, 2)),
        ("G18 G97 S500 M3\nG0 X20 Z2\nG33 Z-20 K1.5", [20, 0, -20], 22.0, math.hypot(20, 2)),
    ],
)
def test_turning_cycles(machine, text, end, feed, fast):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    assert end_point(machine) == pytest.approx(end, abs=1e-6)
    if feed is not None:
        assert feed_and_fast(machine) == pytest.approx((feed, fast), rel=1e-6, abs=1e-6)


def test_roughing_passes_reach_the_profile(machine):
    analyse(machine, LATHE + "G71 U2 R1\nG71 P10 Q30 U0 W0 F0.2\n" + PROFILE)
    feed = ask(machine, {"get": "machining.info"})["tcp.extents.in.feed"]
    # passes 4 mm apart in diameter from X36 down to the profile's X20, each to Z-10
    assert (feed["min.x"], feed["min.z"]) == pytest.approx((20.0, -10.0))


@pytest.mark.parametrize(
    "text",
    [
        "G7 G18\nG0 X20 Z0\nG2 X30 Z-5 R5 F100",  # X in diameters: radius 10 to 15
        "G18\nG0 X20 Z0\nG2 X30 Z-5 R5 F100",  # a turning program that never says G7
        "G7 G18\nG0 X20 Z0\nG2 X30 Z-5 I5 K0 F100",  # I is a radius even in diameter mode
    ],
)
def test_arc_with_diameter_x(machine, text):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    assert end_point(machine) == pytest.approx([30, 0, -5])
    assert feed_and_fast(machine)[0] == pytest.approx(2.5 * math.pi)  # a quarter turn of radius 5


def test_turning_tool_word_names_tool_and_offset(machine):
    analyse(machine, "T0303\nG1 X10 F100")
    used = ask(machine, {"get": "machining.info"})["tool.path"]["used.tool"]
    assert used == [{"id": 3, "in.fast": 0.0, "in.feed": 10.0}]


@pytest.mark.parametrize(
    "text, end",
    [
        ("#1=#0\nIF [#1 EQ #0] GOTO 10\nG0 X99\nN10 G0 X1", [1, 0, 0]),  # #0 is vacant
        ("#1=[#0+2]\nG0 X#1", [2, 0, 0]),  # vacant reads 0 in arithmetic
        ("%\nG0 X1\n%\nG0 X9\n", [1, 0, 0]),  # nothing after the closing %
        ("(comment)\n%\nO0001\nG0 X1\nM30\n%", [1, 0, 0]),
        ("G0 X1\n/G0 X5\nG0 Y2", [5, 2, 0]),  # block delete switch off: the line runs
        ("M66 P0 L3 Q5\nM67 E0 Q50\nM68 E1 Q0\nM62 P1\nM63 P1\nG0 X1", [1, 0, 0]),
        # settings of other controls with no effect on the path, maker's codes, tool offsets
        ("G1 X10 Y5 U10 V5 F500\nG1 X20 U20", [20, 5, 0]),  # U V beside X Y: a foam cutter's second tower
        ("G05 P10000\nG05.1 Q1\nG187 P1\nG103 P1\nG43.4 H1\nG49\nG10 P1 R0.4 Z5\nM88\nM19\nG0 X1", [1, 0, 0]),
        ("G65 P9810 X10 Y10\nM98 P9001\nG0 X1", [1, 0, 0]),  # macros kept in the control
        ("G0 X5\nM97 P100 L2\nM30\nN100 G91 G0 X1\nG90\nM99", [7, 0, 0]),  # a call to a line
        # a plasma program of a control with many spindles and configuration pins
        ("F#<_hal[plasmac.cut-feed-rate]>\nM3 $0 S1\nG1 X10\nM5 $0\nG0 Y[#<_ini[axis_x]max_limit>+3]", [10, 3, 0]),
    ],
)
def test_control_and_io_words(machine, text, end):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    assert end_point(machine) == pytest.approx(end)


def test_block_delete_switch_skips_slash_lines(tmp_path):
    m = new_machine(tmp_path, config=MachineConfig(block_delete=True))
    try:
        analyse(m, "G0 X1\n/G0 X5\n / G0 Z5\nG0 Y2")
        assert end_point(m) == [1, 2, 0]
    finally:
        m.close()


@pytest.mark.parametrize(
    "text, line, word, why",
    [
        ("G0 X1\nG68 X0 Y0", 2, "G68", "needs R"),
        ("G5 X1 Y1 P0 Q0", 1, "G5", "needs I and J"),
        ("G18\nG5 I1 J1 P1 Q1 X1 Z1", 2, "G5", "XY plane"),
        ("G5.1 X1 Y1", 1, "G5.1", "needs I and J"),
        ("G0 X1 $J=X5", 1, "$J=X5", "another controller's dialect"),
        ("G54.1 P0", 1, "P0", "from 1"),
        ("G18 G95 S100 M3\nG71 P10 Q20 U0 W0 F0.2\nN10 G1 X1", 2, "G71", "no profile"),
        ("G18 G95 S100 M3 F0.1\nG70 P10 Q20\nN10 G1 X1\nN15 GOTO 10\nN20 X2", 2, "GOTO10", "program flow"),
        ("G8 G18\nG0 X20 Z0\nG2 X30 Z-5 R5 F100", 3, "R", "less than half the chord"),
        ("G7 G18\nG0 X20 Z0\nG2 X30 Z-5 I9 K0 F100", 3, "G2", "not on the arc"),
    ],
)
def test_dialect_faults_rejected(machine, text, line, word, why):
    info = analyse(machine, text)
    assert info["state"] == CS_ERROR
    assert info["code.line"] == line, info["message"]
    assert why in info["message"] and f"'{word}" in info["message"]


@pytest.mark.parametrize(
    "args, shown",
    [
        (["--help"], "X=10000,Y=10000,Z=6000"),  # the default limits
        (["--help"], "10-29,31-59,62-69,74-96,100-199"),  # the default machine-specific M codes
        (["--help"], "--block-delete"),
        (["--help"], "rs274ngc,iso"),
        (["--version"], "cnc_api_simulator"),
    ],
)
def test_command_line_shows_its_defaults(args, shown, capsys, monkeypatch):
    monkeypatch.setenv("COLUMNS", "200")
    with pytest.raises(SystemExit) as exit_:
        cli_main(args)
    assert exit_.value.code == 0 and shown in capsys.readouterr().out


@pytest.mark.parametrize(
    "text, dialect, end, seconds",
    [
        ("G0 X1\nG4 P2", "rs274ngc", [1, 0, 0], 2),
        ("O0001\nG0 X1\nG04 P2000", "rs274ngc", [1, 0, 0], 2000),  # seconds, whatever the program looks like
        ("G0 X1\nG4 P1 X5", "rs274ngc", [5, 0, 0], 1),  # X: a move in the motion mode
        ("O0001\nG0 X1\nG04 P2000", "iso", [1, 0, 0], 2),  # milliseconds
        ("G0 X1\nG04 X5.", "iso", [1, 0, 0], 5),  # seconds, and no move
        ("G0 X1\nG04 U3.", "iso", [1, 0, 0], 3),
    ],
)
def test_dwell_words_by_dialect(tmp_path, text, dialect, end, seconds):
    m = new_machine(tmp_path, config=MachineConfig(dialect=dialect))
    try:
        info = analyse(m, text)
        assert info["state"] == CS_READY, info["message"]
        assert end_point(m) == pytest.approx(end)
        assert estimated_seconds(m) == pytest.approx(seconds, abs=1.0)
    finally:
        m.close()


@pytest.mark.parametrize(
    "args, accepted, refused",
    [
        (["--ignore-m", "+428,900"], {10, 199, 428, 900}, {200, 427}),  # added to the default list
        (["--ignore-m", "428"], {428}, {10, 900}),  # the list replaced
    ],
)
def test_machine_specific_m_codes_from_the_command_line(tmp_path, args, accepted, refused):
    config = MachineConfig(ignored_m=build_parser().parse_args(args).ignore_m)
    m = new_machine(tmp_path, config=config)
    try:
        for code in accepted:
            assert analyse(m, f"G0 X1\nM{code}")["state"] == CS_READY
        for code in refused:
            assert analyse(m, f"G0 X1\nM{code}")["state"] == CS_ERROR
    finally:
        m.close()


@pytest.mark.parametrize(
    "args",
    [
        ["--ignore-m", "10-x"],
        ["--ignore-m", "+"],
        ["--dialect", "other"],
        ["--max-feed", "Q=5"],
        ["--accel", "X=-1"],
        ["--probe-trip", "Z"],
        ["--port", "-1"],
        ["--port", "99999"],
        ["--idle-timeout", "-1"],
        ["--max-connections", "0"],
    ],
)
def test_command_line_refuses_bad_values(args, capsys):
    with pytest.raises(SystemExit) as exit_:
        cli_main(args)
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and args[0] in err and err.count("\n") == 1, err


@pytest.mark.parametrize(
    "text, end",
    [
        # G65 arguments by letter to #1..#26 (I J K to #4 #5 #6, R to #18, X Y Z to #24 #25 #26)
        (
            "G65 P100 A1 B2 C3 I4 J5 K6 D7 E8 X24 Y25 Z26 R18\nM30\nO100\n"
            "G0 X[#1+#2+#3] Y[#4+#5+#6+#7+#8] Z[#24+#25+#26-#18]\nM99",
            [6, 30, 57],
        ),
        ("#1=5\nG65 P100 A9\nG0 X#1\nM30\nO100\n#1=[#1*2]\nM99", [5, 0, 0]),  # the caller's locals come back
        ("M98 P30100\nM30\nO100\nG91 G0 X1\nG90\nM99", [3, 0, 0]),  # P: three times O0100
        (
            "#1=0\n#3=0\nWHILE [#1 LT 3] DO1\n#2=0\nWHILE [#2 LT 4] DO2\n#3=#3+1\n#2=#2+1\nEND2\n#1=#1+1\nEND1\nG0 X#3",
            [12, 0, 0],
        ),
        ("#1=0\nN10 #1=#1+2\nIF [#1 LT 7] GOTO 10\nG0 X#1", [8, 0, 0]),  # a loop of GOTO
        ("O<sq> sub\nO<sq> return [#1*#1]\nO<sq> endsub\nO<sq> call [7]\nG0 X#<_value>", [49, 0, 0]),
        ("#<v>=1\nO<s> sub\n#<v>=5\nO<s> endsub\nO<s> call\nG0 X#<v>", [1, 0, 0]),  # names are local
        (
            "O<r> sub\nO1 if [#1 GT 0]\nG91 G0 X1\nG90\nO<r> call [#1-1]\nO1 endif\nO<r> endsub\nO<r> call [5]",
            [5, 0, 0],  # recursion
        ),
        ("G0 X[2+3*4**2/8 MOD 5] Y[-7 MOD 3] Z[1 LT 2 AND 3 GT 2 OR 0]", [3, 2, 1]),
        ("#1=[0.1+0.2]\nIF [#1 EQ 0.3] GOTO 5\nG0 X9\nN5 G0 X1", [1, 0, 0]),
        ("G0 X[FIX[-2.5]] Y[FUP[-2.5]] Z[ROUND[-2.5]]", [-3, -2, -3]),
        # the control's named parameters; configuration values read 0 here
        ("G20 G91 G93\nG0 X#<_imperial> Y#<_incremental> Z#<_inverse_time>", [25.4, 25.4, 25.4]),
        ("O<s> sub\nG0 X#<_call_level>\nO<s> endsub\nO<s> call\nG0 Y[#<_ini[axis_x]max_limit>+2]", [1, 2, 0]),
        ("M3 S100\nG0 X#<_spindle_cw> Y#<_rpm> Z#<_ccomp>", [1, 100, 40]),
        ("G10 L2 P1 X5\nG0 X1 Y2\nG0 X[#5420+#5021] Y[#5041+#5002+#5426] Z#5220", [7, 3, 1]),  # positions
        ("#1=0\nO1 repeat [4]\n#1=[#1+1]\nO2 if [#1 EQ 2]\nO1 continue\nO2 endif\nG91 G0 X1\nO1 endrepeat", [3, 0, 0]),
    ],
)
def test_macros_and_flow(machine, text, end):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    assert end_point(machine) == pytest.approx(end)


@pytest.mark.parametrize(
    "text, line, word, why",
    [
        ("O<r> sub\nO<r> call\nO<r> endsub\nO<r> call", 2, "O<r>", "nested too deeply"),
        ("G0 X1\nEND1", 2, "END1", "without a WHILE"),
        ("G0 X1\nO1 endwhile", 2, "O1 ENDWHILE", "without WHILE"),
        ("G0 X1\nM98", 2, "M98", "needs P"),
        ("G65 P123 A1", 1, "G65 P123", "no subroutine 123"),
        ("WHILE [0] DO1\nG0 X1", 1, "DO1", "no END 1"),
    ],
)
def test_flow_faults_rejected(machine, text, line, word, why):
    info = analyse(machine, text)
    assert info["state"] == CS_ERROR
    assert info["code.line"] == line, info["message"]
    assert why in info["message"] and f"'{word}" in info["message"]


@pytest.mark.parametrize(
    "text, end",
    [
        ("G0 X1 (a) Y2 (b; c) Z3 ; d (e", [1, 2, 3]),
        ("(MSG, START)\n(DEBUG, X=#<_x>)\n(PRINT, DONE)\nG0 X4", [4, 0, 0]),
    ],
)
def test_comments(machine, text, end):
    info = analyse(machine, text)
    assert info["state"] == CS_READY, info["message"]
    assert end_point(machine) == pytest.approx(end)


def test_documented_codes_are_the_table():
    text = (pathlib.Path(__file__).parents[1] / "docs" / "simulator.md").read_text()
    documented = text.split("<!-- the list of codes, made from the table -->\n", 1)[1].split(
        "<!-- the end of the list of codes -->", 1
    )[0]
    assert documented == gcodes.markdown(), "run python -m cnc_api_simulator.gcodes and paste its output"
