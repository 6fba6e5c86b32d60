// Operand areas: which letters name which part of controller memory.
#pragma once
#include <cstdint>

// Where the FX letters X, Y and M point. The controllers' own byte areas of
// the plain read and write commands, or (VELDRV_FX_AREAS=legacy) the
// addresses the library used before, 0x0400/0x0500/0x0800, for programs
// written against those.
enum class FxAreas : uint8_t { kController, kLegacy };

struct OperandArea {
  const char *letters;    // upper and lower case letters of the area
  uint16_t baseA;         // A-series base address
  uint16_t baseFx;        // FX base address: the controllers' byte area
  uint16_t baseFxLegacy;  // FX base address with VELDRV_FX_AREAS=legacy
  bool writable;
};

// The area of an operand letter (compared as a full integer), or nullptr.
// The raw letters S and s have no area: see IsRawLetter.
const OperandArea *AreaForLetter(int letter);
bool IsRawLetter(int letter);
// The area's first controller address for the family and the FX map.
uint16_t AreaBase(const OperandArea &area, bool isA, FxAreas fxAreas);
