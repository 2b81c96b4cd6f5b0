// One simulated chip: every peripheral the firmware's platform interface reaches, the interrupt
// controller with its levels and nesting, the critical section and the reset.
//
// The simulated CPU is infinitely fast: the node's code takes no simulated time. Interrupts are
// delivered at delivery points only: in Cpu_Relax, and when the critical section's outermost exit
// unmasks them. There every pending interrupt more urgent than the running context runs, most
// urgent first, each on the interrupted context's stack; a handler that relaxes can be preempted
// by a more urgent one. A source whose request is still asserted when its handler returns (an
// unacknowledged overflow, a second conversion result) is requested again at once.
#pragma once

#include <cstdint>
#include <string>

#include "firmware/platform/platform.hpp"
#include "sim/bus/can_bus.hpp"
#include "sim/mcu/analog_source.hpp"
#include "sim/mcu/chip_core.hpp"
#include "sim/mcu/dspi.hpp"
#include "sim/mcu/flexcan.hpp"
#include "sim/mcu/gpio.hpp"
#include "sim/mcu/motor_timer.hpp"
#include "sim/mcu/nvic.hpp"
#include "sim/mcu/spi_device.hpp"
#include "sim/mcu/tick_timer.hpp"

namespace tavrix::sim {

struct SimChipConfig {
  std::string name = "node";
  SpiDevice* spi0 = nullptr;       // serial EEPROM; null: data-in reads all ones
  SpiDevice* spi1 = nullptr;       // rotor encoder; null: data-in reads all ones
  AnalogSource* analog = nullptr;  // null: every conversion reads 0
  // Platform calls without a relax after which the node's code is taken to be stuck.
  uint64_t runaway_call_limit = 50'000'000;
};

class SimChip final : public platform::Cpu {
 public:
  // `bus` may be null (a chip without a CAN transceiver); the chip attaches its controller.
  SimChip(EventQueue& queue, CanBus* bus, SimChipConfig config);
  ~SimChip();
  SimChip(const SimChip&) = delete;
  SimChip& operator=(const SimChip&) = delete;

  platform::Platform& platform() { return platform_; }
  const std::string& name() const { return core_.name(); }

  // The runner of the node's code, and the application whose handlers interrupts call.
  void setHost(CpuHost* host) { host_ = host; }
  void setApplication(platform::PlatformEvents* app) { core_.setApp(app); }

  // Every peripheral, the interrupt controller and the core back to their power-on state;
  // the attached devices and analog source stay.
  void powerOnReset();
  // Whether an event has changed anything the node's code may see since the last call.
  bool takeTouched() { return core_.takeTouched(); }
  // Reports every touch to `set` as well, under `index`.
  void joinTouchSet(TouchSet& set, size_t index) { core_.joinTouchSet(set, index); }

  // platform::Cpu. Context: any.
  void PE_low_level_init() override;
  void Cpu_EnablePeripheralClocks() override;
  [[noreturn]] void Cpu_SystemReset() override;
  void OSC_SetCapLoad(uint8_t bits) override;
  void Cpu_Relax() override;

  // Observation and set-up.
  FlexCan& can() { return can_; }
  Spi0Master& spi0() { return spi0_; }
  Spi1Master& spi1() { return spi1_; }
  TickTimer& tick() { return tick_; }
  MotorTimerUnit& motorTimer() { return motor_timer_; }
  GpioPorts& gpio() { return gpio_; }
  Nvic& nvic() { return core_.nvic(); }
  EventQueue& queue() { return core_.queue(); }
  bool interruptsMasked() const { return primask_ != 0; }
  // Level of the running context: kThreadLevel in the main context.
  uint8_t runningLevel() const { return running_level_; }
  uint32_t lowLevelInitCalls() const { return low_level_init_calls_; }
  bool peripheralClocksEnabled() const { return clocks_enabled_; }
  uint8_t oscCapLoad() const { return osc_cap_load_; }

 protected:
  uint8_t Cpu_ReadMaskAndBlock() override;
  void Cpu_RestoreMask(uint8_t mask) override;

 private:
  bool deliverable() const;
  void deliverPending();
  void runHandler(Irq irq);
  bool asserted(Irq irq) const;

  ChipCore core_;
  CanBus* bus_;
  CpuHost* host_ = nullptr;
  GpioPorts gpio_;
  FlexCan can_;
  Spi0Master spi0_;
  Spi1Master spi1_;
  TickTimer tick_;
  MotorTimerUnit motor_timer_;
  platform::Platform platform_;

  uint8_t primask_ = 0;
  uint8_t running_level_ = kThreadLevel;
  uint32_t low_level_init_calls_ = 0;
  bool clocks_enabled_ = false;
  uint8_t osc_cap_load_ = 0;
};

}  // namespace tavrix::sim
