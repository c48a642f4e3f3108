"""Field faults on the simulated torso: the neck stays read while a servo is silent, a late
neck reply is never taken for a fresh one, Ctrl-C in a neck wait is a KeyboardInterrupt, close
is bounded whatever the retry limit, and a forked child does not wait for its parent's loop."""

import datetime
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import eventually, run_python

MS20 = datetime.timedelta(milliseconds=20)


def test_a_silent_servo_leaves_the_neck_state_fresh(kmc, torso):
    loop = kmc.KestroPyControlLoop(torso.serial, MS20, torso.can_bus)
    try:
        torso.command("servo 3 silent on")
        failing = eventually(lambda: (h := loop.get_health()).failed_ticks > 0 and h)
        later = eventually(lambda: (h := loop.get_health()).failed_ticks > failing.failed_ticks + 2 and h)
        neck = lambda h: h.devices["neck_roll"].neck_state.timestamp  # noqa: E731
        assert neck(later) > neck(failing)
        with pytest.raises(RuntimeError, match="^Motor communication error"):
            loop.get_last_position()
    finally:
        loop.close()


def test_a_late_neck_reply_is_never_taken_for_a_fresh_one(controller, torso):
    torso.command("motor 2 delay 30")  # past the 20 ms a reply is waited for
    with pytest.raises(RuntimeError, match="^read_neck_positions\\(neck_pitch\\): "):
        controller.read_neck_positions()
    torso.command("motor 2 delay 0")
    torso.command("motor 2 place 0.3 0")  # the late reply still says 0
    assert controller.read_neck_positions()[1] == pytest.approx(0.3, abs=1e-3)


def test_ctrl_c_in_a_neck_wait_is_a_keyboard_interrupt(neck_only, torso):
    torso.command("motor all silent on")

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.005)  # inside the first 20 ms wait
        with pytest.raises(KeyboardInterrupt):
            neck_only.read_neck_positions()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_close_is_bounded_whatever_the_retry_limit(kmc, torso):
    loop = kmc.KestroPyControlLoop(torso.serial, MS20, torso.can_bus, 10**6)
    torso.command("servo all silent on")  # the next tick retries for hours
    time.sleep(0.2)  # and it has begun
    begun = time.monotonic()
    loop.close()
    assert time.monotonic() - begun < 1.0


def test_a_forked_child_exits_without_waiting_for_the_parents_loop(torso):
    finished = run_python(f"""
        import datetime, os, sys, time
        import kestro_motor_controller as k
        loop = k.KestroPyControlLoop({torso.serial!r}, datetime.timedelta(milliseconds=20), {torso.can_bus!r})
        child = os.fork()
        if child == 0:
            sys.exit(0)  # a normal exit: the loop is closed at interpreter exit
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            pid, status = os.waitpid(child, os.WNOHANG)
            if pid:
                print("child", os.waitstatus_to_exitcode(status))
                break
            time.sleep(0.01)
        else:
            os.kill(child, 9)
            print("child hung")
        loop.get_last_position()  # the parent's loop is untouched
        loop.close()
    """)
    assert finished.returncode == 0, finished.stderr
    assert finished.stdout.splitlines() == ["child 0"]


@pytest.mark.parametrize("watchdog, text", [
    (datetime.timedelta(microseconds=20), "neck_watchdog 20µs is shorter than the motors' unit of 50µs"),
    (datetime.timedelta(milliseconds=-5), "a negative timedelta cannot be used as a duration"),
    (datetime.timedelta(days=3), "neck_watchdog 259200s is longer than the motors' TIMEOUT register holds"),
    (MS20, "neck_watchdog 20ms must be longer than read_position_loop_period 20ms, whose ticks keep it fed"),
])
def test_a_watchdog_the_motors_cannot_hold_or_the_ticks_cannot_feed_is_refused(kmc, watchdog, text):
    with pytest.raises(ValueError) as caught:
        kmc.KestroPyControlLoop("/nonexistent", MS20, neck_watchdog=watchdog)
    assert str(caught.value) == text
    with pytest.raises(TypeError, match="takes from 2 to 6 positional arguments but 7 were given"):
        kmc.KestroPyControlLoop("/nonexistent", MS20, "can0", 5, None, MS20, watchdog)


def test_with_the_watchdog_a_killed_process_leaves_the_neck_limp(torso):
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import datetime, sys, time
        import kestro_motor_controller as k
        loop = k.KestroPyControlLoop({torso.serial!r}, datetime.timedelta(milliseconds=20), {torso.can_bus!r},
                                     neck_watchdog=datetime.timedelta(milliseconds=100))
        loop.enable_neck(True)
        loop.write_raw_packet(b"")  # the neck is enabled
        print("enabled", flush=True)
        time.sleep(60)
    """)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "enabled"
        time.sleep(0.3)  # three time-outs: the ticks keep the motors on
        assert [torso.motor(m)["enabled"] for m in (1, 2, 3)] == [1, 1, 1]
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
    killed = time.monotonic()
    eventually(lambda: all(torso.motor(m)["enabled"] == 0 for m in (1, 2, 3)))
    assert time.monotonic() - killed < 0.2  # twice the watchdog
    assert torso.motor(2)["status"] == 13  # communication lost
