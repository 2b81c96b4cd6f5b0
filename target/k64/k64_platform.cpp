#include "target/k64/k64_platform.hpp"

#include <initializer_list>

#include "target/k64/regs.hpp"

namespace tavrix::k64 {

using platform::ERR_BUFFER_INDEX;
using platform::ERR_BUFFER_KIND;
using platform::ERR_BUSY;
using platform::ERR_DISABLED;
using platform::ERR_FRAME_TYPE;
using platform::ERR_LENGTH;
using platform::ERR_NOTAVAIL;
using platform::ERR_OK;
using platform::ERR_OVERRUN;
using platform::ERR_RXEMPTY;
using platform::LDD_TError;

// ------------------------------------------------------------------------------------------------
// NVIC

void nvicSetLevel(uint32_t irq, uint8_t level) {
  r8(scb::NVIC_IPR + irq) = static_cast<uint8_t>(level << scb::kPriorityShift);
}
void nvicClearPending(uint32_t irq) {
  r32(scb::NVIC_ICPR + 4 * (irq / 32)) = 1u << (irq % 32);
}
void nvicEnable(uint32_t irq) {
  r32(scb::NVIC_ISER + 4 * (irq / 32)) = 1u << (irq % 32);
}
void nvicDisable(uint32_t irq) {
  r32(scb::NVIC_ICER + 4 * (irq / 32)) = 1u << (irq % 32);
}

// ------------------------------------------------------------------------------------------------
// Core services

// Context: main loop (start-up, first).
void K64Cpu::PE_low_level_init() {
  r32(sim::SCGC5) = r32(sim::SCGC5) | sim::SCGC5_PORTA;
  // PTA4 is the non-maskable interrupt input (its reset function; written again so nothing
  // depends on that).
  volatile uint32_t& pcr = r32(port::PCR(0, 4));
  pcr = (pcr & ~(port::PCR_MUX_MASK | port::PCR_ISF)) | uint32_t{port::kMuxNmi}
                                                            << port::PCR_MUX_SHIFT;
  // No low-power mode is ever entered: nothing here executes WFI/WFE or sets SLEEPDEEP, and the
  // power-mode protection register is left at its reset value. UNVERIFIED: that its reset value
  // allows no low-power mode was not read for this part.
  // The PWM-period interrupt at level 7 until FTM0_Init raises it to 5.
  nvicSetLevel(irq::kFtm0, 7);
  nvicClearPending(irq::kFtm0);
  nvicEnable(irq::kFtm0);
  // Priority floor: 0 masks nothing, so levels 2..10 are all live.
  asm volatile("msr basepri, %0" ::"r"(0u) : "memory");
}

// Context: main loop (start-up).
void K64Cpu::Cpu_EnablePeripheralClocks() {
  r32(sim::SCGC5) = r32(sim::SCGC5) | sim::SCGC5_PORTA | sim::SCGC5_PORTB | sim::SCGC5_PORTC |
                    sim::SCGC5_PORTD | sim::SCGC5_PORTE;
  r32(sim::SCGC6) = r32(sim::SCGC6) | sim::SCGC6_ADC0 | sim::SCGC6_FTM0 | sim::SCGC6_PDB;
  r32(sim::SCGC3) = r32(sim::SCGC3) | sim::SCGC3_ADC1;
}

// Context: any.
void K64Cpu::Cpu_SystemReset() {
  asm volatile("dsb" ::: "memory");
  // The priority grouping is kept.
  r32(scb::AIRCR) =
      scb::AIRCR_VECTKEY | (r32(scb::AIRCR) & scb::AIRCR_PRIGROUP_MASK) | scb::AIRCR_SYSRESETREQ;
  asm volatile("dsb" ::: "memory");
  for (;;) {
  }
}

// Context: main loop. The four capacitor selects are first cleared, then set: two writes.
void K64Cpu::OSC_SetCapLoad(uint8_t bits) {
  volatile uint8_t& cr = r8(osc::CR);
  cr = static_cast<uint8_t>(cr & ~osc::CR_CAP_MASK);
  cr = static_cast<uint8_t>(cr | (bits & osc::CR_CAP_MASK));
}

// Context: any. The fault mask blocks every interrupt but the non-maskable one (and the processor
// clears it on return from an interrupt handler).
uint8_t K64Cpu::Cpu_ReadMaskAndBlock() {
  uint32_t mask;
  asm volatile("mrs %0, faultmask\n\tcpsid f" : "=r"(mask)::"memory");
  return static_cast<uint8_t>(mask);
}

void K64Cpu::Cpu_RestoreMask(uint8_t mask) {
  asm volatile("msr faultmask, %0" ::"r"(uint32_t{mask}) : "memory");
}

// ------------------------------------------------------------------------------------------------
// FlexCAN0: buffer 0 transmits, 1..4 receive, one global acceptance mask.

namespace {
constexpr uint8_t kLastBuffer = 4;
constexpr uint32_t kUsedBuffers = 0x1F;
constexpr uint8_t kLevelCan = platform::kLevelCan;

bool isRxBuffer(uint8_t i) {
  return (FlexCan0::kRxBufferMask >> i & 1u) != 0;
}

// Data bytes of a message buffer: byte 0 in the most significant byte of WORD0.
uint32_t packWord(const uint8_t* d, uint8_t first, uint8_t length) {
  uint32_t w = 0;
  for (uint8_t i = 0; i < 4; ++i) {
    const uint8_t k = static_cast<uint8_t>(first + i);
    if (k < length) w |= uint32_t{d[k]} << (24 - 8 * i);
  }
  return w;
}
void unpackWord(uint32_t w, uint8_t* d, uint8_t first, uint8_t length) {
  for (uint8_t i = 0; i < 4; ++i) {
    const uint8_t k = static_cast<uint8_t>(first + i);
    if (k < length) d[k] = static_cast<uint8_t>(w >> (24 - 8 * i));
  }
}
uint32_t codeOf(uint32_t cs) {
  return (cs & can::CS_CODE_MASK) >> can::CS_CODE_SHIFT;
}
// Reading the free-running timer releases a message buffer locked by reading its CS word.
void readTimer() {
  const uint32_t t = r32(can::TIMER);
  (void)t;
}
}  // namespace

void FlexCan0::enterFreeze() {
  r32(can::MCR) = r32(can::MCR) | can::MCR_FRZ | can::MCR_HALT;
  while ((r32(can::MCR) & can::MCR_FRZACK) == 0) cpu_.Cpu_Relax();
}

void FlexCan0::leaveFreeze() {
  r32(can::MCR) = r32(can::MCR) & ~(can::MCR_HALT | can::MCR_FRZ);
  while ((r32(can::MCR) & can::MCR_FRZACK) != 0) cpu_.Cpu_Relax();
}

// Context: main loop.
platform::LDD_TDeviceData* FlexCan0::CAN2_Init(platform::LDD_TUserData* UserDataPtr) {
  user_ = UserDataPtr;
  r32(sim::SCGC6) = r32(sim::SCGC6) | sim::SCGC6_FLEXCAN0;
  r32(sim::SCGC5) = r32(sim::SCGC5) | sim::SCGC5_PORTB;
  for (uint8_t pin : {uint8_t{18}, uint8_t{19}}) {
    volatile uint32_t& pcr = r32(port::PCR(1, pin));
    pcr = (pcr & ~(port::PCR_MUX_MASK | port::PCR_ISF)) | uint32_t{port::kMuxCan}
                                                              << port::PCR_MUX_SHIFT;
  }
  // The protocol clock can only be chosen while the module is disabled.
  if ((r32(can::MCR) & can::MCR_MDIS) == 0) {
    enterFreeze();
    r32(can::MCR) = r32(can::MCR) | can::MCR_MDIS;
    while ((r32(can::MCR) & can::MCR_LPMACK) == 0) cpu_.Cpu_Relax();
  }
  r32(can::CTRL1) = can::CTRL1_CLKSRC;
  r32(can::MCR) = r32(can::MCR) & ~can::MCR_MDIS;
  while ((r32(can::MCR) & can::MCR_LPMACK) != 0) cpu_.Cpu_Relax();
  // Soft reset, then the module comes back frozen. UNVERIFIED: which registers the soft reset
  // clears was not read for this part; everything used below is written afterwards.
  r32(can::MCR) = r32(can::MCR) | can::MCR_SOFTRST;
  while ((r32(can::MCR) & can::MCR_SOFTRST) != 0) cpu_.Cpu_Relax();
  enterFreeze();

  // Five buffers, own frames not received, warnings on, one global mask.
  r32(can::MCR) = (r32(can::MCR) & ~(can::MCR_MAXMB_MASK | can::MCR_IRMQ)) | kLastBuffer |
                  can::MCR_SRXDIS | can::MCR_WRNEN;
  r32(can::CTRL1) = can::kCtrl1;
  // Remote frames are stored in receive buffers. UNVERIFIED on this part: taken from the same
  // controller in a sister family; without it remote requests would never be received.
  r32(can::CTRL2) = r32(can::CTRL2) | can::CTRL2_RRS;
  r32(can::RXMGMASK) = kInitialMask;
  r32(can::RX14MASK) = kInitialMask;
  r32(can::RX15MASK) = kInitialMask;
  for (uint8_t n = 0; n < can::kMessageBuffers; ++n) {
    r32(can::MB_CS(n)) = can::code(n == 0 ? can::kTxInactive : can::kRxInactive);
    r32(can::MB_ID(n)) = 0;
    r32(can::MB_WORD0(n)) = 0;
    r32(can::MB_WORD1(n)) = 0;
  }
  for (uint8_t n = 1; n <= kLastBuffer; ++n) {
    r32(can::MB_ID(n)) = 0x7FFu << can::ID_STD_SHIFT;
    r32(can::MB_CS(n)) = can::code(can::kRxEmpty);
  }
  r32(can::IFLAG1) = 0xFFFFFFFF;
  r32(can::ESR1) = can::ESR1_ERRINT | can::ESR1_BOFFINT | can::ESR1_RWRNINT | can::ESR1_TWRNINT |
                   can::ESR1_WAKINT;
  r32(can::IMASK1) = kUsedBuffers;

  for (uint32_t irq : {irq::kCan0Message, irq::kCan0BusOff, irq::kCan0Error, irq::kCan0TxWarning,
                       irq::kCan0RxWarning, irq::kCan0WakeUp}) {
    nvicSetLevel(irq, kLevelCan);
    nvicClearPending(irq);
  }
  for (uint32_t irq : {irq::kCan0Message, irq::kCan0BusOff, irq::kCan0Error}) nvicEnable(irq);

  leaveFreeze();
  EnUser = true;
  return this;
}

// Context: main loop.
LDD_TError FlexCan0::CAN2_Disable(platform::LDD_TDeviceData*) {
  if (!EnUser) return ERR_OK;
  EnUser = false;
  enterFreeze();
  r32(can::IMASK1) = r32(can::IMASK1) & ~kUsedBuffers;
  r32(can::MCR) = r32(can::MCR) & ~can::MCR_WRNEN;
  r32(can::CTRL1) = r32(can::CTRL1) & ~(can::CTRL1_BOFFMSK | can::CTRL1_ERRMSK);
  return ERR_OK;
}

// Context: main loop.
LDD_TError FlexCan0::CAN2_Enable(platform::LDD_TDeviceData*) {
  if (EnUser) return ERR_OK;
  EnUser = true;
  // Warnings and the bus-off and error interrupts are switched while still frozen.
  r32(can::MCR) = r32(can::MCR) | can::MCR_WRNEN;
  r32(can::ESR1) = can::ESR1_ERRINT | can::ESR1_BOFFINT;
  r32(can::CTRL1) = r32(can::CTRL1) | can::CTRL1_BOFFMSK | can::CTRL1_ERRMSK;
  leaveFreeze();
  r32(can::IFLAG1) = kUsedBuffers;
  r32(can::IMASK1) = r32(can::IMASK1) | kUsedBuffers;
  return ERR_OK;
}

// Context: main loop, between CAN2_Disable and CAN2_Enable.
LDD_TError FlexCan0::CAN2_SetAcceptanceMask(platform::LDD_TDeviceData*, uint8_t BufferIdx,
                                            uint32_t AccMask) {
  if ((r32(can::MCR) & can::MCR_FRZACK) == 0) return ERR_NOTAVAIL;
  if (BufferIdx > kLastBuffer) return ERR_BUFFER_INDEX;
  r32(can::RXMGMASK) = AccMask;
  return ERR_OK;
}

// Context: main loop.
LDD_TError FlexCan0::CAN2_SetRxBufferID(platform::LDD_TDeviceData*, uint8_t BufferIdx,
                                        uint32_t MessageID) {
  if (!EnUser) return ERR_DISABLED;
  if (BufferIdx > kLastBuffer) return ERR_BUFFER_INDEX;
  if (!isRxBuffer(BufferIdx)) return ERR_BUFFER_KIND;
  const bool extended = (MessageID & platform::LDD_CAN_MESSAGE_ID_EXT) != 0;
  const uint32_t id =
      extended ? (MessageID & can::ID_EXT_MASK) : (MessageID & 0x7FFu) << can::ID_STD_SHIFT;
  platform::CriticalSection lock(cpu_);
  // Deactivate, change, re-arm empty.
  r32(can::MB_CS(BufferIdx)) = can::code(can::kRxInactive);
  r32(can::MB_ID(BufferIdx)) = id;
  r32(can::MB_CS(BufferIdx)) = can::code(can::kRxEmpty) | (extended ? can::CS_IDE : 0u);
  readTimer();  // releases a lock taken by reading CS
  return ERR_OK;
}

// Context: main loop.
LDD_TError FlexCan0::CAN2_SendFrame(platform::LDD_TDeviceData*, uint8_t BufferIdx,
                                    platform::LDD_CAN_TFrame* Frame) {
  if (!EnUser) return ERR_DISABLED;
  if (BufferIdx > kLastBuffer) return ERR_BUFFER_INDEX;
  if ((kTxBufferMask >> BufferIdx & 1u) == 0) return ERR_BUFFER_KIND;
  if (Frame->Length > kMaxDataLen) return ERR_LENGTH;
  if (Frame->FrameType > platform::LDD_CAN_RESPONSE_FRAME) return ERR_FRAME_TYPE;

  platform::CriticalSection lock(cpu_);
  const uint32_t code = codeOf(r32(can::MB_CS(BufferIdx)));
  if (code == can::kTxData || code == can::kTxAnswering || code == can::kTxRemoteAnswer) {
    return ERR_BUSY;
  }
  // After a remote frame the buffer turned into a receive buffer: inactive before it is loaded.
  r32(can::MB_CS(BufferIdx)) = can::code(can::kTxInactive);
  const bool extended = (Frame->MessageID & platform::LDD_CAN_MESSAGE_ID_EXT) != 0;
  r32(can::MB_ID(BufferIdx)) = extended ? (Frame->MessageID & can::ID_EXT_MASK)
                                        : (Frame->MessageID & 0x7FFu) << can::ID_STD_SHIFT;
  uint32_t cs = extended ? (can::CS_IDE | can::CS_SRR) : 0u;
  if (Frame->FrameType == platform::LDD_CAN_REMOTE_FRAME) {
    cs |= can::CS_RTR | can::code(can::kTxData);
  } else {
    r32(can::MB_WORD0(BufferIdx)) = packWord(Frame->Data, 0, Frame->Length);
    r32(can::MB_WORD1(BufferIdx)) = packWord(Frame->Data, 4, Frame->Length);
    cs |= uint32_t{Frame->Length} << can::CS_DLC_SHIFT;
    // A response frame waits as the answer to a remote request. Nothing in this system sends
    // one; with remote frames stored in receive buffers the controller answers none by itself.
    cs |= can::code(Frame->FrameType == platform::LDD_CAN_RESPONSE_FRAME ? can::kTxRemoteAnswer
                                                                         : can::kTxData);
  }
  r32(can::MB_CS(BufferIdx)) = cs;  // last: hands the buffer to the controller
  return ERR_OK;
}

// Context: ISR, level 7 (from the message-buffer event).
LDD_TError FlexCan0::CAN2_ReadFrame(platform::LDD_TDeviceData*, uint8_t BufferIdx,
                                    platform::LDD_CAN_TFrame* Frame) {
  if (!EnUser) return ERR_DISABLED;
  if (BufferIdx > kLastBuffer) return ERR_BUFFER_INDEX;
  if (!isRxBuffer(BufferIdx)) return ERR_BUFFER_KIND;

  platform::CriticalSection lock(cpu_);
  const uint32_t cs = r32(can::MB_CS(BufferIdx));  // locks a full buffer
  const uint32_t code = codeOf(cs);
  if ((code & can::kRxBusyBit) != 0) return ERR_BUSY;
  if (code == can::kRxEmpty || code == can::kRxInactive) {
    readTimer();
    return ERR_RXEMPTY;
  }
  const uint32_t id = r32(can::MB_ID(BufferIdx));
  const bool extended = (cs & can::CS_IDE) != 0;
  Frame->MessageID = extended ? ((id & can::ID_EXT_MASK) | platform::LDD_CAN_MESSAGE_ID_EXT)
                              : (id >> can::ID_STD_SHIFT) & 0x7FFu;
  Frame->TimeStamp = static_cast<uint16_t>(cs & can::CS_TIME_MASK);
  Frame->Length = static_cast<uint8_t>((cs & can::CS_DLC_MASK) >> can::CS_DLC_SHIFT);
  if ((cs & can::CS_RTR) != 0) {
    Frame->FrameType = platform::LDD_CAN_REMOTE_FRAME;
  } else {
    Frame->FrameType = platform::LDD_CAN_DATA_FRAME;
    // The data area is eight bytes: a length code of 9..15 copies eight.
    const uint8_t n = Frame->Length > kMaxDataLen ? kMaxDataLen : Frame->Length;
    unpackWord(r32(can::MB_WORD0(BufferIdx)), Frame->Data, 0, n);
    unpackWord(r32(can::MB_WORD1(BufferIdx)), Frame->Data, 4, n);
  }
  r32(can::MB_CS(BufferIdx)) = can::code(can::kRxEmpty) | (cs & can::CS_IDE);
  readTimer();  // unlock
  return code == can::kRxOverrun ? ERR_OVERRUN : ERR_OK;
}

// Context: ISR, level 7.
void FlexCan0::onMessageBuffers(platform::PlatformEvents& app) {
  const uint32_t flags = r32(can::IFLAG1) & kUsedBuffers;
  r32(can::IFLAG1) = flags;
  IntFlagReg = IntFlagReg | flags;
  for (uint8_t i = 0; i <= kLastBuffer; ++i) {
    if ((flags & kTxBufferMask) >> i & 1u) app.CAN2_OnFreeTxBuffer(user_, i);
  }
  for (uint8_t i = 0; i <= kLastBuffer; ++i) {
    if ((flags & kRxBufferMask) >> i & 1u) app.CAN2_OnFullRxBuffer(user_, i);
  }
}

// Context: ISR, level 7.
void FlexCan0::onBusOff(platform::PlatformEvents& app) {
  r32(can::ESR1) = can::ESR1_BOFFINT;
  app.CAN2_OnBusOff(user_);
}

// Context: ISR, level 7.
void FlexCan0::onError(platform::PlatformEvents& app) {
  const uint32_t status = r32(can::ESR1);
  ErrorMask = ErrorMask | status;
  r32(can::ESR1) = can::ESR1_ERRINT;
  app.CAN2_OnError(user_);
}

// Context: ISR, level 7.
void FlexCan0::onWarningOrWakeUp() {
  r32(can::ESR1) = can::ESR1_TWRNINT | can::ESR1_RWRNINT | can::ESR1_WAKINT;
}

// ------------------------------------------------------------------------------------------------
// DSPI masters

// Context: main loop (start-up).
void DspiMaster::init() {
  // Halted while the timing is written. UNVERIFIED: whether the timing register may also be
  // written while running; writing it halted is safe either way.
  r32(spi::MCR(base_)) = spi::MCR_MSTR | spi::MCR_PCSIS0 | spi::MCR_DIS_TXF | spi::MCR_DIS_RXF |
                         spi::MCR_CLR_TXF | spi::MCR_CLR_RXF | spi::MCR_HALT;
  r32(spi::CTAR0(base_)) = ctar_;
  r32(spi::SR(base_)) = spi::SR_RFDF | spi::SR_RFOF | spi::SR_TCF | spi::SR_EOQF;
  r32(spi::RSER(base_)) = spi::RSER_RFDF_RE | spi::RSER_RFOF_RE;
  nvicSetLevel(irq_, level_);
  nvicClearPending(irq_);
  nvicEnable(irq_);
  r32(spi::MCR(base_)) = r32(spi::MCR(base_)) & ~spi::MCR_HALT;
}

// Hands frame `index` of the send block to the controller; chip select stays asserted after
// every frame but the last.
void DspiMaster::push(uint16_t index) {
  const uint16_t data = txBytes_ != nullptr ? txBytes_[index] : txWords_[index];
  const bool last = index + 1 == txSize_;
  r32(spi::PUSHR(base_)) = (last ? 0u : spi::PUSHR_CONT) | spi::PUSHR_PCS0 | data;
  txHanded_ = static_cast<uint16_t>(index + 1);
}

LDD_TError DspiMaster::sendBlock(const uint8_t* bytes, const uint16_t* words, uint16_t size) {
  platform::CriticalSection lock(cpu_);
  if (txHanded_ < txSize_) return ERR_BUSY;
  txBytes_ = bytes;
  txWords_ = words;
  txSize_ = size;
  txHanded_ = 0;
  txDone_ = 0;
  if (size > 0) push(0);
  return ERR_OK;
}

LDD_TError DspiMaster::receiveBlock(uint8_t* bytes, uint16_t* words, uint16_t size) {
  platform::CriticalSection lock(cpu_);
  if (rxArmed_) return ERR_BUSY;  // the earlier block stays armed
  rxBytes_ = bytes;
  rxWords_ = words;
  rxSize_ = size;
  rxDone_ = 0;
  rxArmed_ = size > 0;
  return ERR_OK;
}

// Context: ISR, the master's level.
DspiMaster::Events DspiMaster::onInterrupt() {
  Events ev;
  const uint32_t sr = r32(spi::SR(base_));
  if ((sr & spi::SR_RFOF) != 0) {
    errFlags = static_cast<uint8_t>(errFlags | 1u);
    r32(spi::SR(base_)) = spi::SR_RFOF;
    ev.error = true;
  }
  if ((sr & spi::SR_RFDF) == 0) return ev;
  const auto data = static_cast<uint16_t>(r32(spi::POPR(base_)));
  r32(spi::SR(base_)) = spi::SR_RFDF | spi::SR_TCF;
  txDone_ = static_cast<uint16_t>(txDone_ + 1);
  if (rxArmed_) {
    if (rxBytes_ != nullptr) {
      rxBytes_[rxDone_] = static_cast<uint8_t>(data);
    } else {
      rxWords_[rxDone_] = data;
    }
    rxDone_ = static_cast<uint16_t>(rxDone_ + 1);
    if (rxDone_ >= rxSize_) {
      rxArmed_ = false;
      ev.blockReceived = true;
    }
  }
  if (txHanded_ < txSize_) {
    push(txHanded_);
    ev.blockSent = txHanded_ == txSize_;
  }
  return ev;
}

Dspi1Sensor::Dspi1Sensor(platform::Cpu& cpu)
    : master_(spi::kSpi1, spi::kCtarSensor, irq::kSpi1, platform::kLevelSpi1, cpu) {}

platform::LDD_TDeviceData* Dspi1Sensor::SM1_Init(platform::LDD_TUserData* UserDataPtr) {
  user_ = UserDataPtr;
  r32(sim::SCGC6) = r32(sim::SCGC6) | sim::SCGC6_SPI1;
  r32(sim::SCGC5) = r32(sim::SCGC5) | sim::SCGC5_PORTB;
  for (uint8_t pin : {uint8_t{10}, uint8_t{11}, uint8_t{16}, uint8_t{17}}) {
    volatile uint32_t& pcr = r32(port::PCR(1, pin));
    pcr = (pcr & ~(port::PCR_MUX_MASK | port::PCR_ISF)) | uint32_t{port::kMuxSpi}
                                                              << port::PCR_MUX_SHIFT;
  }
  master_.init();
  return this;
}
LDD_TError Dspi1Sensor::SM1_SendBlock(platform::LDD_TDeviceData*, const uint16_t* BufferPtr,
                                      uint16_t Size) {
  return master_.sendBlock(nullptr, BufferPtr, Size);
}
LDD_TError Dspi1Sensor::SM1_ReceiveBlock(platform::LDD_TDeviceData*, uint16_t* BufferPtr,
                                         uint16_t Size) {
  return master_.receiveBlock(nullptr, BufferPtr, Size);
}
uint16_t Dspi1Sensor::SM1_GetReceivedDataNum(platform::LDD_TDeviceData*) {
  return master_.received();
}
// Context: ISR, level 2.
void Dspi1Sensor::onInterrupt(platform::PlatformEvents& app) {
  const DspiMaster::Events ev = master_.onInterrupt();
  if (ev.error) app.SM1_OnError(user_);
  if (ev.blockSent) app.SM1_OnBlockSent(user_);
  if (ev.blockReceived) app.SM1_OnBlockReceived(user_);
}

Dspi0Eeprom::Dspi0Eeprom(platform::Cpu& cpu)
    : master_(spi::kSpi0, spi::kCtarEeprom, irq::kSpi0, platform::kLevelSpi0, cpu) {}

platform::LDD_TDeviceData* Dspi0Eeprom::SM3_Init(platform::LDD_TUserData* UserDataPtr) {
  user_ = UserDataPtr;
  r32(sim::SCGC6) = r32(sim::SCGC6) | sim::SCGC6_SPI0;
  r32(sim::SCGC5) = r32(sim::SCGC5) | sim::SCGC5_PORTD;
  for (uint8_t pin : {uint8_t{0}, uint8_t{1}, uint8_t{2}, uint8_t{3}}) {
    volatile uint32_t& pcr = r32(port::PCR(3, pin));
    pcr = (pcr & ~(port::PCR_MUX_MASK | port::PCR_ISF)) | uint32_t{port::kMuxSpi}
                                                              << port::PCR_MUX_SHIFT;
  }
  master_.init();
  return this;
}
LDD_TError Dspi0Eeprom::SM3_SendBlock(platform::LDD_TDeviceData*, const uint8_t* BufferPtr,
                                      uint16_t Size) {
  return master_.sendBlock(BufferPtr, nullptr, Size);
}
LDD_TError Dspi0Eeprom::SM3_ReceiveBlock(platform::LDD_TDeviceData*, uint8_t* BufferPtr,
                                         uint16_t Size) {
  return master_.receiveBlock(BufferPtr, nullptr, Size);
}
uint16_t Dspi0Eeprom::SM3_GetReceivedDataNum(platform::LDD_TDeviceData*) {
  return master_.received();
}
bool Dspi0Eeprom::SM3_IsIdle(platform::LDD_TDeviceData*) {
  return master_.idle();
}
// Context: ISR, level 7.
void Dspi0Eeprom::onInterrupt(platform::PlatformEvents& app) {
  const DspiMaster::Events ev = master_.onInterrupt();
  if (ev.error) app.SM3_OnError(user_);
  if (ev.blockSent) app.SM3_OnBlockSent(user_);
  if (ev.blockReceived) app.SM3_OnBlockReceived(user_);
}

// ------------------------------------------------------------------------------------------------
// FTM1 tick

// Context: main loop (start-up).
platform::LDD_TDeviceData* Ftm1Tick::TI1_Init(platform::LDD_TUserData* UserDataPtr) {
  user_ = UserDataPtr;
  r32(sim::SCGC6) = r32(sim::SCGC6) | sim::SCGC6_FTM1;
  const uintptr_t b = ftm::kFtm1;
  r32(ftm::SC(b)) = 0;
  r32(ftm::MODE(b)) = ftm::MODE_WPDIS;  // basic timer: FTM-specific features off
  r32(ftm::CNTIN(b)) = 0;
  r32(ftm::MOD(b)) = ftm::kTickModulo;
  r32(ftm::CNT(b)) = 0;
  nvicSetLevel(irq::kFtm1, platform::kLevelTick);
  nvicClearPending(irq::kFtm1);
  nvicEnable(irq::kFtm1);
  r32(ftm::SC(b)) = ftm::SC_CLKS_SYSTEM | ftm::SC_TOIE;
  return this;
}

// Context: main loop.
void Ftm1Tick::FTM1_SetModulo(uint16_t modulo) {
  const uintptr_t b = ftm::kFtm1;
  r32(ftm::CNTIN(b)) = 0;
  r32(ftm::CNT(b)) = 0;  // any write reloads the start value
  r32(ftm::MOD(b)) = modulo;
}

// Context: ISR, level 10. UNVERIFIED: the flag is cleared by reading it set, then writing 0.
void Ftm1Tick::onInterrupt(platform::PlatformEvents& app) {
  const uintptr_t b = ftm::kFtm1;
  r32(ftm::SC(b)) = r32(ftm::SC(b)) & ~ftm::SC_TOF;
  app.TI1_OnInterrupt(user_);
}

// ------------------------------------------------------------------------------------------------
// FTM0, PDB0, ADC0, ADC1

uint16_t MotorDrive::startValue(int16_t MODULO) {
  return static_cast<uint16_t>(-(MODULO / 2));
}
uint16_t MotorDrive::moduloValue(int16_t MODULO) {
  return static_cast<uint16_t>(MODULO / 2 - 1);
}

// Context: main loop (end of start-up). The order is the one the drive was designed with.
void MotorDrive::FTM0_Init(int16_t MODULO) {
  const uintptr_t f = ftm::kFtm0;
  r32(ftm::MODE(f)) = ftm::MODE_WPDIS;
  r32(ftm::MODE(f)) = ftm::MODE_WPDIS | ftm::MODE_FTMEN | ftm::MODE_FAULTM_ALL_AUTO;
  r32(ftm::FLTCTRL(f)) = 0;  // no fault input
  start_ = startValue(MODULO);
  r32(ftm::MOD(f)) = moduloValue(MODULO);
  r32(ftm::CNTIN(f)) = start_;
  r32(ftm::SYNC(f)) = ftm::SYNC_CNTMAX | ftm::SYNC_SWSYNC;
  r32(ftm::OUTMASK(f)) = ftm::kAllSixActiveLow;
  r32(ftm::COMBINE(f)) = ftm::kCombinePairs;
  r32(ftm::DEADTIME(f)) = ftm::kDeadTime17;
  r32(ftm::POL(f)) = ftm::kAllSixActiveLow;
  // Combined pairs: the even channel's match starts the pulse, the odd one's ends it.
  for (uint8_t n = 0; n < 6; ++n) r32(ftm::CnSC(f, n)) = ftm::CnSC_MSB | ftm::CnSC_ELSB;
  r32(ftm::PWMLOAD(f)) = ftm::PWMLOAD_LDOK;
  // UNVERIFIED: that the initialisation trigger fires at every reload of the start value, which
  // starts PDB0 once per period.
  r32(ftm::EXTTRIG(f)) = ftm::EXTTRIG_INITTRIGEN;
  r32(ftm::MODE(f)) = r32(ftm::MODE(f)) | ftm::MODE_INIT;
  r32(ftm::CNT(f)) = 0;
  // UNVERIFIED: that the system-clock source counts the 40 MHz bus clock (a period of MODULO
  // bus clocks), not the core clock.
  r32(ftm::SC(f)) = ftm::SC_CLKS_SYSTEM | ftm::SC_TOIE;

  // PDB0: started by the FTM0 trigger, one shot per arming; pre-triggers 0 and 1 of both channels.
  r32(pdb::MOD) = 0xFFFF;
  r32(pdb::IDLY) = 0xFFFF;
  r32(pdb::CH0C1) = pdb::kChannelPreTriggers;
  r32(pdb::CH1C1) = pdb::kChannelPreTriggers;
  r32(pdb::SC) = pdb::SC_TRGSEL_FTM0;

  // ADCs: 12-bit from bus / 2, high-speed, short sample, hardware trigger from PDB0. ADC0 samples
  // the current sense (channel 7, set b) twice; ADC1 channel 23 then the bus voltage (channel 6,
  // set b). UNVERIFIED: a 20 MHz converter clock against the data-sheet limit, and the
  // converters are used uncalibrated.
  r32(sim::SOPT7) = 0;  // converter triggers come from PDB0
  for (uintptr_t a : {adc::kAdc0, adc::kAdc1}) {
    r32(adc::CFG1(a)) = adc::kCfg1Bus2Twelve;
    r32(adc::SC2(a)) = adc::SC2_ADTRG;
  }
  r32(adc::CFG2(adc::kAdc0)) = adc::CFG2_ADHSC | adc::CFG2_MUXSEL_B;
  r32(adc::CFG2(adc::kAdc1)) = adc::CFG2_ADHSC;
  r32(adc::SC1A(adc::kAdc0)) = adc::SC1_AIEN | 7;
  r32(adc::SC1B(adc::kAdc0)) = adc::SC1_AIEN | 7;
  r32(adc::SC1A(adc::kAdc1)) = adc::SC1_AIEN | 23;
  r32(adc::SC1B(adc::kAdc1)) = adc::SC1_AIEN | 6;

  for (uint32_t irq : {irq::kAdc0, irq::kAdc1}) {
    nvicClearPending(irq);
    nvicSetLevel(irq, platform::kLevelAdc);
    nvicEnable(irq);
  }
  nvicClearPending(irq::kFtm0);
  nvicSetLevel(irq::kFtm0, platform::kLevelPwm);
  nvicEnable(irq::kFtm0);

  r32(ftm::OUTMASK(f)) = 0;
  r32(ftm::PWMLOAD(f)) = ftm::PWMLOAD_LDOK;
}

// Context: ISR, level 5.
// Written out: it runs in every PWM period, and the six stores then need no loop.
void MotorDrive::FTM0_SetCompareValues(const int16_t values[6]) {
  const uintptr_t f = ftm::kFtm0;
  r32(ftm::CnV(f, 0)) = static_cast<uint16_t>(values[0]);
  r32(ftm::CnV(f, 1)) = static_cast<uint16_t>(values[1]);
  r32(ftm::CnV(f, 2)) = static_cast<uint16_t>(values[2]);
  r32(ftm::CnV(f, 3)) = static_cast<uint16_t>(values[3]);
  r32(ftm::CnV(f, 4)) = static_cast<uint16_t>(values[4]);
  r32(ftm::CnV(f, 5)) = static_cast<uint16_t>(values[5]);
  r32(ftm::PWMLOAD(f)) = ftm::PWMLOAD_LDOK;
}

// Context: ISR, level 5.
void MotorDrive::FTM0_RestartPeriod() {
  const uintptr_t f = ftm::kFtm0;
  r32(ftm::SC(f)) = ftm::SC_TOIE;  // counter clock off
  r32(ftm::CNTIN(f)) = start_;
  r32(ftm::CNT(f)) = 0;  // reloads the start value
  r32(ftm::MODE(f)) = r32(ftm::MODE(f)) | ftm::MODE_INIT;
  r32(ftm::SC(f)) = ftm::SC_CLKS_SYSTEM | ftm::SC_TOIE;
}

// Context: main loop. UNVERIFIED: how the maximum-point and software synchronisations combine
// with the load-OK mechanism on this part.
void MotorDrive::FTM0_SetModulo(int16_t MODULO) {
  const uintptr_t f = ftm::kFtm0;
  start_ = startValue(MODULO);
  r32(ftm::MOD(f)) = moduloValue(MODULO);
  r32(ftm::CNTIN(f)) = start_;
  r32(ftm::SYNC(f)) = ftm::SYNC_CNTMAX | ftm::SYNC_SWSYNC;
}

// Context: ISR, level 5. UNVERIFIED: the flag is cleared by reading it set, then writing 0.
void MotorDrive::FTM0_ClearOverflowFlag() {
  const uintptr_t f = ftm::kFtm0;
  r32(ftm::SC(f)) = r32(ftm::SC(f)) & ~ftm::SC_TOF;
}

// Context: ISR, level 5. UNVERIFIED: that load-OK takes effect when written together with the
// enable.
void MotorDrive::PDB0_SetDelaysAndArm(uint16_t adc0A, uint16_t adc0B, uint16_t adc1A,
                                      uint16_t adc1B) {
  r32(pdb::CH0DLY0) = adc0A;
  r32(pdb::CH0DLY1) = adc0B;
  r32(pdb::CH1DLY0) = adc1A;
  r32(pdb::CH1DLY1) = adc1B;
  r32(pdb::SC) = r32(pdb::SC) | pdb::SC_PDBEN | pdb::SC_LDOK;
}

// Context: ISR, level 3.
void MotorDrive::PDB0_Disarm() {
  r32(pdb::SC) = r32(pdb::SC) & ~pdb::SC_PDBEN;
}

// Context: ISR, level 5. With a hardware trigger, writing SC1 only selects the channel.
void MotorDrive::ADC1_SelectChannels(uint8_t channelA, uint8_t channelB) {
  r32(adc::SC1A(adc::kAdc1)) = adc::SC1_AIEN | (channelA & adc::SC1_ADCH_MASK);
  r32(adc::SC1B(adc::kAdc1)) = adc::SC1_AIEN | (channelB & adc::SC1_ADCH_MASK);
}

// Context: ISR, level 3, or main loop.
void MotorDrive::ADC1_SelectInputSet(platform::AdcInputSet set) {
  volatile uint32_t& cfg2 = r32(adc::CFG2(adc::kAdc1));
  cfg2 =
      set == platform::AdcInputSet::b ? (cfg2 | adc::CFG2_MUXSEL_B) : (cfg2 & ~adc::CFG2_MUXSEL_B);
}

// Context: main loop. Conversion A on channel 6 of set b, no interrupt; it runs at the next
// hardware trigger.
uint16_t MotorDrive::ADC1_ReadOnDemand() {
  const uintptr_t a = adc::kAdc1;
  ADC1_SelectInputSet(platform::AdcInputSet::b);
  r32(adc::SC1A(a)) = 6;
  while ((r32(adc::SC1A(a)) & adc::SC1_COCO) == 0) cpu_.Cpu_Relax();
  return static_cast<uint16_t>(r32(adc::RA(a)));
}

namespace {
uintptr_t adcBase(platform::AdcUnit unit) {
  return unit == platform::AdcUnit::ADC0 ? adc::kAdc0 : adc::kAdc1;
}
}  // namespace

// Context: ISR, level 3. Only a conversion with its interrupt enabled counts as complete here:
// an on-demand conversion A (no interrupt) belongs to ADC1_ReadOnDemand, and the completion
// handler, raised by the conversion B that follows it, must not take its result.
bool MotorDrive::ADC_IsComplete(platform::AdcUnit unit, platform::AdcConversion conversion) {
  const uintptr_t a = adcBase(unit);
  const uint32_t sc1 = r32(conversion == platform::AdcConversion::A ? adc::SC1A(a) : adc::SC1B(a));
  return (sc1 & (adc::SC1_COCO | adc::SC1_AIEN)) == (adc::SC1_COCO | adc::SC1_AIEN);
}

// Context: ISR, level 3. Reading the result clears the conversion's complete flag.
uint16_t MotorDrive::ADC_ReadResult(platform::AdcUnit unit, platform::AdcConversion conversion) {
  const uintptr_t a = adcBase(unit);
  return static_cast<uint16_t>(
      r32(conversion == platform::AdcConversion::A ? adc::RA(a) : adc::RB(a)));
}

// ------------------------------------------------------------------------------------------------
// Ports

void Ports::GPIO_SetOutput(platform::Pin pin, bool high) {
  r32(high ? gpio::PSOR(pin.port) : gpio::PCOR(pin.port)) = 1u << pin.bit;
}
bool Ports::GPIO_GetOutputLatch(platform::Pin pin) {
  return (r32(gpio::PDOR(pin.port)) >> pin.bit & 1u) != 0;
}
// Context: main loop only (no interrupt changes a direction), so the read-modify-write is safe.
void Ports::GPIO_SetDirection(platform::Pin pin, bool output) {
  volatile uint32_t& pddr = r32(gpio::PDDR(pin.port));
  pddr = output ? (pddr | 1u << pin.bit) : (pddr & ~(1u << pin.bit));
}
bool Ports::GPIO_GetInput(platform::Pin pin) {
  return (r32(gpio::PDIR(pin.port)) >> pin.bit & 1u) != 0;
}
// Context: main loop.
void Ports::PORT_SetMux(platform::Pin pin, uint8_t function) {
  volatile uint32_t& pcr = r32(port::PCR(pin.port, pin.bit));
  pcr = (pcr & ~(port::PCR_MUX_MASK | port::PCR_ISF)) |
        (uint32_t{function} << port::PCR_MUX_SHIFT & port::PCR_MUX_MASK);
}

}  // namespace tavrix::k64
