import datetime
from typing import Sequence, final

@final
class KestroMotorController:
    def __new__(
        cls, serialport: str | None = None, can_bus: str = "can0"
    ) -> KestroMotorController:
        """
        Create a new motor controller for the given serial port and CAN bus.

        # Arguments
        * `serialport` - Path (Unix) or COM identifier (Windows) of the serial port.
          `None` builds a neck-only (CAN) controller whose arm and nose methods raise
          an exception.
        * `can_bus` - SocketCAN interface name for the neck Damiao motors (default "can0").
        """

    def is_torque_enabled(self) -> bool:
        """Is torque enabled on all motors"""

    def enable_torque(self) -> None:
        """Enable torque on all motors."""

    def enable_torque_on_ids(self, ids: Sequence[int]) -> None:
        """Enable torque on ids"""

    def disable_torque(self) -> None:
        """Disable torque on all motors."""

    def disable_torque_on_ids(self, ids: Sequence[int]) -> None:
        """Disable torque on ids"""

    def read_all_positions(self) -> list[float]:
        """
        Read all motor positions as a 7-element array.
        Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]
        """

    def set_all_goal_positions(self, positions: Sequence[float]) -> None:
        """
        Set goal positions for all motors (7 values).

        # Arguments
        * `positions` - Array of 7 goal positions
          (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right).
        """

    def set_left_arm_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the left arm (2 values: pitch, yaw)."""

    def set_right_arm_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the right arm (2 values: pitch, yaw)."""

    def set_arms_position(self, position: Sequence[float]) -> None:
        """Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right yaw)."""

    def set_nose_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the nose (3 values)."""

    def set_neck_position(self, position: Sequence[float]) -> list[float]:
        """
        Set goal positions for the neck (3 values: yaw, pitch, roll). Returns
        the observed positions reported by the motor replies.
        """

    def set_neck_yaw_position(self, position: float) -> float: ...
    def set_neck_pitch_position(self, position: float) -> float: ...
    def set_neck_roll_position(self, position: float) -> float: ...
    def neck_position_limits(self) -> list[tuple[float, float]]:
        """
        Hard safety bounds (lower, upper) in rad for each neck joint.
        Order: [yaw, pitch, roll]. Every neck setter clamps to these bounds
        before commanding the motor.
        """

    def read_neck_positions(self) -> list[float]:
        """
        Read the current neck positions (yaw, pitch, roll) via a Damiao
        feedback request.
        """

    def set_neck_gains(self, index: int, kp: float, kd: float) -> None:
        """
        Override the MIT impedance gains (kp, kd) for a single neck joint.
        `index`: 0=yaw, 1=pitch, 2=roll.
        """

    def neck_home(
        self,
        speed: float = 0.4,
        tolerance: float = 0.15,
        kp: float | None = None,
        kd: float | None = None,
    ) -> list[float]:
        """
        Home the 3 neck joints to the nearest physical zero.

        Snaps each goal to the nearest multiple of 2π of the joint's current
        reported position — after a power cycle the Damiao multi-turn counter
        resets, so commanding "go to 0" naively could spin the head a full
        turn. Rounding keeps travel within ±π and lands at a physically
        equivalent zero.

        Enables neck torque if it isn't already (does **not** disable on
        exit — caller owns torque lifecycle). Ramps at `speed` rad/s on a
        10 ms cycle and returns the observed positions once every joint is
        within `tolerance` rad of its goal. Raises on timeout.

        `kp` / `kd`: optional overrides applied to all three joints for the
        duration of homing (and left in place afterwards). `None` keeps the
        per-joint defaults baked into the controller.
        """

    def enable_neck(self, enable: bool) -> None:
        """
        Enable or disable the neck motors. On enable, also forces each motor
        into MIT control mode.
        """

    def is_neck_torque_enabled(self) -> bool:
        """
        Last commanded torque-enable state for the neck (in-memory; the
        Damiao firmware does not expose a readable enable register).
        """

    def enable_arms(self, enable: bool) -> None:
        """Enable or disable the arm motors."""

    def set_arm_home(self, verify_tol: float = 0.05) -> list[float]:
        """
        Make the current physical arm pose the new "radian zero" by rewriting
        each Feetech arm motor's Position Offset EEPROM register (0x1F).
        Persistent across power cycles.

        Disables arm torque, reads the current present_position + offset for
        every arm motor, computes a new offset equal to the recovered absolute
        encoder position (so future `present_position` reads of this pose come
        back as 0 rad and `goal_position = 0` writes leave the arm where it
        sits now), unlocks EEPROM, writes the offset, re-locks, and verifies
        by reading present_position back. Caller owns torque lifecycle — arms
        are left **torque-off** on exit.

        Returns the observed post-write `present_position` (rad) for the four
        joints: `[left_pitch, left_yaw, right_pitch, right_yaw]`. Raises
        `RuntimeError` when verification fails (within `verify_tol` rad of 0)
        or any bus call errors.
        """

    def enable_nose(self, enable: bool) -> None:
        """Enable or disable the nose motors."""

    def write_raw_packet(self, data: bytes) -> None:
        """
        Write raw packet data to the serial port.

        # Arguments
        * `data` - Byte array of raw packet data to send.
        """

    def read_neck_state(self) -> list[KestroNeckState]:
        """
        Read each neck motor's full state (position, velocity, torque,
        temperatures, status) with the same three feedback requests as
        read_neck_positions. Returns 3 KestroNeckState in joint order.
        """

    def health(self) -> KestroTorsoHealth:
        """
        What each of the ten devices last reported, from the replies already
        received: nothing is sent and no bus is waited on. Returns a
        KestroTorsoHealth.
        """

    def clear_neck_faults(self, index: int | None = None) -> list[KestroNeckState]:
        """
        Clear the fault a neck motor reports, for joint `index` (0=yaw, 1=pitch,
        2=roll) or all three. Never enables torque: a cleared motor reports
        disabled until enable_neck(True). Returns the KestroNeckState of each
        joint cleared.
        """

@final
class KestroPyControlLoop:
    def __new__(
        cls,
        serialport: str | None,
        read_position_loop_period: datetime.timedelta,
        can_bus: str = "can0",
        allowed_retries: int = 5,
        stats_pub_period: datetime.timedelta | None = None,
        voltage_rampup_timeout: datetime.timedelta = datetime.timedelta(seconds=30),
        *,
        neck_watchdog: datetime.timedelta | None = None,
    ) -> KestroPyControlLoop:
        """
        Create a new control loop for the motor controller.

        # Arguments
        * `serialport` - Path (Unix) or COM identifier (Windows) of the serial port.
          `None` builds a neck-only (CAN) loop.
        * `read_position_loop_period` - Period between control loop updates.
        * `can_bus` - SocketCAN interface name for the neck Damiao motors (default "can0").
        * `allowed_retries` - Number of allowed retries for reading positions.
        * `stats_pub_period` - Optional period for publishing stats.
        * `voltage_rampup_timeout` - Maximum time to wait for the 12V rail to stabilize.
        * `neck_watchdog` - Keyword only. A time-out the neck motors keep themselves
          (their TIMEOUT register, in RAM, 50 µs steps): a motor that hears no frame for
          that long drops torque and reports communication_lost, so a killed process or a
          pulled cable lets the neck go limp instead of holding stiff. Must be longer than
          the period, whose ticks keep it fed; after `close()` the neck goes limp too.
          None (default) leaves the motors' own setting alone.
        """

    def close(self) -> None:
        """Close the control loop and release resources."""

    def get_motor_name_id(self) -> dict[str, int]:
        """Get the id/name motors used in this controller."""

    def get_last_position(self) -> KestroTorsoPosition:
        """Get the last successfully read motor positions."""

    def set_all_goal_positions(self, positions: KestroTorsoPosition) -> None:
        """Set goal positions for all motors."""

    def set_left_arm_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the left arm (2 values: pitch, yaw)."""

    def set_right_arm_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the right arm (2 values: pitch, yaw)."""

    def set_arms_position(self, position: Sequence[float]) -> None:
        """Set goal positions for both arms (4 values)."""

    def set_nose_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the nose (3 values)."""

    def set_neck_position(self, position: Sequence[float]) -> None:
        """Set goal positions for the neck (3 values: yaw, pitch, roll)."""

    def set_neck_yaw_position(self, position: float) -> None: ...
    def set_neck_pitch_position(self, position: float) -> None: ...
    def set_neck_roll_position(self, position: float) -> None: ...
    def enable_neck(self, enable: bool) -> None:
        """Enable or disable the neck motors."""

    def is_torque_enabled(self) -> bool:
        """Check torque enabled status."""

    def enable_torque(self) -> None:
        """Enable torque on all motors."""

    def enable_torque_on_ids(self, ids: Sequence[int]) -> None:
        """Enable torque on ids."""

    def disable_torque(self) -> None:
        """Disable torque on all motors."""

    def disable_torque_on_ids(self, ids: Sequence[int]) -> None:
        """Disable torque on ids."""

    def enable_arms(self, enable: bool) -> None:
        """Enable or disable the arm motors."""

    def enable_nose(self, enable: bool) -> None:
        """Enable or disable the nose motors."""

    def get_stats(self) -> ControlLoopStats | None:
        """Get the latest control loop statistics, if available."""

    def async_read_raw_bytes(self, id: int, addr: int, length: int) -> bytes:
        """Perform an asynchronous raw read of motor bytes."""

    def async_write_raw_bytes(self, id: int, addr: int, data: Sequence[int]) -> None:
        """Perform an asynchronous raw write of motor bytes."""

    def async_read_pid_gains(self, id: int) -> tuple[int, int, int]:
        """Read PID gains for a given motor id. Returns (P, I, D)."""

    def async_write_pid_gains(self, id: int, p: int, i: int, d: int) -> None:
        """Write PID gains for a given motor id."""

    def write_raw_packet(self, data: bytes) -> bytes: ...
    def get_health(self) -> KestroTorsoHealth:
        """
        What each of the ten devices last reported, as of the loop's last tick,
        with the loop's counters. Never waits for the loop thread. Returns a
        KestroTorsoHealth.
        """

    def clear_neck_faults(self, index: int | None = None) -> list[KestroNeckState]:
        """
        Clear the fault a neck motor reports, for joint `index` (0=yaw, 1=pitch,
        2=roll) or all three, on the loop's thread; waits for it. Never enables
        torque. Returns the KestroNeckState of each joint cleared.
        """

