// Controller links: one PlcLink per port, the port's family, and transfers
// with the port locked.
#pragma once
#include <cstdint>

#include "areas.h"
#include "family.h"
#include "plc_link.h"

PlcLink *LinkLookup(int port);
// An open on a port that is open for the other family fails with
// kStatusPort and changes nothing. LinkOpenFx reads VELDRV_FX_AREAS into
// *areas.
Status LinkOpenFx(int port, FxAreas *areas = nullptr);
Status LinkOpenA(int port);
Status LinkClose(int port);
bool LinkIsA(int port);  // the port's family flag

enum class Direction : uint8_t { kRead, kWrite };

// One transfer as the exports hand it down.
struct Request {
  Direction direction;
  bool words;               // count 16-bit words from word number start
  const OperandArea *area;  // nullptr: start is a raw controller address
  FxAreas fxAreas;          // where the FX letters X, Y and M point
  int64_t start;
  int count;  // used modulo 65536 (words: doubled modulo 65536)
  uint8_t *buffer;
};

// Maps the operand to a controller address, locks the port and runs the
// frames of the port's family. kStatusPort for a port without a link; a
// count of 0 sends nothing and returns the status the last frame left.
Status LinkTransfer(int port, const Request &request);

// The frames of a transfer of bytes (0..65535) at address: at most
// link.frameBytes each, the first failure ends it, frames done stay done.
// The address grows in full width, frames carry its low 16 bits. Leaves
// each frame's result in link.status.
Status RunFrames(PlcLink &link, const Family &family, Direction direction, int64_t address, int bytes,
                 uint8_t *buffer);
