#!/usr/bin/env bash
# Builds everything (see setup.sh) and captures frames from the first emulated camera into out/*.png.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
exec "$root/.venv/bin/python" "$root/examples/capture.py" "$@"
