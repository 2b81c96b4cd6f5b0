#!/usr/bin/python3
"""Boot check of the drive image in an instruction-level emulator.

Loads tavrix.elf the way a programmer writes it into flash (its loadable segments at their load
addresses), fills the RAM with a pattern, and runs the Cortex-M4 from its reset vector until the
main loop takes its first turn. On the way it checks:

  - the vector table: initial stack pointer, reset entry, every handler the node uses at its slot,
    every other slot on the default handler, which stops in a breakpoint;
  - the flash configuration field at 0x400;
  - the reset entry: watchdog disabled within its window, FPU enabled, clock dividers written
    before the PLL is selected, the PLL selected at the end;
  - RAM when the static constructors start: .data equals its image in flash, .bss and the logger
    buffer are zero, and the logger buffer starts the upper RAM;
  - the interrupt levels and enables the node configures, and the set-up of the PWM timer, PDB,
    converters, CAN controller, SPI masters and pins as start-up leaves it;
  - that one tick interrupt, raised once the main loop runs, goes through its vector into the
    node's tick handler and returns, and that seven PWM-period interrupts run the control code
    through the FTM0 vector, each acknowledging its overflow.

Peripherals are modelled only as far as the start-up needs: status bits that the code waits for
(clock generator, CAN controller), the SPI masters (each pushed frame completes at once and raises
the master's interrupt when enabled; an erased serial EEPROM answers the read commands), and an
interrupt controller that delivers enabled, pending interrupts by priority at basic-block
boundaries. Exception entry and return are done by the harness: it saves the registers, runs the
handler with a return address in a trampoline page and restores them there.

Exit status 0 when every check passes; the failures are listed otherwise.
"""

import argparse
import struct
import subprocess
import sys

from unicorn import (UC_ARCH_ARM, UC_HOOK_BLOCK, UC_HOOK_CODE, UC_HOOK_MEM_UNMAPPED, UC_MODE_THUMB,
                     UC_PROT_ALL, UC_PROT_READ, UC_PROT_EXEC, Uc, UcError)
from unicorn import arm_const as A

FLASH = (0x00000000, 0x100000)
SRAM = (0x1FFF0000, 0x40000)
SRAM_U = 0x20000000
TRAMPOLINE = 0x30000000
RAM_FILL = 0xA5

# Used interrupts: IRQ -> (handler symbol, level).
USED_IRQS = {
    26: ("SPI0_IRQHandler", 7),
    27: ("SPI1_IRQHandler", 2),
    39: ("ADC0_IRQHandler", 3),
    42: ("FTM0_IRQHandler", 5),
    43: ("FTM1_IRQHandler", 10),
    73: ("ADC1_IRQHandler", 3),
    75: ("CAN0_ORed_Message_buffer_IRQHandler", 7),
    76: ("CAN0_Bus_Off_IRQHandler", 7),
    77: ("CAN0_Error_IRQHandler", 7),
    78: ("CAN0_Tx_Warning_IRQHandler", 7),
    79: ("CAN0_Rx_Warning_IRQHandler", 7),
    80: ("CAN0_Wake_Up_IRQHandler", 7),
}
ENABLED_IRQS = {26, 27, 39, 42, 43, 73, 75, 76, 77}
FCF = bytes([0xFF] * 12 + [0xFE, 0xFF, 0xFF, 0xFF])

# Register addresses the model knows.
WDOG_STCTRLH, WDOG_UNLOCK = 0x40052000, 0x4005200E
MCG_C1, MCG_C2, MCG_C5, MCG_C6, MCG_S = 0x40064000, 0x40064001, 0x40064004, 0x40064005, 0x40064006
SIM_CLKDIV1 = 0x40048044
CAN_MCR = 0x40024000
SPI_BASES = {0x4002C000: 26, 0x4002D000: 27}
NVIC_ISER, NVIC_ICER, NVIC_ICPR, NVIC_IPR = 0xE000E100, 0xE000E180, 0xE000E280, 0xE000E400
CPACR = 0xE000ED88
FTM1_SC = 0x40039000


