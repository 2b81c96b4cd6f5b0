#include "sim/mcu/gpio.hpp"

namespace tavrix::sim {

void GpioPorts::GPIO_SetOutput(platform::Pin pin, bool high) {
  core_.countCall();
  if (!valid(pin)) return;
  uint32_t& latch = ports_[pin.port].latch;
  const uint32_t before = latch;
  latch = high ? (latch | bitOf(pin)) : (latch & ~bitOf(pin));
  if (latch != before) changed(pin);
}

bool GpioPorts::GPIO_GetOutputLatch(platform::Pin pin) {
  core_.countCall();
  return latch(pin);
}

void GpioPorts::GPIO_SetDirection(platform::Pin pin, bool output) {
  core_.countCall();
  if (!valid(pin)) return;
  uint32_t& dir = ports_[pin.port].output;
  const uint32_t before = dir;
  dir = output ? (dir | bitOf(pin)) : (dir & ~bitOf(pin));
  if (dir != before) changed(pin);
}

bool GpioPorts::GPIO_GetInput(platform::Pin pin) {
  core_.countCall();
  if (!valid(pin)) return false;
  return isOutput(pin) ? latch(pin) : inputLevel(pin);
}

void GpioPorts::PORT_SetMux(platform::Pin pin, uint8_t function) {
  core_.countCall();
  if (!valid(pin)) return;
  uint8_t& mux = ports_[pin.port].mux[pin.bit];
  const uint8_t before = mux;
  mux = static_cast<uint8_t>(function & 0x7);  // three multiplexer bits
  if (mux != before) changed(pin);
}

void GpioPorts::setInputLevel(platform::Pin pin, bool high) {
  if (!valid(pin)) return;
  uint32_t& level = ports_[pin.port].input_level;
  level = high ? (level | bitOf(pin)) : (level & ~bitOf(pin));
  core_.touch();
}

bool GpioPorts::inputLevel(platform::Pin pin) const {
  return valid(pin) && (ports_[pin.port].input_level & bitOf(pin)) != 0;
}

uint8_t GpioPorts::mux(platform::Pin pin) const {
  return valid(pin) ? ports_[pin.port].mux[pin.bit] : kMuxDisabled;
}

bool GpioPorts::isOutput(platform::Pin pin) const {
  return valid(pin) && (ports_[pin.port].output & bitOf(pin)) != 0;
}

bool GpioPorts::latch(platform::Pin pin) const {
  return valid(pin) && (ports_[pin.port].latch & bitOf(pin)) != 0;
}

std::optional<bool> GpioPorts::drivenLevel(platform::Pin pin) const {
  if (!valid(pin) || mux(pin) != platform::kPinMuxGpio || !isOutput(pin)) return std::nullopt;
  return latch(pin);
}

void GpioPorts::powerOnReset() {
  for (Port& port : ports_) {
    const uint32_t level = port.input_level;
    port = Port{};
    port.input_level = level;
  }
  if (reset_observer_) reset_observer_();
}

}  // namespace tavrix::sim
