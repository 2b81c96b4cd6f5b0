// CANopen slave: object dictionary, NMT, heartbeat, expedited SDO, four receive and four transmit
// PDOs with SYNC.
//
// The node's dispatcher switches to CANopen on the first two-byte frame that is not the reset
// frame, calls parseInitCO once and then hands every received frame to parseCO. Everything here
// runs in the main loop, except timerInt_CO (the tick).
//
// The dictionary is `co_data`: the 285 rows of kObjectDictionary (object_dictionary.hpp) plus the
// terminator, each with its live value, its SYNC staging value `shadow` and its accessors. The 80
// persistent rows are stored by "save" (0x1010 sub-index 1) at EEPROM address 0x100 + 4k and
// restored when the slave starts.
//
// Where the slave departs from what stock masters expect (kept on purpose, see README):
// a download must carry exactly the object's size (5, 6 or 8 bytes), no boot-up message is sent
// (the first heartbeat carries 5 or 127), 0x1017 is read as a signed 16-bit period (32768 ms and
// more stop the heartbeat), and a "save" with a wrong signature is acknowledged and ignored.
//
// Mended faults: reset communication re-installs the node's receive configuration; PDO mappings
// are validated (SDO writes refused with the CiA 301 abort codes, stored mappings skipped entry by
// entry at run time); a client's abort gets no answer; a TPDO whose COB-ID has bit 31 set (PDO
// not valid) is never sent, bit 29 selects a 29-bit frame; extended and remote frames are not
// CANopen frames of this slave and are ignored.
#pragma once

#include <cstdint>

#include "firmware/canopen/object_dictionary.hpp"
#include "firmware/platform/types.hpp"

namespace tavrix {

class Node;
class CanOpen;

// Row accessors. They always return 0; callers ignore the result.
using CoReadFunc = int16_t (*)(CanOpen& co, uint16_t entry, uint32_t* value);
using CoWriteFunc = int16_t (*)(CanOpen& co, uint16_t entry, uint32_t value);

// One object-dictionary row. Owner: main loop.
struct co_data_struct {
  uint16_t idx = 0;  // 0: terminator
  uint8_t subIdx = 0;
  uint8_t bits = 0;  // bit 7 persistent, bits 0..6 size code
  CoReadFunc readFunc = nullptr;
  CoWriteFunc writeFunc = nullptr;
  uint32_t value = 0;
  uint32_t shadow = 0;  // received in a synchronous RPDO, applied at the next due SYNC
};

// SDO abort codes, wire values.
enum SdoAbort : uint32_t {
  SDO_OK = 0,
  SDO_ABORT_COMMAND = 0x05040001,         // command specifier not served
  SDO_ABORT_LENGTH = 0x05040002,          // download length differs from the object's size
  SDO_ABORT_WRITE_ONLY = 0x06010001,      // read of an object without read access
  SDO_ABORT_READ_ONLY = 0x06010002,       // write of an object without write access
  SDO_ABORT_NO_OBJECT = 0x06020000,       // no such index / sub-index
  SDO_ABORT_NOT_MAPPABLE = 0x06040041,    // object cannot be mapped into this PDO
  SDO_ABORT_PDO_LENGTH = 0x06040042,      // mapped objects exceed the 8 bytes of a PDO
  SDO_ABORT_VALUE_TOO_HIGH = 0x06090031,  // mapping count above 4
};

// NMT states, as the heartbeat carries them.
inline constexpr uint8_t CO_STATE_INIT = 0;
inline constexpr uint8_t CO_STATE_STOPPED = 4;
inline constexpr uint8_t CO_STATE_OPERATIONAL = 5;
inline constexpr uint8_t CO_STATE_PREOPERATIONAL = 127;

// One CANopen timer (a table nothing arms; the tick only advances armed entries).
struct co_timer_struct {
  volatile uint8_t state = 0;  // 1 counting, 2 expired
  void (*callback)(Node&) = nullptr;
  uint32_t val = 0;
  uint32_t period = 0;
  volatile uint32_t count = 0;
};

class CanOpen {
 public:
  static constexpr int kRows = canopen::kRowCount;
  static constexpr uint32_t kSaveSignature = 0x65766173;  // "save", 's' in the lowest byte
  static constexpr uint8_t kMaxMapped = 4;
  static constexpr uint8_t kTimerCount = 8;

  explicit CanOpen(Node& node);

