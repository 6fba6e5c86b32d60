// Hex pairs of the FX protocol.
#include "../serial/ports.h"
#include "../trace/trace.h"
#include "fx.h"

namespace {

uint8_t HexDigit(unsigned nibble) {
  return static_cast<uint8_t>(nibble < 10 ? nibble + 0x30 : nibble + 0x37);
}

// The nibble of '0'..'9' or 'A'..'F', or -1 for any other character.
int NibbleOf(uint8_t c) {
  if (c >= '0' && c <= '9') return c - 0x30;
  if (c >= 'A' && c <= 'F') return c - 0x37;
  return -1;
}

// One hex character into *nibble; -1 (time-out) or -2 (wrong character).
int ReceiveHexDigit(PlcLink &link, int *nibble, uint8_t *sum) {
  uint8_t c;
  if (!ReceiveByte(link, &c)) return 0;
  *nibble = NibbleOf(c);
  if (*nibble < 0) {
    link.status = kStatusWrongChar;
    if (Tracing()) TraceReason(link.port, "wrong character 0x%02X where a hex digit was expected", c);
    return 0;
  }
  *sum = static_cast<uint8_t>(*sum + c);
  return 1;
}

}  // namespace

void SendHexByte(PlcLink &link, unsigned value, uint8_t *sum) {
  uint8_t high = HexDigit((value >> 4) & 0x0F);
  uint8_t low = HexDigit(value & 0x0F);
  SendByte(link, high);
  SendByte(link, low);
  *sum = static_cast<uint8_t>(*sum + high + low);
}

void SendHexData(PlcLink &link, const uint8_t *buffer, int n, uint8_t *sum) {
  for (int i = 0; i < n; i++) SendHexByte(link, buffer[i], sum);
}

int ReceiveHexByte(PlcLink &link, uint8_t *target, uint8_t *sum) {
  int nibble;
  if (!ReceiveHexDigit(link, &nibble, sum)) return 0;
  // Decoded straight into the target: a pair cut short leaves its high nibble.
  *target = static_cast<uint8_t>(nibble << 4);
  if (!ReceiveHexDigit(link, &nibble, sum)) return 0;
  *target = static_cast<uint8_t>(*target | nibble);
  return 1;
}
