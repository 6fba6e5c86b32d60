#include "value_types.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

struct TypeInfo {
  ValueType type;
  const char *name;
  int bytes;  // 0: the area's unit (hex) or a bit (bits)
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
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
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

}  // namespace

std::optional<ValueType> ParseType(std::string_view name) {
  for (const TypeInfo &info : kTypes)
    if (name == info.name) return info.type;
  return std::nullopt;
}

const char *TypeName(ValueType type) {
  return Info(type).name;
}

ValueType DefaultType(Area area) {
  return area == Area::Data ? ValueType::U16 : ValueType::U8;
}

std::string TypeMisfit(ValueType type, Area area) {
  if (area == Area::Data && (type == ValueType::U8 || type == ValueType::Bits))
    return std::string("type ") + TypeName(type) +
           " does not fit the data registers (16 bits each): use u16, i16, u32, i32, f32 or hex";
  if (type == ValueType::Bits && area == Area::Raw)
    return "type bits is for the markers, inputs and outputs (M, X, Y)";
  return {};
}

int ValueBytes(ValueType type, Area area) {
  if (type == ValueType::Hex) return area == Area::Data ? 2 : 1;
  return Info(type).bytes;
}

std::vector<Item> DecodeValues(const Address &first, ValueType type, std::size_t count,
                               const std::vector<std::uint8_t> &bytes) {
  std::vector<Item> items;
  int size = ValueBytes(type, first.area);
  // Names advance in the area's unit: registers for D, bytes elsewhere, bits for bits.
  std::uint64_t step = type == ValueType::Bits ? 1 : first.area == Area::Data ? size / 2 : size;
  for (std::size_t k = 0; k < count; ++k) {
    Item item;
    item.name = OperandName(first, first.number + k * step);
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
      item.value = FloatText(value);
      item.raw = Hex(bits, size);
      // JSON has no NaN or infinity.
      item.json = std::isfinite(value) ? item.value : "null";
      break;
    }
    case ValueType::Hex:
      item.value = Hex(bits, size);
      item.json = "\"" + item.value + "\"";
      break;
    case ValueType::Bits: {
      std::size_t bit = first.number % 8 + k;
      item.value = (bytes[bit / 8] >> (bit % 8)) & 1 ? "1" : "0";
      item.json = item.value;
      break;
    }
    }
    items.push_back(std::move(item));
  }
  return items;
}

std::optional<std::vector<std::uint8_t>> EncodeValues(ValueType type, Area area,
                                                      const std::vector<std::string> &values,
                                                      std::string *error) {
  const TypeInfo &info = Info(type);
  int size = ValueBytes(type, area);
  std::vector<std::uint8_t> bytes;
  for (const std::string &text : values) {
    std::string bad = "bad value '" + text + "' for " + info.name + ": ";
    if (type == ValueType::F32) {
      double value = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (ec == std::errc::invalid_argument || end != text.data() + text.size() || text.empty()) {
        *error = bad + "not a number";
        return std::nullopt;
      }
      if (ec != std::errc() || !std::isfinite(value) ||
          std::fabs(value) > std::numeric_limits<float>::max()) {
        *error = bad + "out of range (a finite 32-bit float)";
        return std::nullopt;
      }
      auto single = static_cast<float>(value);
      std::uint32_t bits;
      std::memcpy(&bits, &single, sizeof bits);
      PutLittle(&bytes, bits, 4);
      continue;
    }
    std::int64_t min = info.min, max = info.max;
    std::optional<std::int64_t> value;
    if (type == ValueType::Hex) {
      max = size == 2 ? 0xFFFF : 0xFF;
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
