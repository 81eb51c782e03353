#!/usr/bin/env bash
# Builds a wheel, installs it into a fresh virtual environment that has none of the build
# requirements, checks that the emulated library's dependencies resolve to the copies inside
# the wheel, as do those of quorvex's pixel conversion, and runs the smoke tests there.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
"$root/scripts/setup.sh"
work="$root/build/wheel-check"
rm -rf "$work"
mkdir -p "$work"

"$python" -m pip wheel -q --disable-pip-version-check --no-deps "$root" -w "$work/wheelhouse"
"$(readlink -f "$python")" -m venv "$work/venv"
wheel="$(ls "$work"/wheelhouse/*.whl)"
pip_install "$work/venv/bin/python" "$wheel[test]"

site="$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
bundled="$site/pyQuorvexSDK.libs"
log "$(basename "$wheel"): $(ls "$bundled" | tr '\n' ' ')"
# Every library the emulator needs beyond the C and C++ runtimes must come from the wheel.
outside="$(ldd "$bundled/libQuorvexSDK.so" | grep '=>' | grep -v -E "^\s*(libc|libm|libstdc\+\+|libgcc_s)\.so" \
           | grep -v "$bundled" || true)"
if [ -n "$outside" ]; then
    log "libraries resolved outside the wheel:"
    echo "$outside" >&2
    exit 1
fi

pixels="$(ls "$site"/quorvex/_pixels*.so)"
# Its run path reaches the bundled libraries as quorvex/../pyQuorvexSDK.libs.
outside="$(ldd "$pixels" | sed 's|/quorvex/\.\./|/|' | grep '=>' | grep -v -E "^\s*(libc|libm|libstdc\+\+|libgcc_s)\.so" \
           | grep -v "$bundled" || true)"
if [ -n "$outside" ]; then
    echo "[wheel] quorvex._pixels needs libraries outside the wheel:" >&2
    echo "$outside" >&2
    exit 1
fi

cd "$work"  # away from the source tree: the installed wheel is what gets imported
"$work/venv/bin/python" -c "import pyQuorvexSDK, sys; assert pyQuorvexSDK.__file__.startswith('$site')"
"$work/venv/bin/python" -c "import quorvex; assert quorvex.__file__.startswith('$site')"
test -x "$work/venv/bin/quorvex"
exec "$work/venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$root" \
    "$root/tests/binding/test_module.py" "$root/tests/binding/test_discovery.py" "$root/tests/binding/test_formats.py" \
    "$root/tests/package/test_quorvex_pixels.py" "$root/tests/package/test_quorvex_cli.py"
