"""Stopping safely: Ctrl-C ends every long call within a second and leaves the hardware and
the module in a known state; close is prompt; a log handler on the loop thread cannot wedge
or abort the process.

The Ctrl-C rows run the module in a child interpreter, which reports each step on its output,
and send it SIGINT while it waits."""

import datetime
import os
import select
import signal
import subprocess
import sys
import textwrap
import time

from conftest import MS20, eventually, report, run_python

# What every child defines: a call made while the parent may interrupt it.
CHILD_PRELUDE = """
import datetime, sys, time
import kestro_motor_controller as k

def step(name):
    print(name, flush=True)
    sys.stdin.readline()  # the parent's go-ahead

def interrupted(call, *args, **kwargs):
    print("waiting", flush=True)
    try:
        call(*args, **kwargs)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    else:
        print("returned", flush=True)
"""


class Child:
    def __init__(self, code):
        self.process = subprocess.Popen(
            [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(code)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            bufsize=1,
        )
        self.pending = b""  # read from the child's output, not yet taken as lines

    def expect(self, word, timeout=20.0):
        """Reads lines until one starts with `word`; gives its other fields."""
        deadline = time.monotonic() + timeout
        while True:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                fields = line.decode().split()
                if fields and fields[0] == word:
                    return fields[1:]
            # Unbuffered reads: a buffered reader could hold a line that select cannot see.
            fd = self.process.stdout.fileno()
            readable, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            assert readable, f"no {word!r} from the child: {self.finish()}"
            chunk = os.read(fd, 4096)
            assert chunk, f"the child ended before {word!r}: {self.finish()}"
            self.pending += chunk

    def go(self):
        self.process.stdin.write("\n")

    def interrupt(self):
        """Interrupts the call the child waits in; gives how long KeyboardInterrupt took."""
        self.expect("waiting")
        time.sleep(0.3)  # well inside the call
        sent = time.monotonic()
        self.process.send_signal(signal.SIGINT)
        fields = self.expect("interrupted")
        return float(fields[0]) - sent

    def finish(self):
        try:
            out, err = self.process.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
        return f"exit {self.process.returncode}\n{out}\n{err}"


def test_ctrl_c_stops_neck_homing_and_the_controller_stays_usable(torso):
    torso.command("motor 2 place 0.3 0")
    torso.command("motor 2 stuck on")  # homing would go on for its whole 20 s budget
    child = Child(f"""
        c = k.KestroMotorController({torso.serial!r}, {torso.can_bus!r})
        interrupted(c.neck_home)
        print("usable", len(c.read_neck_positions()), c.is_neck_torque_enabled(), flush=True)
        """)
    took = child.interrupt()
    assert child.expect("usable") == ["3", "True"]
    assert child.finish().startswith("exit 0")
    report(f"safe stop: neck_home interrupted in {took * 1000:.0f} ms")
    assert took < 1.0
    # The motors hold their last command: still enabled, not sent limp.
    assert all(torso.motor(m)["enabled"] == 1 for m in (1, 2, 3))


def test_ctrl_c_stops_the_voltage_wait_and_frees_the_port(torso):
    torso.command("servo all voltage 95")  # the 12 V rail never comes up
    child = Child(f"""
        interrupted(k.KestroPyControlLoop, {torso.serial!r}, datetime.timedelta(milliseconds=20),
                    {torso.can_bus!r}, voltage_rampup_timeout=datetime.timedelta.max)
        c = k.KestroMotorController({torso.serial!r}, {torso.can_bus!r})
        print("usable", flush=True)
        """)
    took = child.interrupt()
    child.expect("usable")
    assert child.finish().startswith("exit 0")
    report(f"safe stop: start-up interrupted in {took * 1000:.0f} ms")
    assert took < 1.0


def test_ctrl_c_stops_every_wait_on_a_busy_loop_thread(torso):
    # A tick whose read is retried without end keeps the loop thread busy, so every wait on
    # it would last for ever: for a reply, for a queue slot. Not for the thread's end: close
    # stops the retries, so it returns after the exchange under way.
    child = Child(f"""
        loop = k.KestroPyControlLoop({torso.serial!r}, datetime.timedelta(milliseconds=20),
                                     {torso.can_bus!r}, allowed_retries=2**64 - 1)
        step("started")
        try:
            loop.async_read_raw_bytes(7, 56, 2)
        except RuntimeError:
            pass
        interrupted(loop.write_raw_packet, bytes([0xFF, 0xFF, 1, 2, 1, 0xFB]))
        for _ in range(98):  # beside the two requests still queued: the queue is full
            loop.enable_arms(False)
        interrupted(loop.enable_arms, False)
        step("unblock")
        loop.close()
        print("closed", flush=True)
        """)
    child.expect("started")
    torso.command("servo 7 silent on")
    torso.command("requests clear")
    # Both groups' reads of a tick sent since: that tick is the one stuck on servo 7. Without
    # this wait the request below could reach an idle loop first and be what gets stuck.
    eventually(lambda: torso.requests()["sync_read"] >= 2)
    child.go()
    times = [child.interrupt() for _ in range(2)]
    child.expect("unblock")
    torso.command("servo 7 silent off")
    child.go()
    child.expect("closed")
    assert child.finish().startswith("exit 0")
    report("safe stop: loop waits interrupted in " + ", ".join(f"{t * 1000:.0f}" for t in times) + " ms")
    assert max(times) < 1.0
    # The interrupted enqueue queued nothing; the interrupted reply wait left its packet queued.
    # Group writes get no answer: the simulator counts the last ones a moment after close.
    eventually(lambda: torso.requests()["sync_write"] == 98)


def test_close_of_an_idle_loop_is_prompt(kmc, torso):
    loop = kmc.KestroPyControlLoop(torso.serial, datetime.timedelta(seconds=5), torso.can_bus)
    time.sleep(0.1)  # past the first tick; the next is 5 s away
    loop.async_write_raw_bytes(3, 21, [9])
    begun = time.monotonic()
    loop.close()
    took = time.monotonic() - begun
    report(f"safe stop: close of an idle 5 s loop took {took * 1000:.1f} ms")
    assert took < 0.5
    assert torso.register(3, 21) == 9  # the queued command still ran


def test_a_huge_period_reads_once(kmc, torso):
    loop = kmc.KestroPyControlLoop(torso.serial, datetime.timedelta.max, torso.can_bus,
                                   stats_pub_period=datetime.timedelta.max)
    time.sleep(0.1)
    torso.command("requests clear")
    time.sleep(0.5)
    assert torso.requests()["sync_read"] == 0
    loop.close()


def test_a_log_handler_on_the_loop_thread_cannot_wedge_the_loop(torso):
    # Each clamp warning is logged on the loop thread; its handler calls back into the loop.
    result = run_python(
        f"""
        import datetime, logging, time
        import kestro_motor_controller as k
        loop = k.KestroPyControlLoop(None, datetime.timedelta(milliseconds=20), {torso.can_bus!r})
        seen = []

        class CallsBack(logging.Handler):
            def emit(self, record):
                for call in (lambda: loop.write_raw_packet(b"x"),
                             lambda: loop.async_read_raw_bytes(1, 56, 2),
                             lambda: loop.async_read_pid_gains(1)):
                    try:
                        call()
                        seen.append("returned")
                    except RuntimeError as error:
                        seen.append(str(error))
                loop.close()  # only asks the thread to stop: it cannot wait for itself
                seen.append("closed")

        logging.getLogger("kestro_motor_controller.controller").addHandler(CallsBack())
        loop.set_neck_yaw_position(2.0)
        deadline = time.monotonic() + 5
        while "closed" not in seen and time.monotonic() < deadline:
            time.sleep(0.01)
        loop.close()
        for line in seen:
            print(line)
        try:
            loop.enable_torque()
        except RuntimeError as error:
            print("after:", error)
        """,
        timeout=30,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    own = ("cannot wait for the control loop on its own thread (a log handler running there "
           "called back into the loop)")
    assert lines[:3] == [own, own, own]
    assert lines[3:] == ["closed", "after: channel closed"]
