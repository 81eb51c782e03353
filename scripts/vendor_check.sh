#!/usr/bin/env bash
# Proves the vendor-library build: lays the emulated QuorvexSDK out exactly as the README says a
# vendor installation is (include/QuorvexSDK/QuorvexSDK.h, one header flattened from the
# project's split ones, and lib/libQuorvexSDK.so), builds the module against it with
# QX_VENDOR_SDK_DIR, and runs the whole test suite there, the quorvex package's tests included.
# The emulator's test control lives outside that folder and loads the same library file.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
"$root/scripts/setup.sh"
work="$root/build/vendor-check"
prefix="$work/vendor"
control="$work/control"
# The module is built afresh: CMake caches where it found the header and the library.
rm -rf "$work/prefix" "$prefix" "$control" "$work/venv" "$work/module-build"

PATH="$root/.venv/bin:$PATH" cmake -S "$root" -B "$work/sdk-build" -G Ninja \
    -DPython_EXECUTABLE="$python" -Dpybind11_DIR="$("$python" -m pybind11 --cmakedir)" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
PATH="$root/.venv/bin:$PATH" cmake --build "$work/sdk-build" --target QuorvexSDK qx_emulator >/dev/null
cmake --install "$work/sdk-build" --component sdk --prefix "$control" >/dev/null

"$python" "$root/scripts/flatten_sdk_header.py" "$root/include/QuorvexSDK/QuorvexSDK.h" \
    "$prefix/include/QuorvexSDK/QuorvexSDK.h"
mkdir -p "$prefix/lib"
mv "$control/lib/libQuorvexSDK.so" "$prefix/lib/"
rmdir "$control/lib"
# The test control finds the library through its run path $ORIGIN/../lib: the vendor folder's.
ln -s "$prefix/lib" "$control/lib"
laid_out="$(cd "$prefix" && find . -mindepth 1 -not -type d | sort | tr '\n' ' ')"
if [ "$laid_out" != "./include/QuorvexSDK/QuorvexSDK.h ./lib/libQuorvexSDK.so " ]; then
    log "the vendor folder must hold only the header and the library, not: $laid_out"
    exit 1
fi
log "vendor installation: $laid_out"

"$(readlink -f "$python")" -m venv "$work/venv"
install_build_requirements "$work/venv/bin/python"
pip_install "$work/venv/bin/python" --no-build-isolation \
    -C cmake.define.QX_VENDOR_SDK_DIR="$prefix" -C build-dir="$work/module-build" "$root[test]"

site="$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
# pyQuorvexSDK.libs may hold the pixel conversion's TurboJPEG, never a library of the emulator.
if compgen -G "$site/qx_emulator*.so" >/dev/null || compgen -G "$site/pyQuorvexSDK.libs/libQuorvexSDK*" >/dev/null; then
    log "the vendor build must not carry an emulator of its own"
    exit 1
fi
# Read whole first: grep -q stops at the first match, and under pipefail the SIGPIPE that ldd
# then gets would fail the check at random.
linked="$(ldd "$site"/pyQuorvexSDK*.so)"
grep -q "$prefix/lib/libQuorvexSDK.so" <<<"$linked" \
    || { log "the module does not load $prefix/lib/libQuorvexSDK.so"; exit 1; }

cd "$root"
PYTHONPATH="$control/python" exec "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
