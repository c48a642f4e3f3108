"""KestroPyControlLoop: a background thread owns the buses; calls queue commands and return.

    python3 examples/control_loop_example.py /dev/ttyUSB0 can0
"""
import datetime
import logging
import sys
import time

from kestro_motor_controller import KestroPyControlLoop

logging.basicConfig(level=logging.INFO)  # shows the start-up messages
serialport, can_bus = sys.argv[1], sys.argv[2]

loop = KestroPyControlLoop(serialport, datetime.timedelta(milliseconds=20), can_bus=can_bus)
try:
    loop.enable_torque()
    loop.set_arms_position([0.5, 0.0, 0.5, 0.0])
    loop.set_neck_yaw_position(0.3)
    time.sleep(1.0)
    print(loop.get_last_position())           # the latest reading, without touching the buses
    print("gains:", loop.async_read_pid_gains(1))
finally:
    loop.close()                               # runs the queued commands, then stops
