#!/usr/bin/env bash
# Builds everything (see setup.sh) and runs the example on the emulated cameras.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
exec "$root/.venv/bin/python" "$root/examples/list_cameras.py" "$@"
