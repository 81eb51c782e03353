"""python -m quorvex.viewer [--host H] [--port P] [--camera N]: as `quorvex viewer`."""

import sys

from ..commands.viewer import main

sys.exit(main())
