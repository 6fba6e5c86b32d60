// 16-bit primitives of the A-series protocol, low byte first.
#include "../serial/ports.h"
#include "../trace/trace.h"
#include "a.h"

int SendWord(PlcLink &link, unsigned value) {
  if (!SendByte(link, static_cast<uint8_t>(value))) return 0;
  return SendByte(link, static_cast<uint8_t>(value >> 8)) ? 1 : 0;
}

bool ReceiveWord(PlcLink &link, uint16_t *value) {
  uint8_t low, high;
  if (!ReceiveByte(link, &low) || !ReceiveByte(link, &high)) return false;
  *value = static_cast<uint16_t>(low + 256 * high);
  return true;
}

bool ExpectWord(PlcLink &link, unsigned value) {
  uint16_t received;
  if (!ReceiveWord(link, &received)) return false;
  if (received != static_cast<uint16_t>(value)) {
    link.status = kStatusWrongChar;
    if (Tracing()) TraceMismatch(link.port, "length", received, value & 0xFFFF);
    return false;
  }
  return true;
}
