"""KestroMotorController against the simulated torso: serial servos, neck, calibration, and
the object's mutex."""

import logging
import math

import pytest

from conftest import eventually, run_python

NO_SERIAL = "serial port not configured (neck-only controller)"
CLAMP = "{} requested position {:.4f} rad out of safe range [{:.4f}, {:.4f}]; clamped to {:.4f}"


def servo(torso, servo_id, reading):
    return int(torso.command(f"servo {servo_id} {reading}"))


def test_neck_only_controllers(kmc, torso, neck_only):
    assert torso.can_bus == "can0"  # the default interface reaches the simulated neck
    for made in (kmc.KestroMotorController(), kmc.KestroMotorController(can_bus=torso.can_bus), neck_only):
        assert made.read_neck_positions() == pytest.approx([0, 0, 0], abs=1e-3)
        with pytest.raises(RuntimeError) as caught:
            made.read_all_positions()
        assert str(caught.value) == NO_SERIAL
    for call, args in [
        (neck_only.enable_torque, ()), (neck_only.disable_torque, ()), (neck_only.is_torque_enabled, ()),
        (neck_only.set_nose_position, ([0, 0, 0],)), (neck_only.set_all_goal_positions, ([0] * 7,)),
        (neck_only.enable_arms, (True,)), (neck_only.enable_nose, (False,)), (neck_only.set_arm_home, ()),
        (neck_only.write_raw_packet, (b"",)), (neck_only.disable_torque_on_ids, ([5],)),
    ]:
        with pytest.raises(RuntimeError) as caught:
            call(*args)
        assert str(caught.value) == NO_SERIAL, call.__name__
    with pytest.raises(RuntimeError, match="^set_arm_home: verify_tol must be positive, got 0.0$"):
        neck_only.set_arm_home(0)


def test_torque_switches(controller, torso):
    torques = lambda: [servo(torso, i, "torque") for i in range(1, 8)]  # noqa: E731
    assert controller.enable_torque() is None
    eventually(lambda: torques() == [1] * 7)
    assert controller.is_torque_enabled() is True
    controller.disable_torque_on_ids([6, 2, 6, 9])
    eventually(lambda: torques() == [1, 0, 1, 1, 1, 0, 1])
    assert controller.is_torque_enabled() is False
    controller.enable_arms(False)
    eventually(lambda: torques() == [0, 0, 0, 0, 1, 0, 1])
    controller.enable_nose(True)
    controller.enable_torque_on_ids(b"\x01\x02")
    eventually(lambda: torques() == [1, 1, 0, 0, 1, 1, 1])
    controller.disable_torque()
    eventually(lambda: torques() == [0] * 7)


UNIT = 2 * math.pi / 4096  # one servo count


def rad(counts):
    """The goal in rad that the servos store as `counts` (their conversion truncates)."""
    return (counts - 2048 + 0.5) * UNIT


def test_positions(controller, torso):
    for servo_id, counts in enumerate([3072, 1024, 2048, 2560, 2048, 1536, 3584], start=1):
        torso.command(f"servo {servo_id} place {counts}")
    expected = [1024 * UNIT, -1024 * UNIT, 0, 512 * UNIT, 0, -512 * UNIT, 1536 * UNIT]
    assert controller.read_all_positions() == pytest.approx(expected)

    torso.command("requests clear")
    controller.set_all_goal_positions([rad(c) for c in range(2041, 2048)])
    eventually(lambda: torso.requests()["sync_write"] == 2)  # arms, then nose
    eventually(lambda: [servo(torso, i, "goal") for i in range(1, 8)] == list(range(2041, 2048)))
    controller.set_left_arm_position([rad(2374), rad(1722)])
    controller.set_right_arm_position((rad(3072), rad(10)))
    controller.set_nose_position(tuple(map(rad, (100, 200, 300))))
    goals = lambda: [servo(torso, i, "goal") for i in range(1, 8)]  # noqa: E731
    eventually(lambda: goals() == [2374, 1722, 3072, 10, 100, 200, 300])
    controller.set_arms_position([rad(1), rad(2), rad(3), rad(4)])
    eventually(lambda: goals() == [1, 2, 3, 4, 100, 200, 300])


