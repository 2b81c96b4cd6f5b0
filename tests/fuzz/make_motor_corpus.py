#!/usr/bin/python3
"""Writes the seed corpus of the motor and plant fuzzer (tests/fuzz/motor_corpus), one file per
session: every mode, homing, a profile move, the self-test patterns, odd pole counts.

The byte layout is the harness's (motor_plant_fuzz.cpp): one options byte (bits 2..0 pick the pole
count in the EEPROM: 0 and 1 the motor's 8, 2 gives 0, 3 gives 1, 4 gives 12, 5 gives 9000,
6 gives -8, 7 gives 32767), then actions: an opcode byte (taken modulo 14) and its arguments.
"""
import pathlib
import struct

(MODE, TORQUE, VELOCITY, POSITION, PROFILE, SCALED, SET16, SET32, HOME, LOAD, STOPS, DELAY,
 STATUS, SELF_TEST) = range(14)

# Indices into the harness's tables of settable properties.
TUNABLES = ["TORQUE_LIMIT", "TORQUE_MAX", "VELOCITY_LIMIT", "ACCEL_LIMIT", "OVERCURRENT_LEVEL",
            "OVERCURRENT_TIME", "VELOCITY_BW", "POSITION_BW", "INERTIA", "TORQUE_CONSTANT",
            "POS_NO_INTEGRAL", "CMD_FILTER_Q", "CMD_FILTER_FREQ", "FILTER_FLAGS",
            "OBSERVER_BYPASS", "POSITION_SCALE", "SECTOR_VOTES", "HOMED", "HOME_TORQUE",
            "HOME_VELOCITY", "HOME_VELOCITY_LIMIT", "ANGLE_LEAD", "POLES", "TEMP_LIMIT",
            "OVERTEMP", "STEP_CURRENT", "CURRENT_BW", "CUR_KP", "CUR_KI", "VOLTAGE_MODE"]
TUNABLES32 = ["LOWER_LIMIT", "UPPER_LIMIT", "TRAVEL", "BACKOFF_LOW", "BACKOFF_HIGH",
              "HOME_TARGET", "COUNTS_PER_REV", "POSITION"]
STATUSES = {"ready": 0, "reset": 1, "test": 2, "halt": 3}


def v16(value):
    return bytes([255]) + struct.pack("<h", value)


def v32(value):
    return bytes([255]) + struct.pack("<i", value)


def mode(m):
    return bytes([MODE, m])


def torque(t):
    return bytes([TORQUE]) + v16(t)


def velocity(v):
    return bytes([VELOCITY]) + v16(v)


def position(p):
    return bytes([POSITION]) + v32(p)


def profile(target):
    return bytes([PROFILE]) + v32(target)


def scaled(p):
    return bytes([SCALED]) + struct.pack("<H", p)


def set16(name, value):
    return bytes([SET16, TUNABLES.index(name)]) + v16(value)


def set32(name, value):
    return bytes([SET32, TUNABLES32.index(name)]) + v32(value)


def home():
    return bytes([HOME])


def load(n):  # n in -128..127, 20 mN m at the ends
    return bytes([LOAD, n & 0xFF])


def stops(low, high):  # 0..255 each: 0.05 to 3.2 rad from the shaft
    return bytes([STOPS, low, high])


def delay(units):  # (units % 64 + 1) x 100 us
    return bytes([DELAY, units])


def status(s):
    return bytes([STATUS, STATUSES[s]])


def self_test(code_index):
    return bytes([SELF_TEST, code_index])


def wait_ms(ms):
    out = b""
    while ms > 0:
        step = min(ms, 6)
        out += delay(step * 10 - 1)
        ms -= step
    return out


