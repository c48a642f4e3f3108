"""Argument binding and conversion, as every method of both classes applies them."""

import datetime
import math

import pytest

OUT_OF_RANGE = "out of range integral type conversion attempted"
MS20 = datetime.timedelta(milliseconds=20)


def raises(exception, message, call, *args, **kwargs):
    with pytest.raises(exception) as caught:
        call(*args, **kwargs)
    assert str(caught.value) == message
    return caught.value


def test_binding_messages(neck_only):
    name = "KestroMotorController.set_neck_gains()"
    raises(TypeError, f"{name} missing 1 required positional argument: 'kd'", neck_only.set_neck_gains, 0, 1.0)
    raises(TypeError, f"{name} missing 2 required positional arguments: 'kp' and 'kd'", neck_only.set_neck_gains, 0)
    raises(TypeError, f"{name} missing 3 required positional arguments: 'index', 'kp', and 'kd'", neck_only.set_neck_gains)
    # Binding comes before conversion: the malformed index is not looked at.
    raises(TypeError, f"{name} missing 1 required positional argument: 'kd'", neck_only.set_neck_gains, "x", kp=1.0)
    raises(TypeError, f"{name} got an unexpected keyword argument 'ki'", neck_only.set_neck_gains, 0, 1.0, 1.0, ki=0)
    raises(TypeError, f"{name} got multiple values for argument 'index'", neck_only.set_neck_gains, 0, 1.0, 1.0, index=0)
    raises(TypeError, f"{name} takes 3 positional arguments but 4 were given", neck_only.set_neck_gains, 0, 1.0, 1.0, 0)
    raises(
        TypeError,
        "KestroMotorController.neck_home() takes from 0 to 4 positional arguments but 5 were given",
        neck_only.neck_home, 0.4, 0.15, None, None, None,
    )
    assert neck_only.set_neck_gains(kd=1.0, kp=10.0, index=0) is None


def test_constructor_binding(kmc):
    raises(
        TypeError,
        "KestroTorsoPosition.__new__() missing 4 required positional arguments: "
        "'left_arm', 'right_arm', 'nose', and 'neck'",
        kmc.KestroTorsoPosition,
    )
    raises(
        TypeError,
        "KestroMotorController.__new__() takes from 0 to 2 positional arguments but 3 were given",
        kmc.KestroMotorController, None, "can0", 1,
    )
    raises(
        TypeError,
        "KestroPyControlLoop.__new__() missing 1 required positional argument: 'read_position_loop_period'",
        kmc.KestroPyControlLoop, None,
    )
    raises(TypeError, "KestroMotorController.__new__() got an unexpected keyword argument 'port'",
           kmc.KestroMotorController, port="/dev/null")


def test_constructor_conversions(kmc):
    raises(TypeError, "argument 'serialport': 'int' object cannot be converted to 'PyString'",
           kmc.KestroMotorController, serialport=5)
    raises(TypeError, "argument 'can_bus': 'bytes' object cannot be converted to 'PyString'",
           kmc.KestroMotorController, None, b"can0")
    # A NUL would cut the name short in the C calls that open the device.
    raises(ValueError, "embedded null character", kmc.KestroMotorController, None, "can0\0x")
    raises(TypeError, "argument 'read_position_loop_period': 'float' object cannot be converted to 'PyDelta'",
           kmc.KestroPyControlLoop, None, 0.02)
    raises(TypeError, "argument 'stats_pub_period': 'int' object cannot be converted to 'PyDelta'",
           kmc.KestroPyControlLoop, None, MS20, stats_pub_period=1)
    raises(OverflowError, "can't convert negative int to unsigned", kmc.KestroPyControlLoop, None, MS20, allowed_retries=-1)
    with pytest.raises(ValueError):
        kmc.KestroPyControlLoop(None, datetime.timedelta(seconds=-1))

    # Valid arguments the loop's settings refuse, before anything is opened. A timedelta
    # subclass is a duration like any other.
    class Period(datetime.timedelta):
        pass

    raises(ValueError, "read_position_loop_period must be greater than zero",
           kmc.KestroPyControlLoop, None, Period(0))
    raises(ValueError, "allowed_retries must be at least 1 (it counts every attempt)",
           kmc.KestroPyControlLoop, None, Period(milliseconds=20), allowed_retries=0)


