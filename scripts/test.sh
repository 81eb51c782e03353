#!/usr/bin/env bash
# Builds everything (see setup.sh) and runs the test suite; extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cd "$root"
exec "$root/.venv/bin/python" -m pytest "$@"
