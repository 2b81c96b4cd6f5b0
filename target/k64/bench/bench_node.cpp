// The node on the chip's drivers, for cycle estimates of the control interrupt phase by phase.
//
// The emulator has no interrupt controller, so the two SPI masters are replaced by devices that
// complete their transfers at once and raise the receive event the way the SPI interrupt would:
// the rotor sensor answers `bench_angle` in bits 13..2, the serial EEPROM answers its status as
// ready and reads from an image that holds the properties bench_store stores, and the CAN
// controller accepts every frame (the emulator has no controller acknowledging a freeze).
// Everything else (PWM timer, PDB, converters, ports, tick timer) is the image's register-level
// driver.
#include <cstdint>
#include <cstring>

#include "firmware/node/node.hpp"
#include "target/k64/k64_platform.hpp"

namespace tavrix::k64::bench {
namespace {

class SensorNow final : public platform::Sm1 {
 public:
  platform::LDD_TDeviceData* SM1_Init(platform::LDD_TUserData*) override { return this; }
  platform::LDD_TError SM1_SendBlock(platform::LDD_TDeviceData*, const uint16_t*,
                                     uint16_t Size) override {
    for (uint16_t i = 0; i < Size; ++i) {
      if (rx_ != nullptr && received_ < rxSize_) rx_[received_++] = answer;
    }
    if (rx_ != nullptr && received_ >= rxSize_) {
      rx_ = nullptr;
      if (app != nullptr) app->SM1_OnBlockReceived(nullptr);
    }
    return platform::ERR_OK;
  }
  platform::LDD_TError SM1_ReceiveBlock(platform::LDD_TDeviceData*, uint16_t* BufferPtr,
                                        uint16_t Size) override {
    rx_ = BufferPtr;
    rxSize_ = Size;
    received_ = 0;
    return platform::ERR_OK;
  }
  uint16_t SM1_GetReceivedDataNum(platform::LDD_TDeviceData*) override { return received_; }

  platform::PlatformEvents* app = nullptr;
  uint16_t answer = 0;

 private:
  uint16_t* rx_ = nullptr;
  uint16_t rxSize_ = 0;
  uint16_t received_ = 0;
};

// A serial EEPROM answering read (0x03) and read-status (0x05) commands at once.
class EepromNow final : public platform::Sm3 {
 public:
  platform::LDD_TDeviceData* SM3_Init(platform::LDD_TUserData*) override { return this; }
  platform::LDD_TError SM3_SendBlock(platform::LDD_TDeviceData*, const uint8_t* BufferPtr,
                                     uint16_t Size) override {
    for (uint16_t i = 0; i < Size; ++i) {
      uint8_t out = 0;
      if (i >= 3 && BufferPtr[0] == 0x03) {
        const uint32_t a = (uint32_t{BufferPtr[1]} << 8 | BufferPtr[2]) + i - 3;
        out = a < sizeof(image) ? image[a] : 0xFF;
      }
      if (rx_ != nullptr && received_ < rxSize_) rx_[received_++] = out;
    }
    if (rx_ != nullptr && received_ >= rxSize_) rx_ = nullptr;
    return platform::ERR_OK;
  }
  platform::LDD_TError SM3_ReceiveBlock(platform::LDD_TDeviceData*, uint8_t* BufferPtr,
                                        uint16_t Size) override {
    rx_ = BufferPtr;
    rxSize_ = Size;
    received_ = 0;
    return platform::ERR_OK;
  }
  uint16_t SM3_GetReceivedDataNum(platform::LDD_TDeviceData*) override { return received_; }
  bool SM3_IsIdle(platform::LDD_TDeviceData*) override { return true; }

  uint8_t image[2 * kPropertyCount] = {};

