// The property table: the node's single store of settings, commands, measurements and status.
//
// 127 signed 16-bit properties indexed by number. 32-bit values live in pairs: property[k] holds
// bits 0..15 and property[k + 1] bits 16..31 of one little-endian word, for the even numbers in
// kPair32. The array is 4-byte aligned, so each pair is one aligned word that get32/set32 read
// and write with a single load or store: no context ever sees a torn 32-bit value.
//
// Ownership: shared by every context without a lock (single 16-bit or aligned 32-bit accesses).
// The control interrupt writes 11, 18, 19, 20, 23, 42, 44, 46, 48 and 66; the main loop the rest.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace tavrix {

inline constexpr int kPropertyCount = 127;

// Property numbers, named as in the code of every subsystem.
namespace prop {
inline constexpr int16_t FIRMWARE_ID = 0;
inline constexpr int16_t MACHINE = 1;
inline constexpr int16_t SAVED_2 = 2;
inline constexpr int16_t NODE_ID = 3;
inline constexpr int16_t EEPROM_TEST = 4;
inline constexpr int16_t STATUS = 5;
inline constexpr int16_t SPARE_6 = 6;
inline constexpr int16_t MODE = 8;
inline constexpr int16_t SAVE = 9;
inline constexpr int16_t TEMP_LIMIT = 10;
inline constexpr int16_t OVERTEMP = 11;
inline constexpr int16_t CMD_FILTER_Q = 14;
inline constexpr int16_t CMD_FILTER_FREQ = 15;
inline constexpr int16_t FILTER_FLAGS = 16;
inline constexpr int16_t DEBUG_PIN = 17;
inline constexpr int16_t ADC1_RAW_A = 18;
inline constexpr int16_t VBUS_RAW = 19;
inline constexpr int16_t TEMPERATURE = 20;
inline constexpr int16_t CURRENT_GAIN_SCALE = 21;
inline constexpr int16_t Q_CURRENT = 22;
inline constexpr int16_t BUS_VOLTAGE = 23;
inline constexpr int16_t SAVED_26 = 26;
inline constexpr int16_t SAVED_27 = 27;
inline constexpr int16_t SAVED_28 = 28;
inline constexpr int16_t ACTION = 29;
inline constexpr int16_t SAVE_ALT = 30;
inline constexpr int16_t LOAD = 31;
inline constexpr int16_t CALIBRATE = 33;
inline constexpr int16_t AUX_OUTPUT = 34;
inline constexpr int16_t OSC_TRIM = 35;
inline constexpr int16_t SECTOR_VOTES = 36;
inline constexpr int16_t STEP_CURRENT = 37;
inline constexpr int16_t VOLTAGE_MODE = 38;
inline constexpr int16_t PWM_MODULO = 39;
inline constexpr int16_t TICK_RATE = 40;
inline constexpr int16_t OBSERVER_BYPASS = 41;
inline constexpr int16_t TORQUE = 42;
inline constexpr int16_t TORQUE_LIMIT = 43;
inline constexpr int16_t VELOCITY = 44;
inline constexpr int16_t VELOCITY_LIMIT = 45;
inline constexpr int16_t ANGLE_STEP = 46;
inline constexpr int16_t ANGLE_LEAD = 47;
inline constexpr int16_t POSITION = 48;
inline constexpr int16_t HOME_TARGET = 50;
inline constexpr int16_t TRAVEL = 52;
inline constexpr int16_t LOWER_LIMIT = 54;
inline constexpr int16_t UPPER_LIMIT = 56;
inline constexpr int16_t PROFILE_START = 58;
inline constexpr int16_t HOME_VELOCITY_LIMIT = 60;
inline constexpr int16_t ELEC_OFFSET = 61;
inline constexpr int16_t CURRENT_OFFSET = 62;
inline constexpr int16_t SCALED_TARGET = 63;
inline constexpr int16_t SCALED_POSITION = 64;
inline constexpr int16_t AUTOHOME_DELAY = 65;
inline constexpr int16_t MECH_ANGLE = 66;
inline constexpr int16_t COUNTS_PER_REV = 68;
inline constexpr int16_t SAVED_70 = 70;
inline constexpr int16_t HOME_VELOCITY = 73;
inline constexpr int16_t BACKOFF_HIGH = 74;
inline constexpr int16_t SAVED_77 = 77;
inline constexpr int16_t SAVED_78 = 78;
inline constexpr int16_t POS_KP = 79;
inline constexpr int16_t POS_KI = 81;
inline constexpr int16_t ACCEL_LIMIT = 82;
inline constexpr int16_t POSITION_SCALE = 83;
inline constexpr int16_t SAVED_86 = 86;
inline constexpr int16_t POLES = 90;
inline constexpr int16_t CUR_KP = 91;
inline constexpr int16_t CUR_KI = 92;
inline constexpr int16_t ALIGN_CURRENT = 93;
inline constexpr int16_t BACKOFF_LOW = 98;
inline constexpr int16_t POS_NO_INTEGRAL = 100;
inline constexpr int16_t HOMED = 103;
inline constexpr int16_t ROLE = 105;
inline constexpr int16_t SAFE_POSITION = 106;
inline constexpr int16_t HOME_TORQUE = 108;
inline constexpr int16_t WINDING_R = 109;
inline constexpr int16_t WINDING_L = 110;
inline constexpr int16_t INERTIA = 111;
inline constexpr int16_t TORQUE_CONSTANT = 112;
inline constexpr int16_t OVERCURRENT_LEVEL = 113;
inline constexpr int16_t TORQUE_MAX = 114;
inline constexpr int16_t OVERCURRENT_TIME = 115;
inline constexpr int16_t CURRENT_BW = 116;
inline constexpr int16_t VELOCITY_BW = 117;
inline constexpr int16_t POSITION_BW = 118;
inline constexpr int16_t VEL_KP = 119;
inline constexpr int16_t VEL_KI = 120;
inline constexpr int16_t CUR_KP_SHIFT = 121;
inline constexpr int16_t CUR_KI_SHIFT = 122;
inline constexpr int16_t VEL_KP_SHIFT = 123;
inline constexpr int16_t VEL_KI_SHIFT = 124;
inline constexpr int16_t POS_KP_SHIFT = 125;
inline constexpr int16_t POS_KI_SHIFT = 126;}  // namespace prop

