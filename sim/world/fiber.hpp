// A stackful coroutine: one node's main context, switched to and from by the scheduler.
//
// The fiber runs only between resume() and its next yield() or abandon(); exactly one of the
// scheduler and the fibers runs at any time. An abandoned fiber's stack is reused by the next
// start(): whatever ran there is forgotten without unwinding, so code on a fiber must not own
// heap memory in frames that can be abandoned (firmware has none).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tavrix::sim {

class Fiber {
 public:
  using Entry = void (*)(void* arg);

  // A generous stack for firmware code: 256 KiB, four times that under the address sanitizer.
  static size_t defaultStackBytes();

  explicit Fiber(size_t stack_bytes = defaultStackBytes());
  ~Fiber();
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Prepares a fresh start of `entry(arg)` at the top of the stack. `entry` must never return.
  // Scheduler context, while the fiber is not running.
  void start(Entry entry, void* arg);
  // Scheduler context: runs the fiber until it yields or abandons.
  void resume();
  // Fiber context: back to the scheduler; returns at the next resume().
  void yield();
  // Fiber context: back to the scheduler for good, until the next start().
  [[noreturn]] void abandon();

  bool running() const { return running_; }
  bool started() const { return state_ != State::kEmpty; }
  // The fiber currently running on this thread, or null in scheduler context.
  static Fiber* current();

 private:
  enum class State : uint8_t { kEmpty, kFresh, kSuspended };
  struct Context;  // the switch library's state; its entry function runs a fresh fiber

  std::unique_ptr<Context> ctx_;
  void* mapping_ = nullptr;
  size_t mapping_bytes_ = 0;
  uint8_t* stack_ = nullptr;
  size_t stack_bytes_ = 0;
  Entry entry_ = nullptr;
  void* arg_ = nullptr;
  State state_ = State::kEmpty;
  bool running_ = false;
  bool used_ = false;
};

}  // namespace tavrix::sim
