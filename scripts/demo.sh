#!/usr/bin/env bash
# The main job: builds the Python module and the torso simulator, starts the simulator and
# runs examples/demo.py against it. Where a vcan0 interface exists the neck motors are served
# on it through real SocketCAN; elsewhere (no SocketCAN in the kernel) a preload library
# carries the module's CAN calls for the made-up interface "simcan0" to the simulator.
set -euo pipefail
# The module, the simulator and the preload library, built as for the Python tests (Debian's
# python3, build-py311/). Out: repo, python, build; the working directory is the repo.
# shellcheck source=python-build.sh
source "$(dirname "$0")/python-build.sh"

run=$(mktemp -d)
sim_pid=
cleanup() {
    [[ -n $sim_pid ]] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" || true
    rm -rf "$run"
}
trap cleanup EXIT

if ip link show vcan0 >/dev/null 2>&1; then
    can=vcan0
    neck=(--vcan vcan0)
    preload=()
else
    can=simcan0
    neck=(--can-socket "$run/neck.sock")
    preload=(LD_PRELOAD="$repo/$build/sim/can_preload/libkestro_can_preload.so"
             KESTRO_CAN_PRELOAD="simcan0=$run/neck.sock")
fi

# The supply starts low and ramps up, as when the robot is switched on.
"$build/sim/torso/kestro-torso-sim" "${neck[@]}" --serial-link "$run/serial" \
    --voltage 95 --ramp 1500 </dev/null >"$run/sim.out" &
sim_pid=$!
for _ in $(seq 100); do
    grep -q '^ready ' "$run/sim.out" && break
    kill -0 "$sim_pid" 2>/dev/null || { echo "the simulator did not start" >&2; exit 1; }
    sleep 0.1
done
echo "simulated torso: serial $run/serial, neck on $can"

env PYTHONPATH="$repo/$build/src/bindings" "${preload[@]}" \
    "$python" examples/demo.py --serial "$run/serial" --can "$can"
