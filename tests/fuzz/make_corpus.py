#!/usr/bin/python3
"""Writes the seed corpus of the node frame fuzzer (tests/fuzz/corpus), one file per session.

The byte layout is the harness's (frame_decoder.hpp): an optional 4-byte header (a second node
on the bus, a fault), then per frame: flags (bit 0 extended, bit 1 remote, bits 7..4 length
code), identifier (2 bytes, or 4 when extended, little-endian), the data bytes, and a delay byte
in units of 10 us.
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


def get(k, ident=NODE, gap=10):
    return frame(ident, bytes([k]), gap=gap)


def set16(k, value, ident=NODE):
    return frame(ident, bytes([0x80 | k, 0]) + struct.pack("<h", value))


def set32(k, value, ident=NODE):
    return frame(ident, bytes([0x80 | k, 0]) + struct.pack("<i", value))


FAULTS = {"none": 0, "eeprom-absent": 1, "eeprom-stuck": 2, "eeprom-flips": 3,
          "encoder-absent": 4, "encoder-stuck": 5, "power-cut": 6}
TARGETS = {"first": 0, "second": 1, "both": 2}
TIME_UNIT_US = 250


def header(second=None, fault="none", target="first", start_us=0, duration_us=0):
    """A second node (an even number other than NODE) and one fault, timed from power-on."""
    b0 = 0x0C
    if second is not None:
        assert second % 2 == 0 and 0 <= second < 32 and second != NODE
        b0 |= 1 | (((second - 6) % 32) // 2) << 4
    return bytes([b0, FAULTS[fault] | TARGETS[target] << 3, start_us // TIME_UNIT_US,
                  duration_us // TIME_UNIT_US])


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

# --- A second node on the bus, and faults (the header).
SEEDS.update({
    "two_nodes": header(second=6) + get(0) + get(3, 6) + frame(0x401, b"\x03")
    + frame(0x000, b"\x00") + set16(3, 8, 6) + get(3, 8) + get(48, 8) + get(8),
    "two_nodes_switch_one": header(second=16) + frame(16, b"\x01\x00") + get(0)
    + frame(0x610, b"\x40\x00\x10\x00\x00\x00\x00\x00") + frame(0x400, b"\x05")
    + get(0, 16),
    "two_nodes_node0_burst": header(second=0) + b"".join(frame(0, b"\x00", gap=0)
                                                         for _ in range(16)) + get(3),
    "eeprom_absent_boot": header(fault="eeprom-absent") + get(3, 31) + set16(9, 3, 31)
    + get(0, 31) + frame(0x401, b"\x03"),
    "eeprom_absent_later": header(fault="eeprom-absent", start_us=3000, duration_us=5000)
    + set32(52, 70000) + set16(9, 52) + get(52) + set16(31, 52, ) + get(52),
    "eeprom_stuck_save": header(second=8, fault="eeprom-stuck", target="both",
                                duration_us=20000)
    + set16(10, 7) + set16(9, 10) + b"".join(get(k) for k in (0, 3, 5, 10, 48)),
    "eeprom_stuck_test": header(fault="eeprom-stuck", start_us=2000, duration_us=10000)
    + set16(29, 24) + b"".join(frame(NODE, b"\x00", gap=100) for _ in range(8)),
    "eeprom_flips": header(fault="eeprom-flips", duration_us=40000) + set16(31, 3) + get(3)
    + set16(31, 52) + get(52) + set16(5, 0) + frame(NODE, b"\x00", gap=255) + get(3, 31),
    "encoder_absent": header(second=8, fault="encoder-absent", target="second")
    + set16(8, 3) + get(8) + get(48) + get(22) + get(44) + set16(8, 0) + get(48, 8),
    "encoder_stuck_home": header(fault="encoder-stuck", start_us=1000)
    + set16(29, 13) + b"".join(get(k, gap=200) for k in (5, 48, 103, 64)),
    "power_cut_save": header(fault="power-cut", start_us=6000) + set16(3, 9) + set16(9, 3, 9)
    + frame(9, b"\x00", gap=255) + frame(9, b"\x03", gap=255) + get(3, 9) + get(3, 5),
    "power_cut_eeprom_test": header(second=6, fault="power-cut", start_us=4000)
    + set16(29, 24) + get(4) + frame(NODE, b"\x00", gap=255) + frame(NODE, b"\x00", gap=255)
    + get(4) + get(3),
    "power_cut_canopen": header(fault="power-cut", start_us=5000) + frame(0x000, b"\x01\x00")
    + frame(0x605, b"\x23\x17\x10\x00\x64\x00\x00\x00", gap=255)
    + frame(0x605, b"\x23\x10\x10\x01\x73\x61\x76\x65", gap=255) + get(0) + get(0),
})


# --- CANopen mode: the first frame switches (an NMT start to all nodes), then SDO, NMT, PDO
# configuration and SYNC. The objects come from the shipped EDS, so the seeds cover every row.

EDS = pathlib.Path(__file__).resolve().parents[2] / "sim" / "data" / "tavrix.eds"
SDO_RX = 0x600 + NODE
MAX_FRAMES = 60  # the harness skips inputs of more than 64 frames


def eds_rows():
    """(index, sub-index, size in bytes, access) of every row, in file order."""
    rows, section, fields = [], None, {}

    def flush():
        if section is None or "DataType" not in fields:
            return
        name = section
        if "sub" in name:
            index, sub = name.split("sub")
            index, sub = int(index, 16), int(sub, 16)
        else:
            index, sub = int(name, 16), 0
        size = {"0x0005": 1, "0x0006": 2}.get(fields["DataType"], 4)
        rows.append((index, sub, size, fields["AccessType"]))

    for line in EDS.read_text().splitlines():
        if line.startswith("["):
            flush()
            section, fields = line[1:-1], {}
        elif "=" in line:
            key, value = line.split("=", 1)
            fields[key] = value
    flush()
    return [r for r in rows if not r[0] < 0x1000]


def switch():
    return frame(0x000, bytes([0x01, 0x00]))


def nmt(command, node=NODE):
    return frame(0x000, bytes([command, node]))


def sdo(cs, index, sub, value=0, length=8, gap=30):
    data = bytes([cs]) + struct.pack("<HB", index, sub) + struct.pack("<I", value & 0xFFFFFFFF)
    return frame(SDO_RX, data[:length], gap=gap)


def download(index, sub, value, size):
    """An expedited download of exactly the object's size."""
    return sdo(0x23 if size == 4 else 0x2B if size == 2 else 0x2F, index, sub, value, 4 + size)


