"""A short routine on the torso through the control loop: start-up, arms, nose and neck moving
while their positions are printed, a servo's PID gains, the loop's statistics, a clean close.

    python3 examples/demo.py --serial /dev/ttyUSB0 --can can0
"""
import argparse
import datetime
import logging
import time

import kestro_motor_controller as kmc


def show(position: kmc.KestroTorsoPosition) -> str:
    def joints(values: list[float]) -> str:
        return " ".join(f"{v:+.2f}" for v in values)

    return (f"left arm [{joints(position.left_arm)}]  right arm [{joints(position.right_arm)}]  "
            f"nose [{joints(position.nose)}]  neck [{joints(position.neck)}]")


def hold(loop: kmc.KestroPyControlLoop, seconds: float) -> None:
    """Prints the live joint positions while the torso moves."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        print("   ", show(loop.get_last_position()))
        time.sleep(0.25)


def summary(stats: kmc.ControlLoopStats) -> str:
    """The rate the loop held, and the share of each tick its full read took on the buses."""
    def mean(values: list[float]) -> float:
        return sum(values) / len(values)

    period = mean(stats.period[1:])  # the first sample only measures the start
    return (f"achieved {1.0 / period:.1f} Hz (period {period * 1e3:.2f} ms); "
            f"the buses take {100.0 * mean(stats.read_dt) / period:.0f}% of each tick")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serial", required=True, help="serial device of the servo bus")
    parser.add_argument("--can", default="can0", help="SocketCAN interface of the neck")
    args = parser.parse_args()

    # Before the first record: the module caches each logger's level when it first logs.
    logging.basicConfig(level=logging.INFO, format="%(name)s %(levelname)s: %(message)s")

    loop = kmc.KestroPyControlLoop(
        args.serial,
        datetime.timedelta(milliseconds=20),
        can_bus=args.can,
        stats_pub_period=datetime.timedelta(seconds=1),
    )
    try:
        print("servos:", dict(sorted(loop.get_motor_name_id().items(), key=lambda item: item[1])))
        print("start:  ", show(loop.get_last_position()))
        loop.enable_torque()
        loop.enable_neck(True)

        routine = [
            ("arms forward", lambda: loop.set_arms_position([0.6, 0.0, 0.6, 0.0])),
            ("nose up", lambda: loop.set_nose_position([0.4, -0.2, 0.2])),
            ("look left and up", lambda: loop.set_neck_position([0.4, 0.3, 0.0])),
            ("look right, tilt", lambda: loop.set_neck_position([-0.4, 0.1, 0.2])),
            ("everything home", lambda: loop.set_all_goal_positions(
                kmc.KestroTorsoPosition([0.0, 0.0], [0.0, 0.0], [0.0, 0.0, 0.0], [0.0, 0.0, 0.0]))),
            ("neck home", lambda: loop.set_neck_position([0.0, 0.0, 0.0])),
        ]
        for name, move in routine:
            print(f"-- {name}")
            move()
            hold(loop, 1.0)

        print("servo 1 PID gains (P, I, D):", loop.async_read_pid_gains(1))
        print("torque on everywhere:", loop.is_torque_enabled())
        loop.disable_torque()
        stats = loop.get_stats()
        print(stats)
        print(summary(stats))
    finally:
        loop.close()
    print("closed")


if __name__ == "__main__":
    main()
