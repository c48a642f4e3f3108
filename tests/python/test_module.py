"""The module object, its classes, docstrings, text signatures and PanicException."""

import ast
import datetime
import inspect
import pathlib
import resource
import sys

import pytest

from conftest import run_python

CONTROLLER_METHODS = {
    "is_torque_enabled": ("($self)", "Is torque enabled on all motors"),
    "enable_torque": ("($self)", "Enable torque on all motors."),
    "enable_torque_on_ids": ("($self, ids)", "Enable torque on ids"),
    "disable_torque": ("($self)", "Disable torque on all motors."),
    "disable_torque_on_ids": ("($self, ids)", "Disable torque on ids"),
    "read_all_positions": (
        "($self)",
        "Read all motor positions as a 7-element array.\nOrder: [left_arm_pitch, left_arm_yaw, "
        "right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]",
    ),
    "set_all_goal_positions": (
        "($self, positions)",
        "Set goal positions for all motors (7 values).\n\n# Arguments\n* `positions` - Array of 7 "
        "goal positions\n  (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, "
        "nose_left, nose_right).",
    ),
    "set_left_arm_position": ("($self, position)", "Set goal positions for the left arm (2 values: pitch, yaw)."),
    "set_right_arm_position": ("($self, position)", "Set goal positions for the right arm (2 values: pitch, yaw)."),
    "set_arms_position": (
        "($self, position)",
        "Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right yaw).",
    ),
    "set_nose_position": ("($self, position)", "Set goal positions for the nose (3 values)."),
    "set_neck_position": (
        "($self, position)",
        "Set goal positions for the neck (3 values: yaw, pitch, roll). Returns\n"
        "the observed positions reported by the motor replies.",
    ),
    "set_neck_yaw_position": ("($self, position)", None),
    "set_neck_pitch_position": ("($self, position)", None),
    "set_neck_roll_position": ("($self, position)", None),
    "neck_position_limits": (
        "($self)",
        "Hard safety bounds (lower, upper) in rad for each neck joint.\nOrder: [yaw, pitch, roll]. "
        "Every neck setter clamps to these bounds\nbefore commanding the motor.",
    ),
    "read_neck_positions": (
        "($self)",
        "Read the current neck positions (yaw, pitch, roll) via a Damiao\nfeedback request.",
    ),
    "set_neck_gains": (
        "($self, index, kp, kd)",
        "Override the MIT impedance gains (kp, kd) for a single neck joint.\n`index`: 0=yaw, 1=pitch, 2=roll.",
    ),
    "neck_home": (
        "($self, speed=0.4, tolerance=0.15, kp=None, kd=None)",
        "Home the 3 neck joints to the nearest physical zero.\n"
        "\n"
        "Snaps each goal to the nearest multiple of 2\u03c0 of the joint's current\n"
        "reported position \u2014 after a power cycle the Damiao multi-turn counter\n"
        'resets, so commanding "go to 0" naively could spin the head a full\n'
        "turn. Rounding keeps travel within \u00b1\u03c0 and lands at a physically\n"
        "equivalent zero.\n"
        "\n"
        "Enables neck torque if it isn't already (does **not** disable on\n"
        "exit \u2014 caller owns torque lifecycle). Ramps at `speed` rad/s on a\n"
        "10 ms cycle and returns the observed positions once every joint is\n"
        "within `tolerance` rad of its goal. Raises on timeout.\n"
        "\n"
        "`kp` / `kd`: optional overrides applied to all three joints for the\n"
        "duration of homing (and left in place afterwards). `None` keeps the\n"
        "per-joint defaults baked into the controller.",
    ),
    "enable_neck": (
        "($self, enable)",
        "Enable or disable the neck motors. On enable, also forces each motor\ninto MIT control mode.",
    ),
    "is_neck_torque_enabled": (
        "($self)",
        "Last commanded torque-enable state for the neck (in-memory; the\n"
        "Damiao firmware does not expose a readable enable register).",
    ),
    "enable_arms": ("($self, enable)", "Enable or disable the arm motors."),
    "set_arm_home": (
        "($self, verify_tol=0.05)",
        'Make the current physical arm pose the new "radian zero" by rewriting\n'
        "each Feetech arm motor's Position Offset EEPROM register (0x1F).\n"
        "Persistent across power cycles.\n"
        "\n"
        "Disables arm torque, reads the current present_position + offset for\n"
        "every arm motor, computes a new offset equal to the recovered absolute\n"
        "encoder position (so future `present_position` reads of this pose come\n"
        "back as 0 rad and `goal_position = 0` writes leave the arm where it\n"
        "sits now), unlocks EEPROM, writes the offset, re-locks, and verifies\n"
        "by reading present_position back. Caller owns torque lifecycle \u2014 arms\n"
        "are left **torque-off** on exit.\n"
        "\n"
        "Returns the observed post-write `present_position` (rad) for the four\n"
        "joints: `[left_pitch, left_yaw, right_pitch, right_yaw]`. Raises\n"
        "`RuntimeError` when verification fails (within `verify_tol` rad of 0)\n"
        "or any bus call errors.",
    ),
    "enable_nose": ("($self, enable)", "Enable or disable the nose motors."),
    "write_raw_packet": (
        "($self, data)",
        "Write raw packet data to the serial port.\n\n# Arguments\n* `data` - Byte array of raw packet data to send.",
    ),
}

