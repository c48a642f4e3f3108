#!/usr/bin/env bash
# The board's build: cross-compiles everything for armhf (32-bit ARM, hard float) with
# warnings as errors, runs the C++ tests under qemu-arm, then a focused part of the Python suite
# with Debian's armhf interpreter against the armhf module. Set-up of the cross toolchain,
# sysroot and emulator comes from ../shared/tools/armhf (once per machine).
set -euo pipefail
cd "$(dirname "$0")/.."

ARMHF_HOME=${ARMHF_HOME:-$HOME/.cache/armhf}
export ARMHF_HOME
if [[ ! -x $ARMHF_HOME/qemu-arm || ! -f $ARMHF_HOME/armhf-cross.ini ]]; then
    ../shared/tools/armhf/setup.sh
fi

# shellcheck source=lib.sh
source scripts/lib.sh
build=build-armhf
setup_only=(--cross-file "$ARMHF_HOME/armhf-cross.ini")
configure_build "$build" -Dwerror=true -Dbenchmarks=disabled
meson compile -C "$build"

status=0
# Under emulation everything runs several times slower; the multiplier keeps time-outs fair.
meson test -C "$build" --print-errorlogs --timeout-multiplier 3 || status=$?
python3 scripts/test_summary.py "$build/meson-logs/testlog.json" armhf

# The Python part. The simulator runs natively (the kernel starts an x86-64 program from the
# emulated interpreter directly); the preload library, loaded into the emulated interpreter
# only (QEMU_SET_ENV), is the armhf one. qemu-user cannot start the armhf interpreter itself as a
# child process, so the two tests that do so are left out here.
host=build-host-sim
setup_only=()
configure_build "$host" -Dtests=disabled -Dbenchmarks=disabled
meson compile -C "$host" kestro-torso-sim >/dev/null
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
simulator_env "$PWD/$build/sim/can_preload/libkestro_can_preload.so" \
    "$PWD/$host/sim/torso/kestro-torso-sim" "$run" qemu
env "${sim_env[@]}" PYTHONPATH="$PWD/$build/src/bindings" \
    "$ARMHF_HOME/bin/python3.11-armhf" -m pytest -p no:cacheprovider -q "${armhf_python_tests[@]}" \
    || status=$?
exit $status
