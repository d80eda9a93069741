"""python -m cnc_api_simulator.gcodes: the list of codes for docs/simulator.md."""

from . import markdown

print(markdown(), end="")
