"""KestroMotorController: every call talks to the motors before it returns.

    python3 examples/controller_example.py /dev/ttyUSB0 can0
"""
import sys

from kestro_motor_controller import KestroMotorController

serialport, can_bus = sys.argv[1], sys.argv[2]
torso = KestroMotorController(serialport, can_bus)  # KestroMotorController(None, ...) drives the neck only

print("positions (rad):", torso.read_all_positions())
torso.enable_torque()
torso.set_left_arm_position([0.3, 0.0])          # pitch, yaw
torso.set_nose_position([0.1, 0.0, 0.0])

print("neck limits:", torso.neck_position_limits())
torso.enable_neck(True)                           # also forces MIT mode
print("neck now:", torso.set_neck_position([0.2, 0.1, 0.0]))   # clamped to the limits
print("neck homed at:", torso.neck_home(speed=0.4, tolerance=0.15))

torso.disable_torque()
torso.enable_neck(False)
