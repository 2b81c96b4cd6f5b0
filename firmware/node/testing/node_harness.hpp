// A node on the fake platform, with helpers that speak the property protocol to it (host only).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "firmware/node/node.hpp"
#include "firmware/node/testing/fake_platform.hpp"

namespace tavrix::testing {

struct NodeHarness {
  FakePlatform fake;
  Node node{fake.platform};

  // The rotor encoder's answer raises the SPI1 event at once, as the chip's SPI1 interrupt would
  // preempt the waiting control code.
  NodeHarness() {
    fake.sm1.onBlockReceived = [this] { node.SM1_OnBlockReceived(nullptr); };
  }
  NodeHarness(const NodeHarness&) = delete;
  NodeHarness& operator=(const NodeHarness&) = delete;

  // Delivers `frame` on receive buffer `buffer`, runs one commHandle and returns the frames sent
  // meanwhile.
  std::vector<CanFrame> handle(const CanFrame& frame, uint8_t buffer = 1) {
    const size_t before = fake.can.sent.size();
    fake.receive(node, buffer, frame);
    node.ring.commHandle();
    return {fake.can.sent.begin() + static_cast<std::ptrdiff_t>(before), fake.can.sent.end()};
  }
  std::vector<CanFrame> request(std::initializer_list<uint8_t> bytes) {
    return handle(dataFrame(static_cast<uint32_t>(node.property[prop::NODE_ID]), bytes));
  }

  // A get over the bus; the reply's value (16 or 32 bits, sign-extended), or -999999 when the
  // node did not answer exactly once.
  int32_t get(int k) {
    const auto replies = request({static_cast<uint8_t>(k)});
    if (replies.size() != 1) return -999999;
    const CanFrame& r = replies[0];
    if (r.length == 6) {
      return static_cast<int32_t>(r.data[2] | r.data[3] << 8 | r.data[4] << 16 |
                                  static_cast<uint32_t>(r.data[5]) << 24);
    }
    return static_cast<int16_t>(r.data[2] | r.data[3] << 8);
  }
  // Sets over the bus; returns the number of frames sent in answer (always 0 for a sound node).
  size_t set16(int k, int32_t v) {
    const auto u = static_cast<uint16_t>(v);
    return request({static_cast<uint8_t>(0x80 | k), 0, static_cast<uint8_t>(u & 0xFF),
                    static_cast<uint8_t>(u >> 8)})
        .size();
  }
  size_t set32(int k, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    return request({static_cast<uint8_t>(0x80 | k), 0, static_cast<uint8_t>(u & 0xFF),
                    static_cast<uint8_t>((u >> 8) & 0xFF), static_cast<uint8_t>((u >> 16) & 0xFF),
                    static_cast<uint8_t>(u >> 24)})
        .size();
  }

  // n ticks, each followed by one timerHandle, as the main loop would run them.
  void run(int ticks) {
    for (int i = 0; i < ticks; ++i) {
      fake.tick(node);
      node.timers.timerHandle();
    }
  }
};

}  // namespace tavrix::testing
