#!/usr/bin/env bash
# Prepares this machine for pyQuorvexSDK and (re)builds it: the system packages the emulated
# camera library needs, a Python 3.13 virtual environment in .venv, and the package itself
# installed into it. Safe to run again; later runs only rebuild what changed.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$root/.venv"

apt_packages=(g++ make libspdlog-dev libyaml-cpp-dev libturbojpeg0-dev nlohmann-json3-dev libyuv-dev)

log() { printf '[setup] %s\n' "$*" >&2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"
    elif command -v sudo >/dev/null 2>&1; then sudo "$@"
    else log "need root to run: $*"; return 1
    fi
}

install_system_packages() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if ! command -v apt-get >/dev/null 2>&1; then
        log "missing system packages (${missing[*]}) and no apt-get to install them"
        return 1
    fi
    log "installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

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

install_system_packages "${apt_packages[@]}"

if ! is_python313 "$venv/bin/python" 2>/dev/null; then
    python313="$(find_python313 || true)"
    if [ -z "$python313" ]; then
        log "no Python 3.13 found; trying the distribution's python3.13"
        install_system_packages python3.13 python3.13-venv python3.13-dev || true
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

log "installing build and test requirements"
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" "pybind11>=3.0.1,<4" cmake ninja "numpy>=2.0" "pytest>=8" pillow hypothesis tqdm matplotlib opencv-python-headless \
    av mcap mcap-protobuf-support foxglove-schemas-protobuf

log "building and installing pyQuorvexSDK"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation "$root"
