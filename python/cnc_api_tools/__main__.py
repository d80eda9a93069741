"""python -m cnc_api_tools: the same as the cnc-api console script."""

import sys

from .cli import main

sys.exit(main())
