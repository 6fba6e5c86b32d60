// FX protocol: ASCII-hex frames opened by ENQ/ACK. Every routine returns
// kStatusOk or the failure.
#pragma once
#include <cstdint>

#include "links/family.h"

constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kFxRead = '0';
constexpr uint8_t kFxWrite = '1';

Status FxReadFrame(PlcLink &link, int64_t address, int n, uint8_t *buffer);
Status FxWriteFrame(PlcLink &link, int64_t address, int n, const uint8_t *buffer);

// Hex pairs: high nibble first, uppercase; both characters go into *sum.
// PutHexByte writes the pair at out and returns the position after it.
uint8_t *PutHexByte(uint8_t *out, unsigned value, uint8_t *sum);
// A pair received into *target; a pair cut short leaves its high nibble.
Status ReceiveHexByte(const PlcLink &link, uint8_t *target, uint8_t *sum);
