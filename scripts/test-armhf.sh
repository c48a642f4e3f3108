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

build=build-armhf
if [[ -f $build/build.ninja ]]; then
    meson setup --reconfigure "$build" >/dev/null
else
    meson setup "$build" --cross-file "$ARMHF_HOME/armhf-cross.ini" --werror -Dbenchmarks=disabled
fi
meson compile -C "$build"

status=0
# Under emulation everything runs several times slower; the multiplier keeps time-outs fair.
meson test -C "$build" --print-errorlogs --num-processes 1 --timeout-multiplier 3 || status=$?
python3 scripts/test_summary.py "$build/meson-logs/testlog.json" armhf

# The Python part. The simulator runs natively (the kernel starts an x86-64 program from the
# emulated interpreter directly); the preload library, loaded into the emulated interpreter
# only (QEMU_SET_ENV), is the armhf one. qemu-user cannot start the armhf interpreter itself as a
# child process, so the two tests that do so are left out here.
host=build-host-sim
[[ -f $host/build.ninja ]] || meson setup "$host" -Dtests=disabled -Dbenchmarks=disabled >/dev/null
meson compile -C "$host" kestro-torso-sim >/dev/null
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
env QEMU_SET_ENV="LD_PRELOAD=$PWD/$build/sim/can_preload/libkestro_can_preload.so" \
    KESTRO_CAN_PRELOAD="can0=$run/neck.sock" \
    KESTRO_TORSO_SIM="$PWD/$host/sim/torso/kestro-torso-sim" \
    PYTHONPATH="$PWD/$build/src/bindings" \
    "$ARMHF_HOME/bin/python3.11-armhf" -m pytest -p no:cacheprovider -q \
    tests/python/test_module.py tests/python/test_arguments.py tests/python/test_values.py \
    tests/python/test_controller.py::test_positions \
    tests/python/test_control_loop.py::test_commands_reach_the_torso \
    --deselect tests/python/test_module.py::test_sub_interpreter_cannot_import \
    --deselect tests/python/test_module.py::test_internal_fault_raises_panic_exception \
    || status=$?
exit $status
