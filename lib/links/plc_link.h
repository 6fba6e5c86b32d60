// The record of one controller connection, one per port number, shared by
// every handle open on that port.
#pragma once
#include <cstdint>

#include "base/status.h"

constexpr int kMaxFrameBytes = 254;

struct PlcLink {
  uint16_t port;        // port number 0..15
  int16_t status;       // Status of the last frame on the port: 0, or its failure
  uint8_t sessionByte;  // A-series: the byte of the last wake-up handshake, 0 = none
  uint8_t frameBytes;   // the largest frame sent on the port, 1..254
};

// Byte primitives of both frame protocols on the link's port; call them with
// the port's lock held. Each returns kStatusOk or the failure, whose reason
// it notes for the port.
// One piece, sent with one write; answerChars: the length of the answer to
// it, where the protocol knows it (0 for none), so that a slow line is read
// in batches.
Status SendBytes(const PlcLink &link, const uint8_t *bytes, int n, int answerChars);
Status ReceiveByte(const PlcLink &link, uint8_t *byte);
// kStatusWrongChar for another byte; what names the value in the reason
// ("checksum"); nullptr: a character.
Status ExpectByte(const PlcLink &link, uint8_t value, const char *what = nullptr);
