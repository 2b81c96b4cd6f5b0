#include "sim/board/serial_eeprom.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace tavrix::sim {
namespace {

bool isPowerOfTwo(uint32_t v) {
  return v != 0 && (v & (v - 1)) == 0;
}

SerialEepromConfig checked(SerialEepromConfig config) {
  if (!isPowerOfTwo(config.size_bytes) || config.size_bytes < 8192 || config.size_bytes > 65536) {
    throw std::invalid_argument("EEPROM size must be a power of two from 8 KiB to 64 KiB, not " +
                                std::to_string(config.size_bytes));
  }
  if (!isPowerOfTwo(config.page_bytes) || config.page_bytes > config.size_bytes) {
    throw std::invalid_argument("EEPROM page must be a power of two no larger than the part, not " +
                                std::to_string(config.page_bytes));
  }
  if (config.write_cycle_clk < 0) throw std::invalid_argument("negative EEPROM write cycle");
  return config;
}

}  // namespace

SerialEeprom::SerialEeprom(SerialEepromConfig config)
    : config_(checked(config)),
      cells_(config_.size_bytes, kErasedByte),
      page_data_(config_.page_bytes),
      page_touched_(config_.page_bytes) {}

SerialEeprom::SerialEeprom(const std::filesystem::path& image_path, SerialEepromConfig config)
    : SerialEeprom(config) {
  file_ = std::make_unique<ImageFile>(image_path, config_.sync_to_disk);
  const size_t got = file_->read(0, cells_);
  if (got < cells_.size()) {
    // Erased cells for the part of the image the file lacks, written out so that the file is
    // the whole part from now on and page writes never leave holes.
    file_->write(got, std::span<const uint8_t>(cells_).subspan(got));
  }
}

void SerialEeprom::setFault(EepromFault fault) {
  config_.fault = fault;
  if (fault != EepromFault::kStuckBusy) stuck_cycle_ = false;
}

void SerialEeprom::preload(uint32_t address, std::span<const uint8_t> bytes) {
  if (address > cells_.size() || bytes.size() > cells_.size() - address) {
    throw std::out_of_range("EEPROM preload past the end of the part");
  }
  std::copy(bytes.begin(), bytes.end(), cells_.begin() + address);
  if (file_) file_->write(address, bytes);
}

bool SerialEeprom::busy(SimTime now) const {
  return stuck_cycle_ || now < busy_until_clk_;
}

uint8_t SerialEeprom::status(SimTime now) const {
  return static_cast<uint8_t>((busy(now) ? kStatusWriteInProgress : 0) |
                              (write_enable_latch_ ? kStatusWriteEnableLatch : 0));
}

void SerialEeprom::select(SimTime /*now*/) {
  selected_ = true;
  command_ = Command::kNone;
  frame_index_ = 0;
}

void SerialEeprom::startCommand(uint8_t opcode, SimTime now) {
  // During a write cycle the part listens only for read status.
  if (busy(now) && opcode != kReadStatusCmd) {
    if (opcode == kWriteCmd) ++ignored_write_count_;
    command_ = Command::kIgnored;
    return;
  }
  switch (opcode) {
    case kWriteEnableCmd:
      command_ = Command::kWriteEnable;
      break;
    case kWriteDisableCmd:
      command_ = Command::kWriteDisable;
      break;
    case kReadStatusCmd:
      command_ = Command::kReadStatus;
      break;
    case kReadCmd:
      command_ = Command::kRead;
      break;
    case kWriteCmd:
      if (write_enable_latch_) {
        command_ = Command::kWrite;
        data_bytes_ = 0;
        std::fill(page_touched_.begin(), page_touched_.end(), false);
      } else {
        ++ignored_write_count_;
        command_ = Command::kIgnored;
      }
      break;
    default:
      command_ = Command::kIgnored;
      break;
  }
}

uint16_t SerialEeprom::transfer(uint16_t mosi, SimTime now) {
  const uint8_t floating = config_.floating_data_out;
  if (!selected_) return floating;
  if (config_.fault == EepromFault::kAbsent) {
    command_ = Command::kIgnored;
    return floating;
  }
  const uint8_t byte = static_cast<uint8_t>(mosi & 0xFF);
  const uint32_t index = frame_index_++;
  if (index == 0) {
    startCommand(byte, now);
    return floating;
  }
  switch (command_) {
    case Command::kReadStatus:
      return status(now);  // repeated for as long as the master clocks
    case Command::kRead:
    case Command::kWrite:
      if (index == 1) {
        address_ = static_cast<uint32_t>(byte) << 8;
        return floating;
      }
      if (index == 2) {
        // Address bits above the part's size are don't-care.
        address_ = (address_ | byte) & addressMask();
        page_offset_ = address_ & (config_.page_bytes - 1);
        return floating;
      }
      if (command_ == Command::kRead) {
        uint8_t out = cells_[address_];
        address_ = (address_ + 1) & addressMask();  // a sequential read wraps at the end
        if (flip_every_ != 0 && ++flip_count_ % flip_every_ == 0) {
          out = static_cast<uint8_t>(out ^ (1u << (flipped_reads_++ % 8)));
        }
        return out;
      }
      // More data than a page wraps to the page start and overwrites what came first.
      page_data_[page_offset_] = byte;
      page_touched_[page_offset_] = true;
      page_offset_ = (page_offset_ + 1) & (config_.page_bytes - 1);
      ++data_bytes_;
      return floating;
    default:
      return floating;
  }
}

void SerialEeprom::commitWrite(SimTime now) {
  const uint32_t page_base = address_ & ~(config_.page_bytes - 1);
  for (uint32_t i = 0; i < config_.page_bytes; ++i) {
    if (page_touched_[i]) cells_[page_base + i] = page_data_[i];
  }
  // The image holds the data before the cycle begins: once the part reads ready, the write is in
  // the file.
  if (file_)
    file_->write(page_base,
                 std::span<const uint8_t>(cells_).subspan(page_base, config_.page_bytes));
  ++write_count_;
  write_enable_latch_ = false;
  if (config_.fault == EepromFault::kStuckBusy) {
    stuck_cycle_ = true;
  } else {
    busy_until_clk_ = now + config_.write_cycle_clk;
  }
}

void SerialEeprom::deselect(SimTime now) {
  if (!selected_) return;
  selected_ = false;
  switch (command_) {
    case Command::kWriteEnable:
      write_enable_latch_ = true;
      break;
    case Command::kWriteDisable:
      write_enable_latch_ = false;
      break;
    case Command::kWrite:
      // A write that ended before its first data byte programs nothing and keeps the latch.
      if (data_bytes_ > 0) commitWrite(now);
      break;
    default:
      break;
  }
  command_ = Command::kNone;
}

}  // namespace tavrix::sim
