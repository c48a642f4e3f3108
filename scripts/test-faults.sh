#!/usr/bin/env bash
# Runs the fault matrix (tests/faults) through Python against the simulated torso: silent and
# corrupt devices, line noise, a vanished serial device, close with a full queue, many threads
# on one loop, interpreter exit, and create/close cycles for descriptor and memory leaks.
# The last line of output is pytest's summary; the exit status is non-zero on failure.
# Usage: scripts/test-faults.sh [--sanitize] [PYTHON]
#   --sanitize: build the module under AddressSanitizer + UndefinedBehaviorSanitizer in its own
#   build directory and run the matrix with the sanitizer runtime preloaded into the interpreter.
#   PYTHON: as for scripts/test-python.sh; default: Debian's python3.
set -euo pipefail

sanitize=false
if [[ ${1:-} == --sanitize ]]; then
    sanitize=true
    shift
fi

# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"
extra_setup_args=()
build_suffix=
if $sanitize; then
    extra_setup_args=("${asan_ubsan_args[@]}")
    build_suffix=-asan
fi
# shellcheck source=python-build.sh
source "$(dirname "$0")/python-build.sh"

run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT

preload=$repo/$build/sim/can_preload/libkestro_can_preload.so
sanitizer_env=()
if $sanitize; then
    # The sanitizer runtime must come first in LD_PRELOAD. CPython leaks by design at exit, so
    # leak detection stays off; any undefined behaviour fails the run.
    preload="$(gcc -print-file-name=libasan.so) $preload"
    sanitizer_env=(ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1)
fi

rm -f "$repo/$build/faults-figures.txt"  # this run's figures only
status=0
simulator_env "$preload" "$repo/$build/sim/torso/kestro-torso-sim" "$run"
env PYTHONPATH="$repo/$build/src/bindings" "${sim_env[@]}" \
    KESTRO_FAULTS_REPORT="$repo/$build/faults-figures.txt" \
    ${sanitizer_env[@]+"${sanitizer_env[@]}"} \
    "$python" -m pytest -p no:cacheprovider -q tests/faults \
    -W "ignore::DeprecationWarning:_pytest.assertion.rewrite" || status=$?
exit $status
