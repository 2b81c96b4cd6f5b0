#!/usr/bin/python3
"""Writes the seed corpus of the node frame fuzzer (tests/fuzz/corpus), one file per session.

The byte layout is the harness's (frame_decoder.hpp): flags (bit 0 extended, bit 1 remote,
bits 7..4 length code), identifier (2 bytes, or 4 when extended, little-endian), the data
bytes, and a delay byte in units of 10 us.
"""
import pathlib
import struct

NODE = 5


def frame(ident, data=b"", extended=False, remote=False, length=None, gap=10):
    code = len(data) if length is None else length
    flags = (1 if extended else 0) | (2 if remote else 0) | (code << 4)
    out = bytes([flags]) + struct.pack("<I" if extended else "<H", ident)
    if not remote:
        out += bytes(data[: min(code, 8)])
    return out + bytes([gap])


def get(k, ident=NODE):
    return frame(ident, bytes([k]))


def set16(k, value, ident=NODE):
    return frame(ident, bytes([0x80 | k, 0]) + struct.pack("<h", value))


def set32(k, value, ident=NODE):
    return frame(ident, bytes([0x80 | k, 0]) + struct.pack("<i", value))


SEEDS = {
    "gets": b"".join(get(k) for k in (0, 3, 5, 8, 48, 49, 64, 66, 127)),
    "sets": set16(42, 123) + set32(56, 100000) + set16(10, -5) + set32(74, -1) + get(56),
    "save_load": set32(52, 70000) + set16(9, 52) + set32(52, 1) + set16(31, 52, ) + get(52),
    "save_out_of_range": set16(9, 127) + set16(9, 126) + set16(31, -1) + set16(31, 308),
    "group": frame(0x400, b"\x03") + frame(0x401, b"\x03") + frame(0x000, b"\x00"),
    "node_id": set16(3, 9) + get(3, 9) + get(3) + set16(3, 40) + get(3, 8),
    "reset_frame": frame(NODE, b"\x5a\xa6", gap=255) + get(0),
    "status_reset": set16(5, 0, ) + frame(NODE, b"\x00", gap=255),
    "canopen_switch": frame(NODE, b"\x01\x05") + frame(0x605, b"\x40\x00\x10\x00\x00\x00\x00\x00")
    + frame(NODE, b"\x5a\xa6") + get(0),
    "remote_and_extended": frame(NODE, remote=True, length=8) + frame(NODE, b"\x00", extended=True)
    + frame(0x1FFFFFFF, b"\x01\x02", extended=True, remote=True, length=2),
    "long_length_codes": frame(NODE, bytes([0xAA, 0, 1, 2, 3, 4, 5, 6]), length=15)
    + frame(NODE, bytes([0x08] * 8), length=9),
    "burst": b"".join(frame(NODE, b"\x00", gap=0) for _ in range(20)),
    "eeprom_test_burst": set16(29, 24) + b"".join(frame(NODE, b"\x00", gap=0) for _ in range(12)),
    "tick_and_pwm": set16(40, 1000) + set16(40, 0) + set16(39, 1001) + set16(39, 0) + get(39),
    "filters_and_gains": set16(14, 181) + set16(15, 500) + set16(116, 1000) + set16(117, 50)
    + set16(118, 10) + set16(83, 0) + set16(83, -4096) + set16(91, -1),
    "pins": set16(17, 1) + get(17) + set16(17, 7) + set16(34, 1) + set16(35, 0x1F) + set16(5, 4)
    + get(35),
}


def main():
    corpus = pathlib.Path(__file__).resolve().parent / "corpus"
    corpus.mkdir(exist_ok=True)
    for name, data in SEEDS.items():
        (corpus / name).write_bytes(data)


if __name__ == "__main__":
    main()