// Values of property[STATUS].
inline constexpr int16_t STATUS_RESET = 0;
inline constexpr int16_t STATUS_READY = 2;
inline constexpr int16_t STATUS_HOMING = 3;
inline constexpr int16_t STATUS_TEST = 4;
inline constexpr int16_t STATUS_HALT = -1;

// Lower numbers of the 32-bit pairs.
inline constexpr std::array<int16_t, 9> kPair32 = {48, 50, 52, 54, 56, 66, 68, 74, 98};

constexpr bool isPair32(int k) {
  for (int16_t p : kPair32) {
    if (p == k) return true;
  }
  return false;
}
// Upper element of a pair (49, 51, ...): no meaning of its own.
constexpr bool isPairUpper(int k) { return isPair32(k - 1); }

// Bytes the save and load commands move for property n: 4 for the 32-bit pairs kept whole in the
// EEPROM, 2 for every other number (48 and 66 included). Chosen by the number's low byte, as the
// commands take it from a 16-bit value.
constexpr uint8_t eepromByteCount(int n) {
  switch (n & 0xFF) {
    case 50: case 52: case 54: case 56: case 68: case 74: case 98:
      return 4;
    default:
      return 2;
  }
}

// How a set over the property protocol treats a number (the protocol's own table decides the
// details; this is the summary the tables and documentation are generated from).
enum class SetKind : uint8_t {
  Unused,   // not used by the firmware: a get returns 0, a set is ignored
  Plain,    // stored as sent
  Special,  // stored with side effects, or refused in some states
  Ignored,  // a set has no effect (measurements, computed values)
  Command,  // nothing is stored; the set runs an action
};
enum class Width : uint8_t { kNone = 0, k16 = 16, k32 = 32 };

