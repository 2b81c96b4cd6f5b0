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

namespace {

uint16_t checkOf(uint16_t address, uint16_t saved) {
  // Binds address and value: a record torn between an old and a new one fails it.
  const auto rotated = static_cast<uint16_t>((saved << 5) | (saved >> 11));
  return static_cast<uint16_t>(~(address ^ rotated ^ Sermem::kTestRecordMarker));
}

uint16_t wordAt(const int8_t* bytes) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[0]) |
                               (static_cast<uint8_t>(bytes[1]) << 8));
}

void putWord(int8_t* bytes, uint16_t value) {
  bytes[0] = static_cast<int8_t>(value & 0xFF);
  bytes[1] = static_cast<int8_t>(value >> 8);
}

}  // namespace

// Context: main loop.
void Sermem::encodeTestRecord(uint16_t address, uint16_t saved, int8_t (&record)[8]) {
  putWord(&record[0], kTestRecordMarker);
  putWord(&record[2], address);
  putWord(&record[4], saved);
  putWord(&record[6], checkOf(address, saved));
}

// Context: main loop.
bool Sermem::decodeTestRecord(const int8_t (&record)[8], uint16_t* address, uint16_t* saved) {
  if (wordAt(&record[0]) != kTestRecordMarker) return false;
  *address = wordAt(&record[2]);
  *saved = wordAt(&record[4]);
  return wordAt(&record[6]) == checkOf(*address, *saved);
}

// Context: main loop.
int32_t Sermem::sermem_TestPattern(int32_t bytes) {
  constexpr auto kRecordFirst = static_cast<int32_t>(kTestRecordAddress);
  constexpr int32_t kRecordEnd = kRecordFirst + kTestRecordBytes;

  // The record area's bytes of before, put back when the test is over (or reaches the area). A
  // leftover valid record is not kept: it would be replayed at the next start.
  int8_t original[kTestRecordBytes] = {};
  sermem_ReadBlock(kTestRecordAddress, original, kTestRecordBytes);
  if (wordAt(&original[0]) == kTestRecordMarker) std::memset(original, 0, sizeof original);
  bool originalBack = false;

  uint16_t mismatches = 0;
  // The address is a 16-bit count; the walk ends at the top of that space, so it cannot wrap
  // around and run for ever.
  for (int32_t a = 0; a < bytes && a <= 0xFFFE; a += 2) {
    const auto address = static_cast<int16_t>(static_cast<uint16_t>(a));
    const uint16_t saved = readWord(address);
    if (a >= kRecordFirst && a < kRecordEnd) {
      // Words of the record area hold no configuration: they are tested without a backup, from
      // their bytes of before (read again, as the record has overwritten them).
      if (!originalBack) {
        sermem_WriteBlock(kTestRecordAddress, original, kTestRecordBytes);
        originalBack = true;
      }
      const uint16_t before = wordAt(&original[a - kRecordFirst]);
      for (const uint16_t pattern : {uint16_t{0x5555}, uint16_t{0xAAAA}, before}) {
        writeWord(address, pattern);
        if (readWord(address) != pattern) ++mismatches;
      }
      continue;
    }
    int8_t record[kTestRecordBytes];
    encodeTestRecord(static_cast<uint16_t>(a), saved, record);
    sermem_WriteBlock(kTestRecordAddress, record, kTestRecordBytes);
    originalBack = false;
    for (const uint16_t pattern : {uint16_t{0x5555}, uint16_t{0xAAAA}, saved}) {
      writeWord(address, pattern);
      if (readWord(address) != pattern) ++mismatches;
    }
  }
  if (!originalBack) sermem_WriteBlock(kTestRecordAddress, original, kTestRecordBytes);
  return mismatches;
}

// Context: main loop (start-up).
bool Sermem::sermem_FinishInterruptedTest() {
  int8_t record[kTestRecordBytes] = {};
  sermem_ReadBlock(kTestRecordAddress, record, kTestRecordBytes);
  uint16_t address = 0;
  uint16_t saved = 0;
  if (!decodeTestRecord(record, &address, &saved)) return false;
  writeWord(static_cast<int16_t>(address), saved);
  // Invalidated only once the word is back: a cut before this line replays the same write.
  writeWord(kTestRecordAddress, 0);
  return true;
}

}  // namespace tavrix
