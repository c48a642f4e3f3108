#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ in build-fuzz/ (clang, sanitizers), then runs each
# target for a bounded time on a copy of its seed corpus, so that nothing is written into the
# repository. Installs what it needs on Debian 12 when missing.
#
# Usage: scripts/fuzz.sh [seconds-per-target]   (default 10: about a minute for all targets)
#
# A target that crashes, leaks, hangs or breaks one of its checked properties fails; its input
# is kept in build-fuzz/fuzz-artifacts/. The last line is "fuzz: N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds == 0)); then
    echo "usage: $0 [seconds-per-target]" >&2
    exit 2
fi

# clang 16 is the newest clang of Debian 12; libclang-rt-16-dev holds its libFuzzer and
# sanitizer runtimes.
scripts/setup-debian.sh clang-16 libclang-rt-16-dev

# The whole build directory uses clang, with AddressSanitizer and UndefinedBehaviorSanitizer
# everywhere and libFuzzer's coverage instrumentation in every library, so that the fuzzer
# steers by, and the sanitizers watch, the code under test. _GLIBCXX_ASSERTIONS bounds-checks
# span, vector and optional accesses.
build=build-fuzz
cpp_args="-D_GLIBCXX_ASSERTIONS"
cpp_args+=" -fsanitize=fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer"
setup_args=(--werror -Dfuzz=enabled -Dtests=disabled -Dbenchmarks=disabled
            -Db_sanitize=address,undefined -Db_lundef=false "-Dcpp_args=$cpp_args")
export CXX="${FUZZ_CLANGXX:-clang++-16}"
if [[ -f $build/build.ninja ]]; then
    # configure, not setup --reconfigure: Meson 1.0 keeps old compiler arguments on the latter.
    meson configure "$build" "${setup_args[@]}" >/dev/null
else
    meson setup "$build" "${setup_args[@]}"
fi
# Only the fuzz targets and the libraries they test: the rest of the project has its own build.
targets=()
for source in fuzz/*.cpp; do targets+=("fuzz/$(basename "$source" .cpp)"); done
meson compile -C "$build" -j "$(nproc)" "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

passed=0
failed=0
for source in fuzz/*.cpp; do
    target=$(basename "$source" .cpp)
    # Inputs no longer than the largest the target takes (a servo reply is at most 259 bytes,
    # a CAN frame record 72).
    case $target in
        servo_*) max_len=600 ;;
        can_frame_record) max_len=128 ;;
        mit_feedback) max_len=32 ;;
        *) max_len=1024 ;;
    esac
    corpus=$work/$target
    mkdir -p "$corpus"
    [[ -d fuzz/corpus/$target ]] && cp fuzz/corpus/"$target"/* "$corpus"/
    log=$work/$target.log
    if "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
            "$corpus" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
        echo "fuzz $target: ok, ${runs:-?} runs, ${rate:-?} exec/s"
        passed=$((passed + 1))
    else
        echo "fuzz $target: FAILED"
        tail -n 60 "$log"
        failed=$((failed + 1))
    fi
done

echo "fuzz: $passed passed, $failed failed"
((failed == 0))
