// One FX exchange: ENQ/ACK, the request frame, the controller's answer.
#include "fx.h"
#include "serial/ports.h"
#include "serial/reasons.h"

namespace {

// Purge, ENQ and wait for ACK.
Status OpenExchange(const PlcLink &link) {
  PurgePort(link.port);
  const uint8_t enq = kEnq;
  if (Status s = SendBytes(link, &enq, 1, 1)) return s;
  return ExpectByte(link, kAck);
}

// STX, command, address, count, the data of a write, ETX and the checksum
// of everything from the command to ETX, sent in one piece. The answer is
// STX, n pairs, ETX and the checksum pair (a read), or ACK.
Status SendRequest(const PlcLink &link, uint8_t command, int64_t address, int n, const uint8_t *data) {
  uint8_t frame[11 + 2 * kMaxFrameBytes];
  uint8_t sum = command;
  uint8_t *at = frame;
  *at++ = kStx;
  *at++ = command;
  at = PutHexByte(at, static_cast<unsigned>(address >> 8) & 0xFF, &sum);
  at = PutHexByte(at, static_cast<unsigned>(address) & 0xFF, &sum);
  at = PutHexByte(at, static_cast<unsigned>(n), &sum);
  for (int i = 0; data && i < n; i++) at = PutHexByte(at, data[i], &sum);
  *at++ = kEtx;
  uint8_t ignored = 0;
  at = PutHexByte(at, static_cast<uint8_t>(sum + kEtx), &ignored);
  return SendBytes(link, frame, static_cast<int>(at - frame), data ? 1 : 2 * n + 4);
}

// A reply that failed after its STX is answered with NAK.
Status RejectReply(const PlcLink &link, Status failure) {
  const uint8_t nak = kNak;
  SendBytes(link, &nak, 1, 0);
  return failure;
}

}  // namespace

Status FxReadFrame(PlcLink &link, int64_t address, int n, uint8_t *buffer) {
  if (Status s = OpenExchange(link)) return s;
  if (Status s = SendRequest(link, kFxRead, address, n, nullptr)) return s;
  if (Status s = ExpectByte(link, kStx)) return s;
  uint8_t sum = 0;
  for (int i = 0; i < n; i++)
    if (Status s = ReceiveHexByte(link, &buffer[i], &sum)) return RejectReply(link, s);
  if (Status s = ExpectByte(link, kEtx)) return RejectReply(link, s);
  sum = static_cast<uint8_t>(sum + kEtx);
  uint8_t received = 0;
  uint8_t ignored = 0;
  if (Status s = ReceiveHexByte(link, &received, &ignored)) return RejectReply(link, s);
  if (received != sum) {
    NotePortFailure(link.port, "checksum 0x%02X where 0x%02X was expected", received, sum);
    return RejectReply(link, kStatusChecksum);
  }
  return kStatusOk;
}

Status FxWriteFrame(PlcLink &link, int64_t address, int n, const uint8_t *buffer) {
  if (Status s = OpenExchange(link)) return s;
  if (Status s = SendRequest(link, kFxWrite, address, n, buffer)) return s;
  return ExpectByte(link, kAck);
}

const Family kFxFamily = {{9600, 7, 2}, "FX read", "FX write", FxReadFrame, FxWriteFrame};