struct PropertyInfo {
  int16_t number;
  const char* name;  // nullptr for numbers without a meaning
  Width width;       // kNone: a command or a get-only value without storage of its own
  bool restored;     // read back from the EEPROM at start
  SetKind set;
};

inline constexpr std::array<PropertyInfo, kPropertyCount> kPropertyInfo = {{
    {0, "FIRMWARE_ID", Width::k16, false, SetKind::Ignored},
    {1, "MACHINE", Width::k16, true, SetKind::Plain},
    {2, "SAVED_2", Width::k16, true, SetKind::Plain},
    {3, "NODE_ID", Width::k16, true, SetKind::Special},
    {4, "EEPROM_TEST", Width::k16, false, SetKind::Plain},
    {5, "STATUS", Width::k16, false, SetKind::Special},
    {6, "SPARE_6", Width::k16, false, SetKind::Plain},
    {7, nullptr, Width::kNone, false, SetKind::Unused},
    {8, "MODE", Width::k16, false, SetKind::Special},
    {9, "SAVE", Width::kNone, false, SetKind::Command},
    {10, "TEMP_LIMIT", Width::k16, true, SetKind::Plain},
    {11, "OVERTEMP", Width::k16, false, SetKind::Plain},
    {12, nullptr, Width::kNone, false, SetKind::Unused},
    {13, nullptr, Width::kNone, false, SetKind::Unused},
    {14, "CMD_FILTER_Q", Width::k16, true, SetKind::Special},
    {15, "CMD_FILTER_FREQ", Width::k16, true, SetKind::Special},
    {16, "FILTER_FLAGS", Width::k16, true, SetKind::Plain},
    {17, "DEBUG_PIN", Width::kNone, false, SetKind::Command},
    {18, "ADC1_RAW_A", Width::k16, false, SetKind::Ignored},
    {19, "VBUS_RAW", Width::k16, false, SetKind::Ignored},
    {20, "TEMPERATURE", Width::k16, false, SetKind::Ignored},
    {21, "CURRENT_GAIN_SCALE", Width::k16, true, SetKind::Plain},
    {22, "Q_CURRENT", Width::kNone, false, SetKind::Ignored},
    {23, "BUS_VOLTAGE", Width::k16, false, SetKind::Ignored},
    {24, nullptr, Width::kNone, false, SetKind::Unused},
    {25, nullptr, Width::kNone, false, SetKind::Unused},
    {26, "SAVED_26", Width::k16, true, SetKind::Plain},
    {27, "SAVED_27", Width::k16, true, SetKind::Plain},
    {28, "SAVED_28", Width::k16, true, SetKind::Plain},
    {29, "ACTION", Width::kNone, false, SetKind::Command},
    {30, "SAVE_ALT", Width::kNone, false, SetKind::Command},
    {31, "LOAD", Width::kNone, false, SetKind::Command},
    {32, nullptr, Width::kNone, false, SetKind::Unused},
    {33, "CALIBRATE", Width::kNone, false, SetKind::Command},
    {34, "AUX_OUTPUT", Width::k16, true, SetKind::Special},
    {35, "OSC_TRIM", Width::kNone, false, SetKind::Command},
    {36, "SECTOR_VOTES", Width::k16, false, SetKind::Plain},
    {37, "STEP_CURRENT", Width::k16, false, SetKind::Special},
    {38, "VOLTAGE_MODE", Width::k16, false, SetKind::Plain},
    {39, "PWM_MODULO", Width::k16, false, SetKind::Special},
    {40, "TICK_RATE", Width::k16, false, SetKind::Special},
    {41, "OBSERVER_BYPASS", Width::k16, false, SetKind::Plain},
    {42, "TORQUE", Width::k16, false, SetKind::Plain},
    {43, "TORQUE_LIMIT", Width::k16, true, SetKind::Plain},
    {44, "VELOCITY", Width::k16, false, SetKind::Plain},
    {45, "VELOCITY_LIMIT", Width::k16, true, SetKind::Plain},
    {46, "ANGLE_STEP", Width::k16, false, SetKind::Ignored},
    {47, "ANGLE_LEAD", Width::k16, true, SetKind::Plain},
    {48, "POSITION", Width::k32, false, SetKind::Special},
    {49, nullptr, Width::kNone, false, SetKind::Unused},
    {50, "HOME_TARGET", Width::k32, true, SetKind::Plain},
    {51, nullptr, Width::kNone, false, SetKind::Unused},
    {52, "TRAVEL", Width::k32, true, SetKind::Plain},
    {53, nullptr, Width::kNone, false, SetKind::Unused},
    {54, "LOWER_LIMIT", Width::k32, true, SetKind::Plain},
    {55, nullptr, Width::kNone, false, SetKind::Unused},
    {56, "UPPER_LIMIT", Width::k32, true, SetKind::Plain},
    {57, nullptr, Width::kNone, false, SetKind::Unused},
    {58, "PROFILE_START", Width::kNone, false, SetKind::Command},
    {59, nullptr, Width::kNone, false, SetKind::Unused},
    {60, "HOME_VELOCITY_LIMIT", Width::k16, true, SetKind::Plain},
    {61, "ELEC_OFFSET", Width::k16, true, SetKind::Plain},
    {62, "CURRENT_OFFSET", Width::k16, true, SetKind::Plain},
    {63, "SCALED_TARGET", Width::kNone, false, SetKind::Command},
    {64, "SCALED_POSITION", Width::kNone, false, SetKind::Ignored},
    {65, "AUTOHOME_DELAY", Width::k16, true, SetKind::Plain},
    {66, "MECH_ANGLE", Width::k32, false, SetKind::Ignored},
    {67, nullptr, Width::kNone, false, SetKind::Unused},
    {68, "COUNTS_PER_REV", Width::k32, false, SetKind::Plain},
    {69, nullptr, Width::kNone, false, SetKind::Unused},
    {70, "SAVED_70", Width::k16, true, SetKind::Plain},
    {71, nullptr, Width::kNone, false, SetKind::Unused},
    {72, nullptr, Width::kNone, false, SetKind::Unused},
    {73, "HOME_VELOCITY", Width::k16, true, SetKind::Plain},
    {74, "BACKOFF_HIGH", Width::k32, true, SetKind::Special},
    {75, nullptr, Width::kNone, false, SetKind::Unused},
    {76, nullptr, Width::kNone, false, SetKind::Unused},
    {77, "SAVED_77", Width::k16, true, SetKind::Plain},
    {78, "SAVED_78", Width::k16, true, SetKind::Plain},
    {79, "POS_KP", Width::k16, false, SetKind::Ignored},
    {80, nullptr, Width::kNone, false, SetKind::Unused},
    {81, "POS_KI", Width::k16, false, SetKind::Ignored},
    {82, "ACCEL_LIMIT", Width::k16, true, SetKind::Plain},
    {83, "POSITION_SCALE", Width::k16, true, SetKind::Special},
    {84, nullptr, Width::kNone, false, SetKind::Unused},
    {85, nullptr, Width::kNone, false, SetKind::Unused},
    {86, "SAVED_86", Width::k16, true, SetKind::Plain},
    {87, nullptr, Width::kNone, false, SetKind::Unused},
    {88, nullptr, Width::kNone, false, SetKind::Unused},
    {89, nullptr, Width::kNone, false, SetKind::Unused},
    {90, "POLES", Width::k16, true, SetKind::Plain},
    {91, "CUR_KP", Width::k16, false, SetKind::Special},
    {92, "CUR_KI", Width::k16, false, SetKind::Special},
    {93, "ALIGN_CURRENT", Width::k16, true, SetKind::Plain},
    {94, nullptr, Width::kNone, false, SetKind::Unused},
    {95, nullptr, Width::kNone, false, SetKind::Unused},
    {96, nullptr, Width::kNone, false, SetKind::Unused},
    {97, nullptr, Width::kNone, false, SetKind::Unused},
    {98, "BACKOFF_LOW", Width::k32, true, SetKind::Special},
    {99, nullptr, Width::kNone, false, SetKind::Unused},
    {100, "POS_NO_INTEGRAL", Width::k16, true, SetKind::Special},
    {101, nullptr, Width::kNone, false, SetKind::Unused},
    {102, nullptr, Width::kNone, false, SetKind::Unused},
    {103, "HOMED", Width::k16, false, SetKind::Plain},
    {104, nullptr, Width::kNone, false, SetKind::Unused},
    {105, "ROLE", Width::k16, true, SetKind::Plain},
    {106, "SAFE_POSITION", Width::k16, true, SetKind::Plain},
    {107, nullptr, Width::kNone, false, SetKind::Unused},
    {108, "HOME_TORQUE", Width::k16, true, SetKind::Plain},
    {109, "WINDING_R", Width::k16, true, SetKind::Plain},
    {110, "WINDING_L", Width::k16, true, SetKind::Plain},
    {111, "INERTIA", Width::k16, true, SetKind::Plain},
    {112, "TORQUE_CONSTANT", Width::k16, true, SetKind::Plain},
    {113, "OVERCURRENT_LEVEL", Width::k16, true, SetKind::Plain},
    {114, "TORQUE_MAX", Width::k16, true, SetKind::Plain},
    {115, "OVERCURRENT_TIME", Width::k16, true, SetKind::Plain},
    {116, "CURRENT_BW", Width::k16, true, SetKind::Special},
    {117, "VELOCITY_BW", Width::k16, true, SetKind::Special},
    {118, "POSITION_BW", Width::k16, true, SetKind::Special},
    {119, "VEL_KP", Width::k16, false, SetKind::Ignored},
    {120, "VEL_KI", Width::k16, false, SetKind::Ignored},
    {121, "CUR_KP_SHIFT", Width::k16, false, SetKind::Ignored},
    {122, "CUR_KI_SHIFT", Width::k16, false, SetKind::Ignored},
    {123, "VEL_KP_SHIFT", Width::k16, false, SetKind::Ignored},
    {124, "VEL_KI_SHIFT", Width::k16, false, SetKind::Ignored},
    {125, "POS_KP_SHIFT", Width::k16, false, SetKind::Ignored},
    {126, "POS_KI_SHIFT", Width::k16, false, SetKind::Ignored},}};

