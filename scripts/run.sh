#!/usr/bin/env bash
# Builds everything (see setup.sh) and captures frames from the first emulated camera into out/*.png.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
"$root/scripts/setup.sh"
exec "$python" "$root/examples/capture.py" "$@"
