#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

Each seed is a small, well-formed case in the target's input format (see the comment at the top
of each target), so that fuzzing starts from traffic the parsers accept rather than from noise.
Run it again after changing an input format; the files it writes are committed.
"""
import pathlib
import shutil
import struct

HERE = pathlib.Path(__file__).resolve().parent


def feetech_checksum(body):
    return (~sum(body)) & 0xFF


def status_reply(servo_id, params=b"", error=0):
    body = bytes([servo_id, len(params) + 2, error]) + bytes(params)
    return b"\xff\xff" + body + bytes([feetech_checksum(body)])


def can_record(raw_id, payload, fd=False, flags=0):
    if fd:
        return struct.pack("<IBBxx", raw_id, len(payload), flags) + payload.ljust(64, b"\0")
    return struct.pack("<IBxxx", raw_id, len(payload)) + payload.ljust(8, b"\0")


def feedback(motor_id, p, v, t, status=1, temp_driver=30, temp_motor=32):
    return bytes([(status << 4) | motor_id, p >> 8, p & 0xFF, v >> 4,
                  ((v & 0xF) << 4) | (t >> 8), t & 0xFF, temp_driver, temp_motor])


def servo_seeds():
    position = status_reply(1, b"\x00\x08")
    return {
        "ping_reply": b"\x01" + status_reply(1),
        "position_reply": b"\x01" + position + position,
        "error_flags": b"\x02" + status_reply(2, b"\x7b", error=0x3f),
        "wrong_id_then_right": b"\x03" + status_reply(2, b"\x01") + status_reply(3, b"\x01"),
        "bad_header": b"\x01\xff\x00\x01\x02\x00\xfc",
        "bad_checksum": b"\x01" + status_reply(1, b"\x10\x20")[:-1] + b"\x00",
        "long_reply": b"\x07" + status_reply(7, bytes(range(40))),
    }


def register_map_seeds():
    # Operation selector, servo count, ids, then the servos' replies.
    def case(op, ids, replies):
        return bytes([op, len(ids)]) + bytes(ids) + b"".join(replies)

    return {
        "raw_positions": case(0, [1, 2], [status_reply(1, b"\x00\x08"),
                                          status_reply(2, b"\xff\x0f")]),
        "positions": case(1, [3, 1], [status_reply(3, b"\x01\x00"),
                                      status_reply(1, b"\x00\x08")]),
        "torque_enable": case(3, [5, 6, 7], [status_reply(5, b"\x01"), status_reply(6, b"\x00"),
                                            status_reply(7, b"\x02")]),
        "voltage": case(4, [1, 2, 3, 4], [status_reply(i, b"\x78") for i in (1, 2, 3, 4)]),
        "offsets": case(6, [1, 2], [status_reply(1, b"\x8b\x02"), status_reply(2, b"\x8b\x0a")]),
        "silent_second_servo": case(5, [1, 2], [status_reply(1, b"\x8b\x02")]),
        "wrong_width": case(2, [1], [status_reply(1, b"\x01\x00")]),
    }


def can_frame_record_seeds():
    return {
        "classic": can_record(0x001, feedback(1, 0x7FFF, 0x7FF, 0x7FF)),
        "classic_short": can_record(0x7FF, b"\x02\x00\xcc\x00"),
        "extended": can_record(0x80000000 | 0x1ABCDEF, b"\x01\x02\x03"),
        "remote": can_record(0x40000000 | 0x123, b""),
        # An error frame's length byte does not limit its payload.
        "error_frame": struct.pack("<IBxxx", 0x20000000 | 0x004, 2) + b"\x00\x00\x00\x08" * 2,
        "fd_brs": can_record(0x001, bytes(range(12)), fd=True, flags=0x05),
        "fd_odd_length": can_record(0x80000000 | 0x10, bytes(range(10)), fd=True, flags=0x04),
        "truncated": can_record(0x001, b"\x01" * 8)[:15],
    }


def mit_feedback_seeds():
    limits = struct.pack("<fff", 12.5, 30.0, 10.0)
    return {
        "neck_yaw_zero": b"\x00" + feedback(1, 0x7FFF, 0x7FF, 0x7FF),
        "neck_pitch_ends": b"\x01" + feedback(2, 0xFFFF, 0x000, 0xFFF, status=0xE),
        "neck_roll_extra_bytes": b"\x02" + feedback(3, 0x0000, 0xFFF, 0x000) + b"\xaa\xbb",
        "own_limits": b"\x03" + limits + feedback(4, 0x1234, 0x567, 0x89A),
        "short": b"\x00" + feedback(1, 0x7FFF, 0x7FF, 0x7FF)[:7],
    }


def damiao_seeds():
    # Motor: can_id, master_id (little-endian), time-out selector; then the operation count and
    # operations; then the bus script.
    def motor(can_id=1, master_id=1, zero_timeout=False):
        return struct.pack("<HHB", can_id, master_id, 1 if zero_timeout else 0)

    def ops(*encoded):
        return bytes([len(encoded) - 1]) + b"".join(encoded)

    def own_frame(payload, fd=False):
        return bytes([0x10 | (0x04 if fd else 0), len(payload)]) + payload

    def std_frame(can_id, payload):
        return bytes([0x00]) + struct.pack("<H", can_id) + bytes([len(payload)]) + payload

    def ext_frame(can_id, payload):
        return bytes([0x01]) + struct.pack("<I", can_id) + bytes([len(payload)]) + payload

    timeout, failure = b"\x02", b"\x03"
    state = feedback(1, 0x7FFF, 0x7FF, 0x7FF)
    ctrl_mode = b"\x01\x00\x33\x0a\x01\x00\x00\x00"
    mit = struct.pack("<fffff", 0.5, 0.0, 30.0, 1.0, 0.0)
    return {
        "enable": motor() + ops(b"\x00") + own_frame(state),
        "feedback_after_other_motor": motor(2, 2) + ops(b"\x02")
        + std_frame(1, feedback(1, 1, 2, 3)) + timeout + own_frame(feedback(2, 4, 5, 6)),
        "control_each_mode": motor(3, 3) + ops(b"\x03\x00" + mit, b"\x03\x01" + b"\0" * 8,
                                               b"\x03\x02" + b"\0" * 4, b"\x03\x03" + b"\0" * 12)
        + own_frame(state) * 4,
        "read_ctrl_mode": motor(3, 3) + ops(b"\x04\x0a")
        + std_frame(3, b"\x03\x00\x33\x0b\x00\x00\x00\x00") + ext_frame(3, ctrl_mode),
        "read_then_disable": motor() + ops(b"\x04\x15", b"\x01")
        + std_frame(0x7FF, b"\x01\x00\x33\x15\x00\x00\x48\x41") + own_frame(state),
        "write_register": motor() + ops(b"\x05\x0a\x00\x01\x00\x00\x00", b"\x05\x50\x01" + b"\0" * 4)
        + own_frame(state),
        "short_feedback": motor() + ops(b"\x00") + own_frame(state[:5]),
        "receive_failure": motor() + ops(b"\x02") + failure + own_frame(state),
        "send_failure": motor() + ops(b"\x80", b"\x00") + own_frame(state),
        "zero_timeout": motor(zero_timeout=True) + ops(b"\x00", b"\x04\x0a") + own_frame(state),
        "fd_reply": motor() + ops(b"\x00") + own_frame(state, fd=True),
    }


def main():
    targets = {
        "servo_status_reader": servo_seeds(),
        "servo_status_reader_checksum": servo_seeds(),
        "servo_register_maps": register_map_seeds(),
        "can_frame_record": can_frame_record_seeds(),
        "mit_feedback": mit_feedback_seeds(),
        "damiao_replies": damiao_seeds(),
    }
    for target, seeds in targets.items():
        folder = HERE / "corpus" / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
