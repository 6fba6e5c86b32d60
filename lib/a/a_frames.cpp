// One A-series frame: opening (handshake when needed, session prefix), the
// request, and the controller's response.
#include "../serial/ports.h"
#include "../trace/trace.h"
#include "a.h"

namespace {

// RTS dropped, pause, the byte, pause, RTS raised.
void SendWithRtsDropped(PlcLink &link, uint8_t byte) {
  ClearRts(link.port);
  SleepMs(kAPauseMs);
  SendByte(link, byte);
  SleepMs(kAPauseMs);
  SetRts(link.port);
}

int WakeUp(PlcLink &link) {
  SendWithRtsDropped(link, kAWakeUp);
  SendByte(link, kAWakeUpAsk);
  uint8_t ignored, session;
  if (!ReceiveByte(link, &ignored) || !ReceiveByte(link, &session)) return 0;
  link.sessionByte = session;
  if (Tracing()) TraceNote(link.port, "handshake: session byte 0x%02X", session);
  return 1;
}

// A link without a usable session byte (none yet, or the last frame failed)
// first runs the wake-up handshake.
int OpenFrame(PlcLink &link) {
  PurgePort(link.port);
  if ((link.status != kStatusOk || link.sessionByte == 0) && !WakeUp(link)) return 0;
  link.status = kStatusOk;
  SendWithRtsDropped(link, link.sessionByte);
  return 1;
}

// Length, marker, command, address, 0x00, n; returns the running sum.
uint8_t SendHeader(PlcLink &link, unsigned length, uint8_t command, int64_t address, int n) {
  unsigned a = static_cast<unsigned>(address) & 0xFFFF;
  SendWord(link, length);
  SendByte(link, kAMarker);
  SendByte(link, command);
  SendWord(link, a);
  SendByte(link, 0x00);
  SendByte(link, static_cast<uint8_t>(n));
  return static_cast<uint8_t>((length & 0xFF) + (length >> 8) + kAMarker + command + (a & 0xFF) + (a >> 8) +
                              n);
}

}  // namespace

int AReadFrame(PlcLink &link, int64_t address, int n, uint8_t *buffer) {
  if (!OpenFrame(link)) return 0;
  SendByte(link, SendHeader(link, 7, kARead, address, n));

  unsigned length = static_cast<unsigned>(n) + 3;
  if (!ExpectWord(link, length) || !ExpectByte(link, kAMarker) || !ExpectByte(link, kARead)) return 0;
  uint8_t sum = static_cast<uint8_t>((length & 0xFF) + (length >> 8) + kAMarker + kARead);
  for (int i = 0; i < n; i++) {
    if (!ReceiveByte(link, &buffer[i])) return 0;
    sum = static_cast<uint8_t>(sum + buffer[i]);
  }
  return ExpectByte(link, sum, "checksum") ? 1 : 0;
}

int AWriteFrame(PlcLink &link, int64_t address, int n, const uint8_t *buffer) {
  if (!OpenFrame(link)) return 0;
  uint8_t sum = SendHeader(link, static_cast<unsigned>(n) + 7, kAWrite, address, n);
  for (int i = 0; i < n; i++) {
    SendByte(link, buffer[i]);
    sum = static_cast<uint8_t>(sum + buffer[i]);
  }
  SendByte(link, sum);
  // Compared byte by byte: a wrong first byte ends the frame at once.
  static const uint8_t kAnswer[] = {0x03, 0x00, kAMarker, kAWrite, 0x06};
  for (uint8_t expected : kAnswer)
    if (!ExpectByte(link, expected)) return 0;
  return 1;
}
