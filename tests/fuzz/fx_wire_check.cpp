// FX: ENQ/ACK, then an ASCII-hex request; a read reply is STX, 2n uppercase
// hex digits, ETX and the checksum pair; a write is answered by ACK.
#include <algorithm>
#include <vector>

#include "wire_verdict.h"

using fake::Ev;

namespace {

constexpr uint8_t kEnq = 0x05, kAck = 0x06, kStx = 0x02, kEtx = 0x03, kNak = 0x15;

void PutHex(std::vector<uint8_t> &out, unsigned v) {
  static const char kHex[] = "0123456789ABCDEF";
  out.push_back(static_cast<uint8_t>(kHex[(v >> 4) & 15]));
  out.push_back(static_cast<uint8_t>(kHex[v & 15]));
}

// The nibble of an uppercase hex digit; -1 for anything else, a time-out included.
int Nibble(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<uint8_t> Request(uint8_t command, unsigned address, int n, const uint8_t *data) {
  std::vector<uint8_t> out{kStx, command};
  PutHex(out, address >> 8);
  PutHex(out, address & 0xFF);
  PutHex(out, static_cast<unsigned>(n));
  for (int i = 0; data && i < n; i++) PutHex(out, data[i]);
  out.push_back(kEtx);
  unsigned sum = 0;
  for (size_t i = 1; i < out.size(); i++) sum += out[i];
  PutHex(out, sum & 0xFF);
  return out;
}

// Purge, ENQ and its answer: 0, or the failure status.
int OpenExchange(WireTape &tape) {
  tape.Expect(Ev::Purge, 0, "FX exchange start");
  tape.Expect(Ev::Write, kEnq, "ENQ");
  int c = tape.Read("ACK after ENQ");
  return c < 0 ? -1 : c != kAck ? -6 : 0;
}

// Everything after the reply's STX fails with a NAK from the library.
int Nak(WireTape &tape, int status) {
  tape.Expect(Ev::Write, kNak, "NAK after a bad reply");
  return status;
}

// One reply character that must be a hex digit: its nibble, or a failure.
bool HexChar(WireTape &tape, const char *what, int *nibble, int *failure, uint8_t *sum) {
  int c = tape.Read(what);
  if (c < 0) {
    *failure = -1;
    return false;
  }
  *nibble = Nibble(c);
  if (*nibble < 0) {
    *failure = -6;
    return false;
  }
  *sum = static_cast<uint8_t>(*sum + c);
  return true;
}

int ReadFrame(WireTape &tape, unsigned address, int n, uint8_t *image) {
  if (int s = OpenExchange(tape)) return s;
  tape.ExpectWrites(Request('0', address, n, nullptr), "read request");
  int c = tape.Read("STX of the reply");
  if (c < 0) return -1;
  if (c != kStx) return -6;
  uint8_t sum = 0;
  int nibble, failure;
  for (int i = 0; i < n; i++) {
    if (!HexChar(tape, "data digit", &nibble, &failure, &sum)) return Nak(tape, failure);
    image[i] = static_cast<uint8_t>(nibble << 4);
    if (!HexChar(tape, "data digit", &nibble, &failure, &sum)) return Nak(tape, failure);
    image[i] = static_cast<uint8_t>(image[i] | nibble);
  }
  c = tape.Read("ETX of the reply");
  if (c < 0) return Nak(tape, -1);
  if (c != kEtx) return Nak(tape, -6);
  sum = static_cast<uint8_t>(sum + kEtx);
  uint8_t ignored = 0;
  int high, low;
  if (!HexChar(tape, "checksum digit", &high, &failure, &ignored)) return Nak(tape, failure);
  if (!HexChar(tape, "checksum digit", &low, &failure, &ignored)) return Nak(tape, failure);
  if (high * 16 + low != sum) return Nak(tape, -3);
  return 0;
}

int WriteFrame(WireTape &tape, unsigned address, int n, const uint8_t *data) {
  if (int s = OpenExchange(tape)) return s;
  tape.ExpectWrites(Request('1', address, n, data), "write request");
  int c = tape.Read("ACK after the write frame");
  return c < 0 ? -1 : c != kAck ? -6 : 0;
}

}  // namespace

WireVerdict CheckFxRead(WireTape &tape, int64_t address, int bytes, uint8_t *image) {
  for (int at = 0; at < bytes; at += kWireFrameBytes) {
    int n = std::min(kWireFrameBytes, bytes - at);
    if (int s = ReadFrame(tape, WireAddress(address, at), n, image + at))
      return {false, static_cast<int16_t>(s)};
  }
  return {true, 0};
}

WireVerdict CheckFxWrite(WireTape &tape, int64_t address, int bytes, const uint8_t *source) {
  for (int at = 0; at < bytes; at += kWireFrameBytes) {
    int n = std::min(kWireFrameBytes, bytes - at);
    if (int s = WriteFrame(tape, WireAddress(address, at), n, source + at))
      return {false, static_cast<int16_t>(s)};
  }
  return {true, 0};
}
