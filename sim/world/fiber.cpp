// The fiber switch: Boost.Context's user-space register switch (no system call), with the
// address sanitizer told about every change of stack.
#include "sim/world/fiber.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/detail/fcontext.hpp>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#define TAVRIX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRIX_ASAN 1
#endif
#endif

#if defined(TAVRIX_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace tavrix::sim {

namespace {

namespace ctx = boost::context::detail;

thread_local Fiber* t_current = nullptr;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fiber: %s\n", what);
  std::abort();
}

// Stacks of fibers that ended, kept mapped for the next fiber of the same size: a harness that
// builds a world per input would otherwise map, fault in and unmap every node's stack each time.
class StackPool {
 public:
  void* take(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < count_; ++i) {
      if (kept_[i].bytes != bytes) continue;
      void* mapping = kept_[i].mapping;
      kept_[i] = kept_[--count_];
      return mapping;
    }
    return nullptr;
  }
  // False when the pool is full: the caller unmaps.
  bool give(void* mapping, size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == kKept) return false;
    kept_[count_++] = {mapping, bytes};
    return true;
  }

 private:
  static constexpr size_t kKept = 16;
  struct Kept {
    void* mapping;
    size_t bytes;
  };
  std::mutex mutex_;
  Kept kept_[kKept]{};
  size_t count_ = 0;
};

StackPool& stackPool() {
  static StackPool* pool = new StackPool;  // never destroyed: fibers may outlive static objects
  return *pool;
}

// Leaving the current stack for `bottom`/`size`; `fake_stack` saves this stack's fake frames
// (null: this stack is left for good).
void startSwitch([[maybe_unused]] void** fake_stack, [[maybe_unused]] const void* bottom,
                 [[maybe_unused]] size_t size) {
#if defined(TAVRIX_ASAN)
  __sanitizer_start_switch_fiber(fake_stack, bottom, size);
#endif
}

// Arrived on a stack; reports the stack we came from.
void finishSwitch([[maybe_unused]] void* fake_stack, [[maybe_unused]] const void** from_bottom,
                  [[maybe_unused]] size_t* from_size) {
#if defined(TAVRIX_ASAN)
  __sanitizer_finish_switch_fiber(fake_stack, from_bottom, from_size);
#endif
}

void unpoison([[maybe_unused]] void* p, [[maybe_unused]] size_t n) {
#if defined(TAVRIX_ASAN)
  __asan_unpoison_memory_region(p, n);
#endif
}

}  // namespace

struct Fiber::Context {
  // Where each side continues: the fiber's suspension point (or its fresh entry), and the
  // scheduler's, captured anew at every switch into the fiber.
  ctx::fcontext_t fiber = nullptr;
  ctx::fcontext_t scheduler = nullptr;
  // The scheduler's stack, reported when the fiber is entered, for switching back.
  const void* scheduler_bottom = nullptr;
  size_t scheduler_size = 0;
  void* scheduler_fake_stack = nullptr;
  void* fiber_fake_stack = nullptr;

  // First code on a fresh fiber's stack: `in` carries the scheduler's context and the fiber.
  [[noreturn]] static void entry(ctx::transfer_t in);
};

size_t Fiber::defaultStackBytes() {
#if defined(TAVRIX_ASAN)
  return 1024 * 1024;
#else
  return 256 * 1024;
#endif
}

Fiber::Fiber(size_t stack_bytes) : ctx_(std::make_unique<Context>()) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  stack_bytes_ = (stack_bytes + page - 1) / page * page;
  // One inaccessible page below the stack turns an overflow into a fault, not corruption.
  mapping_bytes_ = stack_bytes_ + page;
  mapping_ = stackPool().take(mapping_bytes_);
  if (mapping_ == nullptr) {
    mapping_ =
        mmap(nullptr, mapping_bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED) fail("cannot map a stack");
    if (mprotect(mapping_, page, PROT_NONE) != 0) fail("cannot protect the stack guard");
  }
  stack_ = static_cast<uint8_t*>(mapping_) + page;
}

Fiber::~Fiber() {
  if (running_) fail("destroyed while running");
  // Redzones of frames left on the stack must not outlive it in the shadow memory.
  unpoison(stack_, stack_bytes_);
  if (!stackPool().give(mapping_, mapping_bytes_)) munmap(mapping_, mapping_bytes_);
}

Fiber* Fiber::current() {
  return t_current;
}

void Fiber::start(Entry entry, void* arg) {
  if (running_) fail("started while running");
  if (used_) unpoison(stack_, stack_bytes_);  // old frames' redzones would trip the new ones
  used_ = true;
  entry_ = entry;
  arg_ = arg;
  // The stack grows down from its top.
  ctx_->fiber = ctx::make_fcontext(stack_ + stack_bytes_, stack_bytes_, &Context::entry);
  state_ = State::kFresh;
}

void Fiber::resume() {
  if (t_current != nullptr) fail("resumed from inside a fiber");
  if (state_ == State::kEmpty) fail("resumed without a start");
  t_current = this;
  running_ = true;
  startSwitch(&ctx_->scheduler_fake_stack, stack_, stack_bytes_);
  // The fiber's yield (or, fresh, its entry) receives this fiber and the scheduler's
  // context; back here, the context handed over is where the fiber stopped.
  const ctx::transfer_t back = ctx::jump_fcontext(ctx_->fiber, this);
  ctx_->fiber = back.fctx;
  finishSwitch(ctx_->scheduler_fake_stack, nullptr, nullptr);
  running_ = false;
  t_current = nullptr;
}

void Fiber::yield() {
  if (t_current != this) fail("yield outside its fiber");
  state_ = State::kSuspended;
  startSwitch(&ctx_->fiber_fake_stack, ctx_->scheduler_bottom, ctx_->scheduler_size);
  const ctx::transfer_t in = ctx::jump_fcontext(ctx_->scheduler, nullptr);
  ctx_->scheduler = in.fctx;
  finishSwitch(ctx_->fiber_fake_stack, &ctx_->scheduler_bottom, &ctx_->scheduler_size);
}

void Fiber::abandon() {
  if (t_current != this) fail("abandon outside its fiber");
  state_ = State::kEmpty;
  // Null: this stack's fake frames are dropped; the stack is never returned to.
  startSwitch(nullptr, ctx_->scheduler_bottom, ctx_->scheduler_size);
  ctx::jump_fcontext(ctx_->scheduler, nullptr);
  fail("abandoned fiber resumed");
}

void Fiber::Context::entry(ctx::transfer_t in) {
  auto* self = static_cast<Fiber*>(in.data);
  self->ctx_->scheduler = in.fctx;
  finishSwitch(nullptr, &self->ctx_->scheduler_bottom, &self->ctx_->scheduler_size);
  self->state_ = State::kSuspended;
  self->entry_(self->arg_);
  fail("fiber entry returned");
}

}  // namespace tavrix::sim
