#!/usr/bin/env bash
# Builds the emulated QuorvexSDK with ThreadSanitizer into build/tsan, builds the C++ driver that
# calls it from many threads at once (emulator/testsupport/concurrency_stress.cpp) against it,
# and runs the driver. A data race, a lock-order inversion or a broken check fails the run.
#
#   scripts/tsan.sh [SECONDS]        how long the driver runs (default 10)
set -euo pipefail

seconds="${1:-10}"
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;; esac

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/tsan"
python="$root/.venv/bin/python"

"$root/scripts/setup.sh"
source "$root/scripts/sanitized_build.sh"

flags="-fsanitize=thread -fno-omit-frame-pointer -g"
sanitized_build "$build" "$flags" "-fsanitize=thread" --target QuorvexSDK

library="$(find "$build" -name 'libQuorvexSDK.so' -print -quit)"
driver="$build/concurrency_stress"
g++ -std=c++17 -O1 $flags -pthread "$root/emulator/testsupport/concurrency_stress.cpp" -o "$driver" \
    -I "$root/include" -I "$root/emulator/include" "$library" -Wl,-rpath,"$(dirname "$library")"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
PYTHONPATH="$root/examples" "$python" -c "
import pyQuorvexSDK as qx
from firmware_image import TARGET_SENSOR, make_firmware_image
for version in ('7.0.1', '7.0.2'):
    make_firmware_image(f'$work/sensor-{version}.img', TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, version)
"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=66"
# The library logs every refused call of the driver: keep that out of the CI log unless the run
# fails, and then show its end, where a ThreadSanitizer report stands.
if ! "$driver" "$seconds" "$work" 2>"$work/driver.log"; then
    tail -n 200 "$work/driver.log" >&2
    exit 1
fi
grep -v '^\[' "$work/driver.log" >&2 || true
