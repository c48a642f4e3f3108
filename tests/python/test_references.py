"""Reference counts around calls: the module keeps no reference to an argument it converted or
refused, and a result it gives back has the caller as its only owner. A leaked reference shows
as a count one higher per call; one released twice as a lower count (or a crash)."""

import datetime
import sys

import pytest

REPEATS = 50
MS20 = datetime.timedelta(milliseconds=20)


def fresh(text):
    """A string of its own, not shared with any other (as literals and names may be)."""
    return "".join(list(text))


def keeps_counts(objects, call, expected=()):
    """Calls `call` REPEATS times, each refused with `expected` if given; the reference count of
    every object in `objects` stays as it was after a first call."""
    def once():
        try:
            call()
        except expected:
            return
        assert not expected, f"no {expected.__name__}"

    once()  # caches filled on a first call (the logger of a target, say) are not leaks
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(REPEATS):
        once()
    assert [sys.getrefcount(o) for o in objects] == before


def test_refused_arguments_keep_their_reference_counts(neck_only):
    c = neck_only
    # A sequence refused at its second item: the iterator (which holds the list) and the item.
    too_big = 2**70
    ids = [1, too_big]
    keeps_counts([ids, too_big], lambda: c.enable_torque_on_ids(ids), OverflowError)
    # An array refused at its last item, read by index.
    first, second = float(fresh("0.5")), float(fresh("0.25"))
    goals = (first, second, fresh("x"))
    keeps_counts([goals, first, second], lambda: c.set_nose_position(goals), TypeError)

    class Index:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            return self.value

    # The integer __index__ gives, refused as out of range for 32 bits.
    wide = 2**40 + 1
    keeps_counts([wide], lambda: c.set_neck_gains(Index(wide), 1.0, 1.0), OverflowError)

    # A TypeError raised by the argument is replaced by one naming the parameter; the original
    # (which holds `marker`) is released.
    marker = object()

    class Number:
        def __float__(self):
            raise TypeError(marker)

    keeps_counts([marker], lambda: c.set_neck_gains(0, Number(), 1.0), TypeError)

    # A type name read for a message, and a type's module read to tell numpy's booleans apart.
    opaque = type(fresh("Opaque"), (), {"__module__": fresh("tests.fake")})
    keeps_counts([opaque.__name__, opaque.__module__], lambda: c.enable_torque_on_ids(opaque()), TypeError)
    keeps_counts([opaque.__name__, opaque.__module__], lambda: c.enable_neck(opaque()), TypeError)


def test_accepted_arguments_keep_their_reference_counts(kmc, neck_only):
    # A type that passes for numpy's boolean by its module and name.
    flag = type(fresh("bool_"), (), {"__module__": fresh("numpy"), "__bool__": lambda self: False})
    keeps_counts([flag.__name__, flag.__module__], lambda: neck_only.enable_neck(flag()))
    left = [float(fresh("0.5")), float(fresh("0.25"))]
    keeps_counts([left, *left], lambda: kmc.KestroTorsoPosition(left, [0, 0], [0, 0, 0], [0, 0, 0]))
    # Converted, then refused by a bus that does not exist.
    keeps_counts([MS20], lambda: kmc.KestroPyControlLoop(None, MS20, can_bus="nocan7"), RuntimeError)


def owners(make):
    """How many references the result of `make()` has once it is returned."""
    result = make()
    return sys.getrefcount(result) - 1  # less getrefcount's own argument


def test_results_have_the_caller_as_only_owner(kmc, neck_only, torso):
    def position():
        return kmc.KestroTorsoPosition([0.1, 0.2], [0.3, 0.4], [0, 0, 0], [0, 0, 0])

    assert owners(position) == 1
    assert owners(lambda: position().neck) == 1
    assert owners(neck_only.neck_position_limits) == 1
    assert owners(neck_only.read_neck_positions) == 1
    loop = kmc.KestroPyControlLoop(None, MS20, torso.can_bus)
    try:
        assert owners(loop.get_motor_name_id) == 1
    finally:
        loop.close()
