"""The interpreter lock around waits on a loop thread, and interpreter exit with a running loop.

Each scenario runs in its own interpreter, so that a wait cycle fails its test by time-out
instead of hanging the suite."""

import time

from conftest import run_python

# Every command makes the loop thread log a clamp warning, which needs the interpreter lock.
SETUP = """
    import datetime, logging, sys, threading, time
    import kestro_motor_controller as k
    warnings = []
    class Count(logging.Handler):
        def emit(self, record):
            warnings.append(record.getMessage())
    logging.getLogger("kestro_motor_controller.controller").addHandler(Count())
    loop = k.KestroPyControlLoop(None, datetime.timedelta(milliseconds=20), can_bus={can_bus!r})
    warnings.clear()
"""


def run_scenario(torso, body, timeout=30):
    result = run_python((SETUP + body).format(can_bus=torso.can_bus), timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


def test_waits_let_the_loop_thread_log(torso):
    out = run_scenario(
        torso,
        """
    for _ in range(20):
        loop.set_neck_yaw_position(2.0)
    try:
        loop.write_raw_packet(b"\\xff")  # the answer comes after the commands before it
    except RuntimeError:  # neck-only: the loop drops the request
        print(len(warnings), "reply")
    for _ in range(300):
        loop.set_neck_pitch_position(-1.0)
    # The queue holds 100: the last call returned only once the loop thread had taken (and
    # logged for) all commands but the last 100 and the one in hand.
    print(len(warnings) >= 320 - 101, "full-queue")
    for _ in range(50):
        loop.set_neck_roll_position(1.0)
    loop.close()  # runs the commands still queued
    print(len(warnings), "close")
    """,
    )
    assert out == ["20", "reply", "True", "full-queue", "370", "close"]


def test_exit_with_a_running_loop(torso):
    # Never closed; a daemon thread keeps sending commands (each logged by the loop thread)
    # while the interpreter exits.
    started = time.monotonic()
    out = run_scenario(
        torso,
        """
    def busy():
        try:
            while True:
                loop.set_neck_yaw_position(2.0)
        except RuntimeError as error:
            pass
    threading.Thread(target=busy, daemon=True).start()
    time.sleep(0.2)
    print("exiting", len(warnings) > 0)
    """,
    )
    assert out == ["exiting", "True"]
    assert time.monotonic() - started < 10


def test_exit_while_a_thread_waits_for_the_loop(torso):
    out = run_scenario(
        torso,
        """
    def wait():
        while True:
            try:
                loop.set_neck_roll_position(1.0)
                loop.write_raw_packet(b"")  # neck-only: answered by a closed channel
            except RuntimeError as error:
                if str(error) == "channel closed":
                    return
    for _ in range(4):
        threading.Thread(target=wait, daemon=True).start()
    time.sleep(0.3)
    sys.exit(0)
    """,
    )
    assert out == []
