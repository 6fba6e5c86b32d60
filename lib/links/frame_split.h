// Cutting a transfer into frames of at most 254 bytes; both families use it.
#pragma once
#include <cstdint>

#include "../serial/plc_link.h"

constexpr int kMaxFrameBytes = 254;

// count is taken modulo 65536; 0 sends nothing and returns 0 with the status
// untouched. The first failed frame ends the transfer; frames already done
// stay done. The address grows in full width, frames carry its low 16 bits.
// frame(link, address, n, buffer) runs one frame of n = 1..254 bytes.
template <typename FrameRoutine>
int RunFrames(PlcLink &link, int64_t address, int count, uint8_t *buffer, FrameRoutine frame) {
  int n = static_cast<uint16_t>(count);
  int frames = n / kMaxFrameBytes + (n % kMaxFrameBytes ? 1 : 0);
  if (frames == 0) return 0;
  int last = n % kMaxFrameBytes ? n % kMaxFrameBytes : kMaxFrameBytes;
  for (int i = 0; i < frames; i++) {
    int size = i == frames - 1 ? last : kMaxFrameBytes;
    if (!frame(link, address, size, buffer)) return 0;
    address += size;
    buffer += size;
  }
  return 1;
}

// Word counts double modulo 65536: 32768 words are a count of 0.
inline int WordsToBytes(int count) {
  return static_cast<uint16_t>(2 * static_cast<uint32_t>(count));
}