def test_write_raw_packet(controller, torso):
    torso.command("requests clear")
    ping = bytes([0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB])
    assert controller.write_raw_packet(ping) is None
    assert controller.write_raw_packet(b"") is None  # sends nothing, waits for nothing in vain
    assert torso.requests()["ping"] == 1


def test_neck_setters_clamp_and_report(controller, torso, records):
    assert controller.neck_position_limits() == [(-0.5, 0.5), (0.0, 0.45), (-0.4, 0.4)]
    assert controller.is_neck_torque_enabled() is False
    controller.enable_neck(True)
    assert controller.is_neck_torque_enabled() is True
    assert torso.motor(2)["enabled"] == 1
    observed = controller.set_neck_position([1.0, 1.0, 1.0])
    assert len(observed) == 3 and all(isinstance(x, float) for x in observed)
    assert records.messages() == [
        CLAMP.format("neck_yaw", 1.0, -0.5, 0.5, 0.5),
        CLAMP.format("neck_pitch", 1.0, 0.0, 0.45, 0.45),
        CLAMP.format("neck_roll", 1.0, -0.4, 0.4, 0.4),
    ]
    eventually(lambda: controller.read_neck_positions() == pytest.approx([0.5, 0.45, 0.4], abs=0.01))
    assert isinstance(controller.set_neck_yaw_position(-2.0), float)
    controller.set_neck_pitch_position(0.2)
    controller.set_neck_roll_position(0.1)
    eventually(lambda: controller.read_neck_positions() == pytest.approx([-0.5, 0.2, 0.1], abs=0.01))
    assert records.messages()[-1] == CLAMP.format("neck_yaw", -2.0, -0.5, 0.5, -0.5)
    controller.enable_neck(False)
    assert controller.is_neck_torque_enabled() is False
    assert torso.motor(1)["enabled"] == 0


def test_neck_failures(neck_only, torso):
    torso.command("motor 2 silent on")
    with pytest.raises(RuntimeError, match=r"^read_neck_positions\(neck_pitch\): "):
        neck_only.read_neck_positions()
    with pytest.raises(RuntimeError, match="^neck_pitch: ensure MIT mode failed: "):
        neck_only.enable_neck(True)
    assert neck_only.is_neck_torque_enabled() is False
    with pytest.raises(RuntimeError, match=r"^set_neck_pitch_position: "):
        neck_only.set_neck_pitch_position(0.1)


def test_neck_home(neck_only, torso):
    with pytest.raises(RuntimeError, match="^neck_home: speed must be positive, got 0.0$"):
        neck_only.neck_home(speed=0)
    with pytest.raises(RuntimeError, match="^neck_home: tolerance must be positive, got 0.0$"):
        neck_only.neck_home(0.4, 0)
    assert neck_only.is_neck_torque_enabled() is False
    torso.command("motor 1 place 0.1 0")
    torso.command("motor 2 place 0.2 1")
    torso.command("motor 3 place -0.05 -1")
    homed = neck_only.neck_home(speed=2.0, tolerance=0.15, kp=20.0)
    assert homed == pytest.approx([0.0, 2 * math.pi, -2 * math.pi], abs=0.15)
    assert neck_only.is_neck_torque_enabled() is True  # homing enables and leaves it so
    assert neck_only.neck_home() == pytest.approx([0.0, 2 * math.pi, -2 * math.pi], abs=0.15)


