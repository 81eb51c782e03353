#!/usr/bin/env bash
# Proves the vendor-library build: installs the emulated QuorvexSDK on its own into a prefix, as
# a vendor installs theirs (headers, shared library; plus its test control), builds the module
# against that prefix with QX_VENDOR_SDK_DIR, and runs the whole test suite against it.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
"$root/scripts/setup.sh"
work="$root/build/vendor-check"
prefix="$work/prefix"
rm -rf "$work/prefix" "$work/venv"

PATH="$root/.venv/bin:$PATH" cmake -S "$root" -B "$work/sdk-build" -G Ninja \
    -DPython_EXECUTABLE="$python" -Dpybind11_DIR="$("$python" -m pybind11 --cmakedir)" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
PATH="$root/.venv/bin:$PATH" cmake --build "$work/sdk-build" --target QuorvexSDK qx_emulator >/dev/null
cmake --install "$work/sdk-build" --component sdk --prefix "$prefix" >/dev/null
log "installed: $(cd "$prefix" && find . -type f | sort | tr '\n' ' ')"

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
PYTHONPATH="$prefix/python" exec "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
