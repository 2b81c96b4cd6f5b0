// The CANopen side of a node as a master sees it: SDO transfers with the exact frame lengths this
// node requires, NMT commands, heartbeat states and abort texts.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tools/tavrix/bus.hpp"

namespace tavrix::cli {

// The meaning of an SDO abort code ("object does not exist in the object dictionary"), or
// "unknown abort code" for codes outside the common table.
std::string sdoAbortText(uint32_t code);

// NMT command names: start, stop, preop, reset-node, reset-comm.
std::optional<uint8_t> parseNmtCommand(std::string_view text);
std::string nmtCommandName(uint8_t command);
// Heartbeat state names: boot-up, stopped, operational, pre-operational.
std::string heartbeatStateName(uint8_t state);

// Data types an SDO transfer can carry; the size decides the frame length of a write.
enum class SdoType { kU8, kI8, kU16, kI16, kU32, kI32, kStr4 };
std::optional<SdoType> parseSdoType(std::string_view text);
int sdoTypeSize(SdoType t);
std::string sdoTypeName(SdoType t);
// The value as text: decimal for numbers, the four characters for str4.
std::string formatSdoValue(SdoType t, uint32_t raw);
// Parses a value of the type (decimal, 0x hex, or four characters for str4); throws
// Failure(kUsage) when it does not fit.
uint32_t parseSdoValue(SdoType t, std::string_view text);
// The type of an object from an EDS file's DataType (0x0005 U8 ... 0x0009 VISIBLE_STRING);
// nothing when the file lacks the object. Throws Failure(kUsage) when the file cannot be read.
std::optional<SdoType> edsType(const std::string& path, uint16_t index, uint8_t sub);

// Frame builders.
CanMessage sdoUploadRequest(int node, uint16_t index, uint8_t sub);
// Length 4 + size (this node's rule); `dlc8` gives the 8-byte frame stock slaves expect.
CanMessage sdoDownloadRequest(int node, uint16_t index, uint8_t sub, SdoType t, uint32_t value,
                              bool dlc8);
CanMessage nmtFrame(uint8_t command, int node);

class CanopenClient {
 public:
  CanopenClient(Bus& bus, std::chrono::milliseconds timeout) : bus_(bus), timeout_(timeout) {}

  // Expedited upload; returns bytes 4..7 as a little-endian word. Throws Failure(kSdoAbort)
  // with code and meaning on an abort, Failure(kTimeout) without an answer, Failure(kProtocol)
  // for an answer the protocol does not allow. Never answers an abort with an abort.
  uint32_t read(int node, uint16_t index, uint8_t sub);
  // Expedited download; returns the value the node echoes.
  uint32_t write(int node, uint16_t index, uint8_t sub, SdoType t, uint32_t value, bool dlc8);
  void nmt(uint8_t command, int node) { bus_.send(nmtFrame(command, node)); }

  Bus& bus() { return bus_; }

 private:
  uint32_t transfer(int node, const CanMessage& request, uint8_t expect, const char* what);
  Bus& bus_;
  std::chrono::milliseconds timeout_;
};

}  // namespace tavrix::cli
