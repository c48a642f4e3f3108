#!/usr/bin/env bash
# The board's build: cross-compiles everything for armhf (32-bit ARM, hard float) with
# warnings as errors and runs the C++ tests under qemu-arm. Set-up of the cross toolchain,
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
exit $status
