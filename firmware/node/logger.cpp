#include "firmware/node/logger.hpp"

#include "firmware/node/node.hpp"

namespace tavrix {

Logger::Logger(Node& node, LogBuffer& buffer)
    : base32(buffer.word),
      dataptr(buffer.word),
      node_(node),
      control_(node.property[prop::STEP_CURRENT]) {}

// The dump identifier keeps a node number to the bits the node itself answers to.
static_assert(Logger::kFieldMask == Node::kNodeNumberMask);

// Context: main loop (software-timer callback, every second tick).
void Logger::logDump() {
  // First, every time: a one-tick delay makes it run on every second tick.
  node_.timers.timerAddEvent(callbacks::logDump, 1);
  if (control_ != kDump || logCount <= 0) return;

  frame_.Length = 4;
  frame_.FrameType = platform::LDD_CAN_DATA_FRAME;
  frame_.Data = data_;
  frame_.MessageID = dumpIdentifier(node_.property[prop::NODE_ID], datamod);
  datamod = static_cast<int16_t>((datamod + 1) % kLogWordsPerRecord);

  const auto word = static_cast<uint32_t>(*dataptr);
  ++dataptr;
  data_[0] = static_cast<uint8_t>(word);
  data_[1] = static_cast<uint8_t>(word >> 8);
  data_[2] = static_cast<uint8_t>(word >> 16);
  data_[3] = static_cast<uint8_t>(word >> 24);

  platform::Platform& hw = node_.hw;
  while (hw.can2.CAN2_SendFrame(node_.CANdevice, 0, &frame_) != platform::ERR_OK) {
    hw.cpu.Cpu_Relax();
  }

  --logCount;
  // The dump also ends at the end of the buffer: a recording made after an interrupted dump can
  // count more words than lie between the first unsent word and the end, and none of those lie
  // beyond it.
  if (logCount <= 0 || dataptr == base32 + kLogBufferWords) {
    control_ = 0;
    logCount = 0;
    dataptr = base32;
  }
}

namespace callbacks {
void logDump(Node& node) {
  node.logger.logDump();
}
}  // namespace callbacks

}  // namespace tavrix
