"""Fixtures of the Python suite: the simulated torso and helpers around it.

scripts/test-python.sh runs pytest with the built module on PYTHONPATH, the CAN preload
library in LD_PRELOAD and these variables:
  KESTRO_CAN_PRELOAD  "<ifname>=<socket path>": the interface that reaches the simulated neck
  KESTRO_TORSO_SIM    path of the kestro-torso-sim program
Tests that need the torso are skipped when they are missing, and fail in CI (CI set).
"""

import logging
import os
import select
import subprocess
import sys
import textwrap
import time

import pytest

SIM_PROGRAM = os.environ.get("KESTRO_TORSO_SIM")
CAN_BUS, _, CAN_SOCKET = os.environ.get("KESTRO_CAN_PRELOAD", "").partition("=")
REPLY_TIMEOUT = 5.0  # s; any answer of the simulator comes within milliseconds

class Torso:
    """A running kestro-torso-sim, driven through its control commands."""

    def __init__(self, extra_args=()):
        if os.path.exists(CAN_SOCKET):
            os.unlink(CAN_SOCKET)  # left over by a simulator that was killed
        self.process = subprocess.Popen(
            [SIM_PROGRAM, "--can-socket", CAN_SOCKET, *extra_args],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            bufsize=1,
            # The simulator is the far end of the preload path, not a user of it (and under
            # emulation the library is built for another machine).
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
        )
        ready = self._line()
        assert ready.startswith("ready serial="), ready
        self.serial = ready.removeprefix("ready serial=")
        self.can_bus = CAN_BUS

    def _line(self):
        readable, _, _ = select.select([self.process.stdout], [], [], REPLY_TIMEOUT)
        assert readable, "the simulator did not answer"
        return self.process.stdout.readline().strip()

    def command(self, line):
        """Sends one control command; gives the text after "ok"."""
        self.process.stdin.write(line + "\n")
        answer = self._line()
        assert answer.startswith("ok"), f"{line}: {answer}"
        return answer[2:].strip()

    def register(self, servo, address):
        return int(self.command(f"servo {servo} get {address}"))

    def requests(self):
        """Counts of the servo requests since the last clear: {"total": n, "write": n, ...}."""
        return {k: int(v) for k, v in (item.split("=") for item in self.command("requests").split())}

    def motor(self, motor):
        """The simulated neck motor's state: {"position": float, "enabled": 0/1, ...}."""
        return {k: float(v) for k, v in (item.split("=") for item in self.command(f"motor {motor} state").split())}

    def stop(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.flush()
                self.process.wait(timeout=REPLY_TIMEOUT)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        self.process.stdin.close()
        self.process.stdout.close()


def start_torso(extra_args=()):
    """A running simulator. Without one the test is skipped, except in CI (CI set), where a
    missing simulator is a broken set-up, not a reason to pass."""
    if not (SIM_PROGRAM and CAN_SOCKET):
        missing = "simulated torso not configured (scripts/test-python.sh)"
        if os.environ.get("CI"):
            pytest.fail(missing)
        pytest.skip(missing)
    return Torso(extra_args)


@pytest.fixture
def torso():
    sim = start_torso()
    yield sim
    sim.stop()


@pytest.fixture
def kmc():
    import kestro_motor_controller

    return kestro_motor_controller


@pytest.fixture
def controller(kmc, torso):
    """A controller on the simulated torso, both buses."""
    return kmc.KestroMotorController(torso.serial, torso.can_bus)


@pytest.fixture
def neck_only(kmc, torso):
    """A controller without a serial port."""
    return kmc.KestroMotorController(None, torso.can_bus)


class Records(logging.Handler):
    """Collects the records that reach one logger."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)

    def messages(self, level=logging.WARNING):
        return [r.getMessage() for r in self.records if r.levelno == level]


@pytest.fixture
def records():
    """Records of both targets of the module, from WARNING up (thresholds are cached per
    process, so the suite never lowers them)."""
    handler = Records()
    logger = logging.getLogger("kestro_motor_controller")
    logger.addHandler(handler)
    yield handler
    logger.removeHandler(handler)


def run_python(code, timeout=30, **options):
    """Runs `code` in a fresh interpreter of the same kind (inheriting the preload
    environment); gives the finished process. A hang fails the test instead of the suite."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        **options,
    )


def eventually(check, timeout=5.0):
    """Polls `check` until it gives a true value, which it returns. Writes to the servos get
    no answer, so the simulator applies them a moment after the call that sent them."""
    deadline = time.monotonic() + timeout
    while not (value := check()):
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.01)
    return value
