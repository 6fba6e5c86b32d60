// The record of one controller connection, one per port number, shared by
// every handle open on that port.
#pragma once
#include <cstdint>

#include "status.h"

constexpr int kMaxFrameBytes = 254;

struct PlcLink {
  uint16_t port;        // port number 0..15
  int16_t status;       // Status of the last failure on the port; every frame resets it to 0
  uint8_t sessionByte;  // A-series: the byte of the last wake-up handshake, 0 = none
  uint8_t frameBytes;   // the largest frame sent on the port, 1..254
};