static_assert([] {
  for (int k = 0; k < kPropertyCount; ++k) {
    if (kPropertyInfo[k].number != k) return false;
    if ((kPropertyInfo[k].width == Width::k32) != isPair32(k)) return false;
  }
  return true;
}(), "property metadata must be indexed by number and agree with the pair list");

// One EEPROM restore of start-up: property[number] (and property[number + 1] for 4 bytes) from
// EEPROM byte address 2 * number. Start-up walks the list group by group, running its own code
// between the groups.
enum class RestoreGroup : uint8_t {
  kIdentity,       // before the receive filter is set to the node number
  kTorqueLimit,    // torque limit
  kLimits,         // velocity limit, angle lead
  kCalibration,    // offsets, scaling; the position-error constants are derived after it
  kCurrentGains,   // motor parameters; the current gains are computed after it
  kVelocityGains,  // velocity bandwidth; the velocity gains are computed after it
  kPositionGains,  // position bandwidth, filter; the position gains are computed after it
  kMotion,         // acceleration, poles
  kHoming,         // homing parameters and travel, restored after the mode-0 transition
};

struct RestoreEntry {
  RestoreGroup group;
  int16_t number;
  uint16_t address;  // EEPROM byte address, always 2 * number
  uint8_t bytes;     // 2, or 4 for a 32-bit pair
};

