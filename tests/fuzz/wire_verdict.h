// How a transfer had to end, decided from the line events alone: the
// library's own bytes must be exactly each frame's request, and every answer
// is judged by the rules of its protocol. The checks abort when the library
// sent something else than it had to.
#pragma once
#include <cstdint>

#include "wire_tape.h"

struct WireVerdict {
  bool ok;         // every frame's answer was well formed
  int16_t status;  // the status the transfer must leave: 0, or the failing frame's
};

// The A-series session state of a link: it decides whether a frame opens
// with the wake-up handshake, and the checks carry it from frame to frame.
struct ASessionModel {
  int16_t status;
  uint8_t sessionByte;
};

// A read's `image` starts as the buffer before the call and receives every
// byte the library must have stored: the data of the good frames and, of a
// failing frame, what had been decoded before it failed. `bytes` >= 1.
WireVerdict CheckFxRead(WireTape &tape, int64_t address, int bytes, uint8_t *image);
WireVerdict CheckFxWrite(WireTape &tape, int64_t address, int bytes, const uint8_t *source);
WireVerdict CheckARead(WireTape &tape, ASessionModel &session, int64_t address, int bytes, uint8_t *image);
WireVerdict CheckAWrite(WireTape &tape, ASessionModel &session, int64_t address, int bytes,
                        const uint8_t *source);

// Frames of at most 254 data bytes; frame carries the low 16 bits of its address.
constexpr int kWireFrameBytes = 254;
inline unsigned WireAddress(int64_t address, int offset) {
  return static_cast<unsigned>(static_cast<uint64_t>(address + offset) & 0xFFFF);
}
