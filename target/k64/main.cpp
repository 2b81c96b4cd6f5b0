// The drive on the chip: the drivers, the one node, and the interrupt vectors that reach them.
//
// Every object here is static. Static constructors run from the reset entry, before main, in
// declaration order: the drivers, then the node constructed over them and the logger buffer.
#include "firmware/node/node.hpp"
#include "target/k64/k64_platform.hpp"

namespace tavrix::k64 {
namespace {

// The logger buffer lies in a section of its own, which the linker script places at the start of
// the upper RAM, apart from all other data.
[[gnu::section(".logger_buffer")]] LogBuffer logBuffer;

K64Cpu cpu;
FlexCan0 can0{cpu};
Dspi1Sensor spi1{cpu};
Dspi0Eeprom spi0{cpu};
Ftm1Tick ftm1;
MotorDrive motorDrive{cpu};
Ports ports;
platform::Platform board{can0, spi1, spi0, ftm1, cpu, motorDrive, ports};

}  // namespace

Node node{board, logBuffer};

}  // namespace tavrix::k64

using tavrix::k64::node;

int main() {
  node.main();
}

// Interrupt vectors, each at the level its driver configures.
extern "C" {

// Non-maskable interrupt (PTA4).
void NMI_Handler() {
  node.Cpu_OnNMI();
}

// Context: ISR, level 2 (SPI1, rotor sensor).
void SPI1_IRQHandler() {
  tavrix::k64::spi1.onInterrupt(node);
}

// Context: ISR, level 3 (ADC0 conversion complete).
void ADC0_IRQHandler() {
  node.AD2_OnMeasurementComplete(nullptr);
}

// Context: ISR, level 3 (ADC1 conversion complete).
void ADC1_IRQHandler() {
  node.AD1_OnMeasurementComplete(nullptr);
}

// Context: ISR, level 5 (PWM period). The handler acknowledges the overflow itself.
void FTM0_IRQHandler() {
  node.FTM0_Interrupt();
}

// Context: ISR, level 7 (SPI0, EEPROM).
void SPI0_IRQHandler() {
  tavrix::k64::spi0.onInterrupt(node);
}

// Context: ISR, level 7 (CAN message buffers, bus off, error; warnings and wake-up never enabled).
void CAN0_ORed_Message_buffer_IRQHandler() {
  tavrix::k64::can0.onMessageBuffers(node);
}
void CAN0_Bus_Off_IRQHandler() {
  tavrix::k64::can0.onBusOff(node);
}
void CAN0_Error_IRQHandler() {
  tavrix::k64::can0.onError(node);
}
void CAN0_Tx_Warning_IRQHandler() {
  tavrix::k64::can0.onWarningOrWakeUp();
}
void CAN0_Rx_Warning_IRQHandler() {
  tavrix::k64::can0.onWarningOrWakeUp();
}
void CAN0_Wake_Up_IRQHandler() {
  tavrix::k64::can0.onWarningOrWakeUp();
}

// Context: ISR, level 10 (1 ms tick).
void FTM1_IRQHandler() {
  tavrix::k64::ftm1.onInterrupt(node);
}

}  // extern "C"
