// Cutting a transfer into frames of at most link.frameBytes (1..254) bytes;
// both families use it.
#pragma once
#include <cstdint>

#include "../trace/trace.h"
#include "plc_link.h"

// count is taken modulo 65536; 0 sends nothing and returns 0 with the status
// untouched. The first failed frame ends the transfer; frames already done
// stay done. The address grows in full width, frames carry its low 16 bits.
// frame(link, address, n, buffer) runs one frame of n bytes; what names it
// in the trace ("FX read").
template <typename FrameRoutine>
int RunFrames(PlcLink &link, const char *what, int64_t address, int count, uint8_t *buffer,
              FrameRoutine frame) {
  const int n = static_cast<uint16_t>(count);
  const int most =
      link.frameBytes >= 1 && link.frameBytes <= kMaxFrameBytes ? link.frameBytes : kMaxFrameBytes;
  const int frames = n / most + (n % most ? 1 : 0);
  if (frames == 0) return 0;
  const int last = n % most ? n % most : most;
  for (int i = 0; i < frames; i++) {
    const int size = i == frames - 1 ? last : most;
    if (Tracing()) TraceFrameBegin(link.port, what, address, size);
    const int done = frame(link, address, size, buffer);
    if (Tracing()) TraceFrameEnd(link.port, done != 0, buffer, size);
    if (!done) return 0;
    address += size;
    buffer += size;
  }
  return 1;
}

// Word counts double modulo 65536: 32768 words are a count of 0.
inline int WordsToBytes(int count) {
  return static_cast<uint16_t>(2 * static_cast<uint32_t>(count));
}
