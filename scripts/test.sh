#!/usr/bin/env bash
# Builds everything and runs every test. On a fresh Debian 12 machine it first installs what
# it needs. Usage: scripts/test.sh [--sanitize | --tsan]
#   (default)   optimised build with debug info in build/, all C++ tests, then the Python
#               suite under Debian's python3 (3.11) and under pyenv's Python 3.13, and the
#               fault matrix against the simulated torso
#   --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/, C++ tests
#   --tsan      ThreadSanitizer build in build-tsan/, C++ tests
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh

build=build
setup_args=(--werror)
case ${1:-} in
    # GCC 12 reports maybe-uninitialized false positives in instrumented code (the Python
    # module's argument tuples, for one): that warning is off in the sanitizer builds only.
    --sanitize)
        build=build-asan
        setup_args+=(-Db_sanitize=address,undefined -Db_lundef=false -Dbenchmarks=disabled
                     "-Dcpp_args=-fno-sanitize-recover=all -fno-omit-frame-pointer -Wno-maybe-uninitialized")
        export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
        export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
        ;;
    --tsan)
        build=build-tsan
        setup_args+=(-Db_sanitize=thread -Db_lundef=false -Dbenchmarks=disabled
                     -Dcpp_args=-Wno-maybe-uninitialized)
        export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
        ;;
    "") ;;
    *) echo "usage: $0 [--sanitize | --tsan]" >&2; exit 2 ;;
esac

if [[ -f $build/build.ninja ]]; then
    # configure, not setup --reconfigure: Meson 1.0 keeps old compiler arguments on the latter.
    meson configure "$build" "${setup_args[@]}" >/dev/null
else
    meson setup "$build" "${setup_args[@]}"
fi
meson compile -C "$build"

status=0
# One test program at a time: several share 2 cores badly, and the buses have 10-20 ms
# reply time-outs that a starved simulator thread could miss.
meson test -C "$build" --print-errorlogs --num-processes 1 || status=$?
python3 scripts/test_summary.py "$build/meson-logs/testlog.json" "$build"

if [[ -z ${1:-} ]]; then
    scripts/test-python.sh || status=$?
    scripts/test-python.sh 3.12 || status=$?
    scripts/test-python.sh 3.13 || status=$?
    scripts/test-faults.sh || status=$?
fi
exit $status
