#include "areas.h"

#include <cstring>

namespace {

const OperandArea kAreas[] = {
    {"Dd", 0x8800, 0x1000, true},       // data registers
    {"EeIiXx", 0x8000, 0x0400, false},  // inputs
    {"AaOoYy", 0x8200, 0x0500, true},   // outputs
    {"Mm", 0x8400, 0x0800, true},       // markers
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
