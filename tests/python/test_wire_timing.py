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
        stats_pub_period=datetime.timedelta(seconds=3600),
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
        period = loop.get_stats().period
        # The late tick was taken just before or just after the command's answer was read.
        stall = max(range(held - 1, held + 1), key=lambda i: period[i])
        missed = round(period[stall] / PERIOD) - 1
        assert missed >= 3, period[stall]
        # The missed ticks follow the late one at once, each a full read (about 2 ms) after
        # the one before, not a period apart.
        catch_up = sorted(period[stall + 1 : stall + 1 + missed])
        assert catch_up[len(catch_up) // 2] < PERIOD / 2, catch_up
    finally:
        loop.close()
