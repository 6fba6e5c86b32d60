// A tag's elements in controller memory, and what they are as numbers, as
// JSON and as Modbus registers or bits. Controller memory holds 16-bit
// values low byte first and 32-bit values low word first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config.h"
#include "json.h"

namespace velgw {

// `bytes` is the tag's span of controller memory (TagConfig::span).
bool ElementBit(const TagConfig &tag, const std::uint8_t *bytes, int i);
double ElementNumber(const TagConfig &tag, const std::uint8_t *bytes, int i);
// true/false, an integer, or a float in its shortest form (null when not finite).
std::string ElementJson(const TagConfig &tag, const std::uint8_t *bytes, int i);
// The element's registers in the tag's Modbus word order (one or two).
void ElementRegisters(const TagConfig &tag, const std::uint8_t *bytes, int i, std::uint16_t *registers);

// The tag's whole value as JSON: one element, or an array of them.
std::string ValueJson(const TagConfig &tag, const std::uint8_t *bytes);

// Values to write, as controller memory: for number types the bytes of the
// elements, for bool one 0 or 1 per element.
using Encoded = std::vector<std::uint8_t>;

// From Modbus registers in the tag's word order (whole elements).
Encoded FromRegisters(const TagConfig &tag, const std::uint16_t *registers, int elements);
// From a JSON value: a number (bool tags: true, false, 0 or 1) for each
// element. False with *error set when a value does not fit the type.
bool FromJson(const TagConfig &tag, const JsonValue &value, Encoded *out, std::string *error);

}  // namespace velgw