def test_set_arm_home(controller, torso):
    for servo_id, counts in ((1, 2500), (2, 1800), (3, 2048), (4, 3000)):
        torso.command(f"servo {servo_id} place {counts}")
    controller.enable_torque()
    with pytest.raises(RuntimeError, match="^set_arm_home: verify_tol must be positive, got -0.1$"):
        controller.set_arm_home(-0.1)
    home = controller.set_arm_home()
    assert len(home) == 4 and all(abs(x) <= 0.05 for x in home)
    assert controller.read_all_positions()[:4] == pytest.approx([0, 0, 0, 0], abs=0.05)
    eventually(lambda: [servo(torso, i, "torque") for i in range(1, 5)] == [0, 0, 0, 0])
    assert controller.set_arm_home(verify_tol=0.01) == pytest.approx(home)


def test_call_from_a_log_handler_of_the_same_object(controller, records):
    seen = []

    class CallBack(logging.Handler):
        def emit(self, record):
            try:
                controller.is_neck_torque_enabled()
            except RuntimeError as error:
                seen.append(str(error))

    logger = logging.getLogger("kestro_motor_controller.controller")
    handler = CallBack()
    logger.addHandler(handler)
    try:
        controller.set_neck_yaw_position(1.0)
    finally:
        logger.removeHandler(handler)
    assert seen == ["Failed to lock motor controller: already locked by this thread"]
    assert controller.is_neck_torque_enabled() is False  # the object stays usable


def test_waiting_for_the_mutex_lets_its_holder_log(torso):
    # Thread A holds the mutex while a log handler gives up the interpreter lock; thread B,
    # calling the same object meanwhile, must wait for A without keeping that lock.
    result = run_python(
        f"""
        import logging, threading, time
        import kestro_motor_controller as k
        order = []
        logging_started = threading.Event()
        class Slow(logging.Handler):
            def emit(self, record):
                logging_started.set()
                time.sleep(0.3)
                order.append("logged")
        logging.getLogger("kestro_motor_controller").addHandler(Slow())
        c = k.KestroMotorController(None, {torso.can_bus!r})
        a = threading.Thread(target=lambda: c.set_neck_yaw_position(2.0))
        a.start()
        logging_started.wait(10)
        c.is_neck_torque_enabled()
        order.append("called")
        a.join()
        print(order)
        """,
        timeout=20,
    )
    assert result.stdout.strip() == "['logged', 'called']", result.stderr


def test_fault_under_the_mutex_poisons_the_object(torso):
    # An allocation that fails inside the operation, while the mutex is held: the address
    # space is limited so that converting the 32 MiB argument still fits but the controller's
    # own copies of it do not. Where exactly that window lies depends on the process's layout,
    # so a few limits are tried, each on a fresh object, until a fault poisons one.
    result = run_python(
        f"""
        import re, resource
        import kestro_motor_controller as k
        nose = b"\\x05" * 2**25
        for extra_mib in range(36, 112, 4):
            c = k.KestroMotorController(None, {torso.can_bus!r})
            used = int(re.search(r"VmSize:\\s+(\\d+) kB", open("/proc/self/status").read()).group(1)) * 1024
            resource.setrlimit(resource.RLIMIT_AS, (used + extra_mib * 2**20, resource.RLIM_INFINITY))
            try:
                c.enable_torque_on_ids(nose)
                panic = None
            except Exception as error:
                panic = "not a panic: " + repr(error)
            except BaseException as error:
                panic = " ".join((type(error).__module__, type(error).__name__, str(error)))
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
            if panic is None:
                continue
            try:
                c.is_neck_torque_enabled()
                continue  # the fault came before the mutex was taken: try a larger limit
            except RuntimeError as error:
                print(panic)
                print(error)
            try:
                c.set_neck_gains(0, 1.0, 1.0)
            except RuntimeError as error:
                print(error)
            try:
                c.set_neck_gains("x", 1.0, 1.0)  # arguments are converted before the mutex
            except TypeError as error:
                print(error)
            break
        """
    )
    assert result.stdout.splitlines() == [
        "kestro_runtime PanicException std::bad_alloc",
        "Failed to lock motor controller",
        "Failed to lock motor controller",
        "argument 'index': 'str' object cannot be interpreted as an integer",
    ], (result.returncode, result.stdout, result.stderr)
