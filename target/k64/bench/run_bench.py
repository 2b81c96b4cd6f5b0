#!/usr/bin/python3
"""Cycle estimates of the drive's real-time code on the chip's instruction timing.

Builds the cycle-estimate ELF (target tavrix_bench) and the image of the arm build once per
optimisation variant, then runs the team's Cortex-M4 estimator (armcycles: unicorn plus the
Cortex-M4 cycle table, zero-wait-state memory) on:

  - the fixed-point kernels: one whole current-control chain, the square root, the PI controller;
  - the control interrupt, phase by phase, through whole control cycles of the scenarios below,
    on a node started from the reference drive's factory properties.

Prints, per variant, the image's code size and the cycles of every phase against the 2 000-cycle
PWM period (25 us at 80 MHz) and of every control cycle against 12 000 cycles.

  /usr/bin/python3 target/k64/bench/run_bench.py                     # -Os and -O2 real-time code
  /usr/bin/python3 target/k64/bench/run_bench.py --variants Os --cycles 30

The estimator is found with --armcycles, or $ARMCYCLES, or beside the repository in
../shared/tools/armcycles/armcycles.py.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
PERIOD = 2000
CYCLE = 12000
PHASE_GOAL = 500
CYCLE_GOAL = 2400
# Firmware libraries of the real-time path, compiled with -O2 in the speed variant.
SPEED_LIBS = "tavrix_math;tavrix_motor_current;tavrix_motor"
VARIANTS = {"Os": "", "O2": SPEED_LIBS}


def sh(cmd, **kw):
    done = subprocess.run(cmd, text=True, capture_output=True, **kw)
    if done.returncode != 0:
        sys.exit(f"failed: {' '.join(cmd)}\n{(done.stdout + done.stderr)[-3000:]}")
    return done.stdout


def build(variant, source, build_root):
    bdir = os.path.join(build_root, f"arm-bench-{variant}")
    cache = os.path.join(bdir, "CMakeCache.txt")
    if os.path.exists(cache) and f"CMAKE_HOME_DIRECTORY:INTERNAL={source}\n" not in open(cache).read():
        shutil.rmtree(bdir)  # configured from another source tree
    sh(["cmake", "-S", source, "-B", bdir, "-G", "Ninja",
        f"-DCMAKE_TOOLCHAIN_FILE={os.path.join(source, 'cmake', 'arm-none-eabi.cmake')}",
        "-DCMAKE_BUILD_TYPE=MinSizeRel", f"-DTAVRIX_ARM_SPEED_LIBS={VARIANTS[variant]}"])
    sh(["cmake", "--build", bdir, "--target", "tavrix", "tavrix_bench"])
    return os.path.join(bdir, "target", "k64")


def text_size(elf):
    out = sh(["arm-none-eabi-size", "-A", elf])
    return sum(int(m.group(1)) for m in re.finditer(r"^\.(?:text|isr_vector|flash_config|init_array|ARM\.exidx|data)\s+(\d+)", out, re.M))


def properties():
    """Factory properties of the reference drive as (number, value) pairs, 32-bit pairs split."""
    header = open(os.path.join(REPO, "firmware", "properties", "property_table.hpp")).read()
    table = open(os.path.join(REPO, "firmware", "properties", "property_table.cpp")).read() \
        if os.path.exists(os.path.join(REPO, "firmware", "properties", "property_table.cpp")) else ""
    numbers = {m.group(1): int(m.group(2))
               for m in re.finditer(r"constexpr int16_t (\w+) = (\d+);", header)}
    wide = {int(m.group(1)) for m in re.finditer(r"\{(\d+), \"\w+\", Width::k32", header + table)}
    conf = open(os.path.join(REPO, "sim", "data", "reference_drive.conf")).read()
    section = re.split(r"^\[properties\][ \t]*$", conf, maxsplit=1, flags=re.M)[1]
    pairs = []
    for line in section.splitlines():
        line = line.split("#", 1)[0].strip()
        if not line or line.startswith("["):
            if line.startswith("["):
                break
            continue
        name, value = line.split()[:2]
        if name not in numbers:
            continue
        k, v = numbers[name], int(value, 0)
        if k in wide:
            pairs += [(k, v & 0xFFFF), (k + 1, (v >> 16) & 0xFFFF)]
        else:
            pairs.append((k, v & 0xFFFF))
    return pairs


def armcycles(tool, elf, inits, calls, repeat=1, profile=False):
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        cmd = [sys.executable, tool, "run", elf, "--ram", "0x1FFF0000:0x40000", "--ctors",
               "--budget", "5000000", "--json", out.name] + (["--profile"] if profile else [])
        for i in inits:
            cmd += ["--init", i]
        for c in calls:
            cmd += ["--call", c]
        if repeat > 1:
            cmd += ["--repeat", str(repeat)]
        sh(cmd)
        return json.load(open(out.name))["calls"]


def armcycles_reads(tool, elf, reads, calls):
    """Calls with scripted peripheral reads and exception entry/exit counted."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        cmd = [sys.executable, tool, "run", elf, "--ram", "0x1FFF0000:0x40000", "--ctors",
               "--exception", "--json", out.name]
        for address, value in reads.items():
            cmd += ["--read", f"{address}={value}"]
        for c in calls:
            cmd += ["--call", c]
        sh(cmd)
        return json.load(open(out.name))["calls"]


