"""Entry point of the analysis child process: `python -m cnc_api_simulator.child`."""

import sys

from .worker import main

sys.exit(main())
