#include "firmware/canopen/canopen.hpp"

#include "firmware/math/arith.hpp"
#include "firmware/node/node.hpp"

namespace tavrix {

using canopen::Accessor;
using canopen::kObjectDictionary;
using canopen::OdRow;
using platform::LDD_CAN_TFrame;

namespace {

constexpr uint16_t kIdxHeartbeat = 0x1017;
constexpr uint16_t kIdxNmtStartup = 0x1F80;
constexpr uint16_t kIdxRpdoComm = 0x1400;
constexpr uint16_t kIdxRpdoMap = 0x1600;
constexpr uint16_t kIdxTpdoComm = 0x1800;
constexpr uint16_t kIdxTpdoMap = 0x1A00;
constexpr uint8_t kCsDownloadMask = 0xF2;
constexpr uint8_t kCsDownload = 0x22;  // expedited download, size bits ignored
constexpr uint8_t kCsUpload = 0x40;
constexpr uint8_t kCsUploadReply = 0x42;
constexpr uint8_t kCsDownloadReply = 0x60;
constexpr uint8_t kCsAbort = 0x80;
constexpr uint32_t kCobInvalid = 0x80000000u;  // PDO COB-ID bit 31: PDO not valid
constexpr uint32_t kCobExtended = 0x20000000u;  // PDO COB-ID bit 29: 29-bit identifier
constexpr uint32_t kPdoBits = 64;               // data bits of one frame
constexpr uint8_t kTypeSyncMax = 240;
constexpr uint8_t kTypeAsync = 255;

// Row of (idx, sub) in the constant table, -1 when absent.
constexpr int32_t rowOf(uint16_t idx, uint8_t sub) {
  for (int32_t i = 0; kObjectDictionary[static_cast<size_t>(i)].idx != 0; ++i) {
    const OdRow& r = kObjectDictionary[static_cast<size_t>(i)];
    if (r.idx == idx && r.subIdx == sub) return i;
  }
  return -1;
}

// Sub-index 0 rows of the PDO objects, found once at compile time; the other sub-indices follow
// them directly.
constexpr int32_t kRpdoCommRow[4] = {rowOf(0x1400, 0), rowOf(0x1401, 0), rowOf(0x1402, 0),
                                     rowOf(0x1403, 0)};
constexpr int32_t kRpdoMapRow[4] = {rowOf(0x1600, 0), rowOf(0x1601, 0), rowOf(0x1602, 0),
                                    rowOf(0x1603, 0)};
constexpr int32_t kTpdoCommRow[4] = {rowOf(0x1800, 0), rowOf(0x1801, 0), rowOf(0x1802, 0),
                                     rowOf(0x1803, 0)};
constexpr int32_t kTpdoMapRow[4] = {rowOf(0x1A00, 0), rowOf(0x1A01, 0), rowOf(0x1A02, 0),
                                    rowOf(0x1A03, 0)};

constexpr bool followsDirectly(int32_t row0, uint16_t idx, uint8_t lastSub) {
  for (uint8_t s = 0; s <= lastSub; ++s) {
    if (rowOf(idx, s) != row0 + s) return false;
  }
  return true;
}
static_assert([] {
  for (int i = 0; i < 4; ++i) {
    const auto n = static_cast<uint16_t>(i);
    if (!followsDirectly(kRpdoCommRow[i], kIdxRpdoComm + n, 2)) return false;
    if (!followsDirectly(kTpdoCommRow[i], kIdxTpdoComm + n, 2)) return false;
    if (!followsDirectly(kRpdoMapRow[i], kIdxRpdoMap + n, 4)) return false;
    if (!followsDirectly(kTpdoMapRow[i], kIdxTpdoMap + n, 4)) return false;
  }
  return true;
}(), "PDO sub-indices follow their sub-index 0 directly");

constexpr int32_t kRowMachine = rowOf(0x1018, 5);
constexpr int32_t kRowRole = rowOf(0x1018, 6);

// The over-current fault of the motor's current loop, once the motor provides it; 0 before.
template <typename M>
uint8_t overcurrentFault(M& drive) {
  if constexpr (requires { drive.Motor_IsOvercurrentFault(); }) {
    return drive.Motor_IsOvercurrentFault() != 0 ? 1 : 0;
  } else {
    return 0;
  }
}

uint32_t signExtend16(int16_t v) { return static_cast<uint32_t>(static_cast<int32_t>(v)); }

// --- Accessors. Context: main loop (SDO and PDO handling). ---

int16_t parseRead(CanOpen& co, uint16_t entry, uint32_t* value) {
  *value = co.co_data[entry].value;
  return 0;
}

int16_t parseWrite(CanOpen& co, uint16_t entry, uint32_t value) {
  co.co_data[entry].value = value;
  return 0;
}

int16_t parseReadError(CanOpen& co, uint16_t, uint32_t* value) {
  Node& node = co.node();
  uint32_t reg = 0;
  if (node.property[prop::OVERTEMP] != 0) reg |= 0x08;  // temperature
  if (overcurrentFault(node.drive) != 0) reg |= 0x02;   // current
  if (reg != 0) reg |= 0x01;                            // generic error
  *value = reg;
  return 0;
}

// Reads of a property-backed row store the property's value in the row, then answer it.
int16_t readProperty(CanOpen& co, uint16_t entry, uint32_t* value, uint32_t propertyValue) {
  co.co_data[entry].value = propertyValue;
  *value = propertyValue;
  return 0;
}
int16_t writeProperty(CanOpen& co, uint16_t entry, uint32_t value, int16_t number) {
  co.co_data[entry].value = value;
  co.node().property[number] = static_cast<int16_t>(value & 0xFFFF);
  return 0;
}

int16_t parseReadMachine(CanOpen& co, uint16_t entry, uint32_t* value) {
  return readProperty(co, entry, value, signExtend16(co.node().property[prop::MACHINE]));
}
int16_t parseWriteMachine(CanOpen& co, uint16_t entry, uint32_t value) {
  return writeProperty(co, entry, value, prop::MACHINE);
}
int16_t parseReadRole(CanOpen& co, uint16_t entry, uint32_t* value) {
  return readProperty(co, entry, value, signExtend16(co.node().property[prop::ROLE]));
}
int16_t parseWriteRole(CanOpen& co, uint16_t entry, uint32_t value) {
  return writeProperty(co, entry, value, prop::ROLE);
}
int16_t parseReadSafePos(CanOpen& co, uint16_t entry, uint32_t* value) {
  // Zero-extended, unlike the other property-backed reads.
  const auto v = static_cast<uint16_t>(co.node().property[prop::SAFE_POSITION]);
  return readProperty(co, entry, value, v);
}
int16_t parseWriteSafePos(CanOpen& co, uint16_t entry, uint32_t value) {
  return writeProperty(co, entry, value, prop::SAFE_POSITION);
}
int16_t parseReadVoltage(CanOpen& co, uint16_t entry, uint32_t* value) {
  return readProperty(co, entry, value, signExtend16(co.node().property[prop::BUS_VOLTAGE]));
}
int16_t parseReadTherm(CanOpen& co, uint16_t entry, uint32_t* value) {
  return readProperty(co, entry, value, signExtend16(co.node().property[prop::TEMPERATURE]));
}

int16_t parseWriteMode(CanOpen& co, uint16_t entry, uint32_t value) {
  co.co_data[entry].value = value;
  Node& node = co.node();
  int16_t mode = MODE_IDLE;
  switch (value) {
    case 1: mode = MODE_POSITION; break;
    case 2: mode = MODE_PROFILE; break;
    case 3: mode = MODE_VELOCITY; break;
    case 4: mode = MODE_TORQUE; break;
    case 6:
      // Homing one tick from now, in position mode.
      node.timers.timerAddEvent(callbacks::motorHome, 1);
      mode = MODE_POSITION;
      break;
    default: mode = MODE_IDLE; break;  // 0, 5 and every other value
  }
  node.drive.writeMode(mode);
  return 0;
}

int16_t parseReadScaled(CanOpen& co, uint16_t, uint32_t* value) {
  Node& node = co.node();
  if (node.property[prop::HOMED] != 1) {
    *value = 0;
    return 0;
  }
  const PropertyTable& table = node.propertyTable;
  const int32_t pos = table.get32(prop::POSITION);
  const int32_t span = math::wrapSub32(table.get32(prop::UPPER_LIMIT),
                                       table.get32(prop::LOWER_LIMIT));
  const int64_t scaled = static_cast<int64_t>(pos) * 65536;
  // Not offset by the lower bound: 65535 stands for a position equal to the span.
  const int32_t q = math::low32(span == 0 ? scaled : math::div64(scaled, span));
  *value = static_cast<uint32_t>(q < 0 ? 0 : (q > 65535 ? 65535 : q));
  return 0;
}

int16_t parseWriteScaled(CanOpen& co, uint16_t, uint32_t value) {
  Node& node = co.node();
  if (node.property[prop::HOMED] == 1) {
    node.drive.motorMoveToScaledP(static_cast<uint16_t>(value & 0xFFFF));
  }
  return 0;
}

int16_t parseWriteSave(CanOpen& co, uint16_t, uint32_t value) {
  // Any other value is acknowledged and ignored; the row keeps its value.
  if (value == CanOpen::kSaveSignature) co.storePersistentRows();
  return 0;
}

int16_t parseReadTavrixCANLink(CanOpen& co, uint16_t entry, uint32_t* value) {
  Node& node = co.node();
  const uint8_t n = co.co_data[entry].subIdx;
  if (n >= kPropertyCount) {  // no such row is built; kept safe all the same
    *value = 0;
    return 0;
  }
  const uint32_t v = canopen::isLinkPair(n)
                         ? static_cast<uint32_t>(node.propertyTable.get32(n))
                         : signExtend16(node.property[n]);
  return readProperty(co, entry, value, v);
}

int16_t parseWriteTavrixCANLink(CanOpen&, uint16_t, uint32_t) { return 0; }

constexpr CoReadFunc readFuncOf(Accessor a) {
  switch (a) {
    case Accessor::kPlain: return parseRead;
    case Accessor::kError: return parseReadError;
    case Accessor::kMachine: return parseReadMachine;
    case Accessor::kRole: return parseReadRole;
    case Accessor::kSafePos: return parseReadSafePos;
    case Accessor::kVoltage: return parseReadVoltage;
    case Accessor::kTherm: return parseReadTherm;
    case Accessor::kScaled: return parseReadScaled;
    case Accessor::kLink: return parseReadTavrixCANLink;
    default: return nullptr;
  }
}

constexpr CoWriteFunc writeFuncOf(Accessor a) {
  switch (a) {
    case Accessor::kPlain: return parseWrite;
    case Accessor::kMachine: return parseWriteMachine;
    case Accessor::kRole: return parseWriteRole;
    case Accessor::kSafePos: return parseWriteSafePos;
    case Accessor::kMode: return parseWriteMode;
    case Accessor::kScaled: return parseWriteScaled;
    case Accessor::kSave: return parseWriteSave;
    case Accessor::kLink: return parseWriteTavrixCANLink;
    default: return nullptr;
  }
}

struct Image {
  co_data_struct rows[CanOpen::kRows + 1];
};

// The program image of co_data, in flash on the chip.
constexpr Image kImage = [] {
  Image img{};
  for (size_t i = 0; i < kObjectDictionary.size(); ++i) {
    const OdRow& r = kObjectDictionary[i];
    img.rows[i] = co_data_struct{r.idx, r.subIdx, r.bits, readFuncOf(r.read),
                                 writeFuncOf(r.write), r.initial, 0};
  }
  return img;
}();

// Every accessor the table names exists.
static_assert([] {
  for (size_t i = 0; i < kObjectDictionary.size(); ++i) {
    const OdRow& r = kObjectDictionary[i];
    if ((r.read != Accessor::kNone) != (kImage.rows[i].readFunc != nullptr)) return false;
    if ((r.write != Accessor::kNone) != (kImage.rows[i].writeFunc != nullptr)) return false;
  }
  return true;
}());

void heartbeatEvent(Node& node) { node.canopen.parseSendHeartbeat(); }

uint32_t getLE32(const uint8_t* d) {
  return static_cast<uint32_t>(d[0]) | static_cast<uint32_t>(d[1]) << 8 |
         static_cast<uint32_t>(d[2]) << 16 | static_cast<uint32_t>(d[3]) << 24;
}
void putLE32(uint8_t* d, uint32_t v) {
  for (int i = 0; i < 4; ++i) d[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

CanOpen::CanOpen(Node& node) : node_(node) {
  for (int i = 0; i <= kRows; ++i) co_data[i] = kImage.rows[i];
}

// Context: main loop.
int32_t CanOpen::parseFindEntry(uint16_t idx, uint8_t subIdx) const {
  for (int32_t i = 0; co_data[i].idx != 0; ++i) {
    if (co_data[i].idx == idx && co_data[i].subIdx == subIdx) return i;
  }
  return -1;
}

// Context: main loop.
void CanOpen::parseInitData() {
  const auto node = static_cast<uint32_t>(static_cast<int32_t>(node_.property[prop::NODE_ID]));
  sync = co_data[parseFindEntry(0x1005, 0)].value;
  emcy = node | 0x80;
  co_data[parseFindEntry(0x1014, 0)].value = emcy;
  sdoRx = node | 0x600;
  co_data[parseFindEntry(0x1200, 1)].value = sdoRx;
  sdoTx = node | 0x580;
  co_data[parseFindEntry(0x1200, 2)].value = sdoTx;
}

// Context: main loop.
void CanOpen::storePersistentRows() {
  // Four rows (16 bytes) per EEPROM write: each block starts on a 16-byte boundary, so it never
  // crosses a page of the memory, and a save takes 20 write cycles instead of 80.
  int8_t block[16] = {};
  int8_t used = 0;
  int16_t address = canopen::kStoreAddress;
  for (int i = 0; co_data[i].idx != 0; ++i) {
    if ((co_data[i].bits & canopen::BITS_PERSISTENT) == 0) continue;
    for (int b = 0; b < 4; ++b) {
      block[used++] = static_cast<int8_t>(static_cast<uint8_t>(co_data[i].value >> (8 * b)));
    }
    if (used == 16) {
      node_.sermem.sermem_WriteBlock(address, block, used);
      address = static_cast<int16_t>(address + used);
      used = 0;
    }
  }
  if (used != 0) node_.sermem.sermem_WriteBlock(address, block, used);
}

// Context: main loop.
void CanOpen::restorePersistentRows() {
  int8_t block[16] = {};
  int8_t have = 0;
  int8_t at = 0;
  int16_t address = canopen::kStoreAddress;
  for (int i = 0; co_data[i].idx != 0; ++i) {
    if ((co_data[i].bits & canopen::BITS_PERSISTENT) == 0) continue;
    if (at == have) {
      node_.sermem.sermem_ReadBlock(address, block, 16);
      address = static_cast<int16_t>(address + 16);
      have = 16;
      at = 0;
    }
    uint8_t bytes[4];
    for (int b = 0; b < 4; ++b) bytes[b] = static_cast<uint8_t>(block[at++]);
    co_data[i].value = getLE32(bytes);  // no validity check: whatever is stored
  }
}

// Context: main loop.
void CanOpen::storeLinkedProperty(int16_t number) {
  const int32_t target = number == prop::MACHINE ? kRowMachine
                         : number == prop::ROLE  ? kRowRole
                                                 : -1;
  if (target < 0) return;
  int k = 0;
  for (int i = 0; co_data[i].idx != 0; ++i) {
    if ((co_data[i].bits & canopen::BITS_PERSISTENT) == 0) continue;
    if (i == target) {
      co_data[i].value = signExtend16(node_.property[number]);
      uint8_t bytes[4];
      putLE32(bytes, co_data[i].value);
      int8_t out[4];
      for (int b = 0; b < 4; ++b) out[b] = static_cast<int8_t>(bytes[b]);
      node_.sermem.sermem_WriteBlock(static_cast<int16_t>(canopen::kStoreAddress + 4 * k), out, 4);
      return;
    }
    ++k;
  }
}

// Context: main loop.
void CanOpen::parseInitCO() {
  ++initCount;
  restorePersistentRows();
  parseInitData();
  m_co_state = co_data[parseFindEntry(kIdxNmtStartup, 0)].value == 0 ? CO_STATE_OPERATIONAL
                                                                      : CO_STATE_PREOPERATIONAL;
  parseSendHeartbeat();
}

// Context: main loop.
void CanOpen::send(LDD_CAN_TFrame* frame) {
  platform::Platform& hw = node_.hw;
  while (hw.can2.CAN2_SendFrame(node_.CANdevice, 0, frame) != platform::ERR_OK) {
    hw.cpu.Cpu_Relax();
  }
}

// Context: main loop (parseInitCO, then a software-timer event).
void CanOpen::parseSendHeartbeat() {
  const int32_t row = parseFindEntry(kIdxHeartbeat, 0);
  if (row >= 0) {
    // The period is taken as signed 16 bits: 0 and 32768 .. 65535 ms stop the heartbeat.
    const uint32_t period = co_data[row].value;
    if (static_cast<int16_t>(period & 0xFFFF) > 0) node_.timers.timerAddEvent(heartbeatEvent, period);
  }
  uint8_t data[8] = {m_co_state};
  LDD_CAN_TFrame frame;
  frame.MessageID = (static_cast<uint32_t>(static_cast<int32_t>(node_.property[prop::NODE_ID])) |
                     0x700u) & 0x7FFu;
  frame.FrameType = platform::LDD_CAN_DATA_FRAME;
  frame.Data = data;
  frame.Length = 1;
  send(&frame);
}

// Context: main loop.
int32_t CanOpen::parseCO(LDD_CAN_TFrame* Frame) {
  ++framesHandled;
  if (m_co_state == CO_STATE_INIT) return 0;
  // The slave speaks 11-bit data frames only.
  if ((Frame->MessageID & platform::LDD_CAN_MESSAGE_ID_EXT) != 0) return 0;
  if (Frame->FrameType != platform::LDD_CAN_DATA_FRAME) return 0;
  const uint32_t id = Frame->MessageID & 0xFFFF;
  if (id == 0) return parseNMT(Frame);
  if ((id & 0x780) == 0x700) return 0;  // heartbeats of any node
  if (m_co_state == CO_STATE_STOPPED) return 0;
  if ((id & 0x780) == emcy) return 0;
  if (id == sdoRx) return parseSDO(Frame);
  if (id == 0x100) return 0;  // TIME
  if (m_co_state == CO_STATE_PREOPERATIONAL) return 0;
  if ((id & 0x7FF) == sync) {
    parseSync(Frame);
    return 0;
  }
  for (uint8_t n = 0; n < 4; ++n) {
    if (id == co_data[kRpdoCommRow[n] + 1].value) return parseRPDO(Frame, n);
  }
  return 0;
}

// Context: main loop.
void CanOpen::reinstallReceiveConfiguration() {
  platform::Can2& can = node_.hw.can2;
  platform::LDD_TDeviceData* dev = node_.CANdevice;
  can.CAN2_SetRxBufferID(dev, 1, static_cast<uint32_t>(node_.property[prop::NODE_ID]));
  can.CAN2_SetRxBufferID(dev, 2, Node::kRxGroup0Id);
  can.CAN2_SetRxBufferID(dev, 3, Node::kRxGroup1Id);
  can.CAN2_SetRxBufferID(dev, 4, Node::kRxBroadcastId);
  can.CAN2_Disable(dev);
  can.CAN2_SetAcceptanceMask(dev, 1, CommRing::kCanOpenAcceptanceMask);
  can.CAN2_Enable(dev);
}

// Context: main loop.
int32_t CanOpen::parseNMT(LDD_CAN_TFrame* Frame) {
  if (Frame->Length != 2) return 0;
  const uint8_t target = Frame->Data[1];
  if (target != 0 && static_cast<int32_t>(target) != node_.property[prop::NODE_ID]) return 0;
  switch (Frame->Data[0]) {
    case 0x01: m_co_state = CO_STATE_OPERATIONAL; break;
    case 0x02: m_co_state = CO_STATE_STOPPED; break;
    case 0x80: m_co_state = CO_STATE_PREOPERATIONAL; break;
    case 0x81: node_.hw.cpu.Cpu_SystemReset();  // does not return
      break;
    case 0x82:
      // The controller comes back with its reset filters; the node must still hear NMT, SDO,
      // SYNC and PDOs, so its receive identifiers and the CANopen mask go back in. State,
      // dictionary and identifiers are kept and nothing is sent.
      node_.CANdevice = node_.hw.can2.CAN2_Init(nullptr);
      reinstallReceiveConfiguration();
      break;
    default: break;
  }
  return 0;
}

// Context: main loop.
int32_t CanOpen::parseSDO(LDD_CAN_TFrame* Frame) {
  const uint8_t cs = Frame->Data[0];
  // A client's abort is unconfirmed: answering it would be taken as the reply to the client's
  // next request.
  if (cs == kCsAbort) return 0;
  uint32_t result = SDO_ABORT_COMMAND;
  if ((cs & kCsDownloadMask) == kCsDownload) {
    result = parseReadWriteOD(Frame, 1);
  } else if (cs == kCsUpload) {
    result = parseReadWriteOD(Frame, 0);
  }
  if (result != SDO_OK) parseFillSdoAbort(Frame, result);
  send(Frame);
  return 0;
}

// Context: main loop.
uint32_t CanOpen::parseReadWriteOD(LDD_CAN_TFrame* Frame, uint8_t write) {
  uint8_t* d = Frame->Data;
  const auto index = static_cast<uint16_t>(d[1] | d[2] << 8);
  const int32_t row = parseFindEntry(index, d[3]);
  if (row < 0) return SDO_ABORT_NO_OBJECT;
  co_data_struct& r = co_data[row];
  const auto entry = static_cast<uint16_t>(row);
  if (write != 0) {
    if (r.writeFunc == nullptr) return SDO_ABORT_READ_ONLY;
    uint32_t value = 0;
    switch (r.bits & canopen::BITS_SIZE_MASK) {
      case canopen::SIZE_U8:
        if (Frame->Length != 5) return SDO_ABORT_LENGTH;
        value = d[4];
        break;
      case canopen::SIZE_U16:
        if (Frame->Length != 6) return SDO_ABORT_LENGTH;
        value = static_cast<uint32_t>(d[4] | d[5] << 8);
        break;
      default:
        if (Frame->Length != 8) return SDO_ABORT_LENGTH;
        value = getLE32(d + 4);
        break;
    }
    const uint32_t mapping = checkMappingWrite(row, value);
    if (mapping != SDO_OK) return mapping;
    r.writeFunc(*this, entry, value);
    putLE32(d + 4, r.value);
    parseFillSdoAck(Frame);
    return SDO_OK;
  }
  if (r.readFunc == nullptr) return SDO_ABORT_WRITE_ONLY;
  Frame->MessageID = sdoTx;
  Frame->Length = 8;
  d[0] = kCsUploadReply;
  uint32_t value = 0;
  r.readFunc(*this, entry, &value);
  putLE32(d + 4, value);
  return SDO_OK;
}

// Context: main loop.
void CanOpen::parseFillSdoAck(LDD_CAN_TFrame* Frame) {
  Frame->MessageID = sdoTx;
  Frame->Length = 8;
  Frame->Data[0] = kCsDownloadReply;
}

// Context: main loop.
void CanOpen::parseFillSdoAbort(LDD_CAN_TFrame* Frame, uint32_t reason) {
  Frame->MessageID = sdoTx;
  Frame->Length = 8;
  Frame->Data[0] = kCsAbort;
  putLE32(Frame->Data + 4, reason);
}

namespace {

// Abort code for one mapping entry of the given direction, 0 when it may be mapped.
uint32_t entryFault(const CanOpen& co, uint32_t entry, bool receive) {
  const int32_t row = co.parseFindEntry(static_cast<uint16_t>(entry >> 16),
                                        static_cast<uint8_t>(entry >> 8));
  if (row < 0) return SDO_ABORT_NO_OBJECT;
  const co_data_struct& r = co.co_data[row];
  const bool accessor = receive ? r.writeFunc != nullptr : r.readFunc != nullptr;
  if (!accessor || !kObjectDictionary[static_cast<size_t>(row)].pdoMappable) {
    return SDO_ABORT_NOT_MAPPABLE;
  }
  if ((entry & 0xFF) == 0) return SDO_ABORT_NOT_MAPPABLE;
  return SDO_OK;
}

}  // namespace

// Context: main loop.
uint32_t CanOpen::checkMappingWrite(int32_t row, uint32_t value) const {
  const co_data_struct& r = co_data[row];
  const bool receive = r.idx >= kIdxRpdoMap && r.idx <= kIdxRpdoMap + 3;
  const bool transmit = r.idx >= kIdxTpdoMap && r.idx <= kIdxTpdoMap + 3;
  if (!receive && !transmit) return SDO_OK;
  const int32_t base = row - r.subIdx;  // sub-index 0 of the mapping object
  const auto entryAt = [&](uint8_t sub) {
    return sub == r.subIdx ? value : co_data[base + sub].value;
  };
  if (r.subIdx == 0) {
    if (value > kMaxMapped) return SDO_ABORT_VALUE_TOO_HIGH;
    uint32_t bits = 0;
    for (uint8_t s = 1; s <= value; ++s) {
      const uint32_t fault = entryFault(*this, entryAt(s), receive);
      if (fault != SDO_OK) return fault;
      bits += entryAt(s) & 0xFF;
    }
    return bits > kPdoBits ? SDO_ABORT_PDO_LENGTH : SDO_OK;
  }
  if (value == 0) return SDO_OK;  // an entry cleared while it is not counted
  const uint32_t fault = entryFault(*this, value, receive);
  if (fault != SDO_OK) return fault;
  if ((value & 0xFF) > kPdoBits) return SDO_ABORT_PDO_LENGTH;
  uint32_t count = co_data[base].value & 0xFF;
  if (count > kMaxMapped) count = kMaxMapped;
  if (r.subIdx > count) return SDO_OK;  // not counted yet: checked again when it is
  uint32_t bits = 0;
  for (uint8_t s = 1; s <= count; ++s) {
    if (s == r.subIdx || entryFault(*this, entryAt(s), receive) == SDO_OK) {
      bits += entryAt(s) & 0xFF;
    }
  }
  return bits > kPdoBits ? SDO_ABORT_PDO_LENGTH : SDO_OK;
}

// Context: main loop.
uint8_t CanOpen::mappedEntries(int32_t mapRow, bool receive, MappedEntry out[kMaxMapped]) const {
  uint8_t count = static_cast<uint8_t>(co_data[mapRow].value & 0xFF);
  if (count > kMaxMapped) count = kMaxMapped;  // restored mappings are not checked
  uint32_t bits = 0;
  uint8_t n = 0;
  for (; n < count; ++n) {
    const uint32_t e = co_data[mapRow + 1 + n].value;
    const auto bitLen = static_cast<uint8_t>(e & 0xFF);
    bits += bitLen;
    if (bits > kPdoBits) break;  // this entry and the rest reach beyond the frame
    const bool ok = entryFault(*this, e, receive) == SDO_OK;
    out[n] = MappedEntry{ok ? parseFindEntry(static_cast<uint16_t>(e >> 16),
                                             static_cast<uint8_t>(e >> 8))
                            : -1,
                         bitLen};
  }
  return n;
}

// Context: main loop.
int32_t CanOpen::parseRPDO(LDD_CAN_TFrame* Frame, uint8_t pdo) {
  MappedEntry entries[kMaxMapped];
  const uint8_t count = mappedEntries(kRpdoMapRow[pdo], true, entries);
  const auto type = static_cast<uint8_t>(co_data[kRpdoCommRow[pdo] + 2].value & 0xFF);
  uint32_t p = 0;  // bit pointer
  for (uint8_t i = 0; i < count; ++i) {
    const MappedEntry& m = entries[i];
    if (m.row >= 0) {
      // Whole bytes, first byte least significant; the frame's length is not compared.
      const uint32_t first = p >> 3;
      const uint32_t last = (p + m.bitLen - 1) >> 3;
      uint32_t value = 0;
      for (uint32_t b = last + 1; b-- > first;) value = value << 8 | Frame->Data[b];
      co_data_struct& target = co_data[m.row];
      if (type == kTypeAsync) {
        target.writeFunc(*this, static_cast<uint16_t>(m.row), value);
      } else if (type <= kTypeSyncMax) {
        target.shadow = value;
      }
    }
    p += m.bitLen;
  }
  return 0;
}

// Context: main loop.
int16_t CanOpen::parseSync(LDD_CAN_TFrame* Frame) {
  for (uint8_t pdo = 0; pdo < 4; ++pdo) {
    const uint32_t type = co_data[kRpdoCommRow[pdo] + 2].value;
    if (type > kTypeSyncMax) continue;
    ++syncRxCt[pdo];
    if (syncRxCt[pdo] >= type) {
      syncRxCt[pdo] = 0;
      parseRxShadowSync(Frame, pdo);
    }
  }
  for (uint8_t pdo = 0; pdo < 4; ++pdo) {
    const uint32_t type = co_data[kTpdoCommRow[pdo] + 2].value;
    if (type > kTypeSyncMax) continue;
    // A disabled TPDO keeps counting, so re-enabling it keeps its phase.
    ++syncTxCt[pdo];
    if (syncTxCt[pdo] >= type) {
      syncTxCt[pdo] = 0;
      parseSendTPDO(Frame, pdo);
    }
  }
  return 0;
}

// Context: main loop.
int16_t CanOpen::parseRxShadowSync(LDD_CAN_TFrame*, uint8_t pdo) {
  MappedEntry entries[kMaxMapped];
  const uint8_t count = mappedEntries(kRpdoMapRow[pdo], true, entries);
  for (uint8_t i = 0; i < count; ++i) {
    const int32_t row = entries[i].row;
    if (row >= 0) co_data[row].writeFunc(*this, static_cast<uint16_t>(row), co_data[row].shadow);
  }
  return 0;
}

// Context: main loop.
int16_t CanOpen::parseSendTPDO(LDD_CAN_TFrame* Frame, uint8_t pdo) {
  const uint32_t cob = co_data[kTpdoCommRow[pdo] + 1].value;
  if ((cob & kCobInvalid) != 0) return 0;  // PDO not valid: never sent
  MappedEntry entries[kMaxMapped];
  const uint8_t count = mappedEntries(kTpdoMapRow[pdo], false, entries);
  uint8_t n = 0;
  for (uint8_t i = 0; i < count; ++i) {
    const int32_t row = entries[i].row;
    // A skipped entry leaves its bytes out; a length that is not whole bytes loses the rest.
    if (row < 0) continue;
    uint32_t value = 0;
    co_data[row].readFunc(*this, static_cast<uint16_t>(row), &value);
    for (uint8_t b = 0; b < entries[i].bitLen >> 3 && n < 8; ++b) {
      Frame->Data[n++] = b < 4 ? static_cast<uint8_t>(value >> (8 * b)) : 0;
    }
  }
  if (n == 0) return 0;
  // Bit 30 (no remote request) has no meaning here; bit 29 asks for a 29-bit identifier.
  Frame->MessageID = (cob & kCobExtended) != 0
                         ? platform::LDD_CAN_MESSAGE_ID_EXT | (cob & 0x1FFFFFFFu)
                         : cob & 0x7FFu;
  Frame->FrameType = platform::LDD_CAN_DATA_FRAME;
  Frame->Length = n;
  send(Frame);
  return 0;
}

// Context: ISR, level 10 (tick).
void CanOpen::timerInt_CO() {
  for (co_timer_struct& t : timer) {
    if (t.state != 1) continue;
    if (t.count < t.val) {
      t.count = t.count + 1;
    } else {
      t.state = 2;
    }
  }
}

}  // namespace tavrix
