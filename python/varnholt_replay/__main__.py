"""``python -m varnholt_replay FILES...``: the same as ``varnholt-replay``."""

import sys

from .cli import main

sys.exit(main())