 private:
  uint8_t* rx_ = nullptr;
  uint16_t rxSize_ = 0;
  uint16_t received_ = 0;
};

class CanNow final : public platform::Can2 {
 public:
  platform::LDD_TDeviceData* CAN2_Init(platform::LDD_TUserData*) override { return this; }
  platform::LDD_TError CAN2_Disable(platform::LDD_TDeviceData*) override { return 0; }
  platform::LDD_TError CAN2_Enable(platform::LDD_TDeviceData*) override { return 0; }
  platform::LDD_TError CAN2_SetAcceptanceMask(platform::LDD_TDeviceData*, uint8_t,
                                              uint32_t) override {
    return 0;
  }
  platform::LDD_TError CAN2_SetRxBufferID(platform::LDD_TDeviceData*, uint8_t, uint32_t) override {
    return 0;
  }
  platform::LDD_TError CAN2_SendFrame(platform::LDD_TDeviceData*, uint8_t,
                                      platform::LDD_CAN_TFrame*) override {
    return 0;
  }
  platform::LDD_TError CAN2_ReadFrame(platform::LDD_TDeviceData*, uint8_t,
                                      platform::LDD_CAN_TFrame*) override {
    return platform::ERR_RXEMPTY;
  }
};

[[gnu::section(".logger_buffer")]] LogBuffer logBuffer;
K64Cpu cpu;
CanNow can0;
SensorNow sensor;
EepromNow eeprom;
Ftm1Tick ftm1;
MotorDrive motorDrive{cpu};
Ports ports;
platform::Platform board{can0, sensor, eeprom, ftm1, cpu, motorDrive, ports};
Node node{board, logBuffer};

}  // namespace
}  // namespace tavrix::k64::bench

using tavrix::k64::bench::eeprom;
using tavrix::k64::bench::node;
using tavrix::k64::bench::sensor;

extern "C" {

// Stores property k in the EEPROM image (two bytes, least significant first), as a save would.
void bench_store(int32_t k, int32_t value) {
  if (k < 0 || k >= tavrix::kPropertyCount) return;
  eeprom.image[2 * k] = static_cast<uint8_t>(value);
  eeprom.image[2 * k + 1] = static_cast<uint8_t>(value >> 8);
}

// The node's start-up from the EEPROM image.
void bench_start() {
  sensor.app = &node;
  node.startUp();
}

// A host's set of property k over the bus, handled as the main loop would (16 or 32 bits).
static void hostSet(int32_t k, int32_t value, uint8_t length) {
  uint8_t data[8] = {static_cast<uint8_t>(0x80 | k),
                     0,
                     static_cast<uint8_t>(value),
                     static_cast<uint8_t>(value >> 8),
                     static_cast<uint8_t>(value >> 16),
                     static_cast<uint8_t>(value >> 24),
                     0,
                     0};
  tavrix::platform::LDD_CAN_TFrame frame;
  frame.MessageID = static_cast<uint32_t>(node.property[tavrix::prop::NODE_ID]);
  frame.Data = data;
  frame.Length = length;
  node.protocol.parseTavrixCAN(&frame);
}
void bench_host_set16(int32_t k, int32_t value) {
  hostSet(k, value, 4);
}
void bench_host_set32(int32_t k, int32_t value) {
  hostSet(k, value, 6);
}

// Rotor angle in encoder counts (0..4095) that the sensor reports from now on, and a step of it.
void bench_angle(int32_t counts) {
  sensor.answer = static_cast<uint16_t>((counts & 0xFFF) << 2);
}
void bench_step_angle(int32_t counts) {
  bench_angle(((sensor.answer >> 2) + counts) & 0xFFF);
}

// Conversion results as the ADC completion handlers store them (raw 12-bit counts): the two
// current-sense samples, ADC1's channel 23/16 reading and the bus voltage. The emulator raises no
// ADC interrupt, so the values stay until changed.
void bench_adc(int32_t current0A, int32_t current0B, int32_t adc1A, int32_t busVoltage) {
  node.result0RA = static_cast<int16_t>(current0A);
  node.result0RB = static_cast<int16_t>(current0B);
  node.result1RA = static_cast<int16_t>(adc1A);
  node.result1RB = static_cast<int16_t>(busVoltage);
}

// Context: as the PWM-period interrupt (level 5): one phase of the control sequencer. Returns the
// phase it ran.
int32_t bench_control_phase() {
  const int32_t phase = node.drive.state;
  node.FTM0_Interrupt();
  return phase;
}

}  // extern "C"
