"""The control loop on a simulated torso that keeps real bus time (--wire-timing), where a full
read takes about 2 ms: what the loop does when a command holds it up for several periods."""

import datetime

import pytest

from conftest import eventually, start_torso

PERIOD = 0.010  # s; a full read on the modelled buses takes about 2 ms
ABSENT_SERVO = 20  # no servo answers there, so reading it waits for every attempt


@pytest.fixture
def wired_torso():
    sim = start_torso(["--wire-timing"])
    yield sim
    sim.stop()


def test_missed_ticks_come_back_to_back(kmc, wired_torso):
    loop = kmc.KestroPyControlLoop(
        wired_torso.serial,
        datetime.timedelta(seconds=PERIOD),
        wired_torso.can_bus,
        allowed_retries=3,
        stats_pub_period=datetime.timedelta(microseconds=1),  # every tick's read time at once
    )
    try:
        # Three timed-out attempts and two 20 ms pauses hold the loop for several periods.
        with pytest.raises(RuntimeError):
            loop.async_read_raw_bytes(ABSENT_SERVO, 56, 2)
        held = len(loop.get_stats().period)  # the late tick comes at once after the command

        def caught_up():
            period = loop.get_stats().period
            # Tick k is due k periods after the loop started, which the first sample measures
            # from; once the loop is back on schedule, the samples add up to the count of
            # ticks since, in periods, so none was skipped.
            return len(period) > held + 20 and round(sum(period) / PERIOD) == len(period) - 1

        eventually(caught_up, timeout=10.0)
        stats = loop.get_stats()
        period, read_dt = stats.period, stats.read_dt
        # The late tick was taken just before or just after the command's answer was read.
        stall = max(range(held - 1, held + 1), key=lambda i: period[i])
        missed = round(period[stall] / PERIOD) - 1
        assert missed >= 3, period[stall]
        # Each missed tick starts as soon as the read of the tick before has ended, where a tick
        # on schedule waits most of a period (the reads take about 2 ms). Compared with the
        # reads' own times, so that a slow machine's longer reads do not count as waiting.
        waits = sorted(period[k] - read_dt[k - 1] for k in range(stall + 1, stall + 1 + missed))
        assert waits[len(waits) // 2] < PERIOD / 4, waits
    finally:
        loop.close()
