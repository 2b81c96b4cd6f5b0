// The board's serial EEPROM on SPI0: the standard SPI serial-EEPROM instruction set with 16-bit
// byte addresses, page writes and a self-timed write cycle. Its cells live in memory or in a binary
// image file, so a node's configuration outlives a simulator run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "sim/board/image_file.hpp"
#include "sim/mcu/spi_device.hpp"
#include "sim/world/sim_time.hpp"

namespace tavrix::sim {

enum class EepromFault : uint8_t {
  kNone,
  // A write cycle begun while this fault is set never ends: the write's data reach the cells,
  // but the busy bit stays set and the part ignores every command except read status.
  kStuckBusy,
  // No part on the chip select: nothing drives data-out, so every frame reads the floating level,
  // and nothing is stored.
  kAbsent,
};

struct SerialEepromConfig {
  uint32_t size_bytes = 8192;  // power of two, 8 KiB to 64 KiB (16-bit addresses)
  uint32_t page_bytes = 32;    // power of two dividing size_bytes; a write wraps within its page
  SimTime write_cycle_clk = fromMillis(5);  // from chip-select release to ready
  // What the master reads while the part does not drive data-out (command and address bytes, an
  // absent part): the board's pull-up makes it 0xFF. With 0xFF an absent part reads busy for ever.
  uint8_t floating_data_out = 0xFF;
  // fdatasync after every write: survives a host crash, not only a killed simulator, but slower.
  bool sync_to_disk = false;
  EepromFault fault = EepromFault::kNone;
};

class SerialEeprom final : public SpiDevice {
 public:
  // Any other command (write status included: this part has no block protection) is ignored.
  static constexpr uint8_t kWriteCmd = 0x02;
  static constexpr uint8_t kReadCmd = 0x03;
  static constexpr uint8_t kWriteDisableCmd = 0x04;
  static constexpr uint8_t kReadStatusCmd = 0x05;
  static constexpr uint8_t kWriteEnableCmd = 0x06;
  static constexpr uint8_t kStatusWriteInProgress = 0x01;   // status bit 0
  static constexpr uint8_t kStatusWriteEnableLatch = 0x02;  // status bit 1
  static constexpr uint8_t kErasedByte = 0xFF;

  // A blank part (all cells 0xFF) held in memory only. Throws std::invalid_argument for a
  // configuration outside the limits above.
  explicit SerialEeprom(SerialEepromConfig config = {});
  // A part whose cells are the image file at `image_path`. An absent file is a blank part and is
  // created. A shorter file is a part whose missing cells are erased: it is extended with 0xFF at
  // once, so the file always holds the whole part. A longer file keeps its tail untouched (it may
  // belong to a larger part); only the first `size_bytes` are used. Every completed write reaches
  // the file when chip select is released, before the write cycle begins, so nothing the part
  // reported ready is lost if the simulator dies. Throws std::system_error for an unusable file.
  SerialEeprom(const std::filesystem::path& image_path, SerialEepromConfig config = {});

  // Context: the simulated SPI0 master, in time order.
  void select(SimTime now) override;
  uint16_t transfer(uint16_t mosi, SimTime now) override;  // 8-bit frames: low byte of `mosi`
  void deselect(SimTime now) override;

  void setFault(EepromFault fault);  // clearing kStuckBusy ends a stuck write cycle at once
  // Flaky reads: every `every_n`-th data byte a read clocks out has one bit flipped (bit 0, then
  // 1, ... in turn); the cells keep their value. 0 turns it off.
  void setReadBitFlips(uint32_t every_n) {
    flip_every_ = every_n;
    flip_count_ = 0;
  }
  uint64_t flippedReadCount() const { return flipped_reads_; }
  EepromFault fault() const { return config_.fault; }

  // Test set-up: puts `bytes` into the cells at `address` at once (and into the image file), as a
  // programmer would before the board is powered. Throws std::out_of_range past the end.
  void preload(uint32_t address, std::span<const uint8_t> bytes);

  std::span<const uint8_t> image() const { return cells_; }
  // The status register as a read-status command would return it at `now`.
  uint8_t status(SimTime now) const;
  bool busy(SimTime now) const;
  bool writeEnabled() const { return write_enable_latch_; }
  // Write commands whose data reached the cells (each started a write cycle).
  uint64_t writeCount() const { return write_count_; }
  // Write commands dropped: the latch was clear, or a write cycle was running.
  uint64_t ignoredWriteCount() const { return ignored_write_count_; }
  const SerialEepromConfig& config() const { return config_; }

 private:
  enum class Command : uint8_t {
    kNone,         // chip select released, or no byte yet
    kIgnored,      // rest of the chip-select cycle is ignored
    kWriteEnable,  // latch set at chip-select release
    kWriteDisable,
    kReadStatus,
    kRead,
    kWrite,
  };

  void startCommand(uint8_t opcode, SimTime now);
  void commitWrite(SimTime now);
  uint32_t addressMask() const { return config_.size_bytes - 1; }

  SerialEepromConfig config_;
  std::vector<uint8_t> cells_;
  std::unique_ptr<ImageFile> file_;  // null for an in-memory part

  // Per chip-select cycle.
  bool selected_ = false;
  Command command_ = Command::kNone;
  uint32_t frame_index_ = 0;  // frames since select
  uint32_t address_ = 0;      // next cell of a read; start of the data of a write
  // Page buffer of a write: the data land in the page at chip-select release.
  std::vector<uint8_t> page_data_;
  std::vector<bool> page_touched_;
  uint32_t page_offset_ = 0;  // where the next data byte goes within the page
  uint32_t data_bytes_ = 0;

  bool write_enable_latch_ = false;
  SimTime busy_until_clk_ = 0;  // a write cycle runs while now < busy_until_clk_
  bool stuck_cycle_ = false;    // a cycle began under kStuckBusy
  uint64_t write_count_ = 0;
  uint64_t ignored_write_count_ = 0;
  uint32_t flip_every_ = 0;  // setReadBitFlips
  uint32_t flip_count_ = 0;
  uint64_t flipped_reads_ = 0;
};

}  // namespace tavrix::sim
