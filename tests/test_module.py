import importlib
import json
import socket
import subprocess
import sys
import textwrap
import types

import cnc_api_client_core as cnc
import pytest

CONSTANTS = [
    ("__version__", "1.4.1"),
    *[(f"ANALYSIS_{m.upper()}", m) for m in ("mt", "rt", "rf", "rv", "rz")],
    *[(f"{a}_AXIS_MASK", 1 << i) for i, a in enumerate("XYZABCUVW")],
    ("X2Z_AXIS_MASK", 7),
    ("X2C_AXIS_MASK", 63),
    ("X2W_AXIS_MASK", 511),
    *[
        (f"CS_{n}", i)
        for i, n in enumerate(
            "INIT READY ERROR FIRST_STEP FIRST_STEP_RUNNING WAITING_FOR_DATA WAITING_FOR_DATA_RUNNING FINISHED".split()
        )
    ],
    ("JC_NONE", 0),
    *[(f"JC_{a}_{d}", 1 + 2 * i + j) for i, a in enumerate("XYZABC") for j, d in enumerate(("BW", "FW"))],
    *[
        (f"SM_{n}", i)
        for i, n in enumerate(
            "DISCONNECTED SIMULATOR INIT INIT_FIELD_BUS ALARM IDLE HOMING JOG RUN PAUSE LIMIT "
            "MEASURE_TOOL SCAN_3D SAFETY_IDLE CHANGE_TOOL SAFETY WAIT_MAIN_POWER RETRACT".split()
        )
    ],
    ("SS_OFF", 1),
    ("SS_CW", 2),
    ("SS_CCW", 3),
    *[
        (f"TT_{n}", i)
        for i, n in enumerate(
            "GENERIC FLAT_END_MILL BALL_NOSE_END_MILL DRILL PROBE SAW PLASMA DRAG_KNIFE LATHE LASER WATER_JET".split()
        )
    ],
    ("UM_METRIC", 0),
    ("UM_IMPERIAL", 1),
]

RECORDS = [
    "APIAnalogInputs",
    "APIAnalogOutputs",
    "APIAxesInfo",
    "APICncInfo",
    "APICncParameters",
    "APICompileInfo",
    "APIDigitalInputs",
    "APIDigitalOutputs",
    "APIEnabledCommands",
    "APIMachiningInfoUsedTool",
    "APIMachiningInfo",
    "APIProgrammedPoints",
    "APIScan3DInfo",
    "APISystemInfo",
    "APIVMGeometryInfo",
]
SERVICES = ["CncAPIClientCore", "CncAPIInfoContext"]

CLIENT_DOC = (
    "\n    Class with API client core implementation.\n\n"
    "    An instance of this class reaches a single API Server.\n"
    "    If you have several CNC to reach you need to instance this class for each server.\n    "
)


def test_module_identity():
    assert cnc.__name__ == "cnc_api_client_core"
    assert cnc.__doc__ == "CNC API Client Core for MorvaneCNC & derivated Control Software."
    assert cnc.json is json and cnc.socket is socket
    assert not [n for n, v in vars(cnc).items() if isinstance(v, types.BuiltinFunctionType)]


@pytest.mark.parametrize("name, value", CONSTANTS, ids=[n for n, _ in CONSTANTS])
def test_constant_value(name, value):
    got = getattr(cnc, name)
    assert type(got) is type(value) and got == value


def test_attributes_bound_in_order():
    expected = ["json", "socket", *(n for n, _ in CONSTANTS), *RECORDS, *SERVICES]
    assert [n for n in vars(cnc) if n in set(expected)] == expected


@pytest.mark.parametrize("name", RECORDS + SERVICES)
def test_class_is_plain(name):
    cls = getattr(cnc, name)
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__, cls.__name__) == ("cnc_api_client_core", name, name)


def test_service_docstrings():
    assert cnc.CncAPIClientCore.__doc__ == CLIENT_DOC
    assert cnc.CncAPIInfoContext.__doc__ == "Service class for cnc api info context"


@pytest.mark.parametrize(
    "attr, record",
    [
        ("axes_info", "APIAxesInfo"),
        ("cnc_info", "APICncInfo"),
        ("compile_info", "APICompileInfo"),
        ("enabled_commands", "APIEnabledCommands"),
    ],
)
def test_info_context_class_records(attr, record):
    value = vars(cnc.CncAPIInfoContext)[attr]
    assert type(value) is getattr(cnc, record) and value.has_data is False
    assert getattr(cnc.CncAPIInfoContext(None), attr) is value


def test_import_again_returns_same_objects():
    before = dict(vars(cnc))
    del sys.modules["cnc_api_client_core"]
    try:
        again = importlib.import_module("cnc_api_client_core")
    finally:
        sys.modules["cnc_api_client_core"] = cnc
    assert again is cnc
    assert importlib.reload(cnc) is cnc
    assert all(vars(cnc)[n] is before[n] for n in ("CncAPIClientCore", "APICncInfo", "json"))


SUBINTERPRETER_IMPORT = {
    # up to 3.12: run_string raises the error
    "_xxsubinterpreters": """
        import _xxsubinterpreters as i, cnc_api_client_core
        try:
            i.run_string(i.create(), "import cnc_api_client_core")
        except i.RunFailedError as e:
            print(e)
    """,
    # 3.13: run_string returns a description of it
    "_interpreters": """
        import _interpreters as i, cnc_api_client_core
        e = i.run_string(i.create(), "import cnc_api_client_core")
        print(f"<class '{e.type.__name__}'>: {e.msg}")
    """,
}


def test_other_interpreter_is_refused():
    import importlib.util

    found = [name for name in SUBINTERPRETER_IMPORT if importlib.util.find_spec(name)]
    if not found:
        pytest.skip("no module to make subinterpreters with")
    code = textwrap.dedent(SUBINTERPRETER_IMPORT[found[0]])
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == (
        "<class 'ImportError'>: Interpreter change detected - this module "
        "can only be loaded into one interpreter per process."
    )