def sync(gap=20):
    return frame(0x080, b"", gap=gap)


def mapping(index, sub, bits):
    return (index << 16) | (sub << 8) | bits


def configure(comm, cob, ttype, entries):
    """The CiA 301 procedure, with a SYNC between the steps."""
    out = download(comm, 1, cob | 0x80000000, 4) + sync()
    out += download(comm, 2, ttype, 1) + sync()
    out += download(comm + 0x200, 0, 0, 1) + sync()
    for i, e in enumerate(entries):
        out += download(comm + 0x200, i + 1, e, 4) + sync()
    out += download(comm + 0x200, 0, len(entries), 1) + sync()
    return out + download(comm, 1, cob, 4)


def chunks(frames, per):
    return [frames[i:i + per] for i in range(0, len(frames), per)]


def canopen_seeds():
    seeds = {}
    rows = eds_rows()
    per = MAX_FRAMES - 2
    uploads = [sdo(0x40, i, s) for i, s, _, _ in rows]
    for n, part in enumerate(chunks(uploads, per)):
        seeds["canopen_upload_%d" % n] = switch() + nmt(0x01) + b"".join(part)
    # Downloads of every writable row with exact lengths (a patterned value; save last).
    writes = [download(i, s, 0x01020304 + i + s, size) for i, s, size, access in rows
              if access in ("rw", "wo") and (i, s) != (0x1010, 1)]
    for n, part in enumerate(chunks(writes, per)):
        seeds["canopen_download_%d" % n] = switch() + nmt(0x01) + b"".join(part)
    seeds["canopen_save_restore"] = (switch() + download(0x1017, 0, 100, 2)
                                     + download(0x6502, 0, 0xAABBCCDD, 4)
                                     + download(0x1010, 1, 0x65766173, 4)
                                     + sdo(0x40, 0x6502, 0) + nmt(0x81, 0)
                                     + frame(0x000, bytes([0x01, 0x00]), gap=255)
                                     + sdo(0x40, 0x6502, 0))
    seeds["canopen_nmt"] = (switch() + nmt(0x02) + sdo(0x40, 0x1000, 0) + nmt(0x80, 0)
                            + sdo(0x40, 0x1000, 0) + sync() + nmt(0x01, 7) + nmt(0x01)
                            + nmt(0x82) + sdo(0x40, 0x1000, 0) + nmt(0x82, 0) + nmt(0x99)
                            + frame(0x000, bytes([0x01])) + frame(0x000, bytes([0x01, 0, 0]))
                            + frame(0x705, bytes([5])) + frame(0x100, bytes(6)))
    seeds["canopen_sdo_errors"] = (switch() + sdo(0x23, 0x1400, 2, 1) + sdo(0x2F, 0x1400, 2, 1, 5)
                                   + sdo(0x21, 0x1005, 0) + sdo(0x80, 0x1005, 0, 0x08000000)
                                   + sdo(0x40, 0x60A0, 0) + sdo(0x23, 0x1000, 0, 1)
                                   + sdo(0x40, 0x3F00, 14) + sdo(0x40, 0x1234, 0)
                                   + sdo(0x22, 0x1005, 0, 0x80, 3) + frame(SDO_RX, b"")
                                   + download(0x1010, 1, 0x12345678, 4)
                                   + download(0x1018, 6, 0xFFFF, 4) + sdo(0x40, 0x1018, 6)
                                   + download(0x2401, 0, 0xFFFF, 2) + sdo(0x40, 0x2401, 0))
    seeds["canopen_heartbeat"] = (switch() + download(0x1017, 0, 1, 2)
                                  + frame(0x000, bytes([0x80, 0]), gap=255)
                                  + download(0x1017, 0, 0x8000, 2) + sync(gap=255))
    seeds["canopen_pdo"] = (switch() + nmt(0x01)
                            + configure(0x1400, 0x205, 255, [mapping(0x6502, 0, 32)])
                            + configure(0x1401, 0x305, 1, [mapping(0x2401, 0, 16),
                                                           mapping(0x6403, 0, 32)])
                            + configure(0x1800, 0x185, 1, [mapping(0x1001, 0, 8),
                                                           mapping(0x60A1, 0, 16),
                                                           mapping(0x3F00, 56, 32)])
                            + configure(0x1801, 0x20000285, 3, [mapping(0x2202, 0, 16)])
                            + frame(0x205, bytes([1, 2, 3, 4])) + frame(0x305, bytes(range(8)))
                            + sync() + sync() + sync() + sync())
    seeds["canopen_pdo_mode"] = (switch()
                                 + configure(0x1400, 0x205, 255, [mapping(0x6060, 0, 32)])
                                 + frame(0x205, bytes([3, 0, 0, 0])) + sync()
                                 + frame(0x205, bytes([0, 0, 0, 0])))
    seeds["canopen_bad_mapping"] = (switch()
                                    + download(0x1600, 1, mapping(0x1234, 0, 8), 4)
                                    + download(0x1600, 1, mapping(0x60A1, 0, 16), 4)
                                    + download(0x1A00, 1, mapping(0x60A0, 0, 16), 4)
                                    + download(0x1600, 1, mapping(0x6502, 0, 0), 4)
                                    + download(0x1600, 1, mapping(0x6502, 0, 255), 4)
                                    + download(0x1600, 0, 5, 1) + download(0x1A00, 0, 255, 1)
                                    + download(0x1400, 2, 0, 1) + download(0x1400, 1, 0x205, 4)
                                    + frame(0x205, bytes(8)) + sync() + sync())
    seeds["canopen_extended_and_remote"] = (switch()
                                            + frame(0x605, bytes([0x40, 0, 0x10, 0, 0, 0, 0, 0]),
                                                    extended=True)
                                            + frame(0x000, bytes([0x02, 0]), extended=True)
                                            + frame(0x605, remote=True, length=8)
                                            + frame(0x080, remote=True, length=0)
                                            + sdo(0x40, 0x1000, 0))
    return seeds


def main():
    corpus = pathlib.Path(__file__).resolve().parent / "corpus"
    corpus.mkdir(exist_ok=True)
    for name, data in {**SEEDS, **canopen_seeds()}.items():
        (corpus / name).write_bytes(data)


if __name__ == "__main__":
    main()