def test_construction_failure(kmc):
    raises(RuntimeError, "failed to open CAN bus 'nocan7': backend error: No such device (os error 19)",
           kmc.KestroMotorController, None, "nocan7")
    with pytest.raises(RuntimeError, match="^Could not open serial port: ! Check permissions"):
        kmc.KestroPyControlLoop(None, MS20, can_bus="nocan7")
    raises(RuntimeError, "Check if your USB cable is connected. Could not find port: /nonexistent/tty!",
           kmc.KestroPyControlLoop, "/nonexistent/tty", MS20)


def test_numbers(neck_only):
    c = neck_only
    raises(TypeError, "argument 'position': must be real number, not str", c.set_neck_yaw_position, "0.1")
    raises(TypeError, "argument 'kp': must be real number, not NoneType", c.set_neck_gains, 0, None, 1.0)
    raises(OverflowError, "can't convert negative int to unsigned", c.set_neck_gains, -1, 10.0, 1.0)
    raises(OverflowError, OUT_OF_RANGE, c.set_neck_gains, 2**32, 10.0, 1.0)
    raises(TypeError, "argument 'index': 'float' object cannot be interpreted as an integer", c.set_neck_gains, 1.0, 1, 1)
    raises(RuntimeError, "neck index out of range: 3", c.set_neck_gains, 3, 10.0, 1.0)

    class Index:
        def __index__(self):
            return 2

    class Number:
        def __float__(self):
            return 10.0

    assert c.set_neck_gains(Index(), Number(), True) is None
    assert isinstance(c.set_neck_roll_position(Index()), float)


def test_booleans(neck_only):
    raises(TypeError, "argument 'enable': 'int' object cannot be converted to 'PyBool'", neck_only.enable_neck, 1)
    raises(TypeError, "argument 'enable': 'NoneType' object cannot be converted to 'PyBool'", neck_only.enable_neck, None)
    numpy = pytest.importorskip("numpy")
    neck_only.enable_neck(numpy.bool_(True))
    assert neck_only.is_neck_torque_enabled() is True
    neck_only.enable_neck(numpy.bool_(False))
    assert neck_only.is_neck_torque_enabled() is False


def test_byte_lists(neck_only):
    c = neck_only
    raises(TypeError, "argument 'ids': Can't extract `str` to `Vec`", c.enable_torque_on_ids, "12")
    raises(TypeError, "argument 'ids': 'int' object cannot be converted to 'Sequence'", c.enable_torque_on_ids, 1)
    raises(TypeError, "argument 'ids': 'dict' object cannot be converted to 'Sequence'", c.enable_torque_on_ids, {1: 1})
    raises(TypeError, "argument 'ids': 'float' object cannot be interpreted as an integer", c.enable_torque_on_ids, [1.0])
    raises(OverflowError, OUT_OF_RANGE, c.enable_torque_on_ids, [0, 256])
    raises(OverflowError, OUT_OF_RANGE, c.disable_torque_on_ids, [-1])
    # Ids that address no servo need no bus, not even on a neck-only controller.
    for ids in ([], [0, 9], (8, 200), b"\x00\x09", bytearray(b"\x08"), range(8, 12)):
        assert c.enable_torque_on_ids(ids) is None
    raises(RuntimeError, "serial port not configured (neck-only controller)", c.enable_torque_on_ids, b"\x01")


