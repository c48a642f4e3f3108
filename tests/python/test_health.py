"""Device health on the simulated torso: neck motor states and servo faults reach Python from
the replies already received, faults are logged on change only, and neck faults are cleared
without enabling anything, on both classes."""

import datetime
import threading
import time

import pytest

from conftest import eventually

MS20 = datetime.timedelta(milliseconds=20)
DEVICES = [
    "left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw", "nose_top", "nose_left", "nose_right",
    "neck_yaw", "neck_pitch", "neck_roll",
]
FAULT_NAMES = {
    8: "over_voltage", 9: "under_voltage", 10: "over_current", 11: "driver_over_temperature",
    12: "motor_over_temperature", 13: "communication_lost", 14: "overload", 15: "unknown_15",
}


@pytest.fixture
def loop(kmc, torso):
    started = kmc.KestroPyControlLoop(torso.serial, MS20, torso.can_bus)
    yield started
    started.close()


def test_every_status_code_has_its_name_and_the_state_its_fields(controller, torso):
    before = time.time()
    states = controller.read_neck_state()
    assert [s.joint for s in states] == ["neck_yaw", "neck_pitch", "neck_roll"]
    assert [(s.motor_id, s.status, s.status_name, s.fault) for s in states] == [(i, 0, "disabled", False) for i in (1, 2, 3)]
    assert before <= states[0].timestamp <= time.time()
    controller.enable_neck(True)
    assert controller.read_neck_state()[2].status_name == "enabled"
    torso.command("motor 2 temps 45 92")
    for code, name in FAULT_NAMES.items():
        torso.command(f"motor 2 fault {code}")
        state = controller.read_neck_state()[1]
        assert (state.status, state.status_name, state.fault) == (code, name, True)
        assert (state.temp_driver, state.temp_motor) == (45, 92)
    assert "status_name='unknown_15'" in repr(state)
    assert type(state).__name__ == "KestroNeckState"
    with pytest.raises(AttributeError):
        state.status = 0


def test_health_is_built_from_replies_and_sends_nothing(controller, torso, records):
    torso.command("requests clear")
    fresh = controller.health()
    assert torso.requests()["total"] == 0
    assert list(fresh.devices) == DEVICES
    assert all(d.last_answer is None and d.consecutive_failures == 0 for d in fresh.devices.values())
    assert (fresh.ticks, fresh.failed_ticks, fresh.failed_commands, fresh.max_tick_lag) == (0, 0, 0, 0.0)
    assert "not heard from" in repr(fresh)

    torso.command("servo 5 error 36")  # overheat, overload
    controller.read_all_positions()
    controller.read_all_positions()
    controller.read_neck_positions()
    health = controller.health()
    assert health.devices["nose_top"].faults == ["overheat", "overload"]
    assert health.devices["nose_top"].neck_state is None
    assert health.devices["neck_roll"].neck_state.status_name == "disabled"
    assert repr(health).startswith("KestroTorsoHealth(faults: nose_top [overheat, overload]; ticks=0,")
    assert records.messages() == ["servo 5 (nose_top) reports overheat, overload"]  # once, not per read

    torso.command("servo 3 silent on")
    with pytest.raises(RuntimeError) as caught:
        controller.read_all_positions()
    failing = controller.health().devices["right_arm_pitch"]
    assert (failing.consecutive_failures, failing.last_error) == (1, str(caught.value))


def test_clearing_neck_faults_leaves_the_motors_disabled(controller, torso):
    controller.enable_neck(True)
    torso.command("motor all fault 11")
    assert torso.motor(1)["enabled"] == 0  # the motor dropped torque itself
    cleared = controller.clear_neck_faults(2)
    assert [(s.joint, s.status_name) for s in cleared] == [("neck_roll", "disabled")]
    assert [s.status_name for s in controller.clear_neck_faults()] == ["disabled"] * 3
    assert all(torso.motor(m)["enabled"] == 0 for m in (1, 2, 3))
    with pytest.raises(RuntimeError, match="^neck index out of range: 3$"):
        controller.clear_neck_faults(3)
    with pytest.raises(OverflowError):
        controller.clear_neck_faults(-1)
    torso.command("motor 1 silent on")
    with pytest.raises(RuntimeError, match="^neck_yaw: clear faults failed: "):
        controller.clear_neck_faults()


def test_the_loop_sees_a_fault_within_three_ticks_and_clears_it(loop, torso, records):
    torso.command("motor 3 fault 12")
    first = loop.get_health().ticks
    eventually(lambda: loop.get_health().devices["neck_roll"].faults == ["motor_over_temperature"])
    assert loop.get_health().ticks <= first + 3
    time.sleep(0.1)  # five more ticks, each with the fault: still one record
    assert [m for m in records.messages() if "reports" in m] == ["neck_roll reports motor_over_temperature (driver 35 °C, motor 32 °C)"]
    assert [s.status_name for s in loop.clear_neck_faults(2)] == ["disabled"]
    eventually(lambda: loop.get_health().devices["neck_roll"].faults == [])
    with pytest.raises(RuntimeError, match="^neck index out of range: 7$"):
        loop.clear_neck_faults(7)


def test_a_brownout_shows_in_the_loops_health(loop, torso):
    torso.command("servo 6 brownout")
    eventually(lambda: loop.get_health().devices["nose_left"].faults == ["input_voltage"])
    assert torso.command("servo 6 torque") == "0"
    loop.enable_nose(True)  # writing torque again ends the brown-out
    eventually(lambda: loop.get_health().devices["nose_left"].faults == [])
    health = loop.get_health()
    assert health.ticks > 0 and health.failed_commands == 0


def test_health_answers_while_the_loop_thread_is_stuck(kmc, torso):
    stuck = kmc.KestroPyControlLoop(torso.serial, MS20, torso.can_bus, 300)
    try:
        torso.command("servo 1 silent on")  # every tick now retries for seconds
        eventually(lambda: stuck.get_health().devices["left_arm_pitch"].consecutive_failures > 0)
        answers = []
        asking = threading.Thread(target=lambda: answers.append(stuck.get_health()))
        asking.start()
        asking.join(timeout=1)
        assert answers, "get_health waited for the loop thread"
    finally:
        torso.command("servo 1 silent off")
        stuck.close()
    assert stuck.get_health().failed_ticks >= 1
