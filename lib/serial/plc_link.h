// The record of one controller connection, one per port number, shared by
// every handle open on that port.
#pragma once
#include <cstdint>

struct PlcLink {
  uint16_t port;        // port number 0..15
  int16_t status;       // last failure on the port; every frame resets it to 0
  uint8_t sessionByte;  // A-series: the byte of the last wake-up handshake, 0 = none
};

// Status codes used inside the library.
constexpr int16_t kStatusOk = 0;
constexpr int16_t kStatusTimeout = -1;      // no byte within the time-out
constexpr int16_t kStatusWrongChar = -2;    // a wrong character or value
constexpr int16_t kStatusChecksum = -3;     // FX read reply checksum
constexpr int16_t kStatusPort = -4;         // port invalid, not open or not openable
constexpr int16_t kStatusBadArgument = -5;  // refused before anything was sent
