#!/usr/bin/env bash
# CI check of the type stub, run after scripts/setup.sh has installed the module into .venv:
#   1. the committed src/pyQuorvexSDK.pyi equals a fresh scripts/stubs.sh generation;
#   2. mypy --strict accepts the stub;
#   3. stubtest finds it true to the module (src/stubtest_allowlist.txt lists what pybind11
#      cannot show at run time);
#   4. mypy --strict accepts scripts/stub_usage.py, which pins what the stub allows and refuses,
#      and scripts/stubs_fixups.py;
#   5. mypy --strict accepts the quorvex package (python/quorvex) against the stub;
#   6. mypy --strict accepts examples/*.py against the stub and that package (scripts/mypy-examples.ini).
# Every step runs; the exit status is non-zero when any of them failed. Installs the pinned
# generator and mypy (scripts/stub-tools.txt) into .venv when they are missing.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python="$root/.venv/bin/python"
work="$root/build/typecheck"

log() { printf '[typecheck] %s\n' "$*" >&2; }

if [ ! -x "$python" ]; then
    log "no $root/.venv: run scripts/setup.sh first"
    exit 1
fi
"$python" -m pip install -q --disable-pip-version-check -r "$root/scripts/stub-tools.txt"

rm -rf "$work/fresh" "$work/stub"
mkdir -p "$work/fresh" "$work/stub"
# Only the committed stub and the package's sources are on mypy's path, ahead of anything
# installed beside the module.
cp "$root/src/pyQuorvexSDK.pyi" "$work/stub/"
export MYPYPATH="$work/stub:$root/python"
mypy=("$python" -m mypy --strict --cache-dir "$work/mypy-cache" --config-file "$root/scripts/mypy-examples.ini")

failures=()
step() {
    local name="$1"
    shift
    log "$name"
    if ! "$@"; then
        failures+=("$name")
    fi
}

stale_check() {
    "$root/scripts/stubs.sh" "$work/fresh/pyQuorvexSDK.pyi" || return 1
    if ! diff -u "$root/src/pyQuorvexSDK.pyi" "$work/fresh/pyQuorvexSDK.pyi"; then
        log "src/pyQuorvexSDK.pyi is stale: run scripts/stubs.sh and commit the result"
        return 1
    fi
}

# From a neutral folder, so that the module stubtest imports is the installed one.
stubtest() {
    (cd "$work" && "$python" -m mypy.stubtest pyQuorvexSDK \
        --allowlist "$root/src/stubtest_allowlist.txt")
}

step "stub matches a fresh generation" stale_check
step "mypy --strict on the stub" "${mypy[@]}" "$work/stub/pyQuorvexSDK.pyi"
step "stubtest" stubtest
step "mypy --strict on scripts/stub_usage.py and stubs_fixups.py" \
    "${mypy[@]}" "$root/scripts/stub_usage.py" "$root/scripts/stubs_fixups.py"
step "mypy --strict on the quorvex package" "${mypy[@]}" -p quorvex
shopt -s nullglob
examples=("$root"/examples/*.py)
if [ ${#examples[@]} -gt 0 ]; then
    step "mypy --strict on examples/*.py" "${mypy[@]}" "${examples[@]}"
fi

if [ ${#failures[@]} -gt 0 ]; then
    log "FAILED: $(IFS=';'; echo "${failures[*]}")"
    exit 1
fi
log "all checks passed"
