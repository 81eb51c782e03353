#!/usr/bin/env bash
# Prepares this machine for pyQuorvexSDK and (re)builds it: the system packages the emulated
# camera library needs, a Python 3.13 virtual environment in .venv, and the package itself
# installed into it with its test requirements (the `test` extra of pyproject.toml). Safe to run
# again; later runs only rebuild what changed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

is_python313() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }

find_python313() {
    local candidates=()
    [ -n "${QX_PYTHON:-}" ] && candidates+=("$QX_PYTHON")
    local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    if [ -d "$pyenv_root/versions" ]; then
        while IFS= read -r found; do candidates+=("$found"); done < <(
            ls -d "$pyenv_root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -rV)
    fi
    candidates+=(/usr/local/bin/python3.13 /usr/bin/python3.13)
    command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
    for candidate in "${candidates[@]}"; do
        if [ -x "$candidate" ] && is_python313 "$candidate"; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

apt_install g++ make "${emulator_packages[@]}"

# The viewer's browser test drives Debian's Chromium; CI always has it, a developer on request.
if [ "${CI:-}" = "true" ] || [ -n "${QX_WITH_BROWSER:-}" ]; then
    apt_install chromium chromium-driver
fi

if ! is_python313 "$python" 2>/dev/null; then
    python313="$(find_python313 || true)"
    if [ -z "$python313" ]; then
        log "no Python 3.13 found; trying the distribution's python3.13"
        apt_install python3.13 python3.13-venv python3.13-dev || true
        python313="$(find_python313 || true)"
    fi
    if [ -z "$python313" ]; then
        log "Python 3.13 is required: install it (for example with pyenv) or set QX_PYTHON to its path"
        exit 1
    fi
    log "creating $venv with $python313"
    rm -rf "$venv"
    "$python313" -m venv "$venv"
fi

log "installing the build requirements"
install_build_requirements "$python"

log "building and installing pyQuorvexSDK with its test requirements"
pip_install "$python" --no-build-isolation "$root[test]"
