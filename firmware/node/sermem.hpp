// Serial EEPROM driver on SPI0 (SM3): byte-addressed reads and writes with the standard command
// set of SPI serial EEPROMs with 16-bit addresses, and a non-destructive self-test.
//
// Persistent layout: property k at byte address 2k (2 bytes, or 4 for the pairs kept whole),
// the CANopen store at 0x100 + 4n. Multi-byte values lie least significant byte first.
//
// All operations run in the main loop only, one at a time, and block it until they finish; the
// SPI0 interrupt moves the bytes. Owner of the transfer buffers: main loop.
#pragma once

#include <cstdint>

namespace tavrix {

class Node;

class Sermem {
 public:
  static constexpr uint8_t kWriteEnable = 0x06;
  static constexpr uint8_t kWrite = 0x02;
  static constexpr uint8_t kRead = 0x03;
  static constexpr uint8_t kReadStatus = 0x05;
  static constexpr uint8_t kStatusBusy = 0x01;  // status bit 0: internal write cycle running
  static constexpr int8_t kMaxBlock = 29;       // 32-byte buffers less command and address
  // Bound of the status poll after a write. One poll is a 2-byte transfer at 5 MHz, at least
  // 3.2 us on the wire, so 8192 polls last at least 26 ms: far above any write cycle (5 ms on
  // typical parts). A memory that is missing or never clears its busy bit loses that write
  // instead of freezing the main loop.
  static constexpr uint32_t kStatusPollLimit = 8192;

  // Test record: while the self-test has a word under test, these 8 bytes hold the word's address
  // and saved value, so a power cut in the middle of the test cannot leave a configuration word at
  // a pattern: start-up puts the saved value back (sermem_FinishInterruptedTest). The record lies
  // in the last 8 bytes of the 1 KiB every part holds, an area no stored data use (properties end
  // at 253, the CANopen store at 575). Layout, each word least significant byte first:
  // marker, address, saved value, check.
  static constexpr int16_t kTestRecordAddress = 1016;
  static constexpr int8_t kTestRecordBytes = 8;
  static constexpr uint16_t kTestRecordMarker = 0x5AC3;

  explicit Sermem(Node& node) : node_(node) {}

  // Context: main loop.
  // Writes byteCount (0..29) bytes at address and returns when the memory has finished its write
  // cycle, or after kStatusPollLimit status reads. A count outside 0..29 does nothing.
  void sermem_WriteBlock(int16_t address, const int8_t* writeBuffer, int8_t byteCount);

  // Context: main loop.
  // Reads byteCount (0..29) bytes at address into readBuffer. A count outside 0..29 does nothing
  // and leaves readBuffer unchanged.
  void sermem_ReadBlock(int16_t address, int8_t* readBuffer, int8_t byteCount);

  // Context: main loop.
  // Tests the even addresses below `bytes` (at most the 16-bit address space): each 16-bit word is
  // saved, written with 0x5555 and 0xAAAA and restored, each write read back. Returns the number of
  // read-backs that differed (0..3 per address, counted in 16 bits).
  // A word is never left at a pattern by a cut: each address is backed up in the test record
  // before its first pattern write, and the record area itself gets back its bytes of before.
  int32_t sermem_TestPattern(int32_t bytes);

  // Context: main loop (start-up).
  // Completes a self-test that a power cut or reset ended early: if the test record is valid, its
  // saved value is written back to its address and the record is invalidated. True if it did so.
  bool sermem_FinishInterruptedTest();

  uint8_t SPI0_DataOut[32] = {};  // [0] command, [1..2] address, [3..] data or filler
  uint8_t SPI0_DataIn[32] = {};   // bytes clocked in, position for position

 private:
  // Context: main loop. Waits until the previous block has completely left the master.
  void waitIdle();
  // Context: main loop. Sends `size` bytes of SPI0_DataOut as one chip-select cycle.
  void send(uint16_t size);
  // Context: main loop. Arms reception of `size` bytes into SPI0_DataIn.
  void armReceive(uint16_t size);
  // Context: main loop. Waits until `size` bytes have been received.
  void waitReceived(uint16_t size);
  void putAddress(int16_t address);
  uint16_t readWord(int16_t address);
  void writeWord(int16_t address, uint16_t value);
  // Context: main loop. The test record for `address` holding `saved`, as stored.
  static void encodeTestRecord(uint16_t address, uint16_t saved, int8_t (&record)[8]);
  // Context: main loop. True if `record` is a valid test record; its address and value then.
  static bool decodeTestRecord(const int8_t (&record)[8], uint16_t* address, uint16_t* saved);

  Node& node_;
};

}  // namespace tavrix
