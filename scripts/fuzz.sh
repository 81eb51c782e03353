#!/usr/bin/env bash
# Coverage-guided fuzzing of every file the emulated QuorvexSDK reads: builds the libFuzzer
# targets of fuzz/ with clang (AddressSanitizer + UndefinedBehaviorSanitizer) into build/fuzz,
# then runs each target for SECONDS_PER_TARGET seconds (default 20) on a scratch copy of its
# seed corpus, fuzz/corpus/<target>/ (so the repository stays as it is), with fuzz/dict/<target>.dict
# when there is one.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]        QX_FUZZ_JOBS=N: targets run at once (default: cores)
#
# Exits non-zero when a target finds a crash, leak, timeout or sanitizer report; the input is
# kept in build/fuzz/findings/<target>/. Installs what it needs with apt-get when missing.
set -euo pipefail

seconds="${1:-20}"
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [SECONDS_PER_TARGET]" >&2; exit 2 ;; esac

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
findings="$build/findings"
targets=(config bootdata firmware_fx3 firmware_sensor sensor_config profile routes product_info replay)
jobs="${QX_FUZZ_JOBS:-$(nproc)}"
# An input slower than this is reported: the files are small, so it means a runaway loop.
input_timeout=25

log() { printf '[fuzz] %s\n' "$*" >&2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"
    elif command -v sudo >/dev/null 2>&1; then sudo "$@"
    else log "need root to run: $*"; return 1
    fi
}

apt_updated=false
apt_install() {
    if ! command -v apt-get >/dev/null 2>&1; then
        log "missing $* and no apt-get to install it"
        return 1
    fi
    if ! $apt_updated; then
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
        apt_updated=true
    fi
    log "installing $*"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# clang++ on the PATH, else the newest versioned one (clang++-14).
find_clang() {
    local name
    name="$(compgen -c clang++ | grep -E '^clang\+\+(-[0-9]+)?$' | sort -t- -k2 -n | tail -n 1)"
    command -v clang++ 2>/dev/null || { [ -n "$name" ] && command -v "$name"; }
}

# The first of the candidates that runs (a version manager's shim may exist and fail).
first_working() {
    local candidate
    for candidate in "$@"; do
        if [ -n "$candidate" ] && "$candidate" --version >/dev/null 2>&1; then echo "$candidate"; return 0; fi
    done
    return 1
}

# Whether the compiler links a libFuzzer target with both sanitizers.
links_fuzzer() {
    local probe
    probe="$(mktemp -d)"
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
        >"$probe/probe.cpp"
    "$1" -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1
    local status=$?
    rm -rf "$probe"
    return $status
}

library_packages=(libspdlog-dev libfmt-dev libyaml-cpp-dev libturbojpeg0-dev nlohmann-json3-dev)
missing=()
for package in "${library_packages[@]}"; do installed "$package" || missing+=("$package"); done
cxx="$(find_clang || true)"
[ -n "$cxx" ] || missing+=(clang)
first_working "$(command -v ninja)" /usr/bin/ninja >/dev/null || missing+=(ninja-build)
first_working "$(command -v cmake)" /usr/bin/cmake >/dev/null || missing+=(cmake)
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
[ -n "$cxx" ] || cxx="$(find_clang)" || { log "no clang++ after installing clang"; exit 1; }
cmake="$(first_working "$(command -v cmake)" /usr/bin/cmake)"
ninja="$(first_working "$(command -v ninja)" /usr/bin/ninja)"

if ! links_fuzzer "$cxx"; then
    # Debian ships libclang_rt.fuzzer in libclang-rt-N-dev (from clang 14 on) or, before the
    # split, in libclang-common-N-dev.
    major="$("$cxx" -dumpversion | cut -d. -f1)"
    runtime="libclang-rt-$major-dev"
    if ! apt-cache show "$runtime" >/dev/null 2>&1; then
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
        apt_updated=true
        apt-cache show "$runtime" >/dev/null 2>&1 || runtime="libclang-common-$major-dev"
    fi
    apt_install "$runtime"
    links_fuzzer "$cxx" || { log "$cxx cannot link -fsanitize=fuzzer,address,undefined"; exit 1; }
fi

log "building the fuzz targets with $cxx"
configure() {
    "$cmake" -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" -DCMAKE_CXX_COMPILER="$cxx" \
        >"$build.configure.log" 2>&1
}
mkdir -p "$(dirname "$build")"
if ! configure; then
    # A build tree made with another compiler cannot be reconfigured in place.
    rm -rf "$build"
    configure || { cat "$build.configure.log" >&2; exit 1; }
fi
if ! "$cmake" --build "$build" -j "$jobs" >"$build.build.log" 2>&1; then
    tail -n 60 "$build.build.log" >&2
    exit 1
fi

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
rm -rf "$findings"

run_target() {
    local target="$1" work="$scratch/$1"
    mkdir -p "$work/artifacts" "$work/tmp"
    cp -R "$root/fuzz/corpus/$target" "$work/corpus"
    # A slow seed (a configuration of 65535 formats) gets less time, not most of it. ASan's
    # allocator lets a target's memory grow towards 1.5 GB over long runs: not a leak.
    local options=(-max_total_time="$seconds" -timeout="$input_timeout" -rss_limit_mb=4096 -print_final_stats=1
                   -entropic_scale_per_exec_time=1 -artifact_prefix="$work/artifacts/")
    [ -f "$root/fuzz/dict/$target.dict" ] && options+=(-dict="$root/fuzz/dict/$target.dict")
    local status=0
    # TMPDIR: the targets' scratch files, left behind only when a target dies.
    TMPDIR="$work/tmp" "$build/fuzz_$target" "$work/corpus" "${options[@]}" >"$work/log" 2>&1 || status=$?
    echo "$status" >"$work/status"
}

log "running ${#targets[@]} targets for ${seconds} s each, $jobs at a time"
running=0
for target in "${targets[@]}"; do
    run_target "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
wait

passed=0
failed=0
printf '%-16s %12s %8s  %s\n' target executions exec/s result
for target in "${targets[@]}"; do
    work="$scratch/$target"
    status="$(cat "$work/status")"
    executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)"
    rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -n 1)"
    result=ok
    if [ "$status" -ne 0 ] || grep -qE '^(==[0-9]+==ERROR|SUMMARY: )|runtime error:|==qx-fuzz==' "$work/log"; then
        result="FAILED (exit $status)"
    fi
    printf '%-16s %12s %8s  %s\n' "$target" "${executions:-?}" "${rate:-?}" "$result"
    if [ "$result" = ok ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        mkdir -p "$findings/$target"
        cp "$work/log" "$findings/$target/log"
        cp "$work"/artifacts/* "$findings/$target/" 2>/dev/null || true
    fi
done

for target in "${targets[@]}"; do
    [ -d "$findings/$target" ] || continue
    printf '\n===== %s: last lines of the log (all of it and the input in %s) =====\n' \
        "$target" "$findings/$target" >&2
    tail -n 60 "$findings/$target/log" >&2
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
