// A-series protocol: binary frames, each preceded by the session byte sent
// with RTS dropped; a wake-up handshake hands out the session byte.
// All routines return 1 on success, 0 on failure with link.status set.
#pragma once
#include <cstdint>

#include "../links/plc_link.h"

constexpr uint8_t kAMarker = 0xFF;
constexpr uint8_t kARead = 0x02;
constexpr uint8_t kAWrite = 0x04;
constexpr uint8_t kAWakeUp = 0xAA;     // sent with RTS dropped
constexpr uint8_t kAWakeUpAsk = 0xB0;  // sent with RTS raised
constexpr uint32_t kAPauseMs = 3;      // on either side of a byte sent with RTS dropped

int AReadBytes(PlcLink &link, int64_t address, int count, uint8_t *buffer);
int AWriteBytes(PlcLink &link, int64_t address, int count, uint8_t *buffer);
int AReadWords(PlcLink &link, int64_t address, int count, uint8_t *buffer);
int AWriteWords(PlcLink &link, int64_t address, int count, uint8_t *buffer);

int AReadFrame(PlcLink &link, int64_t address, int n, uint8_t *buffer);
int AWriteFrame(PlcLink &link, int64_t address, int n, const uint8_t *buffer);

// 16-bit values travel low byte first.
int SendWord(PlcLink &link, unsigned value);
bool ReceiveWord(PlcLink &link, uint16_t *value);
bool ExpectWord(PlcLink &link, unsigned value);