def test_float_arrays(neck_only):
    c = neck_only
    # The length is checked before the items, with no argument name.
    raises(ValueError, "expected a sequence of length 3 (got 2)", c.set_nose_position, [0, 0])
    raises(ValueError, "expected a sequence of length 4 (got 3)", c.set_arms_position, [0, 0, 0])
    raises(TypeError, "argument 'position': must be real number, not str", c.set_arms_position, "abcd")
    raises(TypeError, "argument 'position': 'int' object cannot be converted to 'Sequence'", c.set_nose_position, 3)
    raises(TypeError, "argument 'position': 'generator' object cannot be converted to 'Sequence'",
           c.set_neck_position, (x for x in (0, 0, 0)))
    # Converted first: a well-formed call fails only at the missing serial port.
    raises(RuntimeError, "serial port not configured (neck-only controller)", c.set_nose_position, (0, 0.1, 2))


def test_byte_strings(controller):
    raises(TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'",
           controller.write_raw_packet, bytearray(b"\xff"))
    raises(TypeError, "argument 'data': 'list' object cannot be converted to 'PyBytes'", controller.write_raw_packet, [255])

    class Packet(bytes):
        pass

    assert controller.write_raw_packet(Packet(b"")) is None


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_servo_goals_must_be_finite(controller, torso, value):
    torso.command("requests clear")
    raises(ValueError, f"left_arm_yaw goal position must be finite, got {'NaN' if value != value else repr(value)}",
           controller.set_left_arm_position, [0.0, value])
    raises(ValueError, f"right_arm_pitch goal position must be finite, got {'NaN' if value != value else repr(value)}",
           controller.set_right_arm_position, [value, 0.0])
    with pytest.raises(ValueError, match="^right_arm_yaw goal"):
        controller.set_arms_position([0, 0, 0, value])
    with pytest.raises(ValueError, match="^nose_left goal"):
        controller.set_nose_position([0, value, 0])
    with pytest.raises(ValueError, match="^nose_right goal"):
        controller.set_all_goal_positions([0, 0, 0, 0, 0, 0, value])
    assert torso.requests()["total"] == 0


def test_neck_goals_must_be_numbers(neck_only, torso):
    before = [torso.motor(m)["position"] for m in (1, 2, 3)]
    raises(ValueError, "neck_pitch requested position is not a number", neck_only.set_neck_position, [0, math.nan, 0])
    raises(ValueError, "neck_roll requested position is not a number", neck_only.set_neck_roll_position, math.nan)
    assert [torso.motor(m)["position"] for m in (1, 2, 3)] == before
    # An infinite goal is clamped like any other goal out of range.
    neck_only.enable_neck(True)
    neck_only.set_neck_yaw_position(-math.inf)
    assert neck_only.read_neck_positions()[0] < 0


def test_neck_gains_must_be_non_negative_numbers(neck_only, torso):
    # A NaN gain would be sent as 0 and leave the joint limp.
    c = neck_only
    raises(ValueError, "kp must be a non-negative number, got NaN", c.set_neck_gains, 0, math.nan, 1.0)
    raises(ValueError, "kd must be a non-negative number, got -0.5", c.set_neck_gains, 1, 10.0, -0.5)
    raises(ValueError, "kp must be a non-negative number, got -inf", c.neck_home, kp=-math.inf)
    raises(ValueError, "kd must be a non-negative number, got NaN", c.neck_home, 0.4, 0.15, None, math.nan)
    assert all(torso.motor(m)["enabled"] == 0 for m in (1, 2, 3)), "homing never started"
    # Gains beyond the frame's range are still clamped there, and zero is a valid gain.
    assert c.set_neck_gains(0, 1e6, 0.0) is None


def test_unsigned_64_bit_arguments_keep_every_bit(kmc):
    # The board's C long is 32 bits wide; allowed_retries must still take 64-bit values.
    absent = "Check if your USB cable is connected. Could not find port: /dev/kestro-absent!"
    for retries in (2**32 + 1, 2**64 - 1):
        raises(RuntimeError, absent, kmc.KestroPyControlLoop, "/dev/kestro-absent", MS20,
               allowed_retries=retries)
    raises(OverflowError, "int too big to convert", kmc.KestroPyControlLoop, "/dev/kestro-absent", MS20,
           allowed_retries=2**64)
