// The simulated interrupt controller: one line per interrupt source of the chip, each with its
// priority level (lower = more urgent, 0..15), enable and pending bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace tavrix::sim {

// The sources in vector order, which decides between pending sources of the same level.
enum class Irq : uint8_t {
  kSpi0,
  kSpi1,
  kAdc0,
  kFtm0,
  kFtm1,
  kAdc1,
  kCanMessageBuffer,
  kCanBusOff,
  kCanError,
};
inline constexpr size_t kIrqCount = 9;
// The level of the main context: below every interrupt.
inline constexpr uint8_t kThreadLevel = 16;

const char* irqName(Irq irq);

class Nvic {
 public:
  void setPriority(Irq irq, uint8_t level) { line(irq).level = static_cast<uint8_t>(level & 0xF); }
  uint8_t priority(Irq irq) const { return line(irq).level; }
  void enable(Irq irq, bool on) { line(irq).enabled = on; }
  bool enabled(Irq irq) const { return line(irq).enabled; }
  void setPending(Irq irq) { line(irq).pending = true; }
  void clearPending(Irq irq) { line(irq).pending = false; }
  bool pending(Irq irq) const { return line(irq).pending; }

  // The enabled pending source that would preempt a context running at `running_level`: the most
  // urgent level first, then vector order.
  std::optional<Irq> next(uint8_t running_level) const;

  // Handlers entered per source since power-on (diagnostic).
  void countDelivery(Irq irq) { ++line(irq).deliveries; }
  uint64_t deliveries(Irq irq) const { return line(irq).deliveries; }

  // Power-on state: every line disabled, not pending, at level 0.
  void reset() { lines_ = {}; }

 private:
  struct Line {
    uint8_t level = 0;
    bool enabled = false;
    bool pending = false;
    uint64_t deliveries = 0;
  };
  Line& line(Irq irq) { return lines_[static_cast<size_t>(irq)]; }
  const Line& line(Irq irq) const { return lines_[static_cast<size_t>(irq)]; }

  std::array<Line, kIrqCount> lines_{};
};

}  // namespace tavrix::sim
