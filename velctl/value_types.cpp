#include "value_types.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using operands::Kind;
using operands::Operand;

namespace {

struct TypeInfo {
  ValueType type;
  const char *name;
  int bytes;  // 0: the operand's unit (hex) or a bit (bits)
  std::int64_t min;
  std::int64_t max;
};

const TypeInfo kTypes[] = {
    {ValueType::U8, "u8", 1, 0, 0xFF},
    {ValueType::U16, "u16", 2, 0, 0xFFFF},
    {ValueType::I16, "i16", 2, -0x8000, 0x7FFF},
    {ValueType::U32, "u32", 4, 0, 0xFFFFFFFF},
    {ValueType::I32, "i32", 4, -0x80000000LL, 0x7FFFFFFF},
    {ValueType::F32, "f32", 4, 0, 0},
    {ValueType::Hex, "hex", 0, 0, 0},
    {ValueType::Bits, "bits", 0, 0, 1},
};

const TypeInfo &Info(ValueType type) {
  for (const TypeInfo &info : kTypes)
    if (info.type == type) return info;
  return kTypes[0];
}

std::uint32_t Little(const std::vector<std::uint8_t> &bytes, std::size_t at, int n) {
  std::uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | bytes[at + static_cast<std::size_t>(i)];
  return v;
}

std::string Hex(std::uint32_t value, int bytes) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", 2 * bytes, static_cast<unsigned>(value));
  return text;
}

// Shortest text that reads back as the same float.
std::string FloatText(float value) {
  char text[32];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  return ec == std::errc() ? std::string(text, end) : std::string("?");
}

// An optional '-', then decimal or 0x hex digits.
std::optional<std::int64_t> ParseInteger(std::string_view text) {
  bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text[0] == '+' || text[0] == '-') return std::nullopt;
  std::uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (ec == std::errc::result_out_of_range && end == text.data() + text.size())
    magnitude = 1ULL << 40;
  else if (ec != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  if (magnitude > (1ULL << 40)) magnitude = 1ULL << 40;  // far outside every range, no overflow
  auto value = static_cast<std::int64_t>(magnitude);
  return negative ? -value : value;
}

// Hex digits with or without 0x.
std::optional<std::int64_t> ParseHexDigits(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  if (text.empty() || text[0] == '+' || text[0] == '-') return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec == std::errc::result_out_of_range) return std::int64_t{1} << 40;
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value > (1ULL << 40) ? std::int64_t{1} << 40 : static_cast<std::int64_t>(value);
}

void PutLittle(std::vector<std::uint8_t> *bytes, std::uint32_t value, int n) {
  for (int i = 0; i < n; ++i) bytes->push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

bool HasNonzeroDigit(std::string_view text) {
  for (char c : text) {
    if (c == 'e' || c == 'E') break;
    if (c >= '1' && c <= '9') return true;
  }
  return false;
}

// An f32 to write: a decimal number that is a normal float or zero, or the
// float's bits as 0x and up to 8 hex digits (for NaN, infinities and
// denormals, which are refused as decimals). What velctl prints reads back
// to the same bits. Sets *why when the text is refused.
std::optional<std::uint32_t> ParseF32(const std::string &text, std::string *why) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    std::uint32_t bits = 0;
    const char *begin = text.data() + 2, *last = text.data() + text.size();
    auto [end, ec] = std::from_chars(begin, last, bits, 16);
    if (ec != std::errc() || end != last || last - begin > 8) {
      *why = "the bits of an f32 are 0x and up to 8 hex digits";
      return std::nullopt;
    }
    return bits;
  }
  float value = 0;
  const char *last = text.data() + text.size();
  auto [end, ec] = std::from_chars(text.data(), last, value);
  if (text.empty() || end != last || ec == std::errc::invalid_argument) {
    *why = "not a number";
    return std::nullopt;
  }
  std::string lower;
  for (char c : text) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (lower.find("inf") != std::string::npos || lower.find("nan") != std::string::npos) {
    *why =
        "not a finite number; to store a NaN or an infinity give its bits (0x7FC00000 is a NaN, "
        "0x7F800000 infinity)";
    return std::nullopt;
  }
  const bool outOfRange = ec == std::errc::result_out_of_range || std::isinf(value);
  if (outOfRange && std::fabs(std::strtod(text.c_str(), nullptr)) >= 1) {
    *why = "out of range (a finite 32-bit float, at most 3.4028235e+38)";
    return std::nullopt;
  }
  if (outOfRange || (value == 0 && HasNonzeroDigit(text)) || std::fpclassify(value) == FP_SUBNORMAL) {
    *why =
        "too small for an f32 (the smallest normal one is 1.1754944e-38): it would be stored as 0 or "
        "lose its precision; give the bits in hex to store a denormal";
    return std::nullopt;
  }
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

std::optional<ValueType> ParseType(std::string_view name) {
  for (const TypeInfo &info : kTypes)
    if (name == info.name) return info.type;
  return std::nullopt;
}

const char *TypeName(ValueType type) {
  return Info(type).name;
}