def typ(call):
    return call["cycles"]["typ"] if isinstance(call["cycles"], dict) else call["cycles"][1]


def worst(call):
    return call["cycles"]["max"] if isinstance(call["cycles"], dict) else call["cycles"][2]


# Control scenarios: (title, host sets after start-up, encoder counts per control cycle). Each
# starts from the reference drive's factory set; the encoder angle advances between cycles so the
# reads see motion and the electrical sector changes.
SCENARIOS = [
    ("torque mode, a step recorded by the logger, sector changes with voting",
     ["bench_host_set16(36, 2)", "bench_host_set16(8, 2)", "bench_host_set16(42, 1000)",
      "bench_host_set16(37, 3)"], 40),
    ("position mode: position, velocity and torque loops",
     ["bench_host_set16(8, 3)", "bench_host_set32(48, 3000)"], 5),
    ("profile mode: trajectory steps towards a far target",
     ["bench_host_set16(8, 5)", "bench_host_set32(48, 200000)"], 20),
]


def demangle(names):
    out = subprocess.run(["arm-none-eabi-c++filt"], input="\n".join(names), text=True,
                         capture_output=True).stdout.split("\n")
    return {n: (d.split("(")[0] if d else n) for n, d in zip(names, out)}


def phase_profiles(calls, top=4):
    """For each phase, the functions of its most expensive instance, by typ cycles (self)."""
    worst_call = {}
    for c in calls:
        if c["call"].startswith("bench_control_phase") and c.get("profile"):
            if typ(c) > typ(worst_call.get(c["r0"], {"cycles": {"typ": -1}})):
                worst_call[c["r0"]] = c
    names = demangle(sorted({n for c in worst_call.values() for n in c["profile"]}))
    lines = []
    for phase in sorted(worst_call):
        prof = sorted(worst_call[phase]["profile"].items(), key=lambda kv: -kv[1][1])[:top]
        lines.append(f"      p{phase} ({typ(worst_call[phase])}): " +
                     ", ".join(f"{names[n]} {v[1]}" for n, v in prof))
    return lines


