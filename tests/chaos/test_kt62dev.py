#!/usr/bin/env python3
"""The chaos device's own protocol code against bytes worked out by hand."""
import os, select, sys, unittest

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kt62dev as dev  # noqa: E402

# Block 1 carrying 01 02 03, padded with 1A to 1024 bytes. Checksum by hand:
# 1 + 2 + 3 + 1021 * 0x1A = 6 + 26546 = 26552 = 103 * 256 + 184, so 0xB8.
HAND_BLOCK = bytes([0x02, 0x01, 0xFE, 0x01, 0x02, 0x03]) + b"\x1a" * 1021 + bytes([0xB8])
START = bytes([0x24, 0x00, 0x07, 0x99, 0x00, 0x00, 0x23])
QUERY = bytes([0x24, 0x0B, 0x00, 0x10]) + b"01.02.03.04"
ANSWER = bytes([0x24, 0x11, 0x00, 0x11]) + b"KT62_V01.00.00.00"
ERASED, EOT, ACK, NAK = bytes([0x24, 0x01, 0x00, 0x22, 0x01]), b"\x04\x00", b"\x06", b"\x15"
IMAGE = b"\x06\x00\x00\x00\x01\x02\x03"  # its header is the sum of its body
BAD_IMAGE = b"\x07" + IMAGE[1:]
OK, FAILED = bytes([0x24, 0x01, 0x00, 0x35, 0x00]), bytes([0x24, 0x01, 0x00, 0x35, 0x01])


def block_1(data):
    data = data.ljust(1024, b"\x1a")
    return bytes([0x02, 0x01, 0xFE]) + data + bytes([sum(data) & 0xFF])


class DeviceProtocol(unittest.TestCase):
    def test_blocks(self):
        rows = [  # name, image size, what the tool sends, what the device says, what it stored
            ("block 1 by hand", 3, HAND_BLOCK, ACK + ACK, b"\x01\x02\x03"),
            ("checksum off by one", 3, HAND_BLOCK[:-1] + b"\xb9", NAK * 3, b""),
            ("complement wrong", 3, HAND_BLOCK[:2] + b"\xfd" + HAND_BLOCK[3:], NAK * 3, b""),
            ("block 2 first", 3, HAND_BLOCK[:1] + b"\x02\xfd" + HAND_BLOCK[3:], NAK * 3, b""),
            ("image whole", 7, block_1(IMAGE) + EOT, ACK * 2 + OK, IMAGE),
            ("header wrong", 7, block_1(BAD_IMAGE) + EOT, ACK * 2 + FAILED, BAD_IMAGE),
        ]
        for name, size, sent, said, stored in rows:
            with self.subTest(name):
                loop, (heard, line) = dev.Loop(), os.pipe()
                device = dev.Device(loop, None, {"identity": b"KT62_V01.00.00.00"})
                device.master, device.plug = line, dev.Plug(1)
                device.receive(START + QUERY + bytes([0x24, 0x04, 0x00, 0x20, size, 0, 0, 0]))
                loop.step(0)  # the erase ends
                for sent_now, said_now in ((b"", ANSWER + ERASED + NAK * 3), (sent, said)):
                    device.receive(sent_now)
                    ready = select.select([heard], [], [], 0)[0]
                    self.assertEqual(os.read(heard, 4096) if ready else b"", said_now)
                self.assertEqual(device.plug.stored(), stored)

    def test_block_numbers_wrap(self):
        self.assertEqual([dev.block_number(i) for i in (0, 254, 255, 256)], [1, 0xFF, 0x00, 1])


if __name__ == "__main__":
    unittest.main()
