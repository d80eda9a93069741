"""Checks an installed distribution from outside any source tree: the module,
the simulator and the stubs import from site-packages, and the module talks
to the simulator."""

from __future__ import annotations

import importlib.metadata
import pathlib
import sys
import sysconfig

import cnc_api_client_core as cnc
import cnc_api_simulator
from cnc_api_simulator import Simulator


def main() -> int:
    site = {pathlib.Path(sysconfig.get_paths()[k]).resolve() for k in ("purelib", "platlib")}
    for module in (cnc, cnc_api_simulator):
        where = pathlib.Path(module.__file__ or "").resolve()
        if not any(where.is_relative_to(s) for s in site):
            print(f"smoke: {module.__name__} comes from {where}, not from site-packages", file=sys.stderr)
            return 1
    stubs = [s / "cnc_api_client_core-stubs" / "__init__.pyi" for s in site]
    if not any(s.is_file() for s in stubs):
        print("smoke: the type stubs are not installed", file=sys.stderr)
        return 1
    version = importlib.metadata.version("cnc_api_client_core")
    with Simulator("127.0.0.1", 0) as sim:
        api = cnc.CncAPIClientCore()
        if not api.connect("127.0.0.1", sim.port):
            print("smoke: cannot connect to the simulator", file=sys.stderr)
            return 1
        info = api.get_cnc_info()
        started = api.program_gcode_set_text("G0 X1\nM30\n") and api.get_compile_info().state == cnc.CS_READY
        api.close()
    if not (info.has_data and info.state_machine == cnc.SM_IDLE and started):
        print("smoke: the simulator did not answer as expected", file=sys.stderr)
        return 1
    print(f"smoke: cnc_api_client_core {version} (module {cnc.__version__}) on Python {sys.version.split()[0]}: OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