def control_report(calls):
    """Per-phase and per-cycle figures from the phase calls (r0 = the phase each one ran)."""
    phases = [(c["r0"], typ(c), worst(c), c["stack_bytes"]) for c in calls
              if c["call"].startswith("bench_control_phase")]
    cycles, current = [], []
    for p, t, _, _ in phases:
        if p == 1 and current:
            cycles.append(current)
            current = []
        current.append((p, t))
    if current:
        cycles.append(current)
    # The first cycle: phase 0 (restart, controller reset) and the phases after it, with the
    # first-time set-up; the last cycle may be incomplete.
    first = cycles[0] + (cycles[1] if len(cycles) > 1 and cycles[0][0][0] == 0 else [])
    rest = cycles[2:] if len(cycles) > 1 and cycles[0][0][0] == 0 else cycles[1:]
    later = rest[:-1] or rest
    per_phase = {}
    for cyc in later:
        for p, t in cyc:
            per_phase[p] = max(per_phase.get(p, 0), t)
    sums = [sum(t for _, t in cyc) for cyc in later]
    return first, per_phase, sums, max(w for _, _, w, _ in phases), max(s for *_, s in phases), \
        sum(1 for cyc in later for p, _ in cyc if p == 6) - len(later)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--armcycles", default=os.environ.get("ARMCYCLES", os.path.join(
        REPO, "..", "shared", "tools", "armcycles", "armcycles.py")))
    ap.add_argument("--variants", default="Os,O2")
    ap.add_argument("--cycles", type=int, default=24, help="control cycles per scenario")
    ap.add_argument("--build-root", default=os.path.join(REPO, "build"))
    ap.add_argument("--source", default=REPO, help="source tree to build (default: this one)")
    ap.add_argument("--profile", action="store_true",
                    help="also list the functions each phase spends its cycles in")
    args = ap.parse_args()
    if not os.path.exists(args.armcycles):
        sys.exit(f"armcycles not found at {args.armcycles} (use --armcycles or $ARMCYCLES)")

    print("Cycles at 80 MHz, zero wait states, no interrupt entry/exit; the rotor-sensor read answers\n"
          "at once here, while on the chip the phase waits ~128 cycles for the 16-bit frame at 10 MHz\n"
          "plus the SPI1 interrupt (phase 3 of every 4th cycle).")
    props = properties()
    # Samples as on the reference drive at rest: current sense near its 2048 zero, 24 V on the
    # bus (22.2 counts per volt), a mid-scale auxiliary/temperature reading.
    start = [f"bench_store({k}, {v})" for k, v in props] + ["bench_start",
                                                           "bench_adc(2060, 2040, 2000, 533)"]
    for variant in args.variants.split(","):
        out = build(variant, args.source, args.build_root)
        elf = os.path.join(out, "tavrix_bench.elf")
        print(f"=== {variant} (real-time libraries {VARIANTS[variant] or 'at -Os'}): "
              f"image {text_size(os.path.join(out, 'tavrix.elf'))} bytes of flash")
        kernels = armcycles(args.armcycles, elf, [],
                            [f"bench_chain({i})" for i in range(1, 9)] +
                            ["bench_sqrt(0x40000000)", "bench_sqrt(0x7fffffff)", "bench_pi(1000000)"])
        chain = [typ(c) for c in kernels[:8]]
        print(f"  current-control chain: typ {min(chain)}..{max(chain)} cycles, "
              f"max column {max(worst(c) for c in kernels[:8])}")
        print(f"  square root: typ {typ(kernels[8])}, {typ(kernels[9])}; PI controller: typ {typ(kernels[10])}")
        # The image's own interrupt handlers, with exception entry and exit (12 + 10 cycles):
        # each conversion-complete handler finding its conversion A done, the rotor-sensor
        # handler finding a received frame, the tick with no timer due.
        image = os.path.join(out, "tavrix.elf")
        handlers = armcycles_reads(args.armcycles, image, {
            "0x4003B000": "0xC7", "0x400BB000": "0xD7", "0x4002D02C": "0x20000"},
            ["ADC0_IRQHandler", "ADC1_IRQHandler", "SPI1_IRQHandler", "FTM1_IRQHandler"])
        print("  interrupt handlers (typ, entry and exit included): " + ", ".join(
            f"{c['call']} {typ(c)}" for c in handlers))
        for title, inits, step in SCENARIOS:
            sequence = ["bench_control_phase"] * 6 + [f"bench_step_angle({step})"]
            calls = armcycles(args.armcycles, elf, start + inits, sequence, repeat=args.cycles,
                              profile=args.profile)
            first, per_phase, sums, peak, stack, repeats = control_report(calls)
            print(f"  {title}:")
            if not per_phase:
                print(f"    the control sequencer never left phase {first[0][0]}: "
                      f"{len(first)} calls of typ {max(t for _, t in first)} cycles at most")
                continue
            print("    first control cycle (phase 0 and the first-time set-up included): "
                  + " + ".join(f"p{p} {t}" for p, t in first) + f" = {sum(t for _, t in first)} cycles")
            over = max(per_phase.values()) > PHASE_GOAL
            print("    later cycles, worst per phase: " + ", ".join(
                f"p{p} {t}" for p, t in sorted(per_phase.items()))
                + f" of {PERIOD} (goal <= {PHASE_GOAL}: {'NOT met' if over else 'met'})")
            print(f"    control cycle: typ {min(sums)}..{max(sums)} of {CYCLE} cycles, "
                  f"{100 * max(sums) / CYCLE:.1f} % CPU (goal <= {CYCLE_GOAL}: "
                  f"{'met' if max(sums) <= CYCLE_GOAL else 'NOT met'}); phase 6 repeated "
                  f"{repeats} times by the sector vote")
            print(f"    worst single phase, max column: {peak} cycles; stack {stack} bytes")
            if args.profile:
                print("    where the worst instance of each phase spends its cycles (self, typ):")
                print("\n".join(phase_profiles(calls)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
