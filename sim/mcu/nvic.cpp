#include "sim/mcu/nvic.hpp"

namespace tavrix::sim {

const char* irqName(Irq irq) {
  switch (irq) {
    case Irq::kSpi0:
      return "SPI0";
    case Irq::kSpi1:
      return "SPI1";
    case Irq::kAdc0:
      return "ADC0";
    case Irq::kFtm0:
      return "FTM0";
    case Irq::kFtm1:
      return "FTM1";
    case Irq::kAdc1:
      return "ADC1";
    case Irq::kCanMessageBuffer:
      return "CAN message buffers";
    case Irq::kCanBusOff:
      return "CAN bus-off";
    case Irq::kCanError:
      return "CAN error";
  }
  return "?";
}

std::optional<Irq> Nvic::nextReady(uint8_t running_level) const {
  std::optional<Irq> best;
  uint8_t best_level = running_level;
  for (uint32_t bits = ready_; bits != 0; bits &= bits - 1) {
    const size_t i = static_cast<size_t>(__builtin_ctz(bits));
    const Line& l = lines_[i];
    // Strictly more urgent than the best so far: the first in vector order wins a tie.
    if (l.level < best_level) {
      best = static_cast<Irq>(i);
      best_level = l.level;
    }
  }
  return best;
}

}  // namespace tavrix::sim
