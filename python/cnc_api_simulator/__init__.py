"""A simulated CNC API server speaking the line-based JSON protocol, for tests and demos."""

from .config import MachineConfig
from .machine import Machine
from .server import DEFAULT_HOST, DEFAULT_PORT, DEFAULT_SPEED, Simulator

__all__ = ["Machine", "MachineConfig", "Simulator", "DEFAULT_HOST", "DEFAULT_PORT", "DEFAULT_SPEED", "__version__"]


def __getattr__(name: str) -> str:
    # Looked up on first use: reading the distribution's metadata takes longer than importing
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
