"""Devices that stop answering, answer wrongly or disappear while a control loop runs: the
loop stores the communication error, recovers on the next good reading and never hangs."""

import datetime
import time

import pytest

from conftest import COMMUNICATION, MS20, eventually, raised

READ_FAILED = f"Failed to read raw bytes: {COMMUNICATION}"
P_GAIN = 21  # a register byte every servo accepts at any time, and harmless to change


@pytest.fixture
def loop(kmc, torso):
    # Two attempts per read: a silent servo fails a tick within about 50 ms.
    started = kmc.KestroPyControlLoop(torso.serial, MS20, torso.can_bus, allowed_retries=2)
    yield started
    started.close()


def fails_then_recovers(loop, torso, fault_on, fault_off):
    """Switches a fault on until the loop stores the error, then off until a fresh reading
    replaces it."""
    assert raised(loop.get_last_position) is None
    torso.command(fault_on)
    assert eventually(lambda: raised(loop.get_last_position)) == COMMUNICATION
    time.sleep(0.1)  # several more ticks fail: the error stays stored, not a stale position
    assert raised(loop.get_last_position) == COMMUNICATION
    assert loop.is_torque_enabled() is False  # the torque record is not a reading
    torso.command(fault_off)
    switched_back = time.time()
    position = eventually(lambda: raised(loop.get_last_position) is None and loop.get_last_position())
    assert position.timestamp >= switched_back


def test_servo_silent_mid_loop(loop, torso):
    fails_then_recovers(loop, torso, "servo 4 silent on", "servo 4 silent off")
    assert loop.async_read_raw_bytes(4, P_GAIN, 1) == bytes([torso.register(4, P_GAIN)])


def test_neck_motor_silent_mid_loop(loop, torso):
    fails_then_recovers(loop, torso, "motor 2 silent on", "motor 2 silent off")
    # The motor is driven again after it came back.
    loop.enable_neck(True)
    loop.set_neck_pitch_position(0.2)
    eventually(lambda: loop.get_last_position().neck[1] == pytest.approx(0.2, abs=0.01))


def test_corrupt_replies_fail_and_recover(loop, torso):
    fails_then_recovers(loop, torso, "servo 6 corrupt on", "servo 6 corrupt off")
    torso.command("servo 6 corrupt on")
    assert raised(loop.async_read_raw_bytes, 6, P_GAIN, 1) == READ_FAILED
    assert loop.async_read_raw_bytes(5, P_GAIN, 1) is not None  # its neighbours still answer
    torso.command("servo 6 corrupt off")
    assert loop.async_read_raw_bytes(6, P_GAIN, 1) == bytes([torso.register(6, P_GAIN)])


def test_stray_bytes_never_reach_a_wrong_servo(loop, torso):
    for servo in range(1, 8):
        torso.command(f"servo {servo} set {P_GAIN} 0")
    torso.command("requests clear")
    # Bursts of noise ahead of the replies: a transaction may fail, and every write that
    # arrives lands on the servo it was meant for, in order.
    sent = {servo: [] for servo in range(1, 8)}
    for round_ in range(6):
        for servo in range(1, 8):
            torso.command(f"stray {17 * servo + round_}")
            value = 10 * round_ + servo
            loop.async_write_raw_bytes(servo, P_GAIN, [value])
            sent[servo].append(f"{P_GAIN}:{value:02x}")
            read = loop.async_read_raw_bytes(servo, P_GAIN, 1)  # after the write: same servo
            assert read == bytes([value]), (servo, read)
    for servo in range(1, 8):
        assert torso.command(f"servo {servo} writes").split() == sent[servo]
        assert torso.register(servo, P_GAIN) == 50 + servo

    # Noise that never stops: the line never settles, so no packet is sent at all and every
    # transaction fails; once it stops, reads answer again and the periodic reading is fresh.
    torso.command("stray continuous on")
    time.sleep(0.05)
    torso.command("requests clear")
    assert eventually(lambda: raised(loop.get_last_position)) == COMMUNICATION
    for servo in range(1, 8):
        loop.async_write_raw_bytes(servo, P_GAIN, [99])
        assert raised(loop.async_read_raw_bytes, servo, P_GAIN, 1) == READ_FAILED
    assert torso.requests()["total"] == 0
    torso.command("stray continuous off")
    stopped = time.time()
    for servo in range(1, 8):
        assert loop.async_read_raw_bytes(servo, P_GAIN, 1) == bytes([50 + servo])
    eventually(lambda: raised(loop.get_last_position) is None and loop.get_last_position().timestamp >= stopped)


def test_serial_device_vanishes(kmc, torso):
    # Statistics show that the loop keeps cycling after its devices have gone.
    loop = kmc.KestroPyControlLoop(
        torso.serial, MS20, torso.can_bus, allowed_retries=2, stats_pub_period=MS20)
    try:
        torso.process.kill()  # the pseudo-terminal and the neck socket go with it
        torso.process.wait(timeout=5)
        assert eventually(lambda: raised(loop.get_last_position)) == COMMUNICATION
        ticks = len(loop.get_stats().period)
        eventually(lambda: len(loop.get_stats().period) >= ticks + 5)
        assert raised(loop.get_last_position) == COMMUNICATION
        assert loop.set_arms_position([0.1, 0.1, 0.1, 0.1]) is None  # still accepted
        started = time.monotonic()
        assert raised(loop.async_read_raw_bytes, 1, P_GAIN, 1) == READ_FAILED
        assert time.monotonic() - started < 1.5
        for _ in range(20):
            loop.set_neck_yaw_position(0.1)
    finally:
        started = time.monotonic()
        loop.close()
        closed_in = time.monotonic() - started
    assert closed_in < 1.0
    assert raised(loop.enable_torque) == "channel closed"
    assert raised(loop.get_last_position) == COMMUNICATION
