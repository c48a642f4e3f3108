"""Safe motion on the simulated torso: torque on holds the pose of servos turned by hand while
torque was off, a goal given while torque was off still runs on enable, and servo goals
outside one turn are refused, in both classes."""

import datetime
import math
import time

import pytest

from conftest import eventually

MS20 = datetime.timedelta(milliseconds=20)
RANGE = "[-3.1416, 3.1416]"


def counts(torso, servo_id, reading):
    return int(torso.command(f"servo {servo_id} {reading}"))


def turn_by_hand(torso, ids):
    """Turns the shafts with torque off; their goal registers keep what they held (2048)."""
    for i in ids:
        torso.command(f"servo {i} place {2048 + 100 * i}")


def assert_held(torso, ids):
    eventually(lambda: all(counts(torso, i, "torque") == 1 for i in ids))
    assert [counts(torso, i, "goal") for i in ids] == [2048 + 100 * i for i in ids]
    time.sleep(0.05)  # time enough for a servo driving to 2048 to travel 200 counts
    for i in ids:
        assert abs(counts(torso, i, "position") - (2048 + 100 * i)) <= 3, i


ENABLE_WAYS = {
    "enable_torque": (lambda c: c.enable_torque(), range(1, 8)),
    "enable_torque_on_ids": (lambda c: c.enable_torque_on_ids([7, 2, 2]), (2, 7)),
    "enable_arms": (lambda c: c.enable_arms(True), range(1, 5)),
    "enable_nose": (lambda c: c.enable_nose(True), range(5, 8)),
}


@pytest.mark.parametrize("way", ENABLE_WAYS)
def test_torque_on_holds_the_pose_on_the_controller(controller, torso, way):
    enable, ids = ENABLE_WAYS[way]
    turn_by_hand(torso, range(1, 8))
    enable(controller)
    assert_held(torso, ids)
    assert all(counts(torso, i, "torque") == 0 for i in set(range(1, 8)) - set(ids))


@pytest.mark.parametrize("way", ENABLE_WAYS)
def test_torque_on_holds_the_pose_on_the_loop(kmc, torso, way):
    enable, ids = ENABLE_WAYS[way]
    with_loop = kmc.KestroPyControlLoop(torso.serial, MS20, torso.can_bus)
    try:
        turn_by_hand(torso, range(1, 8))
        enable(with_loop)
        assert_held(torso, ids)
    finally:
        with_loop.close()


def test_a_goal_given_with_torque_off_runs_on_enable_until_torque_goes_off(controller, torso):
    turn_by_hand(torso, range(1, 5))
    controller.set_left_arm_position([0.5, -0.5])
    controller.enable_arms(True)
    eventually(lambda: [counts(torso, i, "position") for i in (1, 2)] == [2373, 1722])
    assert [counts(torso, i, "goal") for i in (3, 4)] == [2348, 2448]  # held where they stood

    # Torque off forgets the goals given: the next enable holds wherever the hand left them.
    controller.disable_torque()
    eventually(lambda: counts(torso, 1, "torque") == 0)
    turn_by_hand(torso, range(1, 5))
    controller.enable_arms(True)
    assert_held(torso, range(1, 5))


def test_a_failed_position_read_leaves_torque_off(kmc, torso):
    torso.command("servo 3 silent on")
    controller = kmc.KestroMotorController(torso.serial, torso.can_bus)
    with pytest.raises(RuntimeError) as enabling:
        controller.enable_torque()
    with pytest.raises(RuntimeError) as reading:
        controller.read_all_positions()
    assert str(enabling.value) == (
        str(reading.value) + "; torque not enabled: present positions of servos [1, 2, 3, 4] could not be read"
    )
    del controller  # the loop needs the port
    torso.command("servo 3 silent off")
    with_loop = kmc.KestroPyControlLoop(torso.serial, MS20, torso.can_bus)
    try:
        torso.command("servo 6 silent on")
        with_loop.enable_nose(True)
        with_loop.enable_torque()
        with_loop.write_raw_packet(b"")  # both commands have been handled
        assert with_loop.is_torque_enabled() is False
    finally:
        with_loop.close()
    assert [counts(torso, i, "torque") for i in range(1, 8)] == [0] * 7


def outside(joint, goal):
    return f"^{joint} goal {goal} rad is outside the servo's range \\{RANGE[:-1]}\\]$"


def refuse_outside_one_turn(target):
    with pytest.raises(ValueError, match=outside("left_arm_pitch", "100.0")):
        target.set_arms_position([100.0, 0, 0, 0])
    with pytest.raises(ValueError, match=outside("right_arm_yaw", "-3.5")):
        target.set_right_arm_position([0, -3.5])
    with pytest.raises(ValueError, match=outside("nose_left", "3.2")):
        target.set_nose_position([0, 3.2, 0])
    with pytest.raises(ValueError, match=outside("left_arm_yaw", "-100.0")):
        target.set_left_arm_position([0, -100.0])


def test_servo_goals_outside_one_turn_are_refused_on_the_controller(controller, torso):
    torso.command("requests clear")
    refuse_outside_one_turn(controller)
    with pytest.raises(ValueError, match=outside("nose_right", "-3.5")):
        controller.set_all_goal_positions([0, 0, 0, 0, 0, 0, -3.5])
    assert torso.requests()["total"] == 0
    # The ends of the turn are goals: -π writes 0 and π 4096, as they always did.
    controller.set_all_goal_positions([-math.pi, math.pi] * 3 + [0.0])
    eventually(lambda: [counts(torso, i, "goal") for i in range(1, 8)] == [0, 4096] * 3 + [2048])


def test_servo_goals_outside_one_turn_are_refused_on_the_loop(kmc, torso):
    with_loop = kmc.KestroPyControlLoop(torso.serial, MS20, torso.can_bus)
    try:
        torso.command("requests clear")
        refuse_outside_one_turn(with_loop)
        with pytest.raises(ValueError, match=outside("right_arm_pitch", "100.0")):
            with_loop.set_all_goal_positions(kmc.KestroTorsoPosition([0, 0], [100.0, 0], [0, 0, 0], [0, 0, 0]))
        with_loop.write_raw_packet(b"")  # everything queued before it has been handled
        assert torso.requests()["sync_write"] == 0
        with_loop.set_all_goal_positions(kmc.KestroTorsoPosition([math.pi, 0], [0, 0], [0, 0, -math.pi], [0, 0, 0]))
        eventually(lambda: [counts(torso, i, "goal") for i in (1, 7)] == [4096, 0])
    finally:
        with_loop.close()
