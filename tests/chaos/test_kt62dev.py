#!/usr/bin/env python3
"""The chaos device's own protocol code against bytes worked out by hand."""
import os
import sys
import unittest

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kt62dev as dev  # noqa: E402

# Block 1 carrying 01 02 03, padded with 1A to 1024 bytes. Checksum by hand:
# 1 + 2 + 3 + 1021 * 0x1A = 6 + 26546 = 26552 = 103 * 256 + 184, so 0xB8.
HAND_BLOCK = bytes([0x02, 0x01, 0xFE, 0x01, 0x02, 0x03]) + b"\x1a" * 1021 + bytes([0xB8])
START = bytes([0x24, 0x00, 0x07, 0x99, 0x00, 0x00, 0x23])
QUERY = bytes([0x24, 0x0B, 0x00, 0x10]) + b"01.02.03.04"
ACK, NAK = b"\x06", b"\x15"


class FakeLine:
    def __init__(self):
        self.sent, self.timers = bytearray(), []

    def write(self, data):
        self.sent += data

    def later(self, delay, fn):
        self.timers.append(fn)

    def run_timers(self):
        timers, self.timers = self.timers, []
        for fn in timers:
            fn()


def erased_device(size=3):
    """A device told to erase for an image of size bytes, asking for block 1."""
    line = FakeLine()
    device = dev.Device({"identity": b"KT62_V01.00.00.00"}, line)
    device.plugged()
    device.receive(START + QUERY + bytes([0x24, 0x04, 0x00, 0x20, size, 0x00, 0x00, 0x00]))
    line.run_timers()  # the erase ends
    return device, line


class DeviceProtocol(unittest.TestCase):
    def test_answer_and_erase(self):
        device, line = erased_device()
        answer = bytes([0x24, 0x11, 0x00, 0x11]) + b"KT62_V01.00.00.00"
        erased = bytes([0x24, 0x01, 0x00, 0x22, 0x01])
        self.assertEqual(bytes(line.sent), answer + erased + NAK * 3)
        self.assertEqual(device.plug.erase_size, 3)

    def test_blocks(self):
        bad_checksum = HAND_BLOCK[:-1] + bytes([0xB9])
        bad_complement = HAND_BLOCK[:2] + bytes([0xFD]) + HAND_BLOCK[3:]
        second = HAND_BLOCK[:1] + bytes([0x02, 0xFD]) + HAND_BLOCK[3:]
        rows = [  # name, block, reply, stored
            ("block 1 by hand", HAND_BLOCK, ACK + ACK, b"\x01\x02\x03"),
            ("checksum off by one", bad_checksum, NAK * 3, b""),
            ("complement wrong", bad_complement, NAK * 3, b""),
            ("block 2 before block 1", second, NAK * 3, b""),
        ]
        for name, block, reply, stored in rows:
            with self.subTest(name):
                device, line = erased_device()
                line.sent.clear()
                device.receive(block)
                self.assertEqual(bytes(line.sent), reply)
                self.assertEqual(device.plug.stored(), stored)

    def test_end_of_transmission_reports_the_image(self):
        rows = [  # name, header of the 3-byte image 01 02 03 (its sum is 6), result
            ("header matches", b"\x06\x00\x00\x00", dev.RESULT_OK),
            ("header off by one", b"\x07\x00\x00\x00", dev.RESULT_FAILED),
        ]
        for name, header, result in rows:
            with self.subTest(name):
                image = header + b"\x01\x02\x03"
                self.assertEqual(dev.image_header_ok(image), result == dev.RESULT_OK)
                device, line = erased_device(7)
                data = image + b"\x1a" * 1017
                block = bytes([0x02, 0x01, 0xFE]) + data + bytes([sum(data) & 0xFF])
                line.sent.clear()
                device.receive(block + b"\x04\x00")
                result_frame = bytes([0x24, 0x01, 0x00, 0x35, result])
                self.assertEqual(bytes(line.sent), ACK + ACK + result_frame)

    def test_numbers_and_frames(self):
        rows = [
            ("255th block", dev.block_number(254), 0xFF),
            ("256th block wraps", dev.block_number(255), 0x00),
            ("257th block", dev.block_number(256), 0x01),
            ("empty frame has a filler", dev.frame(0x22), bytes([0x24, 0x00, 0x00, 0x22, 0x00])),
            ("blocks for 1025 bytes", dev.blocks_for(1025), 2),
        ]
        for name, got, want in rows:
            with self.subTest(name):
                self.assertEqual(got, want)


if __name__ == "__main__":
    unittest.main()