def read_elf(path):
    """Loadable segments (load address, bytes) and the symbol table {name: value}."""
    data = open(path, "rb").read()
    if data[:4] != b"\x7fELF" or data[4] != 1 or data[5] != 1:
        raise SystemExit(f"{path}: not a 32-bit little-endian ELF")
    (e_phoff, e_shoff) = struct.unpack_from("<II", data, 28)
    (e_phentsize, e_phnum, e_shentsize, e_shnum) = struct.unpack_from("<HHHH", data, 42)
    segments = []
    for i in range(e_phnum):
        p_type, p_offset, _vaddr, p_paddr, p_filesz = struct.unpack_from(
            "<IIIII", data, e_phoff + i * e_phentsize)
        if p_type == 1 and p_filesz > 0:
            segments.append((p_paddr, data[p_offset:p_offset + p_filesz]))
    sections = [struct.unpack_from("<IIIIIIIIII", data, e_shoff + i * e_shentsize)
                for i in range(e_shnum)]
    symbols = {}
    for sh in sections:
        if sh[1] != 2:  # SHT_SYMTAB
            continue
        strtab = sections[sh[6]]
        for off in range(sh[4], sh[4] + sh[5], 16):
            st_name, st_value = struct.unpack_from("<II", data, off)
            end = data.index(b"\0", strtab[4] + st_name)
            name = data[strtab[4] + st_name:end].decode()
            if name:
                symbols.setdefault(name, st_value)
    return segments, symbols


def demangled_lookup(symbols, wanted):
    """Address of the function whose demangled name is `wanted`."""
    names = [n for n in symbols if n.startswith("_Z")]
    out = subprocess.run(["arm-none-eabi-c++filt"], input="\n".join(names), capture_output=True,
                         text=True, check=True).stdout.split("\n")
    for mangled, plain in zip(names, out):
        if plain == wanted:
            return symbols[mangled] & ~1
    raise SystemExit(f"symbol not found: {wanted}")


