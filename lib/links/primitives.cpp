// Byte primitives: one piece out, one byte in within the time-out, one byte
// compared.
#include "links.h"
#include "serial/ports.h"
#include "serial/reasons.h"

namespace {

// The FX protocol's control characters by name, in the reasons of FX links.
const char *ControlName(const PlcLink &link, unsigned byte) {
  if (LinkIsA(link.port)) return "";
  switch (byte) {
  case 0x02:
    return " (STX)";
  case 0x03:
    return " (ETX)";
  case 0x05:
    return " (ENQ)";
  case 0x06:
    return " (ACK)";
  case 0x15:
    return " (NAK)";
  default:
    return "";
  }
}

}  // namespace

Status SendBytes(const PlcLink &link, const uint8_t *bytes, int n, int answerChars) {
  return PortSend(link.port, bytes, n, answerChars);
}

Status ReceiveByte(const PlcLink &link, uint8_t *byte) {
  return PortReceive(link.port, byte);
}

Status ExpectByte(const PlcLink &link, uint8_t value, const char *what) {
  uint8_t byte;
  if (Status s = ReceiveByte(link, &byte)) return s;
  if (byte == value) return kStatusOk;
  NotePortFailure(link.port, "wrong %s 0x%02X%s where 0x%02X%s was expected", what ? what : "character", byte,
                  ControlName(link, byte), value, ControlName(link, value));
  return kStatusWrongChar;
}
