"""A simulated CNC API server speaking the line-based JSON protocol, for tests and demos."""

from .machine import Machine
from .server import DEFAULT_HOST, DEFAULT_PORT, DEFAULT_SPEED, Simulator

__version__ = "1.4.1"
__all__ = ["Machine", "Simulator", "DEFAULT_HOST", "DEFAULT_PORT", "DEFAULT_SPEED", "__version__"]
