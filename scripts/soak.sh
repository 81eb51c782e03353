#!/usr/bin/env bash
# A short soak for CI: benchmarks/soak.py calls every function family in a loop for SECONDS
# (default 10) after warm-up rounds and fails when resident memory or the number of objects the
# garbage collector tracks grew beyond its bounds. Run after scripts/setup.sh.
#
#   scripts/soak.sh [SECONDS]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_venv
exec "$python" "$root/benchmarks/soak.py" --seconds "${1:-10}"
