#!/usr/bin/env bash
# Builds the module, the emulated library and its test control with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the whole test suite against that build with the
# sanitizer runtimes preloaded into the interpreter, then the threaded and release-mode tests
# again with the interpreter lock released around library calls (QX_RELEASE_GIL=camera). Any
# sanitizer report fails the run. Extra arguments go to both pytest runs.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build="$root/build/sanitize"

"$root/scripts/setup.sh"
source "$root/scripts/sanitized_build.sh"

flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
sanitized_build "$build" "$flags" "-fsanitize=address,undefined"

# The interpreter is not instrumented, so the runtimes must come first in the process.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
# CPython and NumPy keep memory until exit by design; leaks are measured by the soak stage of
# .ci/run (scripts/soak.sh) instead.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONPATH="$build:$build/emulator${PYTHONPATH:+:$PYTHONPATH}"

cd "$root"
"$python" -c "import pyQuorvexSDK, qx_emulator, sys; assert pyQuorvexSDK.__file__.startswith('$build'), pyQuorvexSDK.__file__"
"$python" -m pytest -p no:cacheprovider "$@"
QX_RELEASE_GIL=camera "$python" -m pytest -p no:cacheprovider tests/test_threads.py tests/binding/test_release_mode.py "$@"
