"""Per-call cost of two cheap module methods, next to a plain Python method call.

    python3 tests/python/bench_calls.py BUILD_DIR

BUILD_DIR is a build of scripts/test-python.sh (build-py311, say). The methods run against the
simulated torso: is_neck_torque_enabled() on a neck-only KestroMotorController (argument-free
call, object mutex, no bus), get_last_position() on a neck-only KestroPyControlLoop (a copy
of the last reading as a new KestroTorsoPosition).
"""

import datetime
import os
import sys
import timeit

CALLS = 200_000


def reexec_with_preload(build):
    """The preload library must be there when the interpreter starts."""
    env = dict(
        os.environ,
        PYTHONPATH=os.path.join(build, "src", "bindings"),
        LD_PRELOAD=os.path.join(build, "sim", "can_preload", "libkestro_can_preload.so"),
        KESTRO_CAN_PRELOAD=f"can0={os.path.join(build, 'bench-neck.sock')}",
        KESTRO_TORSO_SIM=os.path.join(build, "sim", "torso", "kestro-torso-sim"),
    )
    os.execve(sys.executable, [sys.executable, *sys.argv], env)


class Plain:
    def __init__(self):
        self.enabled = False

    def is_enabled(self):
        return self.enabled


def per_call_ns(call):
    return min(timeit.repeat(call, number=CALLS, repeat=5)) / CALLS * 1e9


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    if "KESTRO_CAN_PRELOAD" not in os.environ:
        reexec_with_preload(build)

    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from conftest import Torso

    import kestro_motor_controller as k

    torso = Torso()
    try:
        controller = k.KestroMotorController(None, torso.can_bus)
        loop = k.KestroPyControlLoop(None, datetime.timedelta(milliseconds=20), torso.can_bus)
        plain = Plain()
        results = [
            ("plain Python method call", per_call_ns(plain.is_enabled)),
            ("KestroMotorController.is_neck_torque_enabled()", per_call_ns(controller.is_neck_torque_enabled)),
            ("KestroPyControlLoop.get_last_position()", per_call_ns(loop.get_last_position)),
        ]
        loop.close()
    finally:
        torso.stop()
    print(f"Python {sys.version.split()[0]}, best of 5 x {CALLS} calls")
    for name, ns in results:
        print(f"  {name:<50} {ns:8.1f} ns/call")


if __name__ == "__main__":
    main()