  // Context: main loop (the dispatcher, once, at the switch to CANopen).
  // Restores the persistent rows, derives the identifiers, enters operational or pre-operational
  // by 0x1F80 and sends the first heartbeat.
  void parseInitCO();

  // Context: main loop (the dispatcher, every frame in CANopen mode).
  // Classifies and handles one frame. Returns 0.
  int32_t parseCO(platform::LDD_CAN_TFrame* Frame);

  // Context: main loop. NMT command. Returns 0.
  int32_t parseNMT(platform::LDD_CAN_TFrame* Frame);
  // Context: main loop (first call from parseInitCO, then a software-timer event).
  void parseSendHeartbeat();
  // Context: main loop. Expedited SDO request; the answer is built in Frame and sent. Returns 0.
  int32_t parseSDO(platform::LDD_CAN_TFrame* Frame);
  // Context: main loop. Upload (write = 0) or download (1); 0 or an abort code.
  uint32_t parseReadWriteOD(platform::LDD_CAN_TFrame* Frame, uint8_t write);
  // Context: main loop.
  void parseFillSdoAck(platform::LDD_CAN_TFrame* Frame);
  void parseFillSdoAbort(platform::LDD_CAN_TFrame* Frame, uint32_t reason);

  // Context: main loop. RPDO `pdo` (0..3) from Frame. Returns 0.
  int32_t parseRPDO(platform::LDD_CAN_TFrame* Frame, uint8_t pdo);
  // Context: main loop. SYNC: staged RPDOs, then TPDOs. Returns 0.
  int16_t parseSync(platform::LDD_CAN_TFrame* Frame);
  // Context: main loop. Writes the staged values of RPDO `pdo`. Returns 0.
  int16_t parseRxShadowSync(platform::LDD_CAN_TFrame* Frame, uint8_t pdo);
  // Context: main loop. Builds TPDO `pdo` in Frame and sends it. Returns 0.
  int16_t parseSendTPDO(platform::LDD_CAN_TFrame* Frame, uint8_t pdo);

  // Context: main loop. Row of (idx, subIdx), or -1.
  int32_t parseFindEntry(uint16_t idx, uint8_t subIdx) const;
  // Context: main loop. SYNC, EMCY and SDO identifiers from the node id.
  void parseInitData();

  // Context: ISR, level 10 (tick). Advances the armed CANopen timers.
  void timerInt_CO();

  // Context: main loop (the property protocol's save of property 1 or 105, before the property
  // itself is saved). Mirrors the property into its dictionary row and that row's EEPROM slot.
  void storeLinkedProperty(int16_t number);

  // Context: main loop. Writes every persistent row to its EEPROM slot.
  void storePersistentRows();
  // Context: main loop. Reads every persistent row from its EEPROM slot.
  void restorePersistentRows();

  // The abort code a write of `value` to mapping row `row` would earn, 0 when the resulting
  // mapping is sound (rows outside the mapping objects: 0).
  uint32_t checkMappingWrite(int32_t row, uint32_t value) const;

  co_data_struct co_data[kRows + 1];

  // Owner: main loop.
  uint8_t m_co_state = CO_STATE_INIT;
  uint32_t sync = 0;
  uint32_t emcy = 0;
  uint32_t sdoRx = 0;
  uint32_t sdoTx = 0;
  uint8_t syncRxCt[4] = {};
  uint8_t syncTxCt[4] = {};
  // Owner: the tick (state, count); nothing arms an entry.
  co_timer_struct timer[kTimerCount] = {};

  // Diagnostics. Owner: main loop.
  uint32_t initCount = 0;      // parseInitCO calls
  uint32_t framesHandled = 0;  // frames handed to parseCO

  Node& node() { return node_; }

 private:
  struct MappedEntry {
    int32_t row;     // target row, -1 when the entry is not acted on
    uint8_t bitLen;  // bit length of the entry
  };
  // Context: main loop. The entries of mapping object `mapRow` (sub-index 0) that may be acted
  // on for the direction (receive: write accessor, transmit: read accessor); count clipped to 4.
  // Returns the number of entries filled into `out`, each with row -1 when it must be skipped.
  uint8_t mappedEntries(int32_t mapRow, bool receive, MappedEntry out[kMaxMapped]) const;
  // Context: main loop. Sends `frame` on buffer 0, repeating until the controller takes it.
  void send(platform::LDD_CAN_TFrame* frame);
  // Context: main loop. After CAN2_Init: receive identifiers and the CANopen acceptance mask.
  void reinstallReceiveConfiguration();

  Node& node_;
};

}  // namespace tavrix
