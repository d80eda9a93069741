"""A simulated CNC API server speaking the line-based JSON protocol, for tests and demos."""

from importlib import metadata

from .config import MachineConfig
from .machine import Machine
from .server import DEFAULT_HOST, DEFAULT_PORT, DEFAULT_SPEED, Simulator

try:
    __version__ = metadata.version("cnc_api_client_core")
except metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ["Machine", "MachineConfig", "Simulator", "DEFAULT_HOST", "DEFAULT_PORT", "DEFAULT_SPEED", "__version__"]
