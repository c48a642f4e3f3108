"""Create/close cycles leave the process's descriptors, threads and memory flat."""

import gc
import os
import resource

from conftest import MS20, raised, report, sanitized

PAGE = os.sysconf("SC_PAGE_SIZE")
# The allocator keeps some freed memory; a leak of even a few hundred bytes per cycle would
# pass 4 MiB over these cycles.
MEMORY_MARGIN = 4 << 20


def resident():
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * PAGE


def usage():
    gc.collect()
    return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task")), resident()


def cycle(kmc, torso, controllers, loops, failures):
    for _ in range(controllers):
        controller = kmc.KestroMotorController(torso.serial, torso.can_bus)
        del controller
    # A loop with its serial port starts in about 100 ms (the servos reboot); one in four is
    # one, the others drive the neck only, which still starts and ends the loop thread.
    for n in range(loops):
        loop = kmc.KestroPyControlLoop(torso.serial if n % 4 == 0 else None, MS20, torso.can_bus)
        loop.set_neck_yaw_position(0.0)
        loop.close()
        del loop
    # Failures at each step of construction: before anything is opened, after the serial
    # port was opened (the CAN interface does not exist), and in the loop's own checks.
    for n in range(failures):
        kind = n % 4
        if kind == 0:
            assert raised(kmc.KestroMotorController, "/nonexistent/tty", torso.can_bus)
        elif kind == 1:
            assert raised(kmc.KestroMotorController, torso.serial, "nosuchcan0")
        elif kind == 2:
            assert raised(kmc.KestroPyControlLoop, torso.serial, MS20, "nosuchcan0")
        else:
            assert raised(kmc.KestroPyControlLoop, "/nonexistent/tty", MS20, torso.can_bus)


def test_create_close_cycles_stay_flat(kmc, torso):
    cycle(kmc, torso, 100, 20, 100)  # warm-up: caches, allocator arenas, lazy imports
    fds, tasks, rss = usage()
    cycle(kmc, torso, 1000, 200, 1000)
    fds_after, tasks_after, rss_after = usage()
    report(f"descriptors {fds} -> {fds_after}; threads {tasks} -> {tasks_after}; "
           f"RSS {rss / 2**20:.1f} -> {rss_after / 2**20:.1f} MiB "
           f"(peak {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.1f} MiB)"
           f" after 1000 controllers, 200 loops, 1000 failed constructions")
    assert fds_after == fds
    assert tasks_after == tasks
    # Under AddressSanitizer freed memory sits in quarantine, so resident memory grows by
    # design; that run checks descriptors and threads (and every access) only.
    if not sanitized():
        assert rss_after - rss < MEMORY_MARGIN
