// Reset entry of the drive: watchdog off, floating-point unit on, clocks to 80 MHz core and 40 MHz
// bus, RAM initialised (.data copied, .bss and the logger buffer zeroed), static constructors,
// then main. Also the flash configuration field the chip reads at reset.
#include <cstdint>

#include "target/k64/regs.hpp"

extern "C" {
// Symbols of the linker script.
extern uint32_t __data_load[];
extern uint32_t __data_start[];
extern uint32_t __data_end[];
extern uint32_t __bss_start[];
extern uint32_t __bss_end[];
extern uint32_t __logger_start[];
extern uint32_t __logger_end[];
using InitFunction = void (*)();
extern InitFunction __init_array_start[];
extern InitFunction __init_array_end[];

int main();
[[noreturn]] void Reset_Handler();
void __cxa_pure_virtual();
}

namespace tavrix::k64 {

// Flash configuration field at 0x400: no backdoor key, no flash protection, unsecured with mass
// erase allowed (FSEC 0xFE), normal boot with the NMI pin enabled (FOPT 0xFF: PTA4 is the NMI
// input), no FlexRAM or data-flash protection.
[[gnu::section(".flash_config"), gnu::used]] extern const uint8_t kFlashConfig[16] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // backdoor comparison key
    0xFF, 0xFF, 0xFF, 0xFF,                          // FPROT3..0
    0xFE,                                            // FSEC
    0xFF,                                            // FOPT
    0xFF,                                            // FEPROT
    0xFF};                                           // FDPROT

namespace {

// Within 256 bus clocks of reset: unlock (two words at most 20 bus clocks apart, interrupts
// masked), then clear the enable in the same unlock window. Update stays allowed.
inline void disableWatchdog() {
  asm volatile("cpsid i" ::: "memory");
  r16(wdog::UNLOCK) = wdog::kUnlock1;
  r16(wdog::UNLOCK) = wdog::kUnlock2;
  asm volatile("nop\n\tnop" ::: "memory");  // no update in the bus cycle after the unlock
  r16(wdog::STCTRLH) = static_cast<uint16_t>((r16(wdog::STCTRLH) & ~wdog::STCTRLH_WDOGEN) |
                                             wdog::STCTRLH_ALLOWUPDATE);
  asm volatile("cpsie i" ::: "memory");
}

inline void enableFpu() {
  r32(scb::CPACR) = r32(scb::CPACR) | scb::CPACR_CP10_CP11_FULL;
  asm volatile("dsb\n\tisb" ::: "memory");
}

// FEI -> FBE -> PBE -> PEE: the PLL from the 24 MHz reference / 12 x 40 = 80 MHz.
// UNVERIFIED: that the reference is a crystal (the oscillator-ready flag is waited for; with a
// clock module on EXTAL it would never set, and EREFS must then be 0), and the FLL divider
// (/1024) used only while in FBE.
inline void startClocks() {
  r8(osc::CR) = 0;  // no load capacitors until the property protocol selects some
  r8(mcg::C2) = mcg::C2_RANGE_VERY_HIGH | mcg::C2_EREFS;
  r8(mcg::C7) = 0;  // OSC0
  r8(mcg::C1) = mcg::C1_CLKS_EXTERNAL | mcg::C1_FRDIV_1024;
  while ((r8(mcg::S) & mcg::S_OSCINIT0) == 0) {
  }
  while ((r8(mcg::S) & mcg::S_IREFST) != 0) {
  }
  while ((r8(mcg::S) & mcg::S_CLKST_MASK) != mcg::S_CLKST_EXTERNAL) {
  }
  r8(mcg::C5) = mcg::C5_PRDIV_12;
  r8(mcg::C6) = mcg::C6_PLLS | mcg::C6_VDIV_40;
  while ((r8(mcg::S) & mcg::S_PLLST) == 0) {
  }
  while ((r8(mcg::S) & mcg::S_LOCK0) == 0) {
  }
  // Dividers before the switch to the PLL.
  r32(sim::CLKDIV1) = sim::kClkDiv1;
  r8(mcg::C1) = static_cast<uint8_t>(r8(mcg::C1) & ~mcg::C1_CLKS_MASK);
  while ((r8(mcg::S) & mcg::S_CLKST_MASK) != mcg::S_CLKST_PLL) {
  }
}

inline void fill(uint32_t* begin, uint32_t* end) {
  for (volatile uint32_t* p = begin; p < end; ++p) *p = 0;
}

}  // namespace
}  // namespace tavrix::k64

extern "C" [[noreturn]] void Reset_Handler() {
  using namespace tavrix::k64;
  disableWatchdog();
  enableFpu();
  startClocks();
  // Volatile stores: the compiler must not turn these loops into library calls before RAM is
  // ready.
  {
    const uint32_t* src = __data_load;
    for (volatile uint32_t* dst = __data_start; dst < __data_end; ++dst, ++src) *dst = *src;
  }
  fill(__bss_start, __bss_end);
  fill(__logger_start, __logger_end);
  for (InitFunction* f = __init_array_start; f < __init_array_end; ++f) (*f)();
  main();
  for (;;) {
  }
}

// A call of a pure virtual function cannot happen in a sound image: stop like any other fault.
extern "C" void __cxa_pure_virtual() {
  for (;;) asm volatile("bkpt #1");
}
