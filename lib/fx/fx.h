// FX protocol: ASCII-hex frames opened by ENQ/ACK, at most 254 bytes each.
// All routines return 1 on success, 0 on failure with link.status set.
#pragma once
#include <cstdint>

#include "../links/plc_link.h"

constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kFxRead = '0';
constexpr uint8_t kFxWrite = '1';

int FxReadBytes(PlcLink &link, int64_t address, int count, uint8_t *buffer);
int FxWriteBytes(PlcLink &link, int64_t address, int count, uint8_t *buffer);
int FxReadWords(PlcLink &link, int64_t address, int count, uint8_t *buffer);
int FxWriteWords(PlcLink &link, int64_t address, int count, uint8_t *buffer);

int FxReadFrame(PlcLink &link, int64_t address, int n, uint8_t *buffer);
int FxWriteFrame(PlcLink &link, int64_t address, int n, const uint8_t *buffer);

// Hex pairs: high nibble first, uppercase; both characters go into *sum.
void SendHexByte(PlcLink &link, unsigned value, uint8_t *sum);
void SendHexData(PlcLink &link, const uint8_t *buffer, int n, uint8_t *sum);
int ReceiveHexByte(PlcLink &link, uint8_t *target, uint8_t *sum);
