// The value types of -t/--type: how controller memory is read as values, and
// how values to write become controller memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "address.h"

enum class ValueType { U8, U16, I16, U32, I32, F32, Hex, Bits };

std::optional<ValueType> ParseType(std::string_view name);
const char *TypeName(ValueType type);
// u16 for the data registers, u8 for every byte area.
ValueType DefaultType(Area area);
// Empty when the type can be used on the area, else the reason why not.
std::string TypeMisfit(ValueType type, Area area);
// Bytes of controller memory a value takes; 0 for bits (eight share a byte).
int ValueBytes(ValueType type, Area area);

// One value as velctl shows it.
struct Item {
  std::string name;   // "D100", "M13", "S0x1000"
  std::string value;  // "1234", "-2", "1.5", "0x04D2", "1"
  std::string raw;    // the number types' memory in hex, "0x04D2"; empty for hex and bits
  std::string json;   // 1234, "0x04D2", null (an f32 that is not a finite number)
};

// The values in controller memory as read: 16-bit words low byte first,
// 32-bit values low word first (the controllers' order). For bits, bytes[0]
// holds the first one at bit first.number % 8.
std::vector<Item> DecodeValues(const Address &first, ValueType type, std::size_t count,
                               const std::vector<std::uint8_t> &bytes);

// Parses the values to write in the type, checking each against its range.
// Gives controller memory in the layout DecodeValues reads; for bits one
// byte 0 or 1 per value. On failure *error names the first bad value.
std::optional<std::vector<std::uint8_t>> EncodeValues(ValueType type, Area area,
                                                      const std::vector<std::string> &values,
                                                      std::string *error);
