# Sourced by the scripts of this folder, never run: where the tree and its virtual environment
# are, logging, running as root, installing Debian packages, and the Python requirements, which
# pyproject.toml lists (build-system requires, and the `test` extra).
#
#   source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"      then: log, as_root, apt_install, ...
#
# The calling script's name (without .sh) tags its log lines.

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$root/.venv"
python="$venv/bin/python"
log_tag="$(basename "${BASH_SOURCE[1]:-$0}" .sh)"

# What the emulated QuorvexSDK and quorvex's pixel conversion (libyuv) compile and link against,
# for every build of them.
emulator_packages=(libspdlog-dev libfmt-dev libyaml-cpp-dev libturbojpeg0-dev nlohmann-json3-dev libyuv-dev zlib1g-dev)

log() { printf '[%s] %s\n' "$log_tag" "$*" >&2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"
    elif command -v sudo >/dev/null 2>&1; then sudo "$@"
    else log "need root to run: $*"; return 1
    fi
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

apt_updated=false
apt_update() {
    $apt_updated && return 0
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    apt_updated=true
}

# Installs the given Debian packages that are not installed yet.
apt_install() {
    local missing=() package
    for package in "$@"; do installed "$package" || missing+=("$package"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    if ! command -v apt-get >/dev/null 2>&1; then
        log "missing system packages (${missing[*]}) and no apt-get to install them"
        return 1
    fi
    apt_update
    log "installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# For scripts that work on what scripts/setup.sh built.
require_venv() {
    if [ ! -x "$python" ]; then
        log "no $venv: run scripts/setup.sh first"
        exit 1
    fi
}

pip_install() { "$1" -m pip install -q --disable-pip-version-check "${@:2}"; }

# The module's build requirements from pyproject.toml, plus the CMake and Ninja that a build
# without isolation (--no-build-isolation, as every script here builds) needs in the environment.
build_requirements() {
    "$python" - "$root/pyproject.toml" <<'PYTHON'
import sys, tomllib
with open(sys.argv[1], "rb") as file:
    print("\n".join(tomllib.load(file)["build-system"]["requires"] + ["cmake", "ninja"]))
PYTHON
}

# Installs the build requirements into the environment of the given interpreter.
install_build_requirements() {
    local requirements=()
    mapfile -t requirements < <(build_requirements)
    pip_install "$1" "${requirements[@]}"
}