SEEDS = {
    "idle": bytes([0]) + mode(0) + wait_ms(5),
    "hold_torque": bytes([0]) + mode(2) + torque(800) + wait_ms(4) + mode(1) + wait_ms(4),
    "torque_steps": bytes([0]) + mode(2) + torque(1500) + wait_ms(5) + torque(-1500) + wait_ms(5)
    + torque(32767) + wait_ms(3) + torque(-32768) + wait_ms(3),
    "velocity": bytes([0]) + mode(4) + velocity(300) + wait_ms(10) + velocity(-300) + wait_ms(10),
    "position": bytes([0]) + mode(3) + position(2000) + wait_ms(15) + position(-2000) + wait_ms(10),
    "profile_move": bytes([0]) + set32("UPPER_LIMIT", 4000) + profile(3000) + wait_ms(5)
    + set16("HOMED", 1) + scaled(40000) + wait_ms(25),
    "home": bytes([0]) + stops(60, 60) + set32("TRAVEL", 0) + set16("HOME_TORQUE", 150)
    + set16("HOME_VELOCITY", 400) + home() + wait_ms(38),
    "home_known_travel": bytes([1]) + stops(10, 40) + set16("HOME_VELOCITY", -300)
    + set16("HOME_TORQUE", 150) + set32("TRAVEL", 1000) + home() + wait_ms(35),
    "invalid_modes": bytes([0]) + mode(200) + mode(2) + torque(500) + wait_ms(2) + mode(255)
    + wait_ms(2) + mode(4) + mode(250) + wait_ms(2),
    "poles_zero": bytes([2]) + mode(4) + velocity(200) + wait_ms(10),
    "poles_huge": bytes([5]) + mode(2) + torque(1000) + wait_ms(10),
    "poles_negative": bytes([6]) + mode(3) + position(500) + wait_ms(10),
    "self_test": bytes([0]) + status("test") + b"".join(self_test(i) for i in range(8))
    + wait_ms(4) + status("ready") + mode(4) + wait_ms(2),
    "load_idle": bytes([0]) + load(127) + wait_ms(20) + mode(4) + wait_ms(10),
    "bounds": bytes([0]) + set32("LOWER_LIMIT", -200) + set32("UPPER_LIMIT", 200)
    + set16("HOMED", 1) + mode(2) + torque(1200) + wait_ms(15) + torque(-1200) + wait_ms(15),
    "foldback": bytes([0]) + set16("OVERCURRENT_LEVEL", 300) + set16("OVERCURRENT_TIME", 1)
    + stops(2, 2) + mode(2) + torque(2000) + wait_ms(30),
    "observer_bypass": bytes([0]) + set16("OBSERVER_BYPASS", 1) + mode(4) + velocity(500)
    + wait_ms(15),
    "position_scale": bytes([0]) + set16("POSITION_SCALE", 0) + mode(4) + velocity(100)
    + wait_ms(5) + set16("POSITION_SCALE", -4096) + wait_ms(5),
    "limits_change": bytes([0]) + mode(2) + torque(3000) + wait_ms(5) + set16("TORQUE_LIMIT", 0)
    + wait_ms(5) + set16("TORQUE_MAX", -32768) + wait_ms(5),
    "sector_votes": bytes([0]) + set16("SECTOR_VOTES", 3) + mode(4) + velocity(800) + wait_ms(20),
    # A stall against a stop with a torque request, and a limit dropped to 0 at speed: the
    # current the observer-fed loop lets through is furthest from the request in these.
    "stall_at_stop": bytes([0]) + set16("TORQUE_LIMIT", 2177) + stops(30, 30) + mode(2)
    + torque(2000) + wait_ms(30),
    "limit_drop_at_speed": bytes([0]) + mode(2) + torque(-29768) + set16("TORQUE_LIMIT", 0)
    + wait_ms(30),
    "reset_while_moving": bytes([0]) + mode(4) + velocity(400) + wait_ms(5) + status("reset")
    + wait_ms(10),
}


def main():
    out = pathlib.Path(__file__).resolve().parent / "motor_corpus"
    out.mkdir(exist_ok=True)
    for name, data in SEEDS.items():
        (out / name).write_bytes(data)
    print(f"{len(SEEDS)} seeds in {out.name}/")


if __name__ == "__main__":
    main()
