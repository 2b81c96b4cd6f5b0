#include "sim/world/fiber.hpp"

#include <gtest/gtest.h>

#include <memory>
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

// A fiber destroyed with frames (and their redzones) left on its stack hands the stack on: the
// next fiber of that size runs on it as on a fresh one, in every round, and fibers alive at
// the same time each have their own.
TEST(Fiber, ADestroyedFibersStackServesTheNextFiber) {
  for (int round = 0; round < 20; ++round) {
    Shared a, b;
    auto first = std::make_unique<Fiber>(64 * 1024);
    Fiber second(64 * 1024);
    a.fiber = first.get();
    b.fiber = &second;
    b.abandon = false;
    first->start(&pingPong, &a);
    second.start(&pingPong, &b);
    for (int i = 0; i < 3; ++i) {
      first->resume();
      second.resume();
    }
    EXPECT_EQ(a.log, "f0;f1;f2;deep;") << round;
    EXPECT_EQ(b.log, "f0;f1;f2;deep;") << round;
    second.resume();  // back from the deep call, on its own stack
    EXPECT_EQ(b.log, "f0;f1;f2;deep;f3;") << round;
    first.reset();  // destroyed with nothing running
  }
}

}  // namespace
}  // namespace tavrix::sim
