// The value types of -t/--type: how controller memory is read as values, and
// how values to write become controller memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "operands.h"

enum class ValueType { U8, U16, I16, U32, I32, F32, Hex, Bits };

std::optional<ValueType> ParseType(std::string_view name);
const char *TypeName(ValueType type);
// bits for bit devices, u16 for 16-bit registers and values, i32 for the
// 32-bit counters, u8 for bytes (A-series areas, raw addresses).
ValueType DefaultType(const operands::Operand &op);
// Bytes of controller memory a value takes; 0 for bits (eight share a byte).
int ValueBytes(ValueType type, const operands::Operand &op);
// Device numbers from one value to the next: D10, D12 for 32-bit values;
// M0, M8 for bytes of markers.
std::uint32_t ValueStep(ValueType type, const operands::Operand &op);

// One value as velctl shows it.
struct Item {
  std::string name;   // "D100", "M13", "X17", "@0x1000"
  std::string value;  // "1234", "-2", "1.5", "0x04D2", "1"
  std::string raw;    // in parentheses after the value: the memory in hex; for an
                      // f32 given by its bits, what they are ("nan"); empty for hex and bits
  std::string json;   // 1234, "0x04D2", null (an f32 NaN or infinity)
};

// count values from op.number on, in the controller memory read (16-bit
// values low byte first, 32-bit values low word first); for bits, bytes[0]
// is the byte that holds op.number.
std::vector<Item> DecodeValues(const operands::Operand &op, ValueType type, std::size_t count,
                               const std::vector<std::uint8_t> &bytes);

// Parses the values to write in the type, checking each against its range.
// Gives controller memory in the layout DecodeValues reads; for bits one
// byte 0 or 1 per value. On failure *error names the first bad value.
std::optional<std::vector<std::uint8_t>> EncodeValues(ValueType type, const operands::Operand &op,
                                                      const std::vector<std::string> &values,
                                                      std::string *error);
