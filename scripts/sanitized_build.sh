# Sourced by the sanitizer scripts (sanitize.sh, tsan.sh), which set $root (the repository) and
# $python (the virtual environment's interpreter):
#
#   sanitized_build BUILD_DIR COMPILE_FLAGS LINK_FLAGS [cmake --build arguments...]
#
# configures the project in a build folder of its own with the extra flags and builds it (or
# the targets the arguments name).
sanitized_build() {
    local build="$1" flags="$2" link="$3"
    shift 3
    PATH="$root/.venv/bin:$PATH" cmake -S "$root" -B "$build" -G Ninja \
        -DPython_EXECUTABLE="$python" \
        -Dpybind11_DIR="$("$python" -m pybind11 --cmakedir)" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS="$flags" \
        -DCMAKE_SHARED_LINKER_FLAGS="$link" \
        -DCMAKE_MODULE_LINKER_FLAGS="$link" >/dev/null
    PATH="$root/.venv/bin:$PATH" cmake --build "$build" "$@" >/dev/null
}
