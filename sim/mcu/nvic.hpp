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
  void enable(Irq irq, bool on) {
    line(irq).enabled = on;
    updateReady(irq);
  }
  bool enabled(Irq irq) const { return line(irq).enabled; }
  void setPending(Irq irq) {
    line(irq).pending = true;
    updateReady(irq);
  }
  void clearPending(Irq irq) {
    line(irq).pending = false;
    updateReady(irq);
  }
  bool pending(Irq irq) const { return line(irq).pending; }

  // The enabled pending source that would preempt a context running at `running_level`: the most
  // urgent level first, then vector order.
  std::optional<Irq> next(uint8_t running_level) const {
    if (ready_ == 0) return std::nullopt;  // the common case: nothing to deliver
    return nextReady(running_level);
  }

  // Handlers entered per source since power-on (diagnostic).
  void countDelivery(Irq irq) { ++line(irq).deliveries; }
  uint64_t deliveries(Irq irq) const { return line(irq).deliveries; }

  // Power-on state: every line disabled, not pending, at level 0.
  void reset() {
    lines_ = {};
    ready_ = 0;
  }

 private:
  struct Line {
    uint8_t level = 0;
    bool enabled = false;
    bool pending = false;
    uint64_t deliveries = 0;
  };
  Line& line(Irq irq) { return lines_[static_cast<size_t>(irq)]; }
  const Line& line(Irq irq) const { return lines_[static_cast<size_t>(irq)]; }

  void updateReady(Irq irq) {
    const Line& l = line(irq);
    const uint32_t bit = 1u << static_cast<unsigned>(irq);
    ready_ = (l.enabled && l.pending) ? (ready_ | bit) : (ready_ & ~bit);
  }
  std::optional<Irq> nextReady(uint8_t running_level) const;

  std::array<Line, kIrqCount> lines_{};
  uint32_t ready_ = 0;  // bit per line that is enabled and pending
};

}  // namespace tavrix::sim
