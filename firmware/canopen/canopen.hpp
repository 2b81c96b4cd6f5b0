// CANopen slave: object dictionary, NMT, heartbeat, SDO, PDO and SYNC.
//
// Placeholder stage: the node's dispatcher already switches to CANopen and hands every frame to
// parseCO, which for now only counts them (a diagnostic) and answers nothing; parseInitCO only
// counts its calls; the CANopen timer tick does nothing. storeLinkedProperty is the hook through
// which a save of property 1 or 105 will mirror the value into the dictionary's store.
#pragma once

#include <cstdint>

#include "firmware/platform/types.hpp"

namespace tavrix {

class Node;

class CanOpen {
 public:
  explicit CanOpen(Node& node) : node_(node) {}

  // Context: main loop (the dispatcher, once, at the switch to CANopen).
  // Start of the slave: restore the stored dictionary, enter the start state, first heartbeat.
  void parseInitCO();

  // Context: main loop (the dispatcher, every frame in CANopen mode).
  // Handles one frame; the result is not used. Returns 0.
  int32_t parseCO(platform::LDD_CAN_TFrame* Frame);

  // Context: ISR, level 10 (tick). The CANopen timers; nothing arms them.
  void timerInt_CO();

  // Context: main loop (the property protocol's save of property 1 or 105, before the property
  // itself is saved). Mirrors the property into its dictionary entry and that entry's EEPROM slot.
  void storeLinkedProperty(int16_t number);

  // Diagnostics. Owner: main loop.
  uint32_t initCount = 0;      // parseInitCO calls
  uint32_t framesHandled = 0;  // frames handed to parseCO

 private:
  [[maybe_unused]] Node& node_;
};

}  // namespace tavrix
