// Exit codes of the operator command line and the one error type that carries them.
#pragma once

#include <stdexcept>
#include <string>

namespace tavrix::cli {

enum class Exit : int {
  kOk = 0,
  kRefused = 1,        // refused by the tool or the node, or a check failed
  kUsage = 2,          // bad command line, unknown property, malformed file
  kSdoAbort = 3,       // a CANopen node aborted an SDO transfer
  kTimeout = 4,        // a node did not answer in time
  kBusUnavailable = 5, // the bus cannot be opened or was lost
  kProtocol = 6,       // a node answered with something the protocol does not allow
  kInterrupted = 130,  // SIGINT
};

// Thrown by every layer of the tool; main prints `what()` on stderr and exits with `code`.
// The message names what went wrong and what to do next.
class Failure : public std::runtime_error {
 public:
  Failure(Exit code, const std::string& message) : std::runtime_error(message), code_(code) {}
  Exit code() const { return code_; }

 private:
  Exit code_;
};

// Set by the SIGINT handler; long waits poll it and end with Exit::kInterrupted.
bool interrupted();
void installInterruptHandler();
// Throws Failure(kInterrupted) once SIGINT has arrived.
void checkInterrupted();

}  // namespace tavrix::cli
