"""Runs the viewer: python -m quorvex.viewer [--host H] [--port P] [--camera N]."""

import sys

from .cli import main

sys.exit(main())
