#!/usr/bin/env bash
# Builds the module, the emulated library and its test control with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the whole test suite against that build with the
# sanitizer runtimes preloaded into the interpreter. Any sanitizer report fails the run.
# Extra arguments go to pytest.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build="$root/build/sanitize"

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
# CPython and NumPy keep memory until exit by design; leaks are measured by the soak stage of
# .ci/run (scripts/soak.sh) instead.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONPATH="$build:$build/emulator${PYTHONPATH:+:$PYTHONPATH}"

cd "$root"
"$python" -c "import pyQuorvexSDK, qx_emulator, sys; assert pyQuorvexSDK.__file__.startswith('$build'), pyQuorvexSDK.__file__"
exec "$python" -m pytest -p no:cacheprovider "$@"