namespace detail {
constexpr RestoreEntry r(RestoreGroup g, int16_t k, uint8_t bytes = 2) {
  return {g, k, static_cast<uint16_t>(2 * k), bytes};
}
}  // namespace detail

// The start-up restore list, in restore order.
inline constexpr auto kRestoreList = [] {
  using G = RestoreGroup;
  using detail::r;
  return std::array<RestoreEntry, 48>{{
      r(G::kIdentity, 2), r(G::kIdentity, 1), r(G::kIdentity, 105), r(G::kIdentity, 3),
      r(G::kTorqueLimit, 43), r(G::kLimits, 45), r(G::kLimits, 47),
      r(G::kCalibration, 61), r(G::kCalibration, 62), r(G::kCalibration, 77),
      r(G::kCalibration, 78), r(G::kCalibration, 70), r(G::kCalibration, 26),
      r(G::kCalibration, 27), r(G::kCalibration, 28), r(G::kCalibration, 93),
      r(G::kCalibration, 21), r(G::kCalibration, 10), r(G::kCalibration, 106),
      r(G::kCalibration, 83),
      r(G::kCurrentGains, 109), r(G::kCurrentGains, 110), r(G::kCurrentGains, 111),
      r(G::kCurrentGains, 112), r(G::kCurrentGains, 113), r(G::kCurrentGains, 114),
      r(G::kCurrentGains, 115), r(G::kCurrentGains, 116),
      r(G::kVelocityGains, 117),
      r(G::kPositionGains, 118), r(G::kPositionGains, 100), r(G::kPositionGains, 34),
      r(G::kPositionGains, 14), r(G::kPositionGains, 15), r(G::kPositionGains, 16),
      r(G::kMotion, 82), r(G::kMotion, 86), r(G::kMotion, 90),
      r(G::kHoming, 65), r(G::kHoming, 73), r(G::kHoming, 108),
      r(G::kHoming, 74, 4), r(G::kHoming, 98, 4), r(G::kHoming, 50, 4), r(G::kHoming, 56, 4),
      r(G::kHoming, 54, 4), r(G::kHoming, 52, 4),
      r(G::kHoming, 60),
  }};
}();

