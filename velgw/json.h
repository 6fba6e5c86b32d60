// The little JSON velgw reads and writes: MQTT payloads.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velgw {

struct JsonValue {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;  // String: the decoded string
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;
  std::string raw;  // the value as it was written

  const JsonValue *Member(std::string_view name) const;
};

// One JSON value (RFC 8259) with nothing but white space around it; none
// with *error set otherwise.
std::optional<JsonValue> ParseJson(std::string_view text, std::string *error);

// A JSON string literal with its quotes.
std::string JsonString(std::string_view text);

// "2026-12-08T17:37:25.373Z"
std::string IsoTime(double unixSeconds);

}  // namespace velgw
