#include "tools/tavrix/errors.hpp"

#include <atomic>
#include <csignal>

namespace tavrix::cli {

namespace {
std::atomic<bool> g_interrupted{false};
extern "C" void onInterrupt(int) { g_interrupted.store(true); }
}  // namespace

bool interrupted() { return g_interrupted.load(); }

void installInterruptHandler() {
  struct sigaction sa {};
  sa.sa_handler = onInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocking poll returns EINTR and the wait ends at once
  sigaction(SIGINT, &sa, nullptr);
}

void checkInterrupted() {
  if (interrupted()) throw Failure(Exit::kInterrupted, "interrupted");
}

}  // namespace tavrix::cli