ValueType DefaultType(const Operand &op) {
  switch (op.kind) {
  case Kind::Bit:
    return ValueType::Bits;
  case Kind::Word:
    return ValueType::U16;
  case Kind::Long:
    return ValueType::I32;
  default:
    return ValueType::U8;
  }
}

int ValueBytes(ValueType type, const Operand &op) {
  if (type == ValueType::Hex) return op.kind == Kind::Long ? 4 : op.kind == Kind::Word ? 2 : 1;
  return Info(type).bytes;
}

std::uint32_t ValueStep(ValueType type, const Operand &op) {
  const auto bytes = static_cast<std::uint32_t>(ValueBytes(type, op));
  switch (op.kind) {
  case Kind::Bit:
    return type == ValueType::Bits ? 1 : 8 * bytes;
  case Kind::Word:
    return bytes > 2 ? bytes / 2 : 1;
  case Kind::Long:
    return 1;
  default:
    return bytes;
  }
}

std::vector<Item> DecodeValues(const Operand &op, ValueType type, std::size_t count,
                               const std::vector<std::uint8_t> &bytes) {
  std::vector<Item> items;
  const int size = ValueBytes(type, op);
  const std::uint32_t step = ValueStep(type, op);
  for (std::size_t k = 0; k < count; ++k) {
    Item item;
    item.name = operands::OperandName(op, op.number + static_cast<std::uint32_t>(k) * step);
    std::size_t at = k * static_cast<std::size_t>(size);
    std::uint32_t bits = type == ValueType::Bits ? 0 : Little(bytes, at, size);
    switch (type) {
    case ValueType::U8:
    case ValueType::U16:
    case ValueType::U32:
      item.value = std::to_string(bits);
      item.raw = Hex(bits, size);
      item.json = item.value;
      break;
    case ValueType::I16:
      item.value = std::to_string(static_cast<std::int16_t>(bits));
      item.raw = Hex(bits, size);
      item.json = item.value;
      break;
    case ValueType::I32:
      item.value = std::to_string(static_cast<std::int32_t>(bits));
      item.raw = Hex(bits, size);
      item.json = item.value;
      break;
    case ValueType::F32: {
      float value;
      std::memcpy(&value, &bits, sizeof value);
      const int kind = std::fpclassify(value);
      if (kind == FP_NORMAL || kind == FP_ZERO) {
        item.value = FloatText(value);
        item.raw = Hex(bits, size);
        item.json = item.value;
      } else {
        // Given by its bits, which is how it is written back.
        item.value = Hex(bits, size);
        item.raw = kind == FP_SUBNORMAL ? "denormal " + FloatText(value)
                   : kind == FP_NAN     ? "nan"
                                        : (value < 0 ? "-inf" : "inf");
        item.json = kind == FP_SUBNORMAL ? FloatText(value) : "null";  // JSON has no NaN or infinity
      }
      break;
    }
    case ValueType::Hex:
      item.value = Hex(bits, size);
      item.json = "\"" + item.value + "\"";
      break;
    case ValueType::Bits: {
      std::size_t bit = static_cast<std::size_t>(operands::BitOf(op, op.number)) + k;
      item.value = (bytes[bit / 8] >> (bit % 8)) & 1 ? "1" : "0";
      item.json = item.value;
      break;
    }
    }
    items.push_back(std::move(item));
  }
  return items;
}

std::optional<std::vector<std::uint8_t>> EncodeValues(ValueType type, const Operand &op,
                                                      const std::vector<std::string> &values,
                                                      std::string *error) {
  const TypeInfo &info = Info(type);
  const int size = ValueBytes(type, op);
  std::vector<std::uint8_t> bytes;
  for (const std::string &text : values) {
    std::string bad = "bad value '" + text + "' for " + info.name + ": ";
    if (type == ValueType::F32) {
      std::string why;
      auto bits = ParseF32(text, &why);
      if (!bits) {
        *error = bad + why;
        return std::nullopt;
      }
      PutLittle(&bytes, *bits, 4);
      continue;
    }
    std::int64_t min = info.min, max = info.max;
    std::optional<std::int64_t> value;
    if (type == ValueType::Hex) {
      max = size == 4 ? 0xFFFFFFFF : size == 2 ? 0xFFFF : 0xFF;
      value = ParseHexDigits(text);
    } else {
      value = ParseInteger(text);
    }
    if (!value) {
      *error = bad + (type == ValueType::Hex ? "not hex digits" : "not a number");
      return std::nullopt;
    }
    if (*value < min || *value > max) {
      *error = bad + "out of range " +
               (type == ValueType::Hex ? Hex(0, size) + ".." + Hex(static_cast<std::uint32_t>(max), size)
                                       : std::to_string(min) + ".." + std::to_string(max));
      return std::nullopt;
    }
    auto pattern = static_cast<std::uint32_t>(*value);
    if (type == ValueType::Bits)
      bytes.push_back(static_cast<std::uint8_t>(pattern));
    else
      PutLittle(&bytes, pattern, size);
  }
  return bytes;
}
