// Types the platform layer exchanges with the application: result codes, device handles and the
// CAN frame record.
#pragma once

#include <cstdint>

namespace tavrix::platform {

// Result of a driver operation (unsigned 16-bit). The values are those the drivers report.
using LDD_TError = uint16_t;
inline constexpr LDD_TError ERR_OK = 0;             // success
inline constexpr LDD_TError ERR_DISABLED = 7;       // CAN driver not enabled
inline constexpr LDD_TError ERR_BUSY = 8;           // TX buffer occupied, RX buffer being written,
                                                    // or an SPI block of that direction in progress
inline constexpr LDD_TError ERR_NOTAVAIL = 9;       // acceptance mask changed while running
inline constexpr LDD_TError ERR_RXEMPTY = 10;       // receive buffer empty
inline constexpr LDD_TError ERR_OVERRUN = 13;       // buffer overwritten before read; newest frame read
inline constexpr LDD_TError ERR_BUFFER_KIND = 130;  // 0x82: receive op on TX buffer or the reverse
inline constexpr LDD_TError ERR_BUFFER_INDEX = 134; // 0x86: buffer index above 4
inline constexpr LDD_TError ERR_LENGTH = 140;       // 0x8C: frame length above 8
inline constexpr LDD_TError ERR_FRAME_TYPE = 149;   // 0x95: frame type above 2

// Opaque device handle returned by each initialisation and passed to every later call, and the
// user-data pointer handed back to events (the application passes null everywhere).
using LDD_TDeviceData = void;
using LDD_TUserData = void;

using LDD_CAN_TBufferIndex = uint8_t;
using LDD_CAN_TMessageID = uint32_t;
inline constexpr LDD_CAN_TMessageID LDD_CAN_MESSAGE_ID_EXT = 0x80000000u;  // 29-bit identifier

using LDD_CAN_TFrameType = uint8_t;
inline constexpr LDD_CAN_TFrameType LDD_CAN_DATA_FRAME = 0;
inline constexpr LDD_CAN_TFrameType LDD_CAN_REMOTE_FRAME = 1;
inline constexpr LDD_CAN_TFrameType LDD_CAN_RESPONSE_FRAME = 2;

// One CAN frame as the driver exchanges it. `Data` belongs to the caller; the driver only copies
// into or out of it.
struct LDD_CAN_TFrame {
  LDD_CAN_TMessageID MessageID = 0;  // bit 31 set: extended 29-bit identifier in bits 28..0
  LDD_CAN_TFrameType FrameType = LDD_CAN_DATA_FRAME;
  uint8_t* Data = nullptr;
  uint8_t Length = 0;      // 0..8 (a received length code may read 9..15; at most 8 bytes are copied)
  uint16_t TimeStamp = 0;  // free-running bit-time counter at reception
  uint8_t LocPriority = 0;
};

// Number of message buffers of the CAN controller: buffer 0 transmits, 1..4 receive.
inline constexpr uint8_t kCanBufferCount = 5;
inline constexpr uint8_t kCanMaxBufferIndex = 4;

// A GPIO pin: port (0 = A .. 4 = E) and bit.
struct Pin {
  uint8_t port;
  uint8_t bit;
  constexpr bool operator==(const Pin&) const = default;
};
namespace pins {
inline constexpr Pin PTA10{0, 10}, PTA11{0, 11}, PTA13{0, 13}, PTA15{0, 15}, PTA17{0, 17};
inline constexpr Pin PTB0{1, 0}, PTB2{1, 2}, PTB7{1, 7}, PTB8{1, 8}, PTB20{1, 20};
inline constexpr Pin PTC1{2, 1}, PTC2{2, 2}, PTC3{2, 3}, PTC4{2, 4};
inline constexpr Pin PTD4{3, 4}, PTD5{3, 5}, PTD10{3, 10}, PTD14{3, 14};
// The six gate-drive pins in FTM0 channel order 0..5.
inline constexpr Pin kGatePins[6] = {PTC1, PTC2, PTC3, PTC4, PTD4, PTD5};
}  // namespace pins

// Pin multiplexer functions used by the system.
inline constexpr uint8_t kPinMuxGpio = 1;
inline constexpr uint8_t kPinMuxFtm0 = 4;

// Interrupt levels (lower = more urgent).
inline constexpr uint8_t kLevelSpi1 = 2;
inline constexpr uint8_t kLevelAdc = 3;
inline constexpr uint8_t kLevelPwm = 5;
inline constexpr uint8_t kLevelCan = 7;
inline constexpr uint8_t kLevelSpi0 = 7;
inline constexpr uint8_t kLevelTick = 10;

}  // namespace tavrix::platform
