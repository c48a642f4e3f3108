"""The bridge from the module's log records to Python's logging.

The bridge caches each target's logger and threshold for the life of the process, so
scenarios that depend on the first record of a target run in a fresh interpreter."""

import logging
import sys

from conftest import run_python

CLAMP_YAW = "neck_yaw requested position 0.7000 rad out of safe range [-0.5000, 0.5000]; clamped to 0.5000"


def test_record_fields(neck_only, records):
    neck_only.set_neck_yaw_position(0.7)
    neck_only.set_neck_pitch_position(0.4)  # in range: no record
    [record] = records.records
    assert record.name == "kestro_motor_controller.controller"
    assert (record.levelno, record.levelname) == (logging.WARNING, "WARNING")
    assert record.getMessage() == CLAMP_YAW
    assert record.pathname.endswith("neck_operations.cpp") and record.lineno > 0
    assert record.args == () and record.exc_info is None


def test_a_failing_handler_goes_to_the_unraisable_hook(neck_only, records, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)

    class Broken(logging.Handler):
        def emit(self, record):
            raise KeyError("broken handler")

    logger = logging.getLogger("kestro_motor_controller.controller")
    broken = Broken()
    logger.addHandler(broken)
    try:
        observed = neck_only.set_neck_yaw_position(0.7)  # the call itself is not disturbed
    finally:
        logger.removeHandler(broken)
    assert isinstance(observed, float)
    assert [type(u.exc_value) for u in seen] == [KeyError]


REBOOTS = [
    f"kestro_motor_controller.controller WARNING Rebooting motor {name} (id={i})"
    for i, name in enumerate(["left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
                              "nose_top", "nose_left", "nose_right"], start=1)
]


def test_unconfigured_logging(torso):
    # Python's last-resort handler prints warnings only.
    result = run_python(
        f"""
        import kestro_motor_controller as k
        k.KestroMotorController(None, {torso.can_bus!r}).set_neck_yaw_position(0.7)
        """
    )
    assert (result.returncode, result.stderr) == (0, CLAMP_YAW + "\n")


def test_thresholds_are_cached_per_target(torso):
    # Each target's threshold is taken on its first record: the start-up's info records of
    # the first loop are below WARNING, and stay so for later loops.
    result = run_python(
        f"""
        import datetime, logging
        import kestro_motor_controller as k
        logging.basicConfig(format="%(name)s %(levelname)s %(message)s")
        period = datetime.timedelta(milliseconds=20)
        k.KestroPyControlLoop({torso.serial!r}, period).close()
        logging.getLogger("kestro_motor_controller.control_loop").setLevel(logging.INFO)
        k.KestroPyControlLoop({torso.serial!r}, period).close()
        c = k.KestroMotorController(None, {torso.can_bus!r})
        c.set_neck_yaw_position(0.7)
        logging.getLogger("kestro_motor_controller.controller").setLevel(logging.ERROR)
        c.set_neck_yaw_position(0.7)  # still asked of the logger, which now refuses it
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines() == REBOOTS + REBOOTS + [f"kestro_motor_controller.controller WARNING {CLAMP_YAW}"]

    result = run_python(
        f"""
        import datetime, logging
        import kestro_motor_controller as k
        logging.basicConfig(format="%(name)s %(levelname)s %(message)s")
        logging.getLogger("kestro_motor_controller.control_loop").setLevel(logging.INFO)
        k.KestroPyControlLoop({torso.serial!r}, datetime.timedelta(milliseconds=20)).close()
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stderr.splitlines()
    assert lines[0] == "kestro_motor_controller.control_loop INFO Waiting for voltage to be stable at 12V..."
    assert lines[1].startswith(
        "kestro_motor_controller.control_loop INFO Voltage is stable at ~12V: [120, 120, 120, 120, 120, 120, 120] (took "
    )
    assert lines[2:] == REBOOTS