// The store itself. Constructing it is the power-on state: every property 0.
class PropertyTable {
 public:
  // Direct access under the system's name; single 16-bit loads and stores.
  alignas(4) int16_t property[kPropertyCount] = {};

  int16_t get16(int k) const { return static_cast<const volatile int16_t&>(property[k]); }
  void set16(int k, int16_t v) { static_cast<volatile int16_t&>(property[k]) = v; }

  // A 32-bit pair read or written as one aligned word. k must be the even lower number.
  int32_t get32(int k) const { return static_cast<int32_t>(*word(k)); }
  void set32(int k, int32_t v) { *word(k) = static_cast<uint32_t>(v); }

 private:
  // The compilers' may_alias type lets a 32-bit access overlay two 16-bit elements without
  // breaking the aliasing rules; the pair is aligned because the array is and k is even.
  using AliasedWord = uint32_t __attribute__((may_alias));
  volatile AliasedWord* word(int k) {
    return static_cast<volatile AliasedWord*>(static_cast<volatile void*>(&property[k]));
  }
  const volatile AliasedWord* word(int k) const {
    return static_cast<const volatile AliasedWord*>(static_cast<const volatile void*>(&property[k]));
  }
};

static_assert(std::endian::native == std::endian::little, "pairs are little-endian words");
static_assert(sizeof(PropertyTable) == 2 * kPropertyCount + 2, "table must stay packed");

}  // namespace tavrix
