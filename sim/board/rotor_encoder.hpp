// The absolute rotor encoder on SPI1: answers every 16-bit frame with the 12-bit shaft angle in
// bits 13..2 (bits 15, 14, 1 and 0 read 0). The motor model sets the angle; the encoder keeps the
// words the master sent so tests can check the start-up words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/mcu/spi_device.hpp"
#include "sim/world/sim_time.hpp"

namespace tavrix::sim {

class RotorEncoder final : public SpiDevice {
 public:
  static constexpr uint16_t kCountsPerRev = 4096;
  // The firmware reads every 600 us for ever; only the first words are kept, which hold the
  // start-up words and the first reads.
  static constexpr size_t kRecordedWordLimit = 256;
  static constexpr uint16_t kFloatingWord = 0xFFFF;  // data line pulled up, nothing driving it

  // Context: the motor model, between frames.
  void setAngle(uint16_t counts) {
    if (!stuck_) angle_counts_ = counts % kCountsPerRev;
  }
  // Mechanical angle in radians, any value: quantised down to the count it lies in and taken
  // modulo one revolution. A non-finite angle is ignored (a sensor keeps its last reading).
  void setShaftAngleRad(double angle_rad);
  uint16_t angle() const { return angle_counts_; }
  // An absent encoder drives nothing: every frame reads the floating line.
  void setPresent(bool present) { present_ = present; }
  // A stuck encoder answers every frame with the angle it held when it stuck.
  void setStuck(bool stuck) { stuck_ = stuck; }

  // Context: the simulated SPI1 master.
  void select(SimTime now) override;
  uint16_t transfer(uint16_t mosi, SimTime now) override;
  void deselect(SimTime now) override;

  const std::vector<uint16_t>& receivedWords() const { return received_words_; }
  uint64_t frameCount() const { return frame_count_; }
  uint64_t selectCount() const { return select_count_; }

 private:
  uint16_t angle_counts_ = 0;
  bool present_ = true;
  bool stuck_ = false;
  std::vector<uint16_t> received_words_;
  uint64_t frame_count_ = 0;
  uint64_t select_count_ = 0;
};

}  // namespace tavrix::sim
