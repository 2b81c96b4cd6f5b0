// Register map of the MK64FN1M0 parts the drive uses: addresses, offsets and field bits.
//
// Written from the team's register facts sheet. Facts marked there as unverified are repeated here
// with "UNVERIFIED" and what would settle them; nothing in this file was checked on silicon.
#pragma once

#include <cstdint>

namespace tavrix::k64 {

// Memory-mapped register access. Addresses are plain integers so the map stays a table of
// constants; the cast to a volatile pointer happens only here.
template <class T>
inline volatile T& reg(uintptr_t address) {
  return *reinterpret_cast<volatile T*>(address);
}
inline volatile uint32_t& r32(uintptr_t address) {
  return reg<uint32_t>(address);
}
inline volatile uint16_t& r16(uintptr_t address) {
  return reg<uint16_t>(address);
}
inline volatile uint8_t& r8(uintptr_t address) {
  return reg<uint8_t>(address);
}

// Interrupt numbers (vector number = IRQ + 16).
namespace irq {
inline constexpr uint32_t kSpi0 = 26;
inline constexpr uint32_t kSpi1 = 27;
inline constexpr uint32_t kAdc0 = 39;
inline constexpr uint32_t kFtm0 = 42;
inline constexpr uint32_t kFtm1 = 43;
inline constexpr uint32_t kPdb0 = 52;
inline constexpr uint32_t kSpi2 = 65;
inline constexpr uint32_t kAdc1 = 73;
inline constexpr uint32_t kCan0Message = 75;
inline constexpr uint32_t kCan0BusOff = 76;
inline constexpr uint32_t kCan0Error = 77;
inline constexpr uint32_t kCan0TxWarning = 78;
inline constexpr uint32_t kCan0RxWarning = 79;
inline constexpr uint32_t kCan0WakeUp = 80;
inline constexpr uint32_t kDeviceVectors = 86;
}  // namespace irq

// Watchdog: 16-bit registers, accessed as halfwords.
namespace wdog {
inline constexpr uintptr_t kBase = 0x40052000;
inline constexpr uintptr_t STCTRLH = kBase + 0x00;
inline constexpr uintptr_t UNLOCK = kBase + 0x0E;
inline constexpr uint16_t kUnlock1 = 0xC520;
inline constexpr uint16_t kUnlock2 = 0xD928;
inline constexpr uint16_t STCTRLH_WDOGEN = 1u << 0;
inline constexpr uint16_t STCTRLH_ALLOWUPDATE = 1u << 4;
}  // namespace wdog

// System integration: clock gates and dividers.
namespace sim {
inline constexpr uintptr_t SOPT7 = 0x40048018;
inline constexpr uintptr_t SCGC3 = 0x40048030;
inline constexpr uintptr_t SCGC5 = 0x40048038;
inline constexpr uintptr_t SCGC6 = 0x4004803C;
inline constexpr uintptr_t CLKDIV1 = 0x40048044;
inline constexpr uint32_t SCGC3_ADC1 = 1u << 27;
inline constexpr uint32_t SCGC5_PORTA = 1u << 9;
inline constexpr uint32_t SCGC5_PORTB = 1u << 10;
inline constexpr uint32_t SCGC5_PORTC = 1u << 11;
inline constexpr uint32_t SCGC5_PORTD = 1u << 12;
inline constexpr uint32_t SCGC5_PORTE = 1u << 13;
inline constexpr uint32_t SCGC6_FLEXCAN0 = 1u << 4;
inline constexpr uint32_t SCGC6_SPI0 = 1u << 12;
inline constexpr uint32_t SCGC6_SPI1 = 1u << 13;
inline constexpr uint32_t SCGC6_PDB = 1u << 22;
inline constexpr uint32_t SCGC6_FTM0 = 1u << 24;
inline constexpr uint32_t SCGC6_FTM1 = 1u << 25;
inline constexpr uint32_t SCGC6_ADC0 = 1u << 27;
// Core /1, bus /2, external bus /4, flash /4: 80, 40, 20 and 20 MHz from the 80 MHz PLL.
inline constexpr uint32_t kClkDiv1 = 0x01330000;
}  // namespace sim

// Multipurpose clock generator: 8-bit registers.
namespace mcg {
inline constexpr uintptr_t kBase = 0x40064000;
inline constexpr uintptr_t C1 = kBase + 0x0;
inline constexpr uintptr_t C2 = kBase + 0x1;
inline constexpr uintptr_t C5 = kBase + 0x4;
inline constexpr uintptr_t C6 = kBase + 0x5;
inline constexpr uintptr_t S = kBase + 0x6;
inline constexpr uintptr_t C7 = kBase + 0xC;
inline constexpr uint8_t C1_CLKS_EXTERNAL = 2u << 6;
inline constexpr uint8_t C1_CLKS_MASK = 3u << 6;
inline constexpr uint8_t C1_FRDIV_1024 = 5u << 3;  // with a high-range reference
inline constexpr uint8_t C2_RANGE_VERY_HIGH = 2u << 4;
inline constexpr uint8_t C2_EREFS = 1u << 2;
inline constexpr uint8_t C5_PRDIV_12 = 11;  // 24 MHz / 12 = 2 MHz PLL reference
inline constexpr uint8_t C6_PLLS = 1u << 6;
inline constexpr uint8_t C6_VDIV_40 = 40 - 24;  // 2 MHz x 40 = 80 MHz
inline constexpr uint8_t S_OSCINIT0 = 1u << 1;
inline constexpr uint8_t S_CLKST_MASK = 3u << 2;
inline constexpr uint8_t S_CLKST_EXTERNAL = 2u << 2;
inline constexpr uint8_t S_CLKST_PLL = 3u << 2;
inline constexpr uint8_t S_IREFST = 1u << 4;
inline constexpr uint8_t S_PLLST = 1u << 5;
inline constexpr uint8_t S_LOCK0 = 1u << 6;
}  // namespace mcg

// Crystal oscillator: CR, 8 bits. The four load-capacitor selects are b3:0 (b3 = 2 pF ... b0 =
// 16 pF); ERCLKEN b7.
namespace osc {
inline constexpr uintptr_t CR = 0x40065000;
inline constexpr uint8_t CR_CAP_MASK = 0x0F;
inline constexpr uint8_t CR_ERCLKEN = 1u << 7;
}  // namespace osc

// Ports: pin control registers; GPIO: data registers.
namespace port {
inline constexpr uintptr_t base(uint8_t port) {
  return 0x40049000u + 0x1000u * port;
}
inline constexpr uintptr_t PCR(uint8_t port, uint8_t pin) {
  return base(port) + 4u * pin;
}
inline constexpr uint32_t PCR_MUX_SHIFT = 8;
inline constexpr uint32_t PCR_MUX_MASK = 7u << PCR_MUX_SHIFT;
inline constexpr uint32_t PCR_ISF = 1u << 24;
inline constexpr uint8_t kMuxNmi = 7;
inline constexpr uint8_t kMuxCan = 2;
inline constexpr uint8_t kMuxSpi = 2;
}  // namespace port
namespace gpio {
inline constexpr uintptr_t base(uint8_t port) {
  return 0x400FF000u + 0x40u * port;
}
inline constexpr uintptr_t PDOR(uint8_t port) {
  return base(port) + 0x00;
}
inline constexpr uintptr_t PSOR(uint8_t port) {
  return base(port) + 0x04;
}
inline constexpr uintptr_t PCOR(uint8_t port) {
  return base(port) + 0x08;
}
inline constexpr uintptr_t PDIR(uint8_t port) {
  return base(port) + 0x10;
}
inline constexpr uintptr_t PDDR(uint8_t port) {
  return base(port) + 0x14;
}
}  // namespace gpio

// FlexCAN0.
namespace can {
inline constexpr uintptr_t kBase = 0x40024000;
inline constexpr uintptr_t MCR = kBase + 0x00;
inline constexpr uintptr_t CTRL1 = kBase + 0x04;
inline constexpr uintptr_t TIMER = kBase + 0x08;
inline constexpr uintptr_t RXMGMASK = kBase + 0x10;
inline constexpr uintptr_t RX14MASK = kBase + 0x14;
inline constexpr uintptr_t RX15MASK = kBase + 0x18;
inline constexpr uintptr_t ESR1 = kBase + 0x20;
inline constexpr uintptr_t IMASK1 = kBase + 0x28;
inline constexpr uintptr_t IFLAG1 = kBase + 0x30;
inline constexpr uintptr_t CTRL2 = kBase + 0x34;
inline constexpr uintptr_t MB_CS(uint8_t n) {
  return kBase + 0x80u + 16u * n;
}
inline constexpr uintptr_t MB_ID(uint8_t n) {
  return kBase + 0x84u + 16u * n;
}
inline constexpr uintptr_t MB_WORD0(uint8_t n) {
  return kBase + 0x88u + 16u * n;
}
inline constexpr uintptr_t MB_WORD1(uint8_t n) {
  return kBase + 0x8Cu + 16u * n;
}
inline constexpr uint8_t kMessageBuffers = 16;

inline constexpr uint32_t MCR_MAXMB_MASK = 0x7F;
inline constexpr uint32_t MCR_IRMQ = 1u << 16;
inline constexpr uint32_t MCR_SRXDIS = 1u << 17;
inline constexpr uint32_t MCR_LPMACK = 1u << 20;
inline constexpr uint32_t MCR_WRNEN = 1u << 21;
inline constexpr uint32_t MCR_FRZACK = 1u << 24;
inline constexpr uint32_t MCR_SOFTRST = 1u << 25;
inline constexpr uint32_t MCR_HALT = 1u << 28;
inline constexpr uint32_t MCR_FRZ = 1u << 30;
inline constexpr uint32_t MCR_MDIS = 1u << 31;

inline constexpr uint32_t CTRL1_CLKSRC = 1u << 13;
inline constexpr uint32_t CTRL1_ERRMSK = 1u << 14;
inline constexpr uint32_t CTRL1_BOFFMSK = 1u << 15;
// 1 Mbit/s from the 40 MHz bus clock: PRESDIV 3 (tq 100 ns), PROPSEG 3 tq, PSEG1 4 tq, PSEG2 2 tq,
// RJW 2 tq, one sample, automatic bus-off recovery, bus-off and error interrupts on.
inline constexpr uint32_t kCtrl1 = 0x0359E002;
inline constexpr uint32_t CTRL2_RRS = 1u << 17;

inline constexpr uint32_t ESR1_ERRINT = 1u << 1;
inline constexpr uint32_t ESR1_BOFFINT = 1u << 2;
inline constexpr uint32_t ESR1_RWRNINT = 1u << 16;
inline constexpr uint32_t ESR1_TWRNINT = 1u << 17;
inline constexpr uint32_t ESR1_WAKINT = 1u << 0;

// Message-buffer control/status word.
inline constexpr uint32_t CS_DLC_SHIFT = 16;
inline constexpr uint32_t CS_DLC_MASK = 0xFu << CS_DLC_SHIFT;
inline constexpr uint32_t CS_RTR = 1u << 20;
inline constexpr uint32_t CS_IDE = 1u << 21;
inline constexpr uint32_t CS_SRR = 1u << 22;
inline constexpr uint32_t CS_CODE_SHIFT = 24;
inline constexpr uint32_t CS_CODE_MASK = 0xFu << CS_CODE_SHIFT;
inline constexpr uint32_t CS_TIME_MASK = 0xFFFF;
inline constexpr uint32_t code(uint32_t c) {
  return c << CS_CODE_SHIFT;
}
// Receive codes.
inline constexpr uint32_t kRxInactive = 0x0;
inline constexpr uint32_t kRxEmpty = 0x4;
inline constexpr uint32_t kRxFull = 0x2;
inline constexpr uint32_t kRxOverrun = 0x6;
inline constexpr uint32_t kRxBusyBit = 0x1;
// Transmit codes.
inline constexpr uint32_t kTxInactive = 0x8;
inline constexpr uint32_t kTxData = 0xC;
inline constexpr uint32_t kTxRemoteAnswer = 0xA;
inline constexpr uint32_t kTxAnswering = 0xE;
inline constexpr uint32_t ID_STD_SHIFT = 18;
inline constexpr uint32_t ID_EXT_MASK = 0x1FFFFFFF;
}  // namespace can

// DSPI masters.
namespace spi {
inline constexpr uintptr_t kSpi0 = 0x4002C000;
inline constexpr uintptr_t kSpi1 = 0x4002D000;
inline constexpr uintptr_t MCR(uintptr_t b) {
  return b + 0x00;
}
inline constexpr uintptr_t CTAR0(uintptr_t b) {
  return b + 0x0C;
}
inline constexpr uintptr_t SR(uintptr_t b) {
  return b + 0x2C;
}
inline constexpr uintptr_t RSER(uintptr_t b) {
  return b + 0x30;
}
inline constexpr uintptr_t PUSHR(uintptr_t b) {
  return b + 0x34;
}
inline constexpr uintptr_t POPR(uintptr_t b) {
  return b + 0x38;
}
inline constexpr uint32_t MCR_HALT = 1u << 0;
inline constexpr uint32_t MCR_CLR_RXF = 1u << 10;
inline constexpr uint32_t MCR_CLR_TXF = 1u << 11;
inline constexpr uint32_t MCR_DIS_RXF = 1u << 12;
inline constexpr uint32_t MCR_DIS_TXF = 1u << 13;
inline constexpr uint32_t MCR_PCSIS0 = 1u << 16;
inline constexpr uint32_t MCR_MSTR = 1u << 31;
inline constexpr uint32_t SR_RFDF = 1u << 17;
inline constexpr uint32_t SR_RFOF = 1u << 19;
inline constexpr uint32_t SR_TFFF = 1u << 25;
inline constexpr uint32_t SR_EOQF = 1u << 28;
inline constexpr uint32_t SR_TCF = 1u << 31;
inline constexpr uint32_t RSER_RFDF_RE = 1u << 17;
inline constexpr uint32_t RSER_RFOF_RE = 1u << 19;
inline constexpr uint32_t PUSHR_PCS0 = 1u << 16;
inline constexpr uint32_t PUSHR_CONT = 1u << 31;
// EEPROM: 8-bit frames, 5 MHz, clock idle low, capture on the rising edge; 100 ns chip select to
// clock, 200 ns clock to release, 100 ns between frames.
inline constexpr uint32_t kCtarEeprom = 0x38001211;
// Rotor sensor: 16-bit frames, 10 MHz, capture on the falling edge, delays at their 50 ns minimum.
inline constexpr uint32_t kCtarSensor = 0x7A000000;
}  // namespace spi

// FlexTimers.
namespace ftm {
inline constexpr uintptr_t kFtm0 = 0x40038000;
inline constexpr uintptr_t kFtm1 = 0x40039000;
inline constexpr uintptr_t SC(uintptr_t b) {
  return b + 0x00;
}
inline constexpr uintptr_t CNT(uintptr_t b) {
  return b + 0x04;
}
inline constexpr uintptr_t MOD(uintptr_t b) {
  return b + 0x08;
}
inline constexpr uintptr_t CnSC(uintptr_t b, uint8_t n) {
  return b + 0x0Cu + 8u * n;
}
inline constexpr uintptr_t CnV(uintptr_t b, uint8_t n) {
  return b + 0x10u + 8u * n;
}
inline constexpr uintptr_t CNTIN(uintptr_t b) {
  return b + 0x4C;
}
inline constexpr uintptr_t MODE(uintptr_t b) {
  return b + 0x54;
}
inline constexpr uintptr_t SYNC(uintptr_t b) {
  return b + 0x58;
}
inline constexpr uintptr_t OUTMASK(uintptr_t b) {
  return b + 0x60;
}
inline constexpr uintptr_t COMBINE(uintptr_t b) {
  return b + 0x64;
}
inline constexpr uintptr_t DEADTIME(uintptr_t b) {
  return b + 0x68;
}
inline constexpr uintptr_t EXTTRIG(uintptr_t b) {
  return b + 0x6C;
}
inline constexpr uintptr_t POL(uintptr_t b) {
  return b + 0x70;
}
inline constexpr uintptr_t FLTCTRL(uintptr_t b) {
  return b + 0x7C;
}
inline constexpr uintptr_t PWMLOAD(uintptr_t b) {
  return b + 0x98;
}
inline constexpr uint32_t SC_CLKS_SYSTEM = 1u << 3;
inline constexpr uint32_t SC_CLKS_MASK = 3u << 3;
inline constexpr uint32_t SC_TOIE = 1u << 6;
inline constexpr uint32_t SC_TOF = 1u << 7;
inline constexpr uint32_t MODE_FTMEN = 1u << 0;
inline constexpr uint32_t MODE_INIT = 1u << 1;
inline constexpr uint32_t MODE_WPDIS = 1u << 2;
inline constexpr uint32_t MODE_FAULTM_ALL_AUTO = 3u << 5;
inline constexpr uint32_t SYNC_CNTMAX = 1u << 1;
inline constexpr uint32_t SYNC_SWSYNC = 1u << 7;
// COMBINE, COMP, DTEN and SYNCEN on pairs 0/1, 2/3 and 4/5.
inline constexpr uint32_t kCombinePairs = 0x00333333;
inline constexpr uint32_t kDeadTime17 = 17;  // DTPS /1, 17 bus clocks = 425 ns
inline constexpr uint32_t kAllSixActiveLow = 0x3F;
inline constexpr uint32_t CnSC_ELSB = 1u << 3;
inline constexpr uint32_t CnSC_MSB = 1u << 5;
inline constexpr uint32_t EXTTRIG_INITTRIGEN = 1u << 6;
inline constexpr uint32_t PWMLOAD_LDOK = 1u << 9;
inline constexpr uint32_t kTickModulo = 39999;  // 40 000 bus clocks: 1 ms
}  // namespace ftm

// Programmable delay block 0.
namespace pdb {
inline constexpr uintptr_t kBase = 0x40036000;
inline constexpr uintptr_t SC = kBase + 0x00;
inline constexpr uintptr_t MOD = kBase + 0x04;
inline constexpr uintptr_t IDLY = kBase + 0x0C;
inline constexpr uintptr_t CH0C1 = kBase + 0x10;
inline constexpr uintptr_t CH0DLY0 = kBase + 0x18;
inline constexpr uintptr_t CH0DLY1 = kBase + 0x1C;
inline constexpr uintptr_t CH1C1 = kBase + 0x38;
inline constexpr uintptr_t CH1DLY0 = kBase + 0x40;
inline constexpr uintptr_t CH1DLY1 = kBase + 0x44;
inline constexpr uint32_t SC_LDOK = 1u << 0;
inline constexpr uint32_t SC_PDBEN = 1u << 7;
inline constexpr uint32_t SC_TRGSEL_FTM0 = 8u << 8;
// Pre-triggers 0 and 1 enabled, each fired at its delay, not back to back.
inline constexpr uint32_t kChannelPreTriggers = 0x0303;
}  // namespace pdb

// Analog-to-digital converters.
namespace adc {
inline constexpr uintptr_t kAdc0 = 0x4003B000;
inline constexpr uintptr_t kAdc1 = 0x400BB000;
inline constexpr uintptr_t SC1A(uintptr_t b) {
  return b + 0x00;
}
inline constexpr uintptr_t SC1B(uintptr_t b) {
  return b + 0x04;
}
inline constexpr uintptr_t CFG1(uintptr_t b) {
  return b + 0x08;
}
inline constexpr uintptr_t CFG2(uintptr_t b) {
  return b + 0x0C;
}
inline constexpr uintptr_t RA(uintptr_t b) {
  return b + 0x10;
}
inline constexpr uintptr_t RB(uintptr_t b) {
  return b + 0x14;
}
inline constexpr uintptr_t SC2(uintptr_t b) {
  return b + 0x20;
}
inline constexpr uint32_t SC1_ADCH_MASK = 0x1F;
inline constexpr uint32_t SC1_AIEN = 1u << 6;
inline constexpr uint32_t SC1_COCO = 1u << 7;
inline constexpr uint32_t kCfg1Bus2Twelve = 0x05;  // bus / 2 = 20 MHz, 12-bit, short sample
inline constexpr uint32_t CFG2_ADHSC = 1u << 2;
inline constexpr uint32_t CFG2_MUXSEL_B = 1u << 4;
inline constexpr uint32_t SC2_ADTRG = 1u << 6;
}  // namespace adc

// Cortex-M4 system registers.
namespace scb {
inline constexpr uintptr_t NVIC_ISER = 0xE000E100;
inline constexpr uintptr_t NVIC_ICER = 0xE000E180;
inline constexpr uintptr_t NVIC_ICPR = 0xE000E280;
inline constexpr uintptr_t NVIC_IPR = 0xE000E400;  // one byte per interrupt
inline constexpr uintptr_t AIRCR = 0xE000ED0C;
inline constexpr uintptr_t CPACR = 0xE000ED88;
inline constexpr uint32_t AIRCR_VECTKEY = 0x05FA0000;
inline constexpr uint32_t AIRCR_PRIGROUP_MASK = 0x0700;
inline constexpr uint32_t AIRCR_SYSRESETREQ = 1u << 2;
inline constexpr uint32_t CPACR_CP10_CP11_FULL = 0x00F00000;
inline constexpr uint32_t kPriorityShift = 4;  // four priority bits, in the upper nibble
}  // namespace scb

}  // namespace tavrix::k64
