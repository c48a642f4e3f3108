#!/usr/bin/env bash
# The CAN transport on a real kernel SocketCAN stack, and a controller smoke test against
# kestro-torso-sim on it. This machine's kernel has no CAN, so both run in one throw-away QEMU
# guest with vcan0 up (../shared/tools/vmcan/, set up on first use). Builds what they need in
# build-vmcan/, never with -march=native: the guest's emulated CPU lacks some host instructions.
# Last line: "vmcan: N passed, N failed"; the exit status is non-zero on any failure.
# Usage: scripts/test-vmcan.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-vmcan
tests=(vcan_transport_tests vcan_smoke_tests)

if [[ ${1:-} == --in-guest ]]; then
    export KESTRO_TORSO_SIM=$build/sim/torso/kestro-torso-sim
    status=0
    for program in "${tests[@]}"; do
        "$build/sim/torso/tests/$program" --gtest_color=no || status=1
    done
    exit $status
fi

vmcan=../shared/tools/vmcan
if ! command -v qemu-system-x86_64 >/dev/null ||
        ! ls "${VMCAN_HOME:-$HOME/.cache/vmcan}"/kroot/boot/vmlinuz-* >/dev/null 2>&1; then
    "$vmcan/setup.sh"
fi
if [[ ! -f $build/build.ninja ]]; then
    # Unoptimised: the first build is most of this step's time, and the tests are tiny.
    meson setup "$build" --werror --buildtype=debug -Dbenchmarks=disabled >/dev/null
fi
meson compile -C "$build" -j 2 "${tests[@]}" kestro-torso-sim >/dev/null

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
# A real interpreter path, so that a cancelled job takes QEMU down with it.
/usr/bin/python3 "$vmcan/vmcan_run.py" --timeout 100 -- scripts/test-vmcan.sh --in-guest 2>&1 |
    tee "$log" || status=$?

passed=$(grep -c '^\[       OK \]' "$log" || true)
# vcan0 is always up in the guest, so a skipped test counts as failed.
failed=$(grep -cE '^\[  (FAILED|SKIPPED) \] .* \([0-9]+ ms\)$' "$log" || true)
if [[ $status != 0 && $failed == 0 ]]; then
    failed=1  # a crash, or the guest itself failed (status $status)
fi
echo "vmcan: $passed passed, $failed failed"
[[ $status == 0 && $failed == 0 ]]
