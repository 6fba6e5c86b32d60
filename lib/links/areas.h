// Operand areas: which letters name which part of controller memory.
#pragma once
#include <cstdint>

struct OperandArea {
  const char *letters;  // upper and lower case letters of the area
  uint16_t baseA;       // A-series base address
  uint16_t baseFx;      // FX base address
  bool writable;
};

// The area of an operand letter (compared as a full integer), or nullptr.
// The raw letters S and s have no area: see IsRawLetter.
const OperandArea *AreaForLetter(int letter);
bool IsRawLetter(int letter);
