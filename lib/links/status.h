// Status codes inside the library. The byte primitives and the protocols
// leave them in the link's status; ExportedStatus turns them into the codes
// the exports return.
#pragma once
#include <cstdint>

enum Status : int16_t {
  kStatusOk = 0,
  kStatusTimeout = -1,      // no byte within the time-out
  kStatusWrongChar = -2,    // a wrong character or value; -6 at the exports
  kStatusChecksum = -3,     // FX read reply checksum
  kStatusPort = -4,         // port invalid, not open or not openable
  kStatusBadArgument = -5,  // refused before anything was sent
};

// The one place where internal codes become exported ones.
int ExportedStatus(int status);

// A static English text for an exported status code ("unknown status" for
// others): what VelStatusText returns.
const char *StatusText(int code);
