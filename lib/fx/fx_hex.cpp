// Hex pairs of the FX protocol.
#include "fx.h"
#include "serial/reasons.h"

namespace {

uint8_t HexDigit(unsigned nibble) {
  return static_cast<uint8_t>(nibble < 10 ? nibble + 0x30 : nibble + 0x37);
}

// One hex character ('0'..'9', 'A'..'F') into *nibble; a time-out, or
// kStatusWrongChar for any other character.
Status ReceiveHexDigit(const PlcLink &link, int *nibble, uint8_t *sum) {
  uint8_t c;
  if (Status s = ReceiveByte(link, &c)) return s;
  *nibble = c >= '0' && c <= '9' ? c - 0x30 : c >= 'A' && c <= 'F' ? c - 0x37 : -1;
  if (*nibble < 0) {
    NotePortFailure(link.port, "wrong character 0x%02X where a hex digit was expected", c);
    return kStatusWrongChar;
  }
  *sum = static_cast<uint8_t>(*sum + c);
  return kStatusOk;
}

}  // namespace

uint8_t *PutHexByte(uint8_t *out, unsigned value, uint8_t *sum) {
  out[0] = HexDigit((value >> 4) & 0x0F);
  out[1] = HexDigit(value & 0x0F);
  *sum = static_cast<uint8_t>(*sum + out[0] + out[1]);
  return out + 2;
}

Status ReceiveHexByte(const PlcLink &link, uint8_t *target, uint8_t *sum) {
  int nibble;
  if (Status s = ReceiveHexDigit(link, &nibble, sum)) return s;
  // Decoded straight into the target: a pair cut short leaves its high nibble.
  *target = static_cast<uint8_t>(nibble << 4);
  if (Status s = ReceiveHexDigit(link, &nibble, sum)) return s;
  *target = static_cast<uint8_t>(*target | nibble);
  return kStatusOk;
}
