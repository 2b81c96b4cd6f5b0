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

}  // namespace tavrix::sim
