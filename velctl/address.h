// ADDR on velctl's command line: an operand area and a number in it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class Area { Data, Inputs, Outputs, Markers, Raw };

struct Address {
  Area area = Area::Data;
  char letter = 'D';         // as typed, in upper case: D, E, I, X, A, O, Y, M or S
  std::uint32_t number = 0;  // register, byte or bit number; S: the controller address
};

// "D100", "m0", "Y0x10", "S0x1000": an area letter (any case) and a number,
// decimal or 0x hex. On failure sets *error to a sentence for the user.
std::optional<Address> ParseAddress(std::string_view text, std::string *error);

// Decimal or 0x hex digits without a sign, at most max.
std::optional<std::uint64_t> ParseCount(std::string_view text, std::uint64_t max);

// The controller address where the area begins for the family (0 for S).
std::uint32_t AreaBase(Area area, bool fx);
bool AreaWritable(Area area);
// "data registers", "inputs", ...
const char *AreaWords(Area area);

// The name of an operand: "D102", "M3", "S0x1004".
std::string OperandName(const Address &first, std::uint64_t number);

// The controller has 64 KiB of memory; nothing velctl sends may run past it.
constexpr std::uint64_t kMemoryBytes = 0x10000;
