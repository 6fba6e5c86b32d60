// A-series protocol: binary frames, each preceded by the session byte sent
// with RTS dropped; a wake-up handshake hands out the session byte. Every
// routine returns kStatusOk or the failure.
#pragma once
#include <cstdint>

#include "links/family.h"

constexpr uint8_t kAMarker = 0xFF;
constexpr uint8_t kARead = 0x02;
constexpr uint8_t kAWrite = 0x04;
constexpr uint8_t kAWakeUp = 0xAA;     // sent with RTS dropped
constexpr uint8_t kAWakeUpAsk = 0xB0;  // sent with RTS raised
constexpr uint32_t kAPauseMs = 3;      // on either side of a byte sent with RTS dropped

// A link without a usable session byte (none yet, or the last frame on the
// port failed: link.status) first runs the wake-up handshake.
Status AReadFrame(PlcLink &link, int64_t address, int n, uint8_t *buffer);
Status AWriteFrame(PlcLink &link, int64_t address, int n, const uint8_t *buffer);
