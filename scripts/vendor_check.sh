#!/usr/bin/env bash
# Proves the vendor-library build: installs the emulated QuorvexSDK on its own into a prefix, as
# a vendor installs theirs (headers, shared library; plus its test control), builds the module
# against that prefix with QX_VENDOR_SDK_DIR, and runs the whole test suite against it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
python="$root/.venv/bin/python"
work="$root/build/vendor-check"
prefix="$work/prefix"
rm -rf "$work/prefix" "$work/venv"

PATH="$root/.venv/bin:$PATH" cmake -S "$root" -B "$work/sdk-build" -G Ninja \
    -DPython_EXECUTABLE="$python" -Dpybind11_DIR="$("$python" -m pybind11 --cmakedir)" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
PATH="$root/.venv/bin:$PATH" cmake --build "$work/sdk-build" --target QuorvexSDK qx_emulator >/dev/null
cmake --install "$work/sdk-build" --component sdk --prefix "$prefix" >/dev/null
echo "[vendor] installed: $(cd "$prefix" && find . -type f | sort | tr '\n' ' ')"

"$(readlink -f "$python")" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" "pybind11>=3.0.1,<4" cmake ninja "numpy>=2.0" "pytest>=8" pillow hypothesis tqdm matplotlib
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C cmake.define.QX_VENDOR_SDK_DIR="$prefix" -C build-dir="$work/module-build" "$root"

site="$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
if [ -e "$site/qx_emulator"*.so ] || [ -d "$site/pyQuorvexSDK.libs" ]; then
    echo "[vendor] the vendor build must not carry an emulator of its own" >&2
    exit 1
fi
ldd "$site"/pyQuorvexSDK*.so | grep -q "$prefix/lib/libQuorvexSDK.so" \
    || { echo "[vendor] the module does not load $prefix/lib/libQuorvexSDK.so" >&2; exit 1; }

cd "$root"
PYTHONPATH="$prefix/python" exec "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
