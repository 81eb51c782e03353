#!/usr/bin/env bash
# Regenerates the type stub src/pyQuorvexSDK.pyi from the module installed in .venv (run
# scripts/setup.sh first): pybind11-stubgen writes the raw stub, then scripts/stubs_fixups.py
# makes it precise and acceptable to mypy --strict (its docstring lists the fix-ups).
#
#   scripts/stubs.sh [OUTPUT]      default OUTPUT: src/pyQuorvexSDK.pyi
#
# Installs the pinned generator (scripts/stub-tools.txt) into .venv when it is missing.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
output="${1:-$root/src/pyQuorvexSDK.pyi}"

require_venv

# The pinned version, not just any: a different generator writes a different stub. pip does
# nothing (and asks no index) when the pinned versions are already there.
pip_install "$python" -r "$root/scripts/stub-tools.txt"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# From a neutral folder, so that only the installed module can be imported.
(cd "$work" && "$python" -m pybind11_stubgen pyQuorvexSDK --exit-code -o "$work/raw" >"$work/stubgen.log" 2>&1) || {
    cat "$work/stubgen.log" >&2
    log "pybind11-stubgen failed"
    exit 1
}
"$python" "$root/scripts/stubs_fixups.py" "$work/raw/pyQuorvexSDK.pyi" "$work/pyQuorvexSDK.pyi"
mkdir -p "$(dirname "$output")"
cp "$work/pyQuorvexSDK.pyi" "$output"
log "wrote $output"
