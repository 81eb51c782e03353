#!/usr/bin/env bash
# Builds the module, the emulated library, its test control and quorvex's pixel conversion with
# AddressSanitizer and UndefinedBehaviorSanitizer, then runs the whole test suite against that
# build with the sanitizer runtimes preloaded into the interpreter. Any sanitizer report fails
# the run.
# Extra arguments go to pytest.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/sanitize"
python="$root/.venv/bin/python"

"$root/scripts/setup.sh"

flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
PATH="$root/.venv/bin:$PATH" cmake -S "$root" -B "$build" -G Ninja \
    -DPython_EXECUTABLE="$python" \
    -Dpybind11_DIR="$("$python" -m pybind11 --cmakedir)" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
PATH="$root/.venv/bin:$PATH" cmake --build "$build" >/dev/null

# The interpreter is not instrumented, so the runtimes must come first in the process.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
# CPython and NumPy keep memory until exit by design; leaks are measured by the soak instead.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# quorvex from the source tree, with the instrumented pixel conversion beside it.
stage="$build/stage"
rm -rf "$stage"
mkdir -p "$stage"
cp -r "$root/python/quorvex" "$stage/"
cp "$build"/python/_pixels*.so "$stage/quorvex/"
export PYTHONPATH="$stage:$build:$build/emulator${PYTHONPATH:+:$PYTHONPATH}"
export QX_SANITIZED_BUILD=1

cd "$root"
"$python" -c "import pyQuorvexSDK, qx_emulator, sys; assert pyQuorvexSDK.__file__.startswith('$build'), pyQuorvexSDK.__file__"
"$python" -c "import quorvex._pixels as p; assert p.__file__.startswith('$stage'), p.__file__"
exec "$python" -m pytest -p no:cacheprovider "$@"
