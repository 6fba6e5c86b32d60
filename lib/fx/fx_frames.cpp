// One FX exchange: ENQ/ACK, the request frame, the controller's answer.
#include "../serial/ports.h"
#include "../trace/trace.h"
#include "fx.h"

namespace {

// Purge, reset the status, ENQ and wait for ACK.
int OpenExchange(PlcLink &link) {
  PurgePort(link.port);
  link.status = kStatusOk;
  SendByte(link, kEnq);
  return ExpectByte(link, kAck) ? 1 : 0;
}

// STX, command, address and count; returns the running sum so far.
uint8_t SendHeader(PlcLink &link, uint8_t command, int64_t address, int n) {
  uint8_t sum = command;
  SendByte(link, kStx);
  SendByte(link, command);
  SendHexByte(link, static_cast<unsigned>(address >> 8) & 0xFF, &sum);
  SendHexByte(link, static_cast<unsigned>(address) & 0xFF, &sum);
  SendHexByte(link, static_cast<unsigned>(n), &sum);
  return sum;
}

// ETX and the checksum pair, which itself is not summed.
void SendTrailer(PlcLink &link, uint8_t sum) {
  SendByte(link, kEtx);
  sum = static_cast<uint8_t>(sum + kEtx);
  uint8_t ignored = 0;
  SendHexByte(link, sum, &ignored);
}

int RejectReply(PlcLink &link) {
  SendByte(link, kNak);
  return 0;
}

}  // namespace

int FxReadFrame(PlcLink &link, int64_t address, int n, uint8_t *buffer) {
  if (!OpenExchange(link)) return 0;
  SendTrailer(link, SendHeader(link, kFxRead, address, n));

  uint8_t sum = 0;
  if (!ExpectByte(link, kStx)) return 0;
  for (int i = 0; i < n; i++)
    if (!ReceiveHexByte(link, &buffer[i], &sum)) return RejectReply(link);
  if (!ExpectByte(link, kEtx)) return RejectReply(link);
  sum = static_cast<uint8_t>(sum + kEtx);
  uint8_t received = 0;
  uint8_t ignored = 0;
  if (!ReceiveHexByte(link, &received, &ignored)) return RejectReply(link);
  if (received != sum) {
    link.status = kStatusChecksum;
    if (Tracing()) TraceReason(link.port, "checksum wanted 0x%02X, got 0x%02X", sum, received);
    return RejectReply(link);
  }
  return 1;
}

int FxWriteFrame(PlcLink &link, int64_t address, int n, const uint8_t *buffer) {
  if (!OpenExchange(link)) return 0;
  uint8_t sum = SendHeader(link, kFxWrite, address, n);
  SendHexData(link, buffer, n, &sum);
  SendTrailer(link, sum);
  return ExpectByte(link, kAck) ? 1 : 0;
}
