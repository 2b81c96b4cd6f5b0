// The socketcand protocol's text messages, shared by our server and our client.
//
// Every message is ASCII between '<' and '>', tokens separated by blanks; several messages may
// share one TCP segment and one message may span several. Frames travel as
//   server -> client   < frame ID SECONDS.MICROS DATA >     ID 3 hex digits (8 when extended),
//                                                            DATA hex bytes without blanks
//   client -> server   < send ID DLC B0 B1 ... >             each byte in hex, any case, 1-2 digits
// The handshake is `< hi >`, `< open CHANNEL >` / `< ok >`, `< rawmode >` / `< ok >`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bus/can_message.hpp"

namespace tavrix::sim::socketcand {

inline constexpr uint16_t kDefaultPort = 29536;

// Cuts a byte stream into messages. Bytes outside any message other than blanks are garbage;
// a message longer than the limit cannot be resynchronised reliably and is reported as such.
class MessageSplitter {
 public:
  enum class Kind : uint8_t {
    kMessage,   // `text` is what stood between '<' and '>', without the brackets
    kGarbage,   // `text` is the stray bytes (up to the next '<' or the end of what was fed)
    kOverlong,  // an opened message grew past the limit without its '>'; the stream is lost
  };
  struct Item {
    Kind kind;
    std::string text;
  };

  explicit MessageSplitter(size_t max_message_bytes = 1024) : max_(max_message_bytes) {}

  void feed(std::string_view bytes) { buffer_.append(bytes); }
  // The next complete item, or nothing until more bytes are fed.
  std::optional<Item> next();
  // Bytes fed but not yet returned (an incomplete message).
  size_t pendingBytes() const { return buffer_.size() - start_; }

 private:
  std::string buffer_;
  size_t start_ = 0;
  size_t max_;
};

// The blank-separated words of a message's text.
std::vector<std::string_view> tokens(std::string_view text);

// `< frame ID SECONDS.MICROS DATA >`, without the separator the server writes before it.
std::string formatFrame(const CanMessage& m, int64_t micros);
// `< send ID DLC B0 ... >` with upper-case two-digit bytes.
std::string formatSend(const CanMessage& m);

// Outcome of reading a `send` message.
struct SendParse {
  std::optional<CanMessage> frame;  // the frame to put on the bus
  bool remote = false;              // a remote request (a length without bytes): not carried
  std::string error;                // why the message was refused (no frame, not remote)
};
// Reads the words of a `send` message (the first word is "send"). An identifier of 8 digits or
// above 0x7FF is extended. The length is 0..8 and the number of bytes must match it, except
// that a length without any byte is how clients pass a remote request.
SendParse parseSend(const std::vector<std::string_view>& words);

// A frame message the server sent, as a client reads it.
struct ReceivedFrame {
  CanMessage message;
  int64_t micros = 0;
};
// Reads the words of a `frame` message; nothing when it is malformed.
std::optional<ReceivedFrame> parseFrame(const std::vector<std::string_view>& words);

}  // namespace tavrix::sim::socketcand
