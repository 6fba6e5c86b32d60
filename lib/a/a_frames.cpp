// One A-series frame: opening (handshake when needed, session prefix), the
// request, and the controller's response. 16-bit values travel low byte
// first.
#include "a.h"
#include "serial/ports.h"
#include "serial/reasons.h"
#include "trace/trace.h"

namespace {

// RTS dropped, pause, the byte, pause, RTS raised.
Status SendWithRtsDropped(const PlcLink &link, uint8_t byte) {
  ClearRts(link.port);
  PortPause(link.port, kAPauseMs);
  const Status s = SendBytes(link, &byte, 1, 0);
  PortPause(link.port, kAPauseMs);
  SetRts(link.port);
  return s;
}

Status WakeUp(PlcLink &link) {
  if (Status s = SendWithRtsDropped(link, kAWakeUp)) return s;
  const uint8_t ask = kAWakeUpAsk;
  if (Status s = SendBytes(link, &ask, 1, 2)) return s;
  uint8_t ignored, session;
  if (Status s = ReceiveByte(link, &ignored)) return s;
  if (Status s = ReceiveByte(link, &session)) return s;
  link.sessionByte = session;
  if (Tracing()) TraceNote(link.port, "handshake: session byte 0x%02X", session);
  return kStatusOk;
}

Status OpenFrame(PlcLink &link) {
  PurgePort(link.port);
  if (link.status != kStatusOk || link.sessionByte == 0)
    if (Status s = WakeUp(link)) return s;
  return SendWithRtsDropped(link, link.sessionByte);
}

// Length, marker, command, address, 0x00, n, the data of a write and the
// checksum of them all, sent in one piece. The answer is n + 5 bytes (a
// read) or 5 (a write).
Status SendRequest(const PlcLink &link, unsigned length, uint8_t command, int64_t address, int n,
                   const uint8_t *data) {
  const unsigned a = static_cast<unsigned>(address) & 0xFFFF;
  uint8_t request[9 + kMaxFrameBytes] = {
      static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), kAMarker, command,
      static_cast<uint8_t>(a),      static_cast<uint8_t>(a >> 8),      0x00,     static_cast<uint8_t>(n)};
  int at = 8;
  for (int i = 0; data && i < n; i++) request[at++] = data[i];
  uint8_t sum = 0;
  for (int i = 0; i < at; i++) sum = static_cast<uint8_t>(sum + request[i]);
  request[at++] = sum;
  return SendBytes(link, request, at, data ? 5 : n + 5);
}

// Both bytes of a 16-bit value are received before it is compared.
Status ExpectWord(const PlcLink &link, unsigned value) {
  uint8_t low, high;
  if (Status s = ReceiveByte(link, &low)) return s;
  if (Status s = ReceiveByte(link, &high)) return s;
  const unsigned received = low + 256u * high;
  if (received == (value & 0xFFFF)) return kStatusOk;
  NotePortFailure(link.port, "wrong length 0x%04X where 0x%04X was expected", received, value & 0xFFFF);
  return kStatusWrongChar;
}

}  // namespace

Status AReadFrame(PlcLink &link, int64_t address, int n, uint8_t *buffer) {
  if (Status s = OpenFrame(link)) return s;
  if (Status s = SendRequest(link, 7, kARead, address, n, nullptr)) return s;
  const unsigned length = static_cast<unsigned>(n) + 3;
  if (Status s = ExpectWord(link, length)) return s;
  if (Status s = ExpectByte(link, kAMarker)) return s;
  if (Status s = ExpectByte(link, kARead)) return s;
  uint8_t sum = static_cast<uint8_t>((length & 0xFF) + (length >> 8) + kAMarker + kARead);
  for (int i = 0; i < n; i++) {
    if (Status s = ReceiveByte(link, &buffer[i])) return s;
    sum = static_cast<uint8_t>(sum + buffer[i]);
  }
  return ExpectByte(link, sum, "checksum");
}

Status AWriteFrame(PlcLink &link, int64_t address, int n, const uint8_t *buffer) {
  if (Status s = OpenFrame(link)) return s;
  if (Status s = SendRequest(link, static_cast<unsigned>(n) + 7, kAWrite, address, n, buffer)) return s;
  // Compared byte by byte: a wrong first byte ends the frame at once.
  static const uint8_t kAnswer[] = {0x03, 0x00, kAMarker, kAWrite, 0x06};
  for (uint8_t expected : kAnswer)
    if (Status s = ExpectByte(link, expected)) return s;
  return kStatusOk;
}

const Family kAFamily = {{9600, 8, 1}, "A read", "A write", AReadFrame, AWriteFrame};
