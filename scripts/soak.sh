#!/usr/bin/env bash
# Builds the module and the simulator, then runs the control-loop soak program
# (tests/soak/loop_soak.py): a 500 Hz loop with four command threads, ten minutes by default.
# Not part of CI. Usage: scripts/soak.sh [MINUTES]
set -euo pipefail
minutes=${1:-10}
set --  # the build script reads its own first argument (the interpreter)
# shellcheck source=python-build.sh
source "$(dirname "$0")/python-build.sh"
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
simulator_env "$repo/$build/sim/can_preload/libkestro_can_preload.so" \
    "$repo/$build/sim/torso/kestro-torso-sim" "$run"
env PYTHONPATH="$repo/$build/src/bindings" "${sim_env[@]}" "$python" tests/soak/loop_soak.py "$minutes"
