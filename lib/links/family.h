// A controller family: its line settings and its two frames. The splitting
// of transfers into frames (transfers.cpp) is the same for both.
#pragma once
#include <cstdint>

#include "plc_link.h"
#include "serial/device.h"

// One exchange of n = 1..254 bytes at the low 16 bits of address; returns
// kStatusOk or the failure. A failed read leaves what it decoded in buffer.
using ReadFrame = Status (*)(PlcLink &link, int64_t address, int n, uint8_t *buffer);
using WriteFrame = Status (*)(PlcLink &link, int64_t address, int n, const uint8_t *buffer);

struct Family {
  LineSettings line;
  const char *readName;  // what names its frames in the trace: "FX read"
  const char *writeName;
  ReadFrame read;
  WriteFrame write;
};

extern const Family kFxFamily;  // fx/fx_frames.cpp
extern const Family kAFamily;   // a/a_frames.cpp
