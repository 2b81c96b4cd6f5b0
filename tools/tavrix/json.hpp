// A minimal JSON object writer for the tool's --format json output (one object per line).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrix::cli {

std::string jsonString(std::string_view s);

class JsonObject {
 public:
  JsonObject& str(std::string_view key, std::string_view value) {
    return raw(key, jsonString(value));
  }
  JsonObject& num(std::string_view key, int64_t value) { return raw(key, std::to_string(value)); }
  JsonObject& num(std::string_view key, int value) { return num(key, static_cast<int64_t>(value)); }
  JsonObject& num(std::string_view key, double value);
  JsonObject& boolean(std::string_view key, bool value) { return raw(key, value ? "true" : "false"); }
  // `value` is already JSON (a number, an array, an object).
  JsonObject& raw(std::string_view key, std::string_view value) {
    body_ += body_.empty() ? "" : ",";
    body_ += jsonString(key);
    body_ += ":";
    body_ += value;
    return *this;
  }
  std::string text() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};

}  // namespace tavrix::cli
