#include "sim/board/rotor_encoder.hpp"

#include <cmath>
#include <numbers>

namespace tavrix::sim {

void RotorEncoder::setShaftAngleRad(double angle_rad) {
  if (!std::isfinite(angle_rad)) return;
  double turns = angle_rad / (2.0 * std::numbers::pi);
  turns -= std::floor(turns);  // [0, 1]; exactly 1 only by rounding of a tiny negative angle
  const double counts = std::floor(turns * kCountsPerRev);
  setAngle(static_cast<uint16_t>(counts >= kCountsPerRev ? kCountsPerRev - 1 : counts));
}

void RotorEncoder::select(SimTime /*now*/) {
  ++select_count_;
}

uint16_t RotorEncoder::transfer(uint16_t mosi, SimTime /*now*/) {
  ++frame_count_;
  if (received_words_.size() < kRecordedWordLimit) received_words_.push_back(mosi);
  if (!present_) return kFloatingWord;
  return static_cast<uint16_t>(angle_counts_ << 2);
}

void RotorEncoder::deselect(SimTime /*now*/) {}

}  // namespace tavrix::sim
