#include "firmware/node/sermem.hpp"

#include <cstring>

#include "firmware/node/node.hpp"

namespace tavrix {

// Context: main loop.
void Sermem::waitIdle() {
  while (!node_.hw.sm3.SM3_IsIdle(node_.SPI0device)) node_.hw.cpu.Cpu_Relax();
}

// Context: main loop.
void Sermem::send(uint16_t size) {
  while (node_.hw.sm3.SM3_SendBlock(node_.SPI0device, SPI0_DataOut, size) != platform::ERR_OK) {
    node_.hw.cpu.Cpu_Relax();
  }
}

// Context: main loop.
void Sermem::armReceive(uint16_t size) {
  while (node_.hw.sm3.SM3_ReceiveBlock(node_.SPI0device, SPI0_DataIn, size) != platform::ERR_OK) {
    node_.hw.cpu.Cpu_Relax();
  }
}

// Context: main loop.
void Sermem::waitReceived(uint16_t size) {
  while (node_.hw.sm3.SM3_GetReceivedDataNum(node_.SPI0device) < size) node_.hw.cpu.Cpu_Relax();
}

void Sermem::putAddress(int16_t address) {
  const auto a = static_cast<uint16_t>(address);
  SPI0_DataOut[1] = static_cast<uint8_t>(a >> 8);
  SPI0_DataOut[2] = static_cast<uint8_t>(a & 0xFF);
}

// Context: main loop.
void Sermem::sermem_WriteBlock(int16_t address, const int8_t* writeBuffer, int8_t byteCount) {
  if (byteCount < 0 || byteCount > kMaxBlock) return;
  const auto n = static_cast<uint16_t>(byteCount);

  // Write enable, in its own chip-select cycle.
  waitIdle();
  SPI0_DataOut[0] = kWriteEnable;
  send(1);

  // The buffer is refilled only once the enable byte has left it.
  waitIdle();
  SPI0_DataOut[0] = kWrite;
  putAddress(address);
  if (n > 0) std::memcpy(&SPI0_DataOut[3], writeBuffer, n);
  send(static_cast<uint16_t>(n + 3));

  // Status poll until the internal write cycle has ended, bounded (see kStatusPollLimit).
  for (uint32_t polls = 0; polls < kStatusPollLimit; ++polls) {
    waitIdle();
    armReceive(2);
    SPI0_DataOut[0] = kReadStatus;
    SPI0_DataOut[1] = 0x00;
    send(2);
    waitReceived(2);
    if ((SPI0_DataIn[1] & kStatusBusy) == 0) return;
  }
}

// Context: main loop.
void Sermem::sermem_ReadBlock(int16_t address, int8_t* readBuffer, int8_t byteCount) {
  if (byteCount < 0 || byteCount > kMaxBlock) return;
  const auto n = static_cast<uint16_t>(byteCount);
  const auto size = static_cast<uint16_t>(n + 3);

  // Armed once the previous transfer is over, so the block captures exactly this one. Bytes 3
  // onward go out as filler: whatever the buffer last held.
  waitIdle();
  armReceive(size);
  SPI0_DataOut[0] = kRead;
  putAddress(address);
  send(size);
  waitReceived(size);
  if (n > 0) std::memcpy(readBuffer, &SPI0_DataIn[3], n);
}

uint16_t Sermem::readWord(int16_t address) {
  int8_t bytes[2] = {};
  sermem_ReadBlock(address, bytes, 2);
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[0]) |
                               (static_cast<uint8_t>(bytes[1]) << 8));
}

void Sermem::writeWord(int16_t address, uint16_t value) {
  const int8_t bytes[2] = {static_cast<int8_t>(value & 0xFF), static_cast<int8_t>(value >> 8)};
  sermem_WriteBlock(address, bytes, 2);
}

// Context: main loop.
int32_t Sermem::sermem_TestPattern(int32_t bytes) {
  uint16_t mismatches = 0;
  // The address is a 16-bit count; the walk ends at the top of that space, so it cannot wrap
  // around and run for ever.
  for (int32_t a = 0; a < bytes && a <= 0xFFFE; a += 2) {
    const auto address = static_cast<int16_t>(static_cast<uint16_t>(a));
    const uint16_t saved = readWord(address);
    for (const uint16_t pattern : {uint16_t{0x5555}, uint16_t{0xAAAA}, saved}) {
      writeWord(address, pattern);
      if (readWord(address) != pattern) ++mismatches;
    }
  }
  return mismatches;
}

}  // namespace tavrix