class Board:
    """The peripherals the start-up touches, and the interrupt controller."""

    def __init__(self):
        self.regs = {}
        self.writes = []          # (pc, address, size, value) in order
        self.pending = set()
        self.enabled = set()
        self.levels = {}
        self.eeprom_cycle = []    # bytes of the chip-select cycle in progress
        self.spi_popr = {}
        self.spi_sr = {}
        self.unlock_step = 0
        self.watchdog_off_at = None
        self.instructions = 0
        self.log = []

    # Register reads.
    def read(self, address, size):
        if address == MCG_S:
            c1, c2, c6 = (self.regs.get(a, d) for a, d in ((MCG_C1, 0x04), (MCG_C2, 0x80), (MCG_C6, 0)))
            s = 0
            if c2 & 0x04:
                s |= 0x02                    # oscillator ready
            if c1 & 0x04:
                s |= 0x10                    # internal reference selected
            clks = c1 >> 6
            if clks == 2:
                s |= 2 << 2
            elif clks == 1:
                s |= 1 << 2
            elif c6 & 0x40:
                s |= 3 << 2
            if c6 & 0x40:
                s |= 0x20 | 0x40             # PLL selected and locked
            return s
        if address == CAN_MCR:
            mcr = self.regs.get(CAN_MCR, 0xD890000F) & ~(1 << 25)  # soft reset ends at once
            mdis, frz, halt = mcr >> 31 & 1, mcr >> 30 & 1, mcr >> 28 & 1
            mcr &= ~((1 << 24) | (1 << 20))
            if mdis:
                mcr |= 1 << 20               # low-power acknowledge
            elif frz and halt:
                mcr |= 1 << 24               # freeze acknowledge
            return mcr
        for base, irq in SPI_BASES.items():
            if address == base + 0x2C:
                return self.spi_sr.get(base, 0)
            if address == base + 0x38:
                return self.spi_popr.get(base, 0)
        return self.regs.get(address, 0)

    def write(self, pc, address, size, value):
        self.writes.append((pc, address, size, value))
        if address == WDOG_UNLOCK and size == 2:
            if value == 0xC520:
                self.unlock_step = 1
            elif value == 0xD928 and self.unlock_step == 1:
                self.unlock_step = 2
            else:
                self.log.append(f"watchdog: bad unlock word {value:#x} (a reset on the chip)")
                self.unlock_step = 0
            return
        if address == WDOG_STCTRLH and size == 2:
            if self.unlock_step != 2:
                self.log.append("watchdog: control written without an unlock")
            elif not value & 1:
                self.watchdog_off_at = self.instructions
            self.unlock_step = 0
        if NVIC_ISER <= address < NVIC_ISER + 12:
            self._bits(address - NVIC_ISER, value, self.enabled.add)
            return
        if NVIC_ICER <= address < NVIC_ICER + 12:
            self._bits(address - NVIC_ICER, value, self.enabled.discard)
            return
        if NVIC_ICPR <= address < NVIC_ICPR + 12:
            self._bits(address - NVIC_ICPR, value, self.pending.discard)
            return
        if NVIC_IPR <= address < NVIC_IPR + 96:
            for k in range(size):
                self.levels[address - NVIC_IPR + k] = (value >> (8 * k) & 0xFF) >> 4
            return
        for base, irq in SPI_BASES.items():
            if address == base + 0x2C:   # status flags clear when 1 is written
                self.spi_sr[base] = self.spi_sr.get(base, 0) & ~value
                return
            if address == base + 0x34:   # a pushed frame completes at once
                self.spi_popr[base] = self._spi_answer(base, value)
                self.spi_sr[base] = self.spi_sr.get(base, 0) | (1 << 17) | (1 << 31)
                if self.regs.get(base + 0x30, 0) & (1 << 17):
                    self.pending.add(irq)
                return
        self.regs[address] = value

    @staticmethod
    def _bits(offset, value, action):
        for bit in range(32):
            if value >> bit & 1:
                action(offset * 8 + bit)

    def _spi_answer(self, base, pushr):
        if base != 0x4002C000:
            return 0                         # rotor sensor: angle 0
        byte = pushr & 0xFF
        answer = 0xFF
        if self.eeprom_cycle:
            command = self.eeprom_cycle[0]
            if command == 0x05:
                answer = 0x00                # status: no write in progress
            elif command == 0x03 and len(self.eeprom_cycle) >= 3:
                answer = 0xFF                # erased array
        self.eeprom_cycle.append(byte)
        if not pushr & (1 << 31):            # last frame: chip select released
            self.eeprom_cycle = []
        return answer


