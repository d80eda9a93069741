"""Machine settings: axis limits, accepted machine-specific M codes, probing, stops."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

AXES = "XYZABC"

# A small three-axis mill with a rotary table: mm/min (deg/min) and mm/s^2 (deg/s^2).
DEFAULT_RAPID = (10000.0, 10000.0, 6000.0, 7200.0, 7200.0, 7200.0)
DEFAULT_MAX_FEED = (8000.0, 8000.0, 5000.0, 5400.0, 5400.0, 5400.0)
DEFAULT_ACCEL = (800.0, 800.0, 500.0, 720.0, 720.0, 720.0)

# Accepted and ignored: every code from M10 to M199 that has no meaning here of its own,
# which takes in clamps, doors, air, chip conveyors, gear ranges, spindle orientation,
# through-spindle coolant, torch height control, override switches and user codes.
# Anything else that the interpreter does not know is an error.
_MEANINGFUL_M = frozenset((30, 60, 61, 70, 71, 72, 73, 97, 98, 99))
DEFAULT_IGNORED_M = frozenset(code for code in range(10, 200) if code not in _MEANINGFUL_M)

DIALECTS = ("rs274ngc", "iso")
DEFAULT_BLEND_TOLERANCE = 0.05  # mm a corner may be rounded under G64 without P
PECK_CLEARANCE = 0.254  # mm, how far above the last peck a G83 comes back down


@dataclass(frozen=True)
class MachineConfig:
    rapid: tuple[float, ...] = DEFAULT_RAPID
    max_feed: tuple[float, ...] = DEFAULT_MAX_FEED
    accel: tuple[float, ...] = DEFAULT_ACCEL
    ignored_m: frozenset[int] = DEFAULT_IGNORED_M
    optional_stop: bool = False  # M1 pauses only when the optional-stop switch is on
    block_delete: bool = False  # lines starting with '/' are skipped only when the switch is on
    dialect: str = "rs274ngc"  # or "iso": how G4 reads P, X and U (see DIALECTS)
    probe_trip: dict[int, float] = field(default_factory=dict)  # axis index -> machine position
    max_run_lines: int = 20_000_000  # lines interpreted, loops included: an endless loop ends here
    max_segments: int = 3_000_000  # moves of one program, which bounds its memory
    # program text (characters) from which the analysis runs in a child process of its own,
    # and the seconds a shorter one may run on a thread of the server before it moves there
    child_threshold: int = 256 * 1024
    thread_seconds: float = 0.3
    # the axes the machine has (bits as the client's axis masks: X 1, Y 2, Z 4, A 8 ...), and
    # travel limits (axis index -> low, high machine position) that a jog stops at
    axes_mask: int = (1 << len(AXES)) - 1
    travel: dict[int, tuple[float, float]] = field(default_factory=dict)

    def __post_init__(self) -> None:
        if self.dialect not in DIALECTS:
            raise ValueError(f"dialect must be one of {', '.join(DIALECTS)}")
        for name in ("rapid", "max_feed", "accel"):
            values = getattr(self, name)
            if len(values) != len(AXES) or not all(0 < v < math.inf for v in values):
                raise ValueError(f"{name} needs {len(AXES)} positive finite values")


def parse_axis_values(text: str, defaults: tuple[float, ...]) -> tuple[float, ...]:
    """`X=5000,Z=3000` over the defaults; raises ValueError on a bad item."""
    values = list(defaults)
    for item in text.split(","):
        item = item.strip()
        if not item:
            continue
        axis, sep, number = item.partition("=")
        axis = axis.strip().upper()
        if not sep or len(axis) != 1 or axis not in AXES:
            raise ValueError(f"{item!r}: expected AXIS=VALUE with AXIS one of {AXES}")
        value = float(number)
        if not 0 < value < math.inf:
            raise ValueError(f"{item!r}: the value must be positive")
        values[AXES.index(axis)] = value
    return tuple(values)


def format_axis_values(values: tuple[float, ...]) -> str:
    return ",".join(f"{a}={v:g}" for a, v in zip(AXES, values, strict=True))
