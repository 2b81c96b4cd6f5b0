#include "sim/bus/can_bus.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "sim/bus/can_frame.hpp"
#include "sim/bus/can_recorder.hpp"
#include "sim/bus/host_endpoint.hpp"

namespace tavrix::sim {
namespace {

CanMessage data(uint32_t id, std::initializer_list<uint8_t> bytes) {
  CanMessage m;
  m.id = id;
  m.length = static_cast<uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), m.data.begin());
  return m;
}

void runAll(EventQueue& q) {
  while (q.runNext()) {
  }
}

struct BusFixture : ::testing::Test {
  EventQueue queue;
  CanBus bus{queue};
};

TEST_F(BusFixture, FramesPendingAtOnceGoOutInIdentifierOrderBackToBack) {
  HostEndpoint a(bus, "a"), b(bus, "b"), listener(bus, "listener");
  const CanMessage high = data(0x300, {1, 2, 3});
  const CanMessage low = data(0x0A0, {4});
  a.send(high);
  b.send(low);
  runAll(queue);

  ASSERT_EQ(listener.received().size(), 2u);
  EXPECT_EQ(listener.received()[0].message, low);
  EXPECT_EQ(listener.received()[1].message, high);
  const SimTime first_end = canFrameDuration_clk(low);
  EXPECT_EQ(listener.received()[0].end_clk, first_end);
  EXPECT_EQ(listener.received()[1].end_clk, first_end + canFrameDuration_clk(high));
  // Each sender sees the other's frame, never its own.
  ASSERT_EQ(a.received().size(), 1u);
  EXPECT_EQ(a.received()[0].message, low);
  ASSERT_EQ(b.received().size(), 1u);
  EXPECT_EQ(b.received()[0].message, high);
  EXPECT_EQ(a.transmitted().size(), 1u);
  EXPECT_EQ(bus.framesCompleted(), 2u);
  EXPECT_EQ(bus.busyTime_clk(), listener.received()[1].end_clk);
}

TEST_F(BusFixture, AFrameReadyWhileTheBusIsBusyWaitsForTheEndOfFrame) {
  HostEndpoint a(bus, "a"), b(bus, "b");
  a.send(data(0x400, {}));
  queue.runNext();  // arbitration: a's frame starts at 0
  EXPECT_TRUE(bus.busy());
  queue.schedule(10, [&] { b.send(data(0x001, {})); });
  runAll(queue);
  ASSERT_EQ(a.received().size(), 1u);
  // The lower identifier could not preempt the frame on the bus.
  EXPECT_EQ(b.received()[0].message.id, 0x400u);
  EXPECT_EQ(a.received()[0].end_clk,
            canFrameDuration_clk(data(0x400, {})) + canFrameDuration_clk(data(0x001, {})));
}

// A frame cut off (its controller reset) reaches nobody and frees the bus at once; an endpoint
// that still holds the frame arbitrates again, like a controller retransmitting.
TEST_F(BusFixture, AnAbortedFrameReachesNobodyAndFreesTheBus) {
  HostEndpoint a(bus, "a"), b(bus, "b"), listener(bus, "listener");
  const CanMessage first = data(0x100, {1, 2, 3, 4, 5, 6, 7, 8});
  const CanMessage second = data(0x200, {9});
  a.send(first);
  queue.runNext();
  queue.schedule(100, [&] {
    b.send(second);
    bus.abortTransmission(a);
  });
  runAll(queue);
  ASSERT_EQ(listener.received().size(), 2u);
  EXPECT_EQ(listener.received()[0].message, first);
  EXPECT_EQ(listener.received()[0].end_clk, 100 + canFrameDuration_clk(first));
  EXPECT_EQ(listener.received()[1].message, second);
  EXPECT_EQ(bus.framesAborted(), 1u);
  EXPECT_EQ(bus.framesCompleted(), 2u);
}

TEST_F(BusFixture, RecorderWritesCandumpLinesStampedAtTheEndOfFrame) {
  std::ostringstream out;
  CanRecorder recorder(bus, out, "vcan1");
  HostEndpoint a(bus, "a");
  const CanMessage m = data(0x4A6, {0x88, 0x00, 0x01, 0x00});
  a.send(m);
  CanMessage remote;
  remote.id = 0x123;
  remote.remote = true;
  a.send(remote);
  runAll(queue);
  const int64_t end1_us = toMicros(canFrameDuration_clk(m));
  const int64_t end2_us = toMicros(canFrameDuration_clk(m) + canFrameDuration_clk(remote));
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "(0000000000.%06lld) vcan1 4A6#88000100\n(0000000000.%06lld) vcan1 123#R\n",
                static_cast<long long>(end1_us), static_cast<long long>(end2_us));
  EXPECT_EQ(out.str(), expected);
  EXPECT_EQ(recorder.linesWritten(), 2u);
}

TEST_F(BusFixture, HostRejectsFramesTheBusCannotCarry) {
  HostEndpoint a(bus, "a");
  CanMessage wide = data(0x800, {});
  EXPECT_THROW(a.send(wide), std::invalid_argument);
  wide.extended = true;
  EXPECT_NO_THROW(a.send(wide));
  CanMessage long_code = data(0x1, {});
  long_code.length = 16;
  EXPECT_THROW(a.send(long_code), std::invalid_argument);
}

}  // namespace
}  // namespace tavrix::sim
