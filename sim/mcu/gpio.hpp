// GPIO ports A..E: output latches, directions, pin multiplexers and the levels the board drives
// onto inputs.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "firmware/platform/platform.hpp"
#include "sim/mcu/chip_core.hpp"

namespace tavrix::sim {

class GpioPorts final : public platform::Gpio {
 public:
  static constexpr uint8_t kPortCount = 5;  // A..E
  static constexpr uint8_t kPinsPerPort = 32;
  static constexpr uint8_t kMuxDisabled = 0;  // power-on function of a pin

  explicit GpioPorts(ChipCore& core) : core_(core) {}

  // Context: node code. A pin outside the ports is ignored (reads low).
  void GPIO_SetOutput(platform::Pin pin, bool high) override;
  bool GPIO_GetOutputLatch(platform::Pin pin) override;
  void GPIO_SetDirection(platform::Pin pin, bool output) override;
  // An output pin reads its latch; an input reads the level the board drives.
  bool GPIO_GetInput(platform::Pin pin) override;
  void PORT_SetMux(platform::Pin pin, uint8_t function) override;

  // Context: scheduler (board, plant, tests).
  void setInputLevel(platform::Pin pin, bool high);
  bool inputLevel(platform::Pin pin) const;
  uint8_t mux(platform::Pin pin) const;
  bool isOutput(platform::Pin pin) const;
  bool latch(platform::Pin pin) const;
  // The level the pin drives as a GPIO output; nothing when it is an input or has another
  // function (the PWM outputs of the gate pins are the motor timer's).
  std::optional<bool> drivenLevel(platform::Pin pin) const;
  // Called after every change of a latch, direction or multiplexer by the node's code: of any
  // pin, or only of the pins in `watched` (writes to other pins, such as timing probes toggled
  // every control cycle, then cost no call).
  void onChange(std::function<void(platform::Pin)> observer) {
    observer_ = std::move(observer);
    watched_.fill(~uint32_t{0});
  }
  void onChange(std::function<void(platform::Pin)> observer,
                std::span<const platform::Pin> watched) {
    observer_ = std::move(observer);
    watched_.fill(0);
    for (const platform::Pin pin : watched) {
      if (valid(pin)) watched_[pin.port] |= bitOf(pin);
    }
  }
  // Called at the end of every power-on reset (every pin changed at once).
  void onReset(std::function<void()> observer) { reset_observer_ = std::move(observer); }

  // Latches low, all inputs, multiplexers disabled; the board's input levels stay.
  void powerOnReset();

 private:
  struct Port {
    uint32_t latch = 0;
    uint32_t output = 0;
    uint32_t input_level = 0;
    std::array<uint8_t, kPinsPerPort> mux{};
  };
  static bool valid(platform::Pin pin) { return pin.port < kPortCount && pin.bit < kPinsPerPort; }
  static uint32_t bitOf(platform::Pin pin) { return 1u << pin.bit; }
  void changed(platform::Pin pin) {
    if ((watched_[pin.port] & bitOf(pin)) != 0 && observer_) observer_(pin);
  }

  ChipCore& core_;
  std::array<Port, kPortCount> ports_{};
  std::function<void(platform::Pin)> observer_;
  std::array<uint32_t, kPortCount> watched_{};  // per port, the pins the observer is told of
  std::function<void()> reset_observer_;
};

}  // namespace tavrix::sim
