"""What the simulated machine holds, and the predicates every part of it asks about that state.

All methods expect the caller to hold `lock`.
"""

from __future__ import annotations

import math
import threading
import time
from collections.abc import Callable

from .analysis import Analyzer, Job
from .codes import AXIS_COUNT, CS_ERROR, CS_FIRST_STEP, CS_FIRST_STEP_RUNNING, CS_INIT, CS_READY, SM_IDLE
from .compiled import Compiled, Key
from .config import MachineConfig
from .program import Modal
from .state import State
from .tables import TOOLS, Tables
from .text import ProgramText

# name: (value, min, max)
OVERRIDES = {
    "jog": (100, 0, 100),
    "spindle": (100, 50, 120),
    "fast": (100, 0, 100),
    "feed": (100, 0, 200),
    "feed.custom.1": (100, 0, 200),
    "feed.custom.2": (100, 0, 200),
    "plasma.power": (100, 0, 100),
    "plasma.voltage": (100, 50, 150),
}


class Approach:
    """A straight rapid to where a run begins or resumes."""

    def __init__(self, start: list[float], end: list[float], seconds: float) -> None:
        self.start = start
        self.end = end
        self.seconds = seconds


class Run:
    """A program or MDI run: which segment, and how far through it (0 to 1)."""

    def __init__(
        self, program: Compiled, index: int, frac: float, approach: Approach | None, from_program: bool
    ) -> None:
        self.program = program
        self.index = index
        self.frac = frac
        self.approach = approach
        self.from_program = from_program


class MachineCore:
    # Made by `Machine`, whose methods they call back.
    analyzer: Analyzer
    mdi_analyzer: Analyzer

    def __init__(
        self,
        programs_dir: str | None,
        speed: float = 1.0,
        clock: Callable[[], float] = time.monotonic,
        config: MachineConfig | None = None,
    ) -> None:
        if not 0 < speed < math.inf:
            raise ValueError("speed must be a positive number")
        self.lock = threading.Lock()
        self.programs_dir = programs_dir
        self.speed = float(speed)
        self.config = config or MachineConfig()
        self._clock = clock
        self._last = clock()

        self.state = SM_IDLE
        self.cnc = State()  # position, offsets, tools and modes the control keeps
        for tool, (_, diameter, length, *_rest) in TOOLS.items():
            self.cnc.tool_lengths[tool] = length
            self.cnc.tool_diameters[tool] = diameter
        self.version = 0  # counts changes of what an analysis starts from
        self.offset: tuple[float, ...] = self.cnc.offset()
        self.modal = Modal()
        self.velocity = [0.0] * AXIS_COUNT
        self.homed_mask = 0
        self.gcode_line = 0
        self.worked = 0.0
        self.spindle_time = 0.0
        self.overrides = {name: list(v) for name, v in OVERRIDES.items()}

        self._run: Run | None = None
        self._resume: tuple[Run, list[float]] | None = None  # left by a stop, for cnc.resume
        self._jog: tuple[int, float] | None = None
        self._homing: tuple[int, list[float], float] | None = None
        self._pending_start = False  # a start waits for the analysis
        # An alarm holds the machine until a stop resets it; an emergency stop also holds
        # it through stops, until released. `alarm_at_line` fires on entering that line.
        self.alarm: tuple[int, str] | None = None
        self.alarm_at_line: tuple[int, int, str] | None = None
        self.emergency = False

        self.tables = Tables()
        self.text = ProgramText.of("")
        self.file_name = ""
        self.compiled: Compiled | None = None
        self.job: Job | None = None
        self.mdi_job: Job | None = None  # an MDI line under analysis

    @property
    def clock(self) -> Callable[[], float]:
        return self._clock

    @property
    def position(self) -> list[float]:
        return self.cnc.position

    @property
    def has_text(self) -> bool:
        """Anything but blanks in the program (a large one is taken to until it is made)."""
        return self.text.has_text

    def _key(self) -> Key:
        return (tuple(self.cnc.position), self.version)

    @property
    def compile_state(self) -> int:
        if not self.has_text:
            return CS_INIT
        if self.job is not None:
            return CS_FIRST_STEP_RUNNING if self._pending_start else CS_FIRST_STEP
        if self.compiled is None:
            return CS_INIT
        return CS_ERROR if self.compiled.error else CS_READY

    @property
    def _free(self) -> bool:
        return self.state == SM_IDLE

    @property
    def _startable(self) -> bool:
        """Idle with a program that has no error (ready, or still being analysed)."""
        return self._free and self.compile_state in (CS_READY, CS_FIRST_STEP, CS_INIT) and self.has_text

    def _ready(self) -> Compiled | None:
        c = self.compiled
        return c if self._free and self.job is None and c is not None and not c.error else None
