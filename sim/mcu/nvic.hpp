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
  void setPriority(Irq irq, uint8_t level) {
    levels_[static_cast<size_t>(irq)] = static_cast<uint8_t>(level & 0xF);
  }
  uint8_t priority(Irq irq) const { return levels_[static_cast<size_t>(irq)]; }
  void enable(Irq irq, bool on) { enabled_ = on ? (enabled_ | bit(irq)) : (enabled_ & ~bit(irq)); }
  bool enabled(Irq irq) const { return (enabled_ & bit(irq)) != 0; }
  void setPending(Irq irq) { pending_ |= bit(irq); }
  void clearPending(Irq irq) { pending_ &= ~bit(irq); }
  bool pending(Irq irq) const { return (pending_ & bit(irq)) != 0; }

  // The enabled pending source that would preempt a context running at `running_level`: the most
  // urgent level first, then vector order.
  std::optional<Irq> next(uint8_t running_level) const {
    std::optional<Irq> best;
    uint8_t best_level = running_level;
    // Mostly nothing or one source is ready.
    for (uint32_t ready = enabled_ & pending_; ready != 0; ready &= ready - 1) {
      const size_t i = static_cast<size_t>(__builtin_ctz(ready));
      // Strictly more urgent than the best so far: the first in vector order wins a tie.
      if (levels_[i] < best_level) {
        best = static_cast<Irq>(i);
        best_level = levels_[i];
      }
    }
    return best;
  }

  // Whether any enabled source is pending, whatever its level.
  bool anyReady() const { return (enabled_ & pending_) != 0; }

  // Handlers entered per source since power-on (diagnostic).
  void countDelivery(Irq irq) { ++deliveries_[static_cast<size_t>(irq)]; }
  uint64_t deliveries(Irq irq) const { return deliveries_[static_cast<size_t>(irq)]; }

  // Power-on state: every line disabled, not pending, at level 0.
  void reset() { *this = Nvic{}; }

 private:
  static uint32_t bit(Irq irq) { return 1u << static_cast<unsigned>(irq); }

  // One bit per line in vector order.
  uint32_t enabled_ = 0;
  uint32_t pending_ = 0;
  std::array<uint8_t, kIrqCount> levels_{};
  std::array<uint64_t, kIrqCount> deliveries_{};
};

}  // namespace tavrix::sim
