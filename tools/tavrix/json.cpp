#include "tools/tavrix/json.hpp"

#include <cmath>
#include <cstdio>

namespace tavrix::cli {

std::string jsonString(std::string_view s) {
  std::string o = "\"";
  for (char c : s) {
    switch (c) {
      case '"': o += "\\\""; break;
      case '\\': o += "\\\\"; break;
      case '\n': o += "\\n"; break;
      case '\t': o += "\\t"; break;
      case '\r': o += "\\r"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char b[8];
          std::snprintf(b, sizeof b, "\\u%04x", c);
          o += b;
        } else {
          o += c;
        }
    }
  }
  return o + "\"";
}

JsonObject& JsonObject::num(std::string_view key, double value) {
  if (!std::isfinite(value)) return raw(key, "null");
  char b[32];
  std::snprintf(b, sizeof b, "%.9g", value);
  return raw(key, b);
}

}  // namespace tavrix::cli
