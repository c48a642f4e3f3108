"""The value classes KestroTorsoPosition and ControlLoopStats."""

import datetime
import re
import time

import pytest

from conftest import eventually


def test_torso_position(kmc):
    before = time.time()
    p = kmc.KestroTorsoPosition([1, -0.25], (0.5, 2.0), range(3), [1e-5, 1.5e16, 0.1])
    assert (p.left_arm, p.right_arm, p.nose, p.neck) == ([1.0, -0.25], [0.5, 2.0], [0.0, 1.0, 2.0], [1e-5, 1.5e16, 0.1])
    assert before - 0.01 <= p.timestamp <= time.time() + 0.01
    assert repr(p) == (
        "KestroTorsoPosition(left_arm=[1.0, -0.25], right_arm=[0.5, 2.0], nose=[0.0, 1.0, 2.0], "
        f"neck=[1e-5, 1.5e16, 0.1], timestamp={p.timestamp:.3f})"
    )
    p.neck.append(9.0)  # each read gives a new list
    assert p.neck == [1e-5, 1.5e16, 0.1]
    assert type(p).neck.__doc__ == "Neck joint positions in rad: [yaw, pitch, roll]."
    assert type(p).left_arm.__doc__ is None


def test_torso_position_arguments(kmc):
    # Wrong lengths are a bad argument like any other, within reach of `except Exception`.
    for lengths in ((2, 2, 3, 2), (1, 2, 3, 3), (2, 2, 4, 3)):
        with pytest.raises(ValueError) as caught:
            kmc.KestroTorsoPosition(*([0.0] * n for n in lengths))
        assert str(caught.value) == "Each arm must have 2 positions, nose must have 3, neck must have 3."
    with pytest.raises(TypeError, match="^argument 'left_arm': Can't extract `str` to `Vec`$"):
        kmc.KestroTorsoPosition("ab", [0, 0], [0, 0, 0], [0, 0, 0])
    with pytest.raises(TypeError, match="^argument 'nose': 'int' object cannot be converted to 'Sequence'$"):
        kmc.KestroTorsoPosition([0, 0], [0, 0], 3, [0, 0])
    # Conversion comes first: a bad item is reported even where the lengths are wrong too.
    with pytest.raises(TypeError, match="^argument 'neck': must be real number, not str$"):
        kmc.KestroTorsoPosition([0], [0, 0], [0, 0, 0], ["x"])


def test_loop_stats(kmc, torso):
    loop = kmc.KestroPyControlLoop(None, datetime.timedelta(milliseconds=10),
                                   stats_pub_period=datetime.timedelta(seconds=60))
    try:
        stats = eventually(lambda: (s := loop.get_stats()).period and s)
    finally:
        loop.close()
    assert stats.read_dt == stats.write_dt == []  # published once a minute
    mean = sum(stats.period, -0.0) / len(stats.period) * 1000.0
    assert repr(stats) == f"ControlLoopStats(period=~{mean:.2f}ms, read_dt=~NaN ms, write_dt=~NaN ms)"
    assert re.fullmatch(r"ControlLoopStats\(period=~\d+\.\d\dms, read_dt=~NaN ms, write_dt=~NaN ms\)", repr(stats))
