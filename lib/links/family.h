// The four transfer routines of a controller family. Each returns 1 on
// success and 0 on failure with link.status set; a count of 0 sends nothing
// and returns 0 with the status untouched.
#pragma once
#include <cstdint>

#include "plc_link.h"

// address: byte address in controller memory (frames carry its low 16 bits);
// count: bytes or 16-bit words, used modulo 65536.
using FamilyRoutine = int (*)(PlcLink &link, int64_t address, int count, uint8_t *buffer);

struct FamilyRoutines {
  FamilyRoutine readBytes;
  FamilyRoutine writeBytes;
  FamilyRoutine readWords;
  FamilyRoutine writeWords;
};

extern const FamilyRoutines kFxRoutines;
extern const FamilyRoutines kARoutines;