LOOP_METHODS = {
    "close": ("($self)", "Close the control loop and release resources."),
    "get_motor_name_id": ("($self)", "Get the id/name motors used in this controller."),
    "get_last_position": ("($self)", "Get the last successfully read motor positions."),
    "set_all_goal_positions": ("($self, positions)", "Set goal positions for all motors."),
    "set_left_arm_position": ("($self, position)", "Set goal positions for the left arm (2 values: pitch, yaw)."),
    "set_right_arm_position": ("($self, position)", "Set goal positions for the right arm (2 values: pitch, yaw)."),
    "set_arms_position": ("($self, position)", "Set goal positions for both arms (4 values)."),
    "set_nose_position": ("($self, position)", "Set goal positions for the nose (3 values)."),
    "set_neck_position": ("($self, position)", "Set goal positions for the neck (3 values: yaw, pitch, roll)."),
    "set_neck_yaw_position": ("($self, position)", None),
    "set_neck_pitch_position": ("($self, position)", None),
    "set_neck_roll_position": ("($self, position)", None),
    "enable_neck": ("($self, enable)", "Enable or disable the neck motors."),
    "is_torque_enabled": ("($self)", "Check torque enabled status."),
    "enable_torque": ("($self)", "Enable torque on all motors."),
    "enable_torque_on_ids": ("($self, ids)", "Enable torque on ids."),
    "disable_torque": ("($self)", "Disable torque on all motors."),
    "disable_torque_on_ids": ("($self, ids)", "Disable torque on ids."),
    "enable_arms": ("($self, enable)", "Enable or disable the arm motors."),
    "enable_nose": ("($self, enable)", "Enable or disable the nose motors."),
    "get_stats": ("($self)", "Get the latest control loop statistics, if available."),
    "async_read_raw_bytes": ("($self, id, addr, length)", "Perform an asynchronous raw read of motor bytes."),
    "async_write_raw_bytes": ("($self, id, addr, data)", "Perform an asynchronous raw write of motor bytes."),
    "async_read_pid_gains": ("($self, id)", "Read PID gains for a given motor id. Returns (P, I, D)."),
    "async_write_pid_gains": ("($self, id, p, i, d)", "Write PID gains for a given motor id."),
    "write_raw_packet": ("($self, data)", None),
}

# Methods added after the ones above, in order; their signatures are checked, their wording is
# the stub's.
ADDED_METHODS = {
    "KestroMotorController": {"read_neck_state": "($self)", "health": "($self)", "clear_neck_faults": "($self, index=None)"},
    "KestroPyControlLoop": {"get_health": "($self)", "clear_neck_faults": "($self, index=None)"},
}


def own_methods(cls):
    return [name for name in vars(cls) if not name.startswith("__")]


def test_module_object(kmc):
    assert kmc.__doc__ == ""
    public = [name for name in vars(kmc) if not name.startswith("__")]
    assert public == [
        "KestroMotorController", "KestroPyControlLoop", "KestroTorsoPosition", "ControlLoopStats",
        "KestroNeckState", "KestroDeviceHealth", "KestroTorsoHealth",
    ]
    assert not hasattr(kmc, "PanicException")


def test_second_import_gives_the_same_module(kmc):
    classes = kmc.KestroMotorController, kmc.KestroTorsoPosition
    del sys.modules["kestro_motor_controller"]
    try:
        import kestro_motor_controller as again
    finally:
        sys.modules["kestro_motor_controller"] = kmc
    assert again is kmc
    assert (again.KestroMotorController, again.KestroTorsoPosition) == classes


@pytest.mark.parametrize(
    "name, signature",
    [
        ("KestroMotorController", "(serialport=None, can_bus=...)"),
        (
            "KestroPyControlLoop",
            "(serialport, read_position_loop_period, can_bus=..., allowed_retries=5, "
            "stats_pub_period=None, voltage_rampup_timeout=..., *, neck_watchdog=None)",
        ),
        ("KestroTorsoPosition", "(left_arm, right_arm, nose, neck)"),
        ("ControlLoopStats", None),
    ],
)
def test_classes(kmc, name, signature):
    cls = getattr(kmc, name)
    assert cls.__name__ == cls.__qualname__ == name
    assert repr(cls) == f"<class '{name}'>"
    assert cls.__doc__ == ""
    assert cls.__text_signature__ == signature


@pytest.mark.parametrize("cls_name, table", [("KestroMotorController", CONTROLLER_METHODS), ("KestroPyControlLoop", LOOP_METHODS)])
def test_methods_in_order_with_docstrings(kmc, cls_name, table):
    cls = getattr(kmc, cls_name)
    added = ADDED_METHODS[cls_name]
    assert own_methods(cls) == list(table) + list(added)
    for name, (signature, doc) in table.items():
        method = getattr(cls, name)
        assert (method.__text_signature__, method.__doc__) == (signature, doc), name
    for name, signature in added.items():
        assert getattr(cls, name).__text_signature__ == signature, name


