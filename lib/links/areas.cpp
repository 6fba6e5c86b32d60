#include "areas.h"

#include <cstring>

namespace {

// FX: data registers D0.. at 0x1000, inputs X0.. at 0x0080 and outputs Y0..
// at 0x00A0 (eight a byte, numbered in octal), markers M0.. at 0x0100.
const OperandArea kAreas[] = {
    {"Dd", 0x8800, 0x1000, 0x1000, true},       // data registers
    {"EeIiXx", 0x8000, 0x0080, 0x0400, false},  // inputs
    {"AaOoYy", 0x8200, 0x00A0, 0x0500, true},   // outputs
    {"Mm", 0x8400, 0x0100, 0x0800, true},       // markers
};

}  // namespace

const OperandArea *AreaForLetter(int letter) {
  if (letter <= 0 || letter > 0x7F) return nullptr;
  for (const OperandArea &area : kAreas)
    if (std::strchr(area.letters, letter)) return &area;
  return nullptr;
}

bool IsRawLetter(int letter) {
  return letter == 'S' || letter == 's';
}

uint16_t AreaBase(const OperandArea &area, bool isA, FxAreas fxAreas) {
  if (isA) return area.baseA;
  return fxAreas == FxAreas::kLegacy ? area.baseFxLegacy : area.baseFx;
}
