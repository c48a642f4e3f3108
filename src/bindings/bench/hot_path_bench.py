"""What one full read and one control-loop tick cost: instructions and heap allocations.

    python3 src/bindings/bench/hot_path_bench.py BUILD_DIR

BUILD_DIR is the C++ build of scripts/test.sh (build, say), which holds the module, the
simulated torso, the CAN preload library and this benchmark's two helpers.

- Instructions per full read (read_all_positions() and read_neck_positions(), called from
  Python), counted by callgrind over the whole process: a run of N2 reads minus a run of N1
  reads, divided by N2 - N1, so that start-up cancels out. The same for minimal_client, plain
  system calls doing the same five transactions, and the ratio of the two.
- Heap allocations (malloc and relatives, on every thread, counted by the alloc_counter
  preload library) per full read, per goal setter call of both classes, per control-loop tick
  and per goal command the loop handles, all after a warm-up.

Python's own objects come from its small-object allocator, not from malloc, so they do not
show; what is counted is the module's C++ side.
"""

import ctypes
import datetime
import os
import re
import subprocess
import sys
import tempfile
import time

READS = (100, 600)  # N1, N2 for the instruction count
WARM_UP = 20
MEASURED = 200
TICK_PERIOD = datetime.timedelta(milliseconds=2)
TICK_WINDOW_S = 2.0

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))


def paths(build):
    return {
        "module": os.path.join(build, "src", "bindings"),
        "preload": os.path.join(build, "sim", "can_preload", "libkestro_can_preload.so"),
        "simulator": os.path.join(build, "sim", "torso", "kestro-torso-sim"),
        "counter": os.path.join(build, "src", "bindings", "bench", "libkestro_alloc_counter.so"),
        "client": os.path.join(build, "src", "bindings", "bench", "minimal_client"),
    }


def environment(build, run_dir, counting=False):
    p = paths(build)
    preload = [p["counter"]] if counting else []
    return dict(
        os.environ,
        PYTHONPATH=p["module"],
        LD_PRELOAD=":".join(preload + [p["preload"]]),
        KESTRO_CAN_PRELOAD=f"can0={os.path.join(run_dir, 'neck.sock')}",
        KESTRO_TORSO_SIM=p["simulator"],
    )


def torso():
    sys.path.insert(0, os.path.join(SOURCE, "tests", "python"))
    from conftest import Torso

    return Torso()


# --- the measured programs, run as children -------------------------------------------------


def child_reads(serial, reads):
    import kestro_motor_controller as k

    controller = k.KestroMotorController(serial, "can0")
    for _ in range(reads):
        controller.read_all_positions()
        controller.read_neck_positions()


def per_call(count, call):
    """Allocations per call of `call`, after a warm-up, less the cost of counting itself."""
    allocations = ctypes.CDLL(None).kestro_allocations
    allocations.restype = ctypes.c_ulong
    for _ in range(WARM_UP):
        call()
    empty_start = allocations()
    empty = allocations() - empty_start
    start = allocations()
    for _ in range(count):
        call()
    return (allocations() - start - empty) / count


def child_allocations(serial):
    import kestro_motor_controller as k

    allocations = ctypes.CDLL(None).kestro_allocations
    allocations.restype = ctypes.c_ulong
    controller = k.KestroMotorController(serial, "can0")
    goals = [0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7]
    neck = [0.1, 0.2, 0.1]
    results = {
        "full read": per_call(MEASURED, lambda: (controller.read_all_positions(), controller.read_neck_positions())),
        "KestroMotorController.set_all_goal_positions": per_call(MEASURED, lambda: controller.set_all_goal_positions(goals)),
        "KestroMotorController.set_neck_position": per_call(MEASURED, lambda: controller.set_neck_position(neck)),
    }
    del controller

    loop = k.KestroPyControlLoop(serial, TICK_PERIOD, "can0", stats_pub_period=datetime.timedelta(milliseconds=100))
    time.sleep(0.5)  # the first ticks and publications size the buffers
    ticks_before = len(loop.get_stats().period)
    start = allocations()
    time.sleep(TICK_WINDOW_S)
    during = allocations() - start
    ticks = len(loop.get_stats().period) - ticks_before
    results["control-loop tick"] = during / ticks

    loop.close()

    # A loop that ticks once at the start and then not for an hour: what is counted below is
    # the commands alone.
    loop = k.KestroPyControlLoop(serial, datetime.timedelta(hours=1), "can0")
    position = k.KestroTorsoPosition(goals[0:2], goals[2:4], goals[4:7], neck)
    for name, call in (
        ("KestroPyControlLoop.set_all_goal_positions", lambda: loop.set_all_goal_positions(position)),
        ("KestroPyControlLoop.set_neck_position", lambda: loop.set_neck_position(neck)),
        ("KestroPyControlLoop.set_arms_position", lambda: loop.set_arms_position(goals[0:4])),
    ):
        # Sent in bursts well below the queue's capacity, each left to drain, so that the count
        # covers the call, the queue and the loop's handling of the command.
        def burst():
            for _ in range(10):
                call()
            time.sleep(0.05)

        results[name + " (and handling)"] = per_call(MEASURED // 10, burst) / 10
    loop.close()
    for name, value in results.items():
        print(f"{name}\t{value}")


# --- the driver ----------------------------------------------------------------------------


def callgrind_instructions(command, env):
    with tempfile.TemporaryDirectory() as out:
        profile = os.path.join(out, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={profile}", *command],
            env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        with open(profile) as f:
            for line in f:
                match = re.match(r"(?:summary|totals): (\d+)", line)
                if match:
                    return int(match.group(1))
    raise RuntimeError("callgrind wrote no total")


def per_read(build, run_dir, command_for):
    """Whole-process instructions per full read: (I(N2) - I(N1)) / (N2 - N1)."""
    counts = []
    for reads in READS:
        sim = torso()
        try:
            counts.append(callgrind_instructions(command_for(sim.serial, reads), environment(build, run_dir)))
        finally:
            sim.stop()
    return (counts[1] - counts[0]) / (READS[1] - READS[0])


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--reads":
        return child_reads(sys.argv[2], int(sys.argv[3]))
    if len(sys.argv) == 3 and sys.argv[1] == "--allocations":
        return child_allocations(sys.argv[2])
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as run_dir:
        os.environ.update(environment(build, run_dir))
        os.environ.pop("LD_PRELOAD")  # the simulator and this driver run without it
        module = per_read(build, run_dir, lambda serial, n: [sys.executable, __file__, "--reads", serial, str(n)])
        client = per_read(build, run_dir, lambda serial, n: [paths(build)["client"], serial, "can0", str(n)])
        print(f"instructions per full read (callgrind, N = {READS[0]} and {READS[1]})")
        print(f"  module, called from Python  {module:10.0f}")
        print(f"  minimal C client            {client:10.0f}")
        print(f"  ratio                       {module / client:10.2f}")

        sim = torso()
        try:
            counted = subprocess.run(
                [sys.executable, __file__, "--allocations", sim.serial],
                env=environment(build, run_dir, counting=True), check=True, capture_output=True, text=True,
            ).stdout
        finally:
            sim.stop()
    print("heap allocations (after a warm-up)")
    for line in counted.splitlines():
        name, value = line.split("\t")
        print(f"  per {name:<62} {float(value):6.2f}")


if __name__ == "__main__":
    main()