@final
class KestroTorsoPosition:
    def __new__(
        cls,
        left_arm: Sequence[float],
        right_arm: Sequence[float],
        nose: Sequence[float],
        neck: Sequence[float],
    ) -> KestroTorsoPosition: ...
    @property
    def left_arm(self) -> list[float]: ...
    @property
    def right_arm(self) -> list[float]: ...
    @property
    def nose(self) -> list[float]: ...
    @property
    def neck(self) -> list[float]:
        """Neck joint positions in rad: [yaw, pitch, roll]."""

    @property
    def timestamp(self) -> float: ...

@final
class ControlLoopStats:
    @property
    def period(self) -> list[float]: ...
    @property
    def read_dt(self) -> list[float]: ...
    @property
    def write_dt(self) -> list[float]: ...

@final
class KestroNeckState:
    """One neck motor's feedback, as it reported it."""

    @property
    def joint(self) -> str:
        """"neck_yaw", "neck_pitch" or "neck_roll"."""

    @property
    def motor_id(self) -> int:
        """The id the motor reports (low nibble of its feedback's first byte)."""

    @property
    def position(self) -> float:
        """rad"""

    @property
    def velocity(self) -> float:
        """rad/s"""

    @property
    def torque(self) -> float:
        """N·m"""

    @property
    def temp_driver(self) -> int:
        """Driver (MOSFET) temperature, °C as the motor reports it."""

    @property
    def temp_motor(self) -> int:
        """Coil temperature, °C as the motor reports it."""

    @property
    def status(self) -> int:
        """The motor's state code: 0 disabled, 1 enabled, 8 to 14 a fault."""

    @property
    def status_name(self) -> str:
        """
        disabled, enabled, over_voltage, under_voltage, over_current,
        driver_over_temperature, motor_over_temperature, communication_lost,
        overload, or unknown_<n>.
        """

    @property
    def fault(self) -> bool:
        """True for every status but disabled and enabled."""

    @property
    def timestamp(self) -> float:
        """Wall-clock seconds of the reply."""

@final
class KestroDeviceHealth:
    """What one servo or neck motor last reported."""

    @property
    def last_answer(self) -> float | None:
        """Wall-clock seconds of its last reply, or None."""

    @property
    def consecutive_failures(self) -> int:
        """Failed exchanges in a row."""

    @property
    def last_error(self) -> str | None:
        """The text of its last failed exchange, kept after it answers again."""

    @property
    def faults(self) -> list[str]:
        """
        The faults it reports now. A servo's: input_voltage, angle_sensor,
        overheat, over_current, overload. A neck motor's: its status_name while
        that is a fault.
        """

    @property
    def neck_state(self) -> KestroNeckState | None:
        """The latest state of a neck motor; None for a servo."""

@final
class KestroTorsoHealth:
    """A snapshot of the torso's health, built from replies already received."""

    @property
    def devices(self) -> dict[str, KestroDeviceHealth]:
        """Each of the ten devices by name, servos first, then the neck joints."""

    @property
    def ticks(self) -> int: ...
    @property
    def failed_ticks(self) -> int: ...
    @property
    def failed_commands(self) -> int:
        """Queued commands that failed on the loop's thread."""

    @property
    def max_tick_lag(self) -> float:
        """Seconds behind schedule, the largest seen."""
