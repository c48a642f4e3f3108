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
# shellcheck source=lib.sh
source scripts/lib.sh

build=build
setup_args=(-Dwerror=true)
case ${1:-} in
    --sanitize)
        build=build-asan
        setup_args+=("${asan_ubsan_args[@]}" -Dbenchmarks=disabled)
        export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
        export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
        ;;
    --tsan)
        build=build-tsan
        setup_args+=("${tsan_args[@]}" -Dbenchmarks=disabled)
        export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
        ;;
    "") ;;
    *) echo "usage: $0 [--sanitize | --tsan]" >&2; exit 2 ;;
esac

configure_build "$build" "${setup_args[@]}"
meson compile -C "$build"

status=0
meson test -C "$build" --print-errorlogs || status=$?
python3 scripts/test_summary.py "$build/meson-logs/testlog.json" "$build"

if [[ -z ${1:-} ]]; then
    scripts/test-python.sh || status=$?
    scripts/test-python.sh 3.12 || status=$?
    scripts/test-python.sh 3.13 || status=$?
    scripts/test-faults.sh || status=$?
fi
exit $status
