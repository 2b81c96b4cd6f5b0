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
    return subprocess.run(cmd, check=True, text=True, capture_output=True, **kw).stdout


def build(variant, source, build_root):
    bdir = os.path.join(build_root, f"arm-bench-{variant}")
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
    section = conf.split("[properties]", 1)[1]
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


def armcycles(tool, elf, inits, calls, repeat=1):
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        cmd = [sys.executable, tool, "run", elf, "--ram", "0x1FFF0000:0x40000", "--ctors",
               "--budget", "5000000", "--json", out.name]
        for i in inits:
            cmd += ["--init", i]
        for c in calls:
            cmd += ["--call", c]
        if repeat > 1:
            cmd += ["--repeat", str(repeat)]
        sh(cmd)
        return json.load(open(out.name))["calls"]


def typ(call):
    return call["cycles"]["typ"] if isinstance(call["cycles"], dict) else call["cycles"][1]


def worst(call):
    return call["cycles"]["max"] if isinstance(call["cycles"], dict) else call["cycles"][2]


# Control scenarios: (title, inits after start-up, control cycles). Each starts from the
# reference drive's factory set; the angle steps make the encoder reads see motion.
SCENARIOS = [
    ("mode 2 torque step, logger recording",
     ["bench_mode(2)", "bench_set(42, 400)", "bench_set(37, 3)", "bench_angle(100)"]),
    ("mode 3 position hold", ["bench_mode(3)", "bench_angle(2000)"]),
    ("mode 5 profile move (trajectory steps)",
     ["bench_mode(5)", "bench_set(48, 20000)", "bench_angle(300)"]),
]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--armcycles", default=os.environ.get("ARMCYCLES", os.path.join(
        REPO, "..", "shared", "tools", "armcycles", "armcycles.py")))
    ap.add_argument("--variants", default="Os,O2")
    ap.add_argument("--cycles", type=int, default=24, help="control cycles per scenario")
    ap.add_argument("--build-root", default=os.path.join(REPO, "build"))
    ap.add_argument("--source", default=REPO, help="source tree to build (default: this one)")
    args = ap.parse_args()
    if not os.path.exists(args.armcycles):
        sys.exit(f"armcycles not found at {args.armcycles} (use --armcycles or $ARMCYCLES)")

    props = properties()
    start = [f"bench_store({k}, {v})" for k, v in props] + ["bench_start"]
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
        for title, inits in SCENARIOS:
            calls = armcycles(args.armcycles, elf, start + inits, ["bench_control_phase"],
                              repeat=6 * args.cycles)
            phases = [typ(c) for c in calls]
            first = phases[:6]
            later = phases[6:]
            cycles = [sum(phases[i:i + 6]) for i in range(6, len(phases) - 5, 6)]
            per_phase = [max(later[p::6]) for p in range(6)] if later else []
            print(f"  {title}:")
            print(f"    first control cycle (set-up phase included): {first} = {sum(first)} cycles")
            print("    worst per phase after it: " + ", ".join(
                f"{c}" for c in per_phase) + f" (goal <= {PHASE_GOAL} of {PERIOD}: "
                f"{'met' if per_phase and max(per_phase) <= PHASE_GOAL else 'NOT met'})")
            if cycles:
                print(f"    control cycle: typ {min(cycles)}..{max(cycles)} of {CYCLE} cycles "
                      f"({100 * max(cycles) / CYCLE:.1f} % CPU; goal <= {CYCLE_GOAL}: "
                      f"{'met' if max(cycles) <= CYCLE_GOAL else 'NOT met'})")
            print(f"    worst single phase (max column): {max(worst(c) for c in calls)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
