"""Integer codes shared with the client: machine states, compile states, tools."""

# State machine
SM_ALARM = 4
SM_IDLE = 5
SM_HOMING = 6
SM_JOG = 7
SM_RUN = 8
SM_PAUSE = 9

# Compile state
CS_INIT = 0
CS_READY = 1
CS_ERROR = 2


# Spindle status
SS_OFF = 1
SS_CW = 2
SS_CCW = 3

# Tool types
TT_GENERIC = 0
TT_FLAT_END_MILL = 1
TT_BALL_NOSE_END_MILL = 2
TT_DRILL = 3
TT_PROBE = 4

# Units
UM_METRIC = 0
UM_IMPERIAL = 1

# Jog commands run from 1 (X backward) to 12 (C forward); 0 stops jogging.
JC_NONE = 0
JC_LAST = 12

ANALYSIS_MODES = ("mt", "rt", "rf", "rv", "rz")

AXIS_NAMES = "xyzabc"
AXIS_COUNT = len(AXIS_NAMES)
AXES_MASK = (1 << AXIS_COUNT) - 1
CS_FIRST_STEP = 3
CS_FIRST_STEP_RUNNING = 4
