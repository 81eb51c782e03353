#!/usr/bin/env bash
# Builds everything (see setup.sh) and runs the test suite; extra arguments go to pytest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
"$root/scripts/setup.sh"
cd "$root"
exec "$python" -m pytest "$@"
