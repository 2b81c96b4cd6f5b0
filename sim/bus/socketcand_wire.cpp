#include "sim/bus/socketcand_wire.hpp"

#include <charconv>

#include "sim/bus/can_frame.hpp"

namespace tavrix::sim::socketcand {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void appendHex(std::string& out, uint32_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    out += kHexDigits[(value >> shift) & 0xF];
}

// 1..`max_digits` hex digits, any case.
std::optional<uint32_t> parseHex(std::string_view s, size_t max_digits) {
  if (s.empty() || s.size() > max_digits) return std::nullopt;
  uint32_t v = 0;
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

}  // namespace

std::optional<MessageSplitter::Item> MessageSplitter::next() {
  // Blanks between messages are separators.
  while (start_ < buffer_.size() && isBlank(buffer_[start_])) ++start_;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
    return std::nullopt;
  }
  std::optional<Item> item;
  if (buffer_[start_] != '<') {
    size_t end = buffer_.find('<', start_);
    if (end == std::string::npos) end = buffer_.size();
    item = Item{Kind::kGarbage, buffer_.substr(start_, end - start_)};
    start_ = end;
  } else {
    const size_t close = buffer_.find('>', start_);
    if (close == std::string::npos) {
      if (buffer_.size() - start_ <= max_) return std::nullopt;  // wait for the rest
      item = Item{Kind::kOverlong, {}};
      start_ = buffer_.size();
    } else if (close - start_ - 1 > max_) {
      item = Item{Kind::kOverlong, {}};
      start_ = close + 1;
    } else {
      item = Item{Kind::kMessage, buffer_.substr(start_ + 1, close - start_ - 1)};
      start_ = close + 1;
    }
  }
  // Drop what has been consumed once it is a good part of the buffer.
  if (start_ > 4096 && start_ * 2 > buffer_.size()) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  return item;
}

std::vector<std::string_view> tokens(std::string_view text) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && isBlank(text[i])) ++i;
    const size_t begin = i;
    while (i < text.size() && !isBlank(text[i])) ++i;
    if (i > begin) out.push_back(text.substr(begin, i - begin));
  }
  return out;
}

std::string formatFrame(const CanMessage& m, int64_t micros) {
  std::string out = "< frame ";
  appendHex(out, m.id, m.extended ? 8 : 3);
  out += ' ';
  out += std::to_string(micros / 1'000'000);
  out += '.';
  const std::string frac = std::to_string(micros % 1'000'000);
  out.append(6 - frac.size(), '0');
  out += frac;
  out += ' ';
  for (uint8_t i = 0; i < m.dataBytes(); ++i) appendHex(out, m.data[i], 2);
  out += " >";
  return out;
}

std::string formatSend(const CanMessage& m) {
  std::string out = "< send ";
  appendHex(out, m.id, m.extended ? 8 : 3);
  out += ' ';
  out += std::to_string(m.dataBytes());
  for (uint8_t i = 0; i < m.dataBytes(); ++i) {
    out += ' ';
    appendHex(out, m.data[i], 2);
  }
  out += " >";
  return out;
}

SendParse parseSend(const std::vector<std::string_view>& words) {
  SendParse r;
  if (words.size() < 3) {
    r.error = "send needs an identifier and a length";
    return r;
  }
  const std::optional<uint32_t> id = parseHex(words[1], 8);
  if (!id || *id >= kCanExtendedIdLimit) {
    r.error = "bad identifier";
    return r;
  }
  const std::optional<uint32_t> length = parseHex(words[2], 1);
  if (!length || *length > 8) {
    r.error = "bad length";
    return r;
  }
  const size_t bytes = words.size() - 3;
  if (bytes == 0 && *length > 0) {
    r.remote = true;
    return r;
  }
  if (bytes != *length) {
    r.error = "length does not match the data";
    return r;
  }
  CanMessage m;
  m.id = *id;
  m.extended = words[1].size() == 8 || *id >= kCanStandardIdLimit;
  m.length = static_cast<uint8_t>(*length);
  for (size_t i = 0; i < bytes; ++i) {
    const std::optional<uint32_t> b = parseHex(words[3 + i], 2);
    if (!b) {
      r.error = "bad data byte";
      return r;
    }
    m.data[i] = static_cast<uint8_t>(*b);
  }
  r.frame = m;
  return r;
}

std::optional<ReceivedFrame> parseFrame(const std::vector<std::string_view>& words) {
  if (words.size() < 3 || words.size() > 4 || words[0] != "frame") return std::nullopt;
  ReceivedFrame f;
  const std::optional<uint32_t> id = parseHex(words[1], 8);
  if (!id || *id >= kCanExtendedIdLimit) return std::nullopt;
  f.message.id = *id;
  f.message.extended = words[1].size() == 8 || *id >= kCanStandardIdLimit;
  // SECONDS.MICROS with up to six digits of fraction.
  const std::string_view t = words[2];
  const size_t dot = t.find('.');
  const std::string_view sec = t.substr(0, dot);
  const std::string_view frac = dot == std::string_view::npos ? "" : t.substr(dot + 1);
  int64_t s = 0;
  const auto [p, ec] = std::from_chars(sec.data(), sec.data() + sec.size(), s);
  if (ec != std::errc() || p != sec.data() + sec.size() || s < 0 || frac.size() > 6 ||
      s > INT64_MAX / 1'000'000 - 1) {
    return std::nullopt;
  }
  int64_t us = 0;
  for (size_t i = 0; i < 6; ++i) {
    const char c = i < frac.size() ? frac[i] : '0';
    if (c < '0' || c > '9') return std::nullopt;
    us = us * 10 + (c - '0');
  }
  f.micros = s * 1'000'000 + us;
  const std::string_view data = words.size() == 4 ? words[3] : std::string_view();
  if (data.size() % 2 != 0 || data.size() > 16) return std::nullopt;
  for (size_t i = 0; i < data.size(); i += 2) {
    const std::optional<uint32_t> b = parseHex(data.substr(i, 2), 2);
    if (!b) return std::nullopt;
    f.message.data[i / 2] = static_cast<uint8_t>(*b);
  }
  f.message.length = static_cast<uint8_t>(data.size() / 2);
  return f;
}

}  // namespace tavrix::sim::socketcand
