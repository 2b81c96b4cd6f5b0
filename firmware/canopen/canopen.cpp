#include "firmware/canopen/canopen.hpp"

#include "firmware/node/node.hpp"

namespace tavrix {

// Context: main loop.
void CanOpen::parseInitCO() {
  ++initCount;
}

// Context: main loop.
int32_t CanOpen::parseCO(platform::LDD_CAN_TFrame*) {
  ++framesHandled;
  return 0;
}

// Context: ISR, level 10 (tick).
void CanOpen::timerInt_CO() {}

// Context: main loop.
void CanOpen::storeLinkedProperty(int16_t) {}

}  // namespace tavrix
