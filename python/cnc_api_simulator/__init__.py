"""A simulated CNC API server speaking the line-based JSON protocol, for tests and demos."""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .config import MachineConfig
    from .machine import Machine
    from .server import DEFAULT_HOST, DEFAULT_PORT, DEFAULT_SPEED, Simulator

__all__ = ["Machine", "MachineConfig", "Simulator", "DEFAULT_HOST", "DEFAULT_PORT", "DEFAULT_SPEED", "__version__"]

# Imported on first use: the pytest plugin of this package loads in every test process of
# a user's suite, and the interpreter behind the server takes a tenth of a second to import.
_LAZY = {
    "MachineConfig": "config",
    "Machine": "machine",
    "Simulator": "server",
    "DEFAULT_HOST": "server",
    "DEFAULT_PORT": "server",
    "DEFAULT_SPEED": "server",
}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        value = getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
        globals()[name] = value
        return value
    # Looked up on first use too: reading the distribution's metadata takes longer than importing
    # the whole simulator, and the analysis process, which imports this package, never needs it.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import metadata

    try:
        version = metadata.version("cnc_api_client_core")
    except metadata.PackageNotFoundError:  # run from a source tree that was never installed
        version = "0+unknown"
    globals()["__version__"] = version
    return version
