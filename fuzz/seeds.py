#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/.

Each target reads its input with FuzzedDataProvider, which takes numbers
from the end of the input and byte strings from the front; the Input class
lays seeds out the same way so they start on meaningful paths."""
import os
import sys


class Input:
    def __init__(self):
        self.front = bytearray()
        self.back = []  # in reading order, taken from the end

    def num(self, value, nbytes):
        # ConsumeIntegralInRange reads the last byte as the most significant.
        for i in reversed(range(nbytes)):
            self.back.append((value >> (8 * i)) & 0xFF)
        return self

    def raw(self, data):
        self.front += bytes(data)
        return self

    def build(self):
        return bytes(self.front) + bytes(reversed(self.back))


def frame(seq, data, two_byte=False, start=True, inverted=False):
    f = bytearray([0x82 if two_byte else 0x02] if start else [])
    f.append(seq)
    f += bytes([len(data) >> 8, len(data) & 0xFF]) if two_byte else bytes([len(data)])
    f += bytes(data)
    check = 0x82 if (two_byte and not start) else (0x02 if not start else 0)
    for b in f:
        check ^= b
    if inverted:
        check ^= 0xFF
    return bytes(f + bytes([check]))


def receive_seeds():
    out = {}
    cases = {
        "plain": (0x00, frame(0x81, b"\x90\x00")),
        "no_start": (0x01, frame(0x81, b"\x90\x00", start=False)),
        "no_handshake": (0x02, frame(0x81, b"\x6A\x82")),
        "inverted": (0x04, frame(0x81, b"\x90\x00", inverted=True)),
        "two_byte": (0x20, frame(0x81, bytes(range(200)) + b"\x90\x00", two_byte=True)),
        "bad_check": (0x00, frame(0x81, b"\x90\x00")[:-1] + b"\x00"),
        "noise_then_frame": (0x00, b"\x15\x06\xff" + frame(0x81, b"\x90\x00")),
        "two_frames": (0x00, frame(0x81, b"\x01") + frame(0x82, b"\x02")),
    }
    for name, (opts, line) in cases.items():
        seed = Input().num(opts, 1).num(255, 2).num(0, 1)
        pos = 0
        pieces = [3, 64]
        i = 0
        while pos < len(line):
            p = pieces[i % len(pieces)]
            seed.num(p - 1, 1).raw(line[pos:pos + p])
            pos += p
            i += 1
        out[name] = seed.build()
    return out


def send_seeds():
    out = {}
    apdu = bytes.fromhex("FFCAE00000")
    for name, opts, answers in [
        ("ack", 0x00, b"\x06"),
        ("nak_then_ack", 0x00, b"\x15\x06"),
        ("naks", 0x00, b"\x15\x15\x15"),
        ("no_retransmit", 0x10, b"\x15"),
        ("foreign", 0x00, b"\x02"),
        ("two_byte", 0x20, b"\x06"),
        ("no_handshake", 0x02, b""),
    ]:
        seed = Input().num(opts, 1).num(0, 1).num(len(apdu), 2).raw(apdu)
        for _ in range(8):
            seed.num(1, 1)
        out[name] = seed.raw(answers).build()
    out["long"] = Input().num(0x20, 1).num(0, 1).num(270, 2).raw(bytes(270)).raw(b"\x06").build()
    return out


def entry_seeds():
    out = {}
    entries = {
        "ccid_plain": (0, "CCID ZN480 Reader 00 00", b"\x12\x34\x56\x78\x90\x00", b"\x00\x02\x00\xA6\x90\x00"),
        "ccid_suffix": (0, "CCID ZN480 Reader 00 00 - 12345678 (2.166)", b"", b""),
        "ccid_paren": (0, "CCID Odd (1.9 Reader - 0A0B0C0D (2.170)", b"", b""),
        "cdc": (1, "COM7 ZN480 CDC - 12345678 (2.166)", b"", b""),
        "hid": (3, "HID ZN480 Keyboard 0", b"", b""),
        "msd": (2, "MSD ZN480 Mass Storage", b"", b""),
    }
    for name, (kind, text, sn, fw) in entries.items():
        seed = Input().num(kind, 1).num(166, 2).num(7 + 2, 2)
        # ConsumeRandomLengthString: a backslash followed by anything but a
        # backslash ends the string.
        seed.raw(text.encode() + b"\\n").raw(sn.replace(b"\\", b"\\\\") + b"\\n").raw(fw)
        out[name] = seed.build()
    return out


def reader_list_seeds():
    out = {}
    for name, text in [
        ("two", b"ZN480 Reader 00 00\0ZN480 Reader 00 01\0\0"),
        ("spaces", b"  padded name  \0\0"),
        ("empty", b"\0\0"),
        ("unterminated", b"A" * 2100),
    ]:
        out[name] = Input().num(len(text), 4).num(1, 1).raw(text).build()
    return out


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    sets = {
        "fuzz_sc_receive": receive_seeds(),
        "fuzz_sc_send": send_seeds(),
        "fuzz_hex": {"upper": b"FFCAE00000", "lower_odd": b"abc", "bad": b"1G", "blank": b"1 "},
        "fuzz_reader_list": reader_list_seeds(),
        "fuzz_wmi_ids": {
            "reader": b'\\\\HOST\\root\\cimv2:Win32_PnPEntity.DeviceID="HID\\\\VID_6A4E&PID_0013\\\\7&1A2B3C4D&0&0000"',
            "other": b'\\\\HOST\\root\\cimv2:Win32_PnPEntity.DeviceID="USB\\\\ROOT_HUB30\\\\4&2F0A1B3C&0&0"',
            "two_equals": b'a="HID\\VID_6A4E&PID_0013"=b',
        },
        "fuzz_entry_text": entry_seeds(),
        # Arguments separated by NUL bytes, as the command line has them.
        "fuzz_command_line": {
            "switch_all": b"switch\0--to\0ccid\0--all\0--fake-card=always\0--json",
            "switch_hid": b"switch\0--to=hid\0--serial\0a0b0c0d\0--hid-format\0hex+shift+hash\0--dry-run",
            "wait": b"wait\0--address\0ZN480 Caf\xc3\xa9 00 00\0--personality\0cdc\0--timeout\0005s",
            "mistakes": b"list\0--timeout=\0--\0-v",
            "names": b"entry\0CCID ZN480 \x1b[2J\xc2\x9b\\ - 01020304 (2.166)\0COM3 ZN480 CDC - \xff\xfe (2.1)",
        },
    }
    for target, seeds in sets.items():
        d = os.path.join(root, target)
        os.makedirs(d, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(d, name), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
