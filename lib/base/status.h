// Status codes, one set for every layer: the values the exports return.
// Routines return kStatusOk or the code of the failure; the link record keeps
// the last failure on a port.
#pragma once
#include <cstdint>

enum Status : int16_t {
  kStatusOk = 0,
  kStatusTimeout = -1,      // no byte within 990 ms, a write that failed, a device lost
  kStatusNoHandle = -2,     // VelOpen: all 32 handles are in use
  kStatusChecksum = -3,     // FX read reply checksum
  kStatusPort = -4,         // port invalid, not open or not openable
  kStatusBadArgument = -5,  // refused before anything was sent
  kStatusWrongChar = -6,    // a wrong character or value was received
  kStatusBadLetter = -10,   // operand letter not valid for the transfer
  kStatusBadHandle = -99,   // handle not in 0..31 or not open
};

// A static English text for a status code, "unknown status" for others.
const char *StatusText(int code);
