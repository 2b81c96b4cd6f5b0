#include "sim/mcu/sim_chip.hpp"

#include <cstdio>
#include <cstdlib>

namespace tavrix::sim {

SimChip::SimChip(EventQueue& queue, CanBus* bus, SimChipConfig config)
    : core_(queue, std::move(config.name), config.runaway_call_limit),
      bus_(bus),
      gpio_(core_),
      can_(core_, gpio_, bus),
      spi0_(core_, gpio_),
      spi1_(core_, gpio_),
      tick_(core_),
      motor_timer_(core_, config.analog),
      platform_{can_, spi1_, spi0_, tick_, *this, motor_timer_, gpio_} {
  core_.setCpu(this);
  spi0_.attachDevice(config.spi0);
  spi1_.attachDevice(config.spi1);
  if (bus_ != nullptr) bus_->attach(can_);
}

SimChip::~SimChip() {
  if (bus_ != nullptr) bus_->detach(can_);
}

void SimChip::powerOnReset() {
  core_.reset();
  can_.powerOnReset();
  spi0_.powerOnReset();
  spi1_.powerOnReset();
  tick_.powerOnReset();
  motor_timer_.powerOnReset();
  gpio_.powerOnReset();
  primask_ = 0;
  running_level_ = kThreadLevel;
  SR_lock = 0;
  SR_reg = 0;
  low_level_init_calls_ = 0;
  clocks_enabled_ = false;
  osc_cap_load_ = 0;
}

void SimChip::PE_low_level_init() {
  core_.countCall();
  ++low_level_init_calls_;
  core_.nvic().setPriority(Irq::kFtm0, platform::kLevelCan);  // FTM0_Init moves it to 5
}

void SimChip::Cpu_EnablePeripheralClocks() {
  core_.countCall();
  clocks_enabled_ = true;
}

void SimChip::Cpu_SystemReset() {
  if (host_ == nullptr) {
    std::fprintf(stderr, "%s: system reset without a host to restart the node\n", name().c_str());
    std::abort();
  }
  host_->systemReset();
  std::abort();  // not reached: the host never returns from a reset
}

void SimChip::OSC_SetCapLoad(uint8_t bits) {
  core_.countCall();
  osc_cap_load_ = static_cast<uint8_t>(bits & 0xF);
}

void SimChip::Cpu_Relax() {
  if (!deliverable()) {
    if (host_ == nullptr) {
      std::fprintf(stderr, "%s: Cpu_Relax without a host to run the node\n", name().c_str());
      std::abort();
    }
    core_.parked();
    host_->park();
  }
  deliverPending();
}

uint8_t SimChip::Cpu_ReadMaskAndBlock() {
  core_.countCall();
  const uint8_t mask = primask_;
  primask_ = 1;
  return mask;
}

void SimChip::Cpu_RestoreMask(uint8_t mask) {
  core_.countCall();
  primask_ = mask != 0 ? 1 : 0;
  // Unmasking is a delivery point: what became pending meanwhile runs right here (mostly
  // nothing is pending).
  if (primask_ == 0 && core_.nvic().anyReady()) deliverPending();
}

bool SimChip::deliverable() const {
  return primask_ == 0 && core_.nvic().next(running_level_).has_value();
}

// Both inlined into the delivery loop: one call less per interrupt.
[[gnu::always_inline]] inline void SimChip::runHandler(Irq irq) {
  switch (irq) {
    case Irq::kSpi0:
      spi0_.isr();
      break;
    case Irq::kSpi1:
      spi1_.isr();
      break;
    case Irq::kAdc0:
      motor_timer_.adcIsr(platform::AdcUnit::ADC0);
      break;
    case Irq::kAdc1:
      motor_timer_.adcIsr(platform::AdcUnit::ADC1);
      break;
    case Irq::kFtm0:
      motor_timer_.ftm0Isr();
      break;
    case Irq::kFtm1:
      tick_.isr();
      break;
    case Irq::kCanMessageBuffer:
      can_.messageBufferIsr();
      break;
    case Irq::kCanBusOff:
      can_.busOffIsr();
      break;
    case Irq::kCanError:
      can_.errorIsr();
      break;
  }
}

[[gnu::always_inline]] inline bool SimChip::asserted(Irq irq) const {
  switch (irq) {
    case Irq::kSpi0:
      return spi0_.irqAsserted();
    case Irq::kSpi1:
      return spi1_.irqAsserted();
    case Irq::kAdc0:
      return motor_timer_.adcIrqAsserted(platform::AdcUnit::ADC0);
    case Irq::kAdc1:
      return motor_timer_.adcIrqAsserted(platform::AdcUnit::ADC1);
    case Irq::kFtm0:
      return motor_timer_.ftm0IrqAsserted();
    case Irq::kFtm1:
      return tick_.irqAsserted();
    case Irq::kCanMessageBuffer:
      return can_.messageBufferIrqAsserted();
    case Irq::kCanBusOff:
    case Irq::kCanError:
      return false;
  }
  return false;
}

void SimChip::deliverPending() {
  while (primask_ == 0) {
    const std::optional<Irq> irq = core_.nvic().next(running_level_);
    if (!irq) return;
    Nvic& nvic = core_.nvic();
    nvic.clearPending(*irq);
    nvic.countDelivery(*irq);
    core_.countCall();
    const uint8_t interrupted_level = running_level_;
    running_level_ = nvic.priority(*irq);
    runHandler(*irq);
    running_level_ = interrupted_level;
    // A level-sensitive request that the handler left standing comes back at once.
    if (asserted(*irq)) nvic.setPending(*irq);
  }
}

}  // namespace tavrix::sim
