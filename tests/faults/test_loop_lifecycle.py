"""Closing, sharing and abandoning a control loop: queued commands are all carried out, the
commands of many threads arrive in each thread's order, and neither an exit without close nor
the garbage collector leaves a thread behind."""

import collections
import gc
import os
import threading
import time

from conftest import MS20, eventually, raised, report, run_python

P_GAIN = 21  # three register bytes (21 to 23) every servo accepts at any time

COMMUNICATION_ERROR = "Motor communication error! Check connections and power supply."


def threads():
    return len(os.listdir("/proc/self/task"))


def test_close_executes_all_queued_commands(kmc, torso):
    loop = kmc.KestroPyControlLoop(torso.serial, MS20, torso.can_bus)
    # Each write waits for a slow reply, so the commands pile up in the queue.
    torso.command("servo 2 delay 5")
    torso.command("requests clear")
    for n in range(100):
        loop.async_write_raw_bytes(2, P_GAIN, [n])
    assert torso.requests()["write"] < 50  # most were still queued when close was called
    loop.close()
    assert torso.requests()["write"] == 100
    assert torso.command("servo 2 writes").split() == [f"{P_GAIN}:{n:02x}" for n in range(100)]
    assert torso.register(2, P_GAIN) == 99


def test_eight_threads_share_one_loop_for_ten_seconds(kmc, torso):
    loop = kmc.KestroPyControlLoop(torso.serial, MS20, torso.can_bus, stats_pub_period=MS20)
    torso.command("requests clear")
    deadline = time.monotonic() + 10
    sent = [0] * 8
    errors = []

    def run(t):
        # Thread t writes [t, n (2 bytes)] to servo t % 7 + 1, n counting up from 0.
        servo = t % 7 + 1
        n = 0
        try:
            while time.monotonic() < deadline:
                loop.async_write_raw_bytes(servo, P_GAIN, [t, n >> 8, n & 0xFF])
                n += 1
                sent[t] = n
                kind = n % 4
                if kind == 0:
                    try:
                        loop.get_last_position()
                    except RuntimeError as error:
                        # On two busy cores a tick can miss a reply: the reading then holds
                        # the communication error until the next good one. Nothing is lost.
                        if str(error) != COMMUNICATION_ERROR:
                            raise
                elif kind == 1:
                    assert loop.is_torque_enabled() in (True, False)
                elif kind == 2:
                    assert loop.get_stats() is not None
                if n % 25 == 0:
                    read = loop.async_read_raw_bytes(servo, P_GAIN, 3)
                    assert len(read) == 3 and read[0] % 7 + 1 == servo, read
                if t % 2:
                    loop.set_neck_yaw_position(0.01 * (n % 10))
                time.sleep(0.01)
        except Exception as error:  # noqa: BLE001 - reported below
            errors.append((t, error))

    workers = [threading.Thread(target=run, args=(t,)) for t in range(8)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(timeout=30)
    assert not any(w.is_alive() for w in workers)
    assert not errors, errors
    loop.close()

    counts = torso.requests()
    assert counts["total"] < 10_000  # the simulator kept every request
    assert counts["write"] == sum(sent)
    arrived = collections.defaultdict(list)
    for servo in range(1, 8):
        for write in torso.command(f"servo {servo} writes").split():
            address, data = write.split(":")
            assert int(address) == P_GAIN
            t, n = int(data[:2], 16), int(data[2:], 16)
            assert t % 7 + 1 == servo
            arrived[t].append(n)
    for t in range(8):
        assert arrived[t] == list(range(sent[t])), t
    report(f"eight threads, 10 s: {sum(sent)} writes arrived in order, {sent} per thread")


def test_exit_without_close(torso):
    # The child reports when its script ends; CLOCK_MONOTONIC is shared by all processes.
    result = run_python(
        f"""
        import datetime, time
        import kestro_motor_controller as k
        loop = k.KestroPyControlLoop({torso.serial!r}, datetime.timedelta(milliseconds=20), {torso.can_bus!r})
        loop.set_arms_position([0.1, 0.1, 0.1, 0.1])
        print(time.monotonic(), flush=True)
        """,
        timeout=30,
    )
    exited = time.monotonic()
    assert result.returncode == 0, result.stderr
    assert exited - float(result.stdout.split()[-1]) < 2.0


def test_garbage_collected_loop_closes(kmc, torso):
    before = threads()
    loop = kmc.KestroPyControlLoop(torso.serial, MS20, torso.can_bus)
    assert threads() > before
    assert raised(kmc.KestroMotorController, torso.serial) is not None  # the loop holds the port
    for n in range(5):
        loop.async_write_raw_bytes(3, P_GAIN, [n])
    cycle = [loop]
    cycle.append(cycle)
    del loop, cycle
    gc.collect()
    # Closed: the queued writes were done, the thread has ended and the port is free again.
    assert torso.register(3, P_GAIN) == 4
    eventually(lambda: threads() == before, timeout=15)
    assert raised(kmc.KestroMotorController, torso.serial) is None
