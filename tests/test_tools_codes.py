import enum
import math

import cnc_api_client_core as cnc
import pytest
from cnc_api_tools import codes
from cnc_api_tools.codes import (
    AnalysisMode,
    Axis,
    CompileState,
    JogCommand,
    SpindleStatus,
    State,
    ToolType,
    UnitsMode,
    axes_from_letters,
    axis_letters,
    code_name,
    condition,
)

FAMILIES = [
    ("SM_", State),
    ("CS_", CompileState),
    ("JC_", JogCommand),
    ("SS_", SpindleStatus),
    ("TT_", ToolType),
    ("UM_", UnitsMode),
    ("ANALYSIS_", AnalysisMode),
]


@pytest.mark.parametrize(("prefix", "family"), FAMILIES, ids=[p for p, _ in FAMILIES])
def test_every_module_constant_has_a_member_of_the_same_name_and_value(prefix, family):
    constants = {name[len(prefix) :]: value for name, value in vars(cnc).items() if name.startswith(prefix)}
    assert constants, prefix
    assert {m.name: m.value for m in family} == constants


def test_axis_flags_match_the_single_axis_masks():
    masks = {
        name[: -len("_AXIS_MASK")]: v
        for name, v in vars(cnc).items()
        if name.endswith("_AXIS_MASK") and "2" not in name
    }
    assert {m.name: m.value for m in Axis} == masks
    assert Axis.X | Axis.Y | Axis.Z == cnc.X2Z_AXIS_MASK


@pytest.mark.parametrize("family", [State, CompileState, JogCommand, SpindleStatus, ToolType, UnitsMode])
@pytest.mark.parametrize("value", [99, 1000, -1])
def test_unknown_codes_stay_representable(family, value):
    member = family(value)
    assert member == value and int(member) == value
    assert isinstance(member, family)
    assert member.name.startswith("UNKNOWN_")
    assert not member.known
    assert family(value) == family(value)


def test_known_members_and_reply_values():
    assert State(cnc.SM_IDLE) is State.IDLE and State.IDLE.known
    assert State(5.0) is State.IDLE  # a reply may carry an integral real number
    assert SpindleStatus(0).name == "UNKNOWN_0"  # the default of an unfilled record


@pytest.mark.parametrize("value", ["5", None, 5.5, [5], math.inf])
def test_values_that_are_no_code_raise_value_error(value):
    with pytest.raises(ValueError):
        State(value)


@pytest.mark.parametrize(
    ("family", "value", "name"),
    [
        (State, 4, "ALARM"),
        (State, 77, "UNKNOWN_77"),
        (State, "x", "'x'"),
        (State, None, "None"),
        (CompileState, 2, "ERROR"),
        (JogCommand, 12, "C_FW"),
        (ToolType, 9, "LASER"),
    ],
)
def test_code_name_never_raises(family, value, name):
    assert code_name(family, value) == name


@pytest.mark.parametrize(
    ("state", "word"),
    [
        (cnc.SM_ALARM, "alarm"),
        (cnc.SM_LIMIT, "alarm"),
        (cnc.SM_IDLE, "idle"),
        (cnc.SM_RUN, "run"),
        (cnc.SM_HOMING, "run"),
        (cnc.SM_PAUSE, "pause"),
        (cnc.SM_INIT, "starting"),
        (cnc.SM_DISCONNECTED, "offline"),
        (42, "unknown"),
        ("IDLE", "unknown"),
        (None, "unknown"),
    ],
)
def test_condition(state, word):
    assert condition(state) == word


def test_every_known_state_has_a_condition():
    assert all(condition(s) != "unknown" for s in State)


@pytest.mark.parametrize(
    ("text", "mask"),
    [("XYZ", 7), ("x,z", 5), ("X Y", 3), ("", 0), ("abc", 56), ("XYZABCUVW", cnc.X2W_AXIS_MASK)],
)
def test_axes_from_letters_round_trip(text, mask):
    assert axes_from_letters(text) == mask
    assert axes_from_letters(axis_letters(mask)) == mask


@pytest.mark.parametrize("text", ["XQ", "1", "X-"])
def test_axes_from_letters_rejects_other_letters(text):
    with pytest.raises(ValueError, match="unknown axis"):
        axes_from_letters(text)


def test_final_compile_states():
    assert codes.FINAL_COMPILE_STATES == {CompileState.READY, CompileState.FINISHED, CompileState.ERROR}
    assert all(isinstance(m, enum.IntEnum) for m in codes.UNDER_WAY)
