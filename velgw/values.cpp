#include "values.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace velgw {

namespace {

std::uint32_t Raw(const TagConfig &tag, const std::uint8_t *bytes, int i) {
  const std::uint8_t *p = bytes + static_cast<std::size_t>(i) * static_cast<std::size_t>(TypeBytes(tag.type));
  if (TypeBytes(tag.type) == 2) return static_cast<std::uint32_t>(p[0] | p[1] << 8);
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

float AsFloat(std::uint32_t raw) {
  float f;
  std::memcpy(&f, &raw, sizeof f);
  return f;
}

void Put(ValueType type, std::uint32_t raw, Encoded *out) {
  out->push_back(static_cast<std::uint8_t>(raw));
  out->push_back(static_cast<std::uint8_t>(raw >> 8));
  if (TypeBytes(type) == 4) {
    out->push_back(static_cast<std::uint8_t>(raw >> 16));
    out->push_back(static_cast<std::uint8_t>(raw >> 24));
  }
}

// One JSON number or bool as the element's raw value.
bool Element(const TagConfig &tag, const JsonValue &v, Encoded *out, std::string *error) {
  if (tag.type == ValueType::Bool) {
    if (v.kind == JsonValue::Kind::Bool) {
      out->push_back(v.boolean ? 1 : 0);
      return true;
    }
    if (v.kind == JsonValue::Kind::Number && (v.number == 0 || v.number == 1)) {
      out->push_back(v.number == 1 ? 1 : 0);
      return true;
    }
    *error = "'" + v.raw + "' is not a bool (true, false, 1 or 0)";
    return false;
  }
  if (v.kind != JsonValue::Kind::Number) {
    *error = "'" + v.raw + "' is not a number";
    return false;
  }
  const double n = v.number;
  if (tag.type == ValueType::F32) {
    if (!std::isfinite(n) || std::fabs(n) > std::numeric_limits<float>::max()) {
      *error = v.raw + " does not fit a 32-bit float";
      return false;
    }
    const float f = static_cast<float>(n);
    std::uint32_t raw;
    std::memcpy(&raw, &f, sizeof raw);
    Put(tag.type, raw, out);
    return true;
  }
  double min = 0, max = 65535;
  switch (tag.type) {
  case ValueType::I16:
    min = -32768, max = 32767;
    break;
  case ValueType::U32:
    max = 4294967295.0;
    break;
  case ValueType::I32:
    min = -2147483648.0, max = 2147483647.0;
    break;
  default:
    break;
  }
  if (n != std::floor(n) || n < min || n > max) {
    *error = v.raw + " is not a whole number in " + std::to_string(static_cast<long long>(min)) + ".." +
             std::to_string(static_cast<long long>(max)) + " (" + TypeName(tag.type) + ")";
    return false;
  }
  const auto whole = static_cast<long long>(n);
  Put(tag.type, static_cast<std::uint32_t>(whole), out);
  return true;
}

}  // namespace

bool ElementBit(const TagConfig &tag, const std::uint8_t *bytes, int i) {
  const int bit = tag.bit + i;
  return (bytes[bit / 8] >> (bit % 8)) & 1;
}

double ElementNumber(const TagConfig &tag, const std::uint8_t *bytes, int i) {
  const std::uint32_t raw = tag.type == ValueType::Bool ? 0 : Raw(tag, bytes, i);
  switch (tag.type) {
  case ValueType::Bool:
    return ElementBit(tag, bytes, i) ? 1 : 0;
  case ValueType::U16:
  case ValueType::U32:
    return raw;
  case ValueType::I16:
    return static_cast<std::int16_t>(raw);
  case ValueType::I32:
    return static_cast<std::int32_t>(raw);
  case ValueType::F32:
    return AsFloat(raw);
  }
  return 0;
}

std::string ElementJson(const TagConfig &tag, const std::uint8_t *bytes, int i) {
  if (tag.type == ValueType::Bool) return ElementBit(tag, bytes, i) ? "true" : "false";
  if (tag.type == ValueType::F32) {
    const float f = AsFloat(Raw(tag, bytes, i));
    if (!std::isfinite(f)) return "null";
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, f);
    return ec == std::errc() ? std::string(text, end) : "null";
  }
  return std::to_string(static_cast<long long>(ElementNumber(tag, bytes, i)));
}

void ElementRegisters(const TagConfig &tag, const std::uint8_t *bytes, int i, std::uint16_t *registers) {
  if (tag.type == ValueType::Bool) {
    registers[0] = ElementBit(tag, bytes, i);
    return;
  }
  const std::uint32_t raw = Raw(tag, bytes, i);
  if (TypeRegisters(tag.type) == 1) {
    registers[0] = static_cast<std::uint16_t>(raw);
    return;
  }
  const auto low = static_cast<std::uint16_t>(raw), high = static_cast<std::uint16_t>(raw >> 16);
  registers[0] = tag.highWordFirst ? high : low;
  registers[1] = tag.highWordFirst ? low : high;
}

std::string ValueJson(const TagConfig &tag, const std::uint8_t *bytes) {
  if (tag.count == 1) return ElementJson(tag, bytes, 0);
  std::string out = "[";
  for (int i = 0; i < tag.count; i++) out += (i ? "," : "") + ElementJson(tag, bytes, i);
  return out + "]";
}

Encoded FromRegisters(const TagConfig &tag, const std::uint16_t *registers, int elements) {
  Encoded out;
  for (int i = 0; i < elements; i++) {
    if (TypeRegisters(tag.type) == 1) {
      Put(tag.type, registers[i], &out);
      continue;
    }
    const std::uint16_t first = registers[2 * i], second = registers[2 * i + 1];
    const std::uint32_t low = tag.highWordFirst ? second : first, high = tag.highWordFirst ? first : second;
    Put(tag.type, low | high << 16, &out);
  }
  return out;
}

bool FromJson(const TagConfig &tag, const JsonValue &value, Encoded *out, std::string *error) {
  out->clear();
  if (tag.count == 1) {
    if (value.kind == JsonValue::Kind::Array) {
      if (value.items.size() != 1) {
        *error = "the tag holds one value, not " + std::to_string(value.items.size());
        return false;
      }
      return Element(tag, value.items[0], out, error);
    }
    return Element(tag, value, out, error);
  }
  if (value.kind != JsonValue::Kind::Array || value.items.size() != static_cast<std::size_t>(tag.count)) {
    *error = "the tag holds " + std::to_string(tag.count) + " values: give an array of " +
             std::to_string(tag.count);
    return false;
  }
  for (const JsonValue &item : value.items)
    if (!Element(tag, item, out, error)) return false;
  return true;
}

}  // namespace velgw