def test_signatures_are_introspectable(kmc):
    home = inspect.signature(kmc.KestroMotorController.neck_home)
    assert [(p.name, p.default) for p in list(home.parameters.values())[1:]] == [
        ("speed", 0.4), ("tolerance", 0.15), ("kp", None), ("kd", None)
    ]


STUB = pathlib.Path(__file__).parents[2] / "src" / "bindings" / "kestro_motor_controller.pyi"


@pytest.mark.parametrize("name", ["KestroMotorController", "KestroPyControlLoop", "KestroTorsoPosition"])
def test_stub_constructors(kmc, name):
    # stubtest sees constructors only as (*args, **kwargs); their stubs are compared here.
    [cls] = [n for n in ast.parse(STUB.read_text()).body if isinstance(n, ast.ClassDef) and n.name == name]
    [new] = [n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == "__new__"]
    positional = [a.arg for a in new.args.args[1:]]
    defaults = dict(zip(reversed(positional), (eval(ast.unparse(d)) for d in reversed(new.args.defaults))))
    keyword_only = [a.arg for a in new.args.kwonlyargs]
    defaults |= {a: eval(ast.unparse(d)) for a, d in zip(keyword_only, new.args.kw_defaults)}
    names = positional + keyword_only
    runtime = inspect.signature(getattr(kmc, name)).parameters
    assert names == list(runtime)
    for parameter in runtime.values():
        if parameter.default is inspect.Parameter.empty:
            assert parameter.name not in defaults
        elif parameter.default is not Ellipsis:
            assert defaults[parameter.name] == parameter.default
    if name != "KestroTorsoPosition":
        assert defaults["can_bus"] == "can0"
    if name == "KestroPyControlLoop":
        assert defaults["voltage_rampup_timeout"] == datetime.timedelta(seconds=30)


def test_objects_have_no_attributes(kmc):
    position = kmc.KestroTorsoPosition([0, 0], [0, 0], [0, 0, 0], [0, 0, 0])
    with pytest.raises(AttributeError):
        position.left_arm = [1.0, 1.0]
    with pytest.raises(AttributeError):
        position.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (kmc.KestroMotorController,), {})
    with pytest.raises(TypeError):
        kmc.KestroPyControlLoop.close = None
    with pytest.raises(TypeError, match="cannot create 'ControlLoopStats' instances"):
        kmc.ControlLoopStats()


def test_sub_interpreter_cannot_import():
    # 3.12 and 3.13 also offer isolated interpreters, which CPython itself refuses for a module
    # of this kind; a legacy one reaches the module's own check.
    result = run_python(
        """
        import kestro_motor_controller
        code = (
            "try:\\n"
            "    import kestro_motor_controller\\n"
            "    outcome = 'imported'\\n"
            "except ImportError as error:\\n"
            "    outcome = 'ImportError: ' + str(error)\\n"
            "open('/dev/stdout', 'w').write(outcome)\\n"
        )
        try:
            import _interpreters as interpreters
            interpreter = interpreters.create(interpreters.new_config("legacy"))
            interpreters.exec(interpreter, code)
        except ImportError:
            import _xxsubinterpreters as interpreters
            try:
                interpreter = interpreters.create(isolated=False)  # 3.12
            except TypeError:
                interpreter = interpreters.create()  # 3.11: always legacy
            interpreters.run_string(interpreter, code)
        interpreters.destroy(interpreter)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "ImportError: kestro_motor_controller can be imported by one interpreter per process only; "
        "sub-interpreters are not supported"
    )


def test_internal_fault_raises_panic_exception(torso):
    # A new thread's stack is as large as the stack limit the process started with; with the
    # address space limited to less than that, the loop thread cannot be made.
    def large_stacks():
        hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
        size = 2**30 if hard == resource.RLIM_INFINITY else min(hard, 2**30)
        resource.setrlimit(resource.RLIMIT_STACK, (size, hard))

    result = run_python(
        f"""
        import datetime, re, resource
        import kestro_motor_controller as k
        used = int(re.search(r"VmSize:\\s+(\\d+) kB", open("/proc/self/status").read()).group(1)) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (used + 64 * 2**20, resource.RLIM_INFINITY))
        try:
            k.KestroPyControlLoop(None, datetime.timedelta(milliseconds=20), can_bus={torso.can_bus!r})
        except Exception as error:
            print("not a panic:", repr(error))
        except BaseException as panic:
            kind = type(panic)
            print(kind.__module__, kind.__qualname__, kind.__bases__ == (BaseException,), panic)
            print(kind.__doc__.splitlines()[0])
        """,
        preexec_fn=large_stacks,
    )
    assert result.stdout.splitlines() == [
        "kestro_runtime PanicException True failed to spawn thread",
        "Raised when the extension's own code fails internally.",
    ], result.stderr