class Emulator:
    def __init__(self, segments, symbols):
        self.symbols = symbols
        self.board = Board()
        uc = Uc(UC_ARCH_ARM, UC_MODE_THUMB)
        uc.ctl_set_cpu_model(A.UC_CPU_ARM_CORTEX_M4)
        uc.mem_map(FLASH[0], FLASH[1], UC_PROT_READ | UC_PROT_EXEC)
        uc.mem_map(SRAM[0], SRAM[1], UC_PROT_ALL)
        uc.mem_write(SRAM[0], bytes([RAM_FILL]) * SRAM[1])
        uc.mem_map(TRAMPOLINE, 0x1000, UC_PROT_ALL)
        uc.mem_write(TRAMPOLINE, b"\x00\xbf" * 0x800)  # nop
        for base, size in ((0x40000000, 0x100000), (0xE0000000, 0x100000)):
            uc.mmio_map(base, size, self._mmio_read, base, self._mmio_write, base)
        self.flash = bytearray(FLASH[1])
        for address, blob in segments:
            self.flash[address:address + len(blob)] = blob
            uc.mem_write(address, blob)
        self.uc = uc
        self.stack = []          # saved contexts of the handlers running
        self.stop_reason = None
        self.watch = {}          # address -> callback at the first execution
        uc.hook_add(UC_HOOK_BLOCK, self._on_block)
        uc.hook_add(UC_HOOK_CODE, self._on_trampoline, begin=TRAMPOLINE, end=TRAMPOLINE + 1)
        uc.hook_add(UC_HOOK_MEM_UNMAPPED, self._on_unmapped)

    def _mmio_read(self, uc, offset, size, base):
        return self.board.read(base + offset, size)

    def _mmio_write(self, uc, offset, size, value, base):
        self.board.write(self.uc.reg_read(A.UC_ARM_REG_PC), base + offset, size, value)

    def _on_unmapped(self, uc, access, address, size, value, _):
        self.stop_reason = f"access outside every region at {address:#010x} (pc {uc.reg_read(A.UC_ARM_REG_PC):#x})"
        return False

    def _on_block(self, uc, address, size, _):
        self.board.instructions += 1
        if self._deliverable() is not None:
            self.stop_reason = ("interrupt", address)
            uc.emu_stop()
        elif address in self.watch:
            self.stop_reason = ("watch", address)
            uc.emu_stop()

    def _on_trampoline(self, uc, address, size, _):
        self.stop_reason = ("return", address)
        uc.emu_stop()

    def _current_level(self):
        return self.stack[-1][0] if self.stack else 256

    def _deliverable(self):
        if self.uc.reg_read(A.UC_ARM_REG_FAULTMASK) or self.uc.reg_read(A.UC_ARM_REG_PRIMASK):
            return None
        basepri = self.uc.reg_read(A.UC_ARM_REG_BASEPRI) >> 4
        best = None
        for irq in self.board.pending & self.board.enabled:
            level = self.board.levels.get(irq, 0)
            if level >= self._current_level() or (basepri and level >= basepri):
                continue
            if best is None or (level, irq) < best:
                best = (level, irq)
        return best

    def _enter(self, level, irq, pc):
        uc = self.uc
        self.board.pending.discard(irq)
        regs = [A.UC_ARM_REG_R0 + i for i in range(13)] + [A.UC_ARM_REG_SP, A.UC_ARM_REG_LR,
                                                            A.UC_ARM_REG_XPSR]
        fp = [A.UC_ARM_REG_S0 + i for i in range(32)] + [A.UC_ARM_REG_FPSCR]
        saved = {r: uc.reg_read(r) for r in regs + fp}
        self.stack.append((level, irq, pc, saved))
        handler = struct.unpack_from("<I", self.flash, 4 * (16 + irq))[0]
        sp = (saved[A.UC_ARM_REG_SP] - 32) & ~7
        uc.reg_write(A.UC_ARM_REG_SP, sp)
        uc.reg_write(A.UC_ARM_REG_LR, TRAMPOLINE | 1)
        return handler

    def _return(self):
        level, irq, pc, saved = self.stack.pop()
        for r, v in saved.items():
            self.uc.reg_write(r, v)
        self.uc.reg_write(A.UC_ARM_REG_FAULTMASK, 0)  # cleared by every exception return
        return pc, irq

    def run(self, start, budget_blocks):
        """Runs from `start` until a watched address is reached; returns (address, handled IRQs)."""
        pc = start
        handled = []
        while True:
            if self.board.instructions > budget_blocks:
                raise SystemExit(f"no main loop after {budget_blocks} basic blocks (pc {pc:#x})")
            self.stop_reason = None
            try:
                self.uc.emu_start(pc | 1, 0xFFFFFFFF)
            except UcError as e:
                where = self.uc.reg_read(A.UC_ARM_REG_PC)
                raise SystemExit(f"emulation stopped at pc {where:#x}: {e} {self.stop_reason or ''}")
            reason = self.stop_reason
            if reason is None:
                raise SystemExit(f"emulation ended at pc {self.uc.reg_read(A.UC_ARM_REG_PC):#x}")
            kind, address = reason
            if kind == "watch":
                callback = self.watch.pop(address)
                if callback():
                    return address, handled
                pc = address
            elif kind == "interrupt":
                level, irq = self._deliverable()
                pc = self._enter(level, irq, address) & ~1
                handled.append(irq)
            elif kind == "return":
                pc, _ = self._return()
            else:
                raise SystemExit(str(reason))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("elf")
    parser.add_argument("--map", help="the image's map file (only reported)")
    parser.add_argument("--budget", type=int, default=5_000_000, help="basic blocks to the main loop")
    args = parser.parse_args()

    segments, symbols = read_elf(args.elf)
    emu = Emulator(segments, symbols)
    flash = emu.flash
    failures = []

    def check(ok, what):
        print(("ok    " if ok else "FAIL  ") + what)
        if not ok:
            failures.append(what)

    def word(address):
        return struct.unpack_from("<I", flash, address)[0]

    # Vector table and flash configuration field.
    check(word(0) == symbols["__stack_top"] and word(0) % 8 == 0 and SRAM_U < word(0) <= SRAM[0] + SRAM[1],
          f"initial stack pointer {word(0):#x} is the top of the stack in the upper RAM")
    check(word(4) == symbols["Reset_Handler"] | 1, "reset vector is Reset_Handler (Thumb)")
    check(word(8) == symbols["NMI_Handler"] | 1 and symbols["NMI_Handler"] != symbols["Default_Handler"],
          "NMI vector is the node's NMI handler")
    default = symbols["Default_Handler"]
    check(struct.unpack_from("<H", flash, default & ~1)[0] & 0xFF00 == 0xBE00,
          "the default handler starts with a breakpoint")
    wrong = []
    for n in range(16 + 86):
        v = word(4 * n)
        if n in (0, 1, 2) or n in (7, 8, 9, 10, 13):
            continue
        irq = n - 16
        expected = symbols[USED_IRQS[irq][0]] | 1 if irq in USED_IRQS else default | 1
        if irq in USED_IRQS and symbols[USED_IRQS[irq][0]] == default:
            wrong.append(f"{USED_IRQS[irq][0]} not defined")
        if v != expected:
            wrong.append(f"vector {n}: {v:#x} != {expected:#x}")
    check(not wrong, "102 vectors: the node's handlers at their slots, the default handler elsewhere"
          + ("" if not wrong else f" ({'; '.join(wrong[:4])})"))
    check(bytes(flash[0x400:0x410]) == FCF, f"flash configuration field {bytes(flash[0x400:0x410]).hex()}")

    # RAM when the constructors start.
    first_ctor = word(symbols["__init_array_start"]) & ~1
    commhandle = demangled_lookup(symbols, "tavrix::CommRing::commHandle()")
    ticks = demangled_lookup(symbols, "tavrix::Timers::timerInt()")

    def ram_at_constructors():
        uc = emu.uc
        ds, de, dl = symbols["__data_start"], symbols["__data_end"], symbols["__data_load"]
        check(de > ds and uc.mem_read(ds, de - ds) == flash[dl:dl + de - ds],
              f".data ({de - ds} bytes) copied from its flash image at {dl:#x}")
        bs, be = symbols["__bss_start"], symbols["__bss_end"]
        check(be > bs and set(uc.mem_read(bs, be - bs)) == {0}, f".bss ({be - bs} bytes) zeroed")
        ls, le = symbols["__logger_start"], symbols["__logger_end"]
        check(ls == SRAM_U and le - ls == 15012 * 4 and set(uc.mem_read(ls, le - ls)) == {0},
              "logger buffer: 15 012 words at the start of the upper RAM, zeroed")
        check(be <= SRAM_U or bs >= SRAM_U, "no RAM section spans the 0x2000_0000 boundary")
        return False

    emu.watch[first_ctor] = ram_at_constructors
    emu.watch[commhandle] = lambda: True
    reset_sp, reset_pc = word(0), word(4)
    emu.uc.reg_write(A.UC_ARM_REG_SP, reset_sp)
    _, handled = emu.run(reset_pc & ~1, args.budget)
    board = emu.board
    check(True, f"main loop reached after {board.instructions} basic blocks; "
          f"interrupts served on the way: {sorted(set(handled))}")

    # Reset entry effects.
    check(board.watchdog_off_at is not None and board.watchdog_off_at < 64 and not board.log,
          f"watchdog disabled by its unlock sequence first thing {board.log or ''}")
    cpacr = [v for _, a, _, v in board.writes if a == CPACR]
    check(bool(cpacr) and cpacr[-1] & 0x00F00000 == 0x00F00000, "FPU enabled (CP10/CP11 full access)")
    order = [(a, v) for _, a, _, v in board.writes if a in (SIM_CLKDIV1, MCG_C1)]
    div_at = next((i for i, (a, v) in enumerate(order) if a == SIM_CLKDIV1 and v == 0x01330000), None)
    pll_at = next((i for i, (a, v) in enumerate(order) if a == MCG_C1 and v >> 6 == 0), None)
    check(div_at is not None and pll_at is not None and div_at < pll_at,
          "dividers core/1 bus/2 flexbus/4 flash/4 written before the PLL is selected")
    check(board.read(MCG_S, 1) >> 2 & 3 == 3 and board.regs.get(MCG_C5) == 11 and board.regs.get(MCG_C6) == 0x50,
          "clock generator ends on the PLL: 24 MHz / 12 x 40 = 80 MHz")

    # Interrupt levels and enables.
    bad = [f"IRQ {irq} level {board.levels.get(irq)} != {level}" for irq, (_, level) in USED_IRQS.items()
           if board.levels.get(irq) != level]
    check(not bad, "interrupt levels: SPI1 2, ADC 3, FTM0 5, CAN and SPI0 7, tick 10" + (f" ({bad})" if bad else ""))
    check(ENABLED_IRQS <= board.enabled and not (board.enabled - ENABLED_IRQS),
          f"interrupts enabled: {sorted(board.enabled)}")
    check(emu.uc.reg_read(A.UC_ARM_REG_BASEPRI) == 0 and emu.uc.reg_read(A.UC_ARM_REG_FAULTMASK) == 0,
          "priority floor open and interrupts unmasked in the main loop")

    # Peripheral set-up after start-up: (address, mask, expected, meaning).
    setup = [
        (0x40038008, 0xFFFF, 499, "FTM0 modulo MODULO/2 - 1"),
        (0x4003804C, 0xFFFF, 0xFE0C, "FTM0 start value -MODULO/2"),
        (0x40038064, 0xFFFFFFFF, 0x00333333, "FTM0 three combined complementary pairs, dead time, sync"),
        (0x40038068, 0xFF, 17, "FTM0 dead time 17 bus clocks"),
        (0x40038070, 0xFF, 0x3F, "FTM0 six outputs active low"),
        (0x4003806C, 0x40, 0x40, "FTM0 initialisation trigger on"),
        (0x40038060, 0xFF, 0, "FTM0 outputs unmasked"),
        (0x40038000, 0xFF, 0x48, "FTM0 bus clock, overflow interrupt"),
        (0x40039008, 0xFFFF, 39999, "FTM1 tick modulo 39999 (1 ms)"),
        (0x40039000, 0xFF, 0x48, "FTM1 bus clock, overflow interrupt"),
        (0x40036000, 0xF00, 0x800, "PDB0 triggered by FTM0"),
        (0x40036010, 0xFFFFFF, 0x303, "PDB0 channel 0 pre-triggers 0 and 1"),
        (0x40036038, 0xFFFFFF, 0x303, "PDB0 channel 1 pre-triggers 0 and 1"),
        (0x4003B008, 0xFF, 0x05, "ADC0 12-bit, bus/2"),
        (0x4003B020, 0x40, 0x40, "ADC0 hardware trigger"),
        (0x4003B000, 0x7F, 0x47, "ADC0 conversion A on channel 7 with interrupt"),
        (0x4003B00C, 0x10, 0x10, "ADC0 input set b"),
        (0x400BB000, 0x7F, 0x40 | 23, "ADC1 conversion A on channel 23 with interrupt"),
        (0x400BB004, 0x7F, 0x46, "ADC1 conversion B on channel 6 with interrupt"),
        (0x40024004, 0xFFFFFFFF, 0x0359E002, "CAN 1 Mbit/s timing, bus-off and error interrupts"),
        (0x40024010, 0xFFFFFFFF, 0x107C0000, "CAN acceptance mask 0x41F"),
        (0x40024034, 1 << 17, 1 << 17, "CAN remote frames stored in receive buffers"),
        (0x40024028, 0xFFFFFFFF, 0x1F, "CAN buffer interrupts 0..4"),
        (0x40024094, 0xFFFFFFFF, 31 << 18, "CAN buffer 1: node number from the (erased) EEPROM"),
        (0x400240A4, 0xFFFFFFFF, 0x400 << 18, "CAN buffer 2: 0x400"),
        (0x400240B4, 0xFFFFFFFF, 0x401 << 18, "CAN buffer 3: 0x401"),
        (0x400240C4, 0xFFFFFFFF, 0, "CAN buffer 4: 0x000"),
        (0x4002C00C, 0xFFFFFFFF, 0x38001211, "SPI0 EEPROM timing"),
        (0x4002D00C, 0xFFFFFFFF, 0x7A000000, "SPI1 rotor-sensor timing"),
        (0x4004A048, 0x700, 0x200, "PTB18 CAN transmit"),
        (0x4004A04C, 0x700, 0x200, "PTB19 CAN receive"),
        (0x4004C000, 0x700, 0x200, "PTD0 SPI0 chip select"),
        (0x4004A028, 0x700, 0x200, "PTB10 SPI1 chip select"),
        (0x40049010, 0x700, 0x700, "PTA4 NMI input"),
        (0x4004B004, 0x700, 0x100, "PTC1 gate pin as GPIO while idle"),
        (0x4004A000, 0x700, 0x100, "PTB0 GPIO"),
    ]
    bad = [f"{what}: {board.read(a, 4) & m:#x} != {v:#x}" for a, m, v, what in setup
           if board.read(a, 4) & m != v]
    check(not bad, f"peripheral set-up ({len(setup)} registers: PWM timer, PDB, ADCs, CAN, SPI, pins)"
          + ("" if not bad else "\n      " + "\n      ".join(bad)))

    # One tick through its vector.
    entered = []
    emu.watch[ticks] = lambda: entered.append(True) or False
    emu.watch[commhandle] = lambda: True
    board.pending.add(43)
    pc = emu.uc.reg_read(A.UC_ARM_REG_PC)
    _, handled = emu.run(pc, board.instructions + 100_000)
    check(43 in handled and entered, "a tick interrupt runs the node's timer tick and returns to the main loop")

    # Seven PWM periods through the FTM0 vector: the control interrupt runs its phases (phase 0
    # first, which restarts the PWM timer) and acknowledges each overflow.
    served = 0
    for _ in range(7):
        before = len(board.writes)
        emu.watch[commhandle] = lambda: True
        board.pending.add(42)
        pc = emu.uc.reg_read(A.UC_ARM_REG_PC)
        _, handled = emu.run(pc, board.instructions + 200_000)
        acked = any(a == 0x40038000 for _, a, _, _ in board.writes[before:])
        served += 42 in handled and acked
    check(served == 7, f"PWM-period interrupts through the FTM0 vector: {served} of 7 served and acknowledged")

    if args.map:
        print(f"map file: {args.map}")
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("boot check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
