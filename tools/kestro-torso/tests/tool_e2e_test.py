"""kestro-torso end to end: the installed-style program against kestro-torso-sim running as a
separate process, the servos over its pseudo-terminal and the neck through the CAN preload
library, as on a machine without CAN. Standard library only; run by `meson test --suite tool`.
"""

import fcntl
import json
import os
import pty
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

SIM = os.environ["KESTRO_TORSO_SIM"]
TOOL = os.environ["KESTRO_TORSO"]
PRELOAD = os.environ["KESTRO_CAN_PRELOAD_LIB"]
IFNAME = "simcan0"
TWO_PI = 6.283185307179586
SERVO_NAMES = ["left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
               "nose_top", "nose_left", "nose_right"]
NECK_NAMES = ["neck_yaw", "neck_pitch", "neck_roll"]


def radians(counts):
    return counts * TWO_PI / 4096 - TWO_PI / 2


class Sim:
    """The simulator, with its control commands on standard input."""

    def __init__(self, directory, *extra):
        self.socket = os.path.join(directory, "can.sock")
        self.process = subprocess.Popen(
            [SIM, "--can-socket", self.socket, *extra],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        assert line.startswith("ready serial="), line
        self.serial = line.strip().split("=", 1)[1]

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def value(self, line):
        answer = self.command(line)
        assert answer.startswith("ok "), answer
        return answer[3:]

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(timeout=5)
        self.process.stdin.close()
        self.process.stdout.close()
        return status


class ToolTest(unittest.TestCase):
    sim_args = ()

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.sim = Sim(self.directory.name, *self.sim_args)

    def tearDown(self):
        self.assertEqual(self.sim.stop(), 0)
        self.directory.cleanup()

    def env(self):
        env = dict(os.environ)
        env["LD_PRELOAD"] = PRELOAD
        env["KESTRO_CAN_PRELOAD"] = IFNAME + "=" + self.sim.socket
        return env

    def run_tool(self, *args, timeout=20, stdin=subprocess.DEVNULL):
        return subprocess.run(
            [TOOL, "--serial", self.sim.serial, "--can", IFNAME, *args],
            env=self.env(), stdin=stdin, capture_output=True, text=True, timeout=timeout)

    def path(self, name):
        return os.path.join(self.directory.name, name)

    def assert_one_error_line(self, result, status, text):
        self.assertEqual(result.returncode, status, result.stderr)
        # The servo layer's checksum diagnostic for a corrupt reply is not an error line.
        lines = [l for l in result.stderr.splitlines() if not l.startswith("read crc: ")]
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertIn(text, lines[0])

    def eventually(self, line, expected):
        deadline = time.monotonic() + 1
        answer = self.sim.command(line)
        while answer != expected and time.monotonic() < deadline:
            time.sleep(0.005)
            answer = self.sim.command(line)
        return answer


class Scan(ToolTest):
    def test_all_present_json_matches_the_simulator(self):
        self.sim.command("servo 2 place 3072")
        self.sim.command("servo 5 voltage 118")
        self.sim.command("servo 7 set 40 1")
        result = self.run_tool("scan", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        data = json.loads(result.stdout)
        self.assertEqual(list(data), ["servos", "neck"])
        self.assertEqual([s["name"] for s in data["servos"]], SERVO_NAMES)
        self.assertEqual([s["id"] for s in data["servos"]], list(range(1, 8)))
        for servo in data["servos"]:
            sid = servo["id"]
            self.assertEqual(set(servo), {"name", "id", "answered", "position", "voltage", "torque", "faults"})
            self.assertEqual(servo["faults"], [])
            self.assertTrue(servo["answered"])
            self.assertAlmostEqual(servo["position"],
                                   radians(int(self.sim.value(f"servo {sid} position"))), places=9)
            self.assertAlmostEqual(servo["voltage"], int(self.sim.value(f"servo {sid} get 62")) / 10)
            self.assertEqual(servo["torque"], self.sim.value(f"servo {sid} torque") == "1")
        self.assertEqual(data["servos"][4]["voltage"], 11.8)
        self.assertTrue(data["servos"][6]["torque"])
        self.assertEqual([m["name"] for m in data["neck"]], NECK_NAMES)
        for motor in data["neck"]:
            self.assertEqual(set(motor), {"name", "can_id", "answered", "position", "velocity", "torque",
                                          "temp_driver", "temp_motor", "status", "status_name", "fault"})
            self.assertEqual((motor["status"], motor["status_name"], motor["fault"]), (0, "disabled", False))
            state = dict(kv.split("=") for kv in self.sim.value(f"motor {motor['can_id']} state").split())
            self.assertAlmostEqual(motor["position"], float(state["position"]), delta=1e-3)
            self.assertIsInstance(motor["temp_driver"], int)
            self.assertEqual(state["enabled"], "0")  # a scan enables nothing
        self.assertEqual(self.sim.value("requests").split()[-2:], ["sync_write=0", "write=0"])

    def test_faults_are_named_and_exit_1(self):
        self.sim.command("servo 3 error 4")
        self.sim.command("motor 2 temps 61 97")
        self.sim.command("motor 2 fault 12")
        result = self.run_tool("scan")
        self.assert_one_error_line(result, 1, "servo 3 (right_arm_pitch) reports overheat; "
                                              "neck_pitch reports motor_over_temperature")
        self.assertRegex(result.stdout, r"right_arm_pitch +3 +FAULT .* overheat")
        self.assertRegex(result.stdout, r"neck_pitch +2 +FAULT .* 61 +97 +motor_over_temperature")
        data = json.loads(self.run_tool("scan", "--json").stdout)
        self.assertEqual(data["servos"][2]["faults"], ["overheat"])
        pitch = data["neck"][1]
        self.assertEqual((pitch["status"], pitch["status_name"], pitch["fault"]), (12, "motor_over_temperature", True))
        self.assertEqual((pitch["temp_driver"], pitch["temp_motor"]), (61, 97))

    def test_silent_and_corrupt_devices_are_missing_and_the_others_still_reported(self):
        self.sim.command("servo 6 silent on")
        self.sim.command("servo 3 corrupt on")
        self.sim.command("motor 2 silent on")
        result = self.run_tool("scan", "--json")
        self.assert_one_error_line(result, 1, "nose_left (id 6) did not answer")
        self.assertIn("neck_pitch", result.stderr)
        self.assertIn("read crc: ", result.stderr)
        data = json.loads(result.stdout)  # the checksum diagnostic stays out of stdout
        for servo in data["servos"]:
            missing = servo["id"] in (3, 6)
            self.assertEqual(servo["answered"], not missing)
            if missing:
                self.assertEqual([servo[k] for k in ("position", "voltage", "torque")], [None] * 3)
            else:
                self.assertEqual(servo["voltage"], 12.0)
        answered = [m["answered"] for m in data["neck"]]
        self.assertEqual(answered, [True, False, True])
        self.assertIsNone(data["neck"][1]["temp_motor"])
        self.assertIsNotNone(data["neck"][2]["position"])

        table = self.run_tool("scan")
        self.assertEqual(table.returncode, 1)
        rows = {line.split()[0]: line.split() for line in table.stdout.splitlines() if line.strip()}
        self.assertEqual(rows["nose_left"][2], "missing")
        self.assertEqual(rows["neck_pitch"][2], "missing")
        self.assertEqual(rows["nose_top"][2:4], ["ok", "+0.0000"])

    def test_one_bus_alone(self):
        result = self.run_tool("--no-can", "scan", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        data = json.loads(result.stdout)
        self.assertEqual((len(data["servos"]), data["neck"]), (7, []))
        result = subprocess.run([TOOL, "--no-serial", "--can", IFNAME, "scan", "--json"],
                                env=self.env(), capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len(json.loads(result.stdout)["neck"]), 3)


class Usage(ToolTest):
    def test_help_lists_every_command_and_every_command_has_help(self):
        result = subprocess.run([TOOL, "--help"], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0)
        for word in ("--serial", "--can", "--no-serial", "--no-can", "scan", "regs", "monitor",
                     "torque", "home", "reboot", "--rate", "--count", "--csv", "--svg", "--yes"):
            self.assertIn(word, result.stdout)
        for command in ("scan", "regs", "monitor", "torque", "home", "reboot"):
            result = subprocess.run([TOOL, command, "--help"], capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, command)
            self.assertIn("usage: kestro-torso", result.stdout)

    def test_bad_arguments_exit_2_with_one_line_and_touch_nothing(self):
        for args in (["bogus"], [], ["scan", "--bogus"], ["scan", "extra"], ["regs", "servo", "x"],
                     ["regs", "neck", "elbow"], ["regs", "arm", "1"], ["monitor", "--rate", "0"],
                     ["monitor", "--count", "-3"], ["monitor", "--rate"], ["torque", "sideways"],
                     ["torque", "on", "legs"], ["home", "neck", "--speed", "-1"], ["home"],
                     ["--serial"], ["--no-serial", "--no-can", "scan"]):
            result = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=5)
            self.assertEqual(result.returncode, 2, args)
            self.assertEqual(len(result.stderr.splitlines()), 1, (args, result.stderr))
            self.assertEqual(result.stdout, "", args)
        # Calibration rewrites EEPROM: without a terminal it needs --yes.
        result = self.run_tool("home", "arms")
        self.assert_one_error_line(result, 2, "--yes")
        self.assertEqual(self.sim.value("requests").split()[1], "other=0")
        self.assertEqual(self.sim.value("requests").split()[0], "total=0")

    def test_a_port_held_by_another_process_or_a_missing_bus_exits_2(self):
        # O_NOCTTY: the test runs in a session of its own and must not take the terminal.
        held = os.open(self.sim.serial, os.O_RDWR | os.O_NOCTTY)
        try:
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
            result = self.run_tool("scan")
        finally:
            os.close(held)
        self.assert_one_error_line(result, 2, "Unable to acquire exclusive lock on serial port")
        result = subprocess.run([TOOL, "--serial", self.sim.serial, "--can", "nosuchcan0", "scan"],
                                env=self.env(), capture_output=True, text=True, timeout=5)
        self.assert_one_error_line(result, 2, "failed to open CAN bus 'nosuchcan0'")
        result = subprocess.run([TOOL, "--serial", self.path("none"), "--no-can", "scan"],
                                capture_output=True, text=True, timeout=5)
        self.assertEqual(result.returncode, 2)


class Regs(ToolTest):
    def test_servo_registers_are_raw_with_the_maps_widths_and_signedness(self):
        self.sim.command("servo 4 place 100")
        self.sim.command("servo 4 set 31 139")   # offset 0x088B: sign bit set, stays unsigned
        self.sim.command("servo 4 set 32 8")
        self.sim.command("servo 4 set 42 0")     # goal 0xFF00 reads as a negative count
        self.sim.command("servo 4 set 43 255")
        result = self.run_tool("regs", "servo", "4", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        data = json.loads(result.stdout)
        self.assertEqual(data["id"], 4)
        regs = data["registers"]
        self.assertEqual(list(regs), ["p_gain", "d_gain", "i_gain", "offset", "torque_enable",
                                      "goal_position", "lock", "present_position", "present_voltage"])
        for name, address in (("p_gain", 21), ("d_gain", 22), ("i_gain", 23),
                              ("torque_enable", 40), ("lock", 55), ("present_voltage", 62)):
            self.assertEqual(regs[name], int(self.sim.value(f"servo 4 get {address}")), name)
        self.assertEqual(regs["offset"], 0x088B)
        self.assertEqual(regs["goal_position"], -256)
        self.assertEqual(regs["present_position"], int(self.sim.value("servo 4 position")))

        self.sim.command("servo 4 silent on")
        result = self.run_tool("regs", "servo", "4", "--json")
        self.assert_one_error_line(result, 1, "servo 4: Operation timed out")
        self.assertEqual(set(json.loads(result.stdout)["registers"].values()), {None})

    def test_neck_registers_follow_the_register_table(self):
        result = self.run_tool("regs", "neck", "pitch", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        data = json.loads(result.stdout)
        self.assertEqual((data["joint"], data["can_id"]), ("neck_pitch", 2))
        regs = data["registers"]
        self.assertEqual(len(regs), 53)
        self.assertEqual((regs["MST_ID"], regs["ESC_ID"], regs["CTRL_MODE"]), (2, 2, 1))
        self.assertEqual((regs["PMAX"], regs["VMAX"], regs["TMAX"]), (12.5, 10, 28))
        self.assertIsInstance(regs["KT_Value"], float)

        table = self.run_tool("regs", "neck", "neck_yaw")
        self.assertEqual(table.returncode, 0)
        self.assertIn("Control mode 1=MIT 2=POS_VEL 3=VEL 4=FORCE_POS", table.stdout)
        self.assertRegex(table.stdout, r"23\s+TMAX\s+Float\s+rw\s+10\s")

        self.sim.command("motor 3 silent on")
        result = self.run_tool("regs", "neck", "roll", "--json")
        self.assert_one_error_line(result, 1, "neck_roll")
        self.assertEqual(set(json.loads(result.stdout)["registers"].values()), {None})


class Monitor(ToolTest):
    def test_csv_and_svg_hold_one_row_and_one_point_per_sample(self):
        self.sim.command("servo 1 place 1024")
        result = self.run_tool("monitor", "--rate", "100", "--count", "6",
                               "--csv", self.path("m.csv"), "--svg", self.path("m.svg"))
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 7)  # piped: one line per sample, then the achieved rate
        self.assertIn("Hz achieved", lines[-1])
        with open(self.path("m.csv")) as csv:
            rows = csv.read().splitlines()
        joints = SERVO_NAMES + NECK_NAMES
        temperatures = [f"{n}_temp_{part}" for n in NECK_NAMES for part in ("driver", "motor")]
        self.assertEqual(rows[0].split(","), ["time", *joints, *(f"{j}_faults" for j in joints), *temperatures])
        self.assertEqual(len(rows), 7)
        cells = rows[1].split(",")
        self.assertEqual(cells[11:21], [""] * 10)  # no faults
        self.assertEqual(cells[21:], ["35", "32"] * 3)
        first = [float(v) for v in cells[:11]]
        self.assertAlmostEqual(first[1], radians(1024), places=9)
        times = [float(r.split(",")[0]) for r in rows[1:]]
        self.assertEqual(times, sorted(times))

        svg = ElementTree.parse(self.path("m.svg")).getroot()
        self.assertEqual(svg.tag, "{http://www.w3.org/2000/svg}svg")
        lines = svg.findall(".//{http://www.w3.org/2000/svg}polyline")
        self.assertEqual([l.get("data-joint") for l in lines], SERVO_NAMES + NECK_NAMES)
        for line in lines:
            self.assertEqual(len(line.get("points").split()), 6)

    def test_ctrl_c_stops_cleanly_and_keeps_what_was_sampled(self):
        process = subprocess.Popen(
            [TOOL, "--serial", self.sim.serial, "--can", IFNAME, "monitor",
             "--csv", self.path("m.csv"), "--svg", self.path("m.svg")],
            env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(0.4)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=5)
        self.assertEqual(process.returncode, 0, err)
        with open(self.path("m.csv")) as csv:
            rows = csv.read().splitlines()
        self.assertGreater(len(rows), 3)
        self.assertEqual(len(out.splitlines()), len(rows))  # samples plus the rate line
        ElementTree.parse(self.path("m.svg"))

    def test_a_silent_servo_leaves_gaps_and_exit_1(self):
        self.sim.command("servo 5 silent on")
        result = self.run_tool("monitor", "--rate", "100", "--count", "3", "--csv", self.path("m.csv"))
        self.assert_one_error_line(result, 1, "3 samples incomplete")
        with open(self.path("m.csv")) as csv:
            row = csv.read().splitlines()[1].split(",")
        self.assertEqual(row[1:8], [""] * 7)
        self.assertNotEqual(row[8], "")


def read_all(fd):
    """Everything written to a pseudo-terminal's other end until it is closed."""
    data = b""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # EIO once the last writer has gone
            return data
        if not chunk:
            return data
        data += chunk


class Terminal(ToolTest):
    def test_monitor_redraws_one_table_in_place_on_a_terminal(self):
        master, slave = pty.openpty()
        process = subprocess.Popen(
            [TOOL, "--serial", self.sim.serial, "--can", IFNAME, "monitor", "--rate", "100",
             "--count", "4"], env=self.env(), stdin=subprocess.DEVNULL, stdout=slave,
            stderr=subprocess.PIPE)
        os.close(slave)
        screen = read_all(master).decode()
        os.close(master)
        self.assertEqual(process.wait(timeout=10), 0, process.stderr.read())
        process.stderr.close()
        self.assertEqual(screen.count("\x1b[J"), 3)  # drawn once, then redrawn three times
        self.assertEqual(screen.count("neck_roll"), 4)

    def test_home_arms_asks_on_a_terminal_and_changes_nothing_unless_confirmed(self):
        self.sim.command("servo 1 place 2500")
        master, slave = pty.openpty()
        process = subprocess.Popen(
            [TOOL, "--serial", self.sim.serial, "--can", IFNAME, "home", "arms"],
            env=self.env(), stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        os.close(slave)
        os.write(master, b"n\n")
        out, err = process.communicate(timeout=10)
        os.close(master)
        self.assertEqual(process.returncode, 1, err)
        self.assertIn("Continue? [y/N]", err)
        self.assertIn("not confirmed", err)
        self.assertEqual(self.sim.value("requests").split()[0], "total=0")
        self.assertEqual(self.sim.value("servo 1 position"), "2500")


class Actions(ToolTest):
    sim_args = ("--neck-angles", "0.1,0.05,-0.05")

    def test_torque_switches_only_the_group_asked_for(self):
        result = self.run_tool("torque", "on", "arms")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.eventually("servo 4 torque", "ok 1"), "ok 1")
        self.assertEqual(self.sim.command("servo 5 torque"), "ok 0")
        self.assertIn("enabled=0", self.sim.command("motor 1 state"))
        result = self.run_tool("torque", "on", "neck")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("enabled=1", self.sim.command("motor 3 state"))
        result = self.run_tool("torque", "off")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.eventually("servo 1 torque", "ok 0"), "ok 0")
        self.assertIn("enabled=0", self.sim.command("motor 2 state"))
        self.sim.command("motor 2 silent on")
        result = self.run_tool("torque", "on", "neck")
        self.assert_one_error_line(result, 1, "neck_pitch: ensure MIT mode failed")

    def test_monitor_shows_faults_and_clear_faults_leaves_the_neck_disabled(self):
        self.sim.command("servo 7 brownout")
        self.sim.command("motor all fault 11")
        result = self.run_tool("monitor", "--count", "2", "--csv", self.path("m.csv"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("nose_right=", result.stdout)
        self.assertIn("[input_voltage]", result.stdout)
        with open(self.path("m.csv")) as csv:
            header, row = csv.read().splitlines()[:2]
        cells = dict(zip(header.split(","), row.split(",")))
        self.assertEqual(cells["nose_right_faults"], "input_voltage")
        self.assertEqual(cells["neck_roll_faults"], "driver_over_temperature")

        result = self.run_tool("clear-faults", "pitch")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "neck_pitch: disabled (driver 35 °C, motor 32 °C)\n")
        result = self.run_tool("clear-faults")
        self.assertEqual(result.stdout.count(": disabled"), 3)
        self.assertIn("enabled=0", self.sim.command("motor 1 state"))
        self.assertEqual(self.run_tool("--no-serial", "scan").returncode, 0)  # faults cleared: exit 0
        result = self.run_tool("clear-faults", "nose")
        self.assert_one_error_line(result, 2, "joint must be yaw, pitch or roll, got 'nose'")

    def test_torque_on_holds_a_servo_turned_by_hand(self):
        self.sim.command("servo 1 place 2603")  # about +0.85 rad; its goal register still 2048
        result = self.run_tool("torque", "on", "arms")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.eventually("servo 4 torque", "ok 1"), "ok 1")
        self.assertEqual(self.sim.command("servo 1 goal"), "ok 2603")
        self.sim.command("servo 6 silent on")
        result = self.run_tool("torque", "on", "nose")
        self.assert_one_error_line(
            result, 1, "; torque not enabled: present positions of servos [5, 6, 7] could not be read")
        self.assertEqual(self.sim.command("servo 5 torque"), "ok 0")

    def test_home_neck_reports_progress_and_the_settled_positions(self):
        result = self.run_tool("home", "neck", "--speed", "1.0", "--tolerance", "0.05")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertTrue(lines[0].startswith("neck at [+0.10"), lines[0])
        self.assertTrue(lines[1].startswith("goals [+0.0000, +0.0000, +0.0000] rad; the ramp takes about 0.1 s"), lines[1])
        self.assertTrue(lines[-1].startswith("settled after"), lines[-1])
        # Progress in between: the first exchange at once, then one line every half second.
        self.assertGreaterEqual(len(lines), 4, lines)
        self.assertTrue(lines[2].startswith("0.0"), lines[2])
        self.assertIn(" s: neck at [+0.10", lines[2])
        for line in lines[2:-1]:
            self.assertIn(" rad from the goals", line)
        for name in ("1", "2", "3"):
            state = dict(kv.split("=") for kv in self.sim.value(f"motor {name} state").split())
            self.assertLess(abs(float(state["position"])), 0.05)

    def start_tool(self, *args):
        return subprocess.Popen(
            [TOOL, "--serial", self.sim.serial, "--can", IFNAME, *args],
            env=self.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True)

    def test_ctrl_c_stops_homing_a_stuck_neck_and_leaves_the_motors_holding(self):
        # A pitch that never reaches its goal keeps homing busy for its whole settling budget.
        self.sim.command("motor 2 place 0.3 0")
        self.sim.command("motor 2 stuck on")
        process = self.start_tool("home", "neck")
        try:
            lines = [process.stdout.readline() for _ in range(4)]
            # Progress: the first exchange at once, the next about half a second later.
            for line in lines[2:]:
                self.assertRegex(line, r"^\d+\.\d\d s: neck at \[[-+]\d\.\d{4}, \+0\.(29|30)\d\d, "
                                       r"[-+]\d\.\d{4}\] rad, at most 0\.(29|30)\d\d rad from the goals$")
            sent = time.monotonic()
            process.send_signal(signal.SIGINT)
            out, err = process.communicate(timeout=5)
            took = time.monotonic() - sent
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
        print(f"\nhome neck ended {took * 1000:.0f} ms after SIGINT", file=sys.stderr)
        self.assertLess(took, 1.0)
        self.assertEqual(process.returncode, 1, err)
        self.assertEqual(err.splitlines(), ["kestro-torso: home neck interrupted; the neck motors "
                                            "hold their last command (torque stays on)"])
        self.assertNotIn("settled", out)
        for motor in ("1", "2", "3"):
            self.assertIn("enabled=1", self.sim.command(f"motor {motor} state"))

    def test_ctrl_c_ends_the_reboot_wait(self):
        # A silent servo keeps the wait going for its whole second.
        self.sim.command("servo 6 silent on")
        process = self.start_tool("reboot")
        try:
            self.assertEqual(process.stdout.readline(), "rebooting the seven servos\n")
            time.sleep(0.2)
            process.send_signal(signal.SIGINT)
            out, err = process.communicate(timeout=5)
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
        self.assertEqual(process.returncode, 1, err)
        self.assertEqual(err.splitlines(), ["kestro-torso: reboot interrupted; nothing was sent "
                                            "after the reboot; the servos hold their last command"])
        self.assertEqual(out, "")

    def test_home_arms_with_yes_zeroes_the_pose(self):
        self.sim.command("servo 2 place 2300")
        result = self.run_tool("home", "arms", "--yes")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("arms now read", result.stdout)
        self.assertLessEqual(abs(int(self.sim.value("servo 2 position")) - 2048), 2)

    def test_reboot_waits_for_every_servo_and_names_the_silent_ones(self):
        result = self.run_tool("reboot")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("all seven servos answer again", result.stdout)
        self.sim.command("servo 6 silent on")
        result = self.run_tool("reboot")
        self.assert_one_error_line(result, 1, 'Some motors did not respond after reboot (["nose_left"] - ids: [6])')


if __name__ == "__main__":
    unittest.main(verbosity=2)
