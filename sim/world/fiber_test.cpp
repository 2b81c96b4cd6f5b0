#include "sim/world/fiber.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tavrix::sim {
namespace {

struct Shared {
  Fiber* fiber = nullptr;
  std::string log;
  bool abandon = true;
};

int recurse(Shared& s, int n) {
  volatile char pad[512];  // frames with redzones that an abandon leaves behind
  pad[0] = static_cast<char>(n);
  if (n == 0) {
    s.log += "deep;";
    if (s.abandon) s.fiber->abandon();
    return 0;
  }
  return recurse(s, n - 1) + pad[0];
}

void pingPong(void* arg) {
  auto& s = *static_cast<Shared*>(arg);
  for (int i = 0;; ++i) {
    s.log += "f" + std::to_string(i) + ";";
    if (i == 2) recurse(s, 40);
    s.fiber->yield();
  }
}

TEST(Fiber, SwitchesBothWaysAndRestartsOnAnAbandonedStack) {
  Shared s;
  Fiber fiber(64 * 1024);
  s.fiber = &fiber;
  EXPECT_EQ(Fiber::current(), nullptr);
  for (int round = 0; round < 3; ++round) {
    fiber.start(&pingPong, &s);
    for (int i = 0; i < 3; ++i) {
      fiber.resume();
      s.log += "s;";
    }
    // The third resume went deep and abandoned.
    EXPECT_FALSE(fiber.started());
  }
  EXPECT_EQ(Fiber::current(), nullptr);
  const std::string one_round = "f0;s;f1;s;f2;deep;s;";
  EXPECT_EQ(s.log, one_round + one_round + one_round);
}

}  // namespace
}  // namespace tavrix::sim
