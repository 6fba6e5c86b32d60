// A-series: purge, the wake-up handshake when the link has no usable session
// byte, the session prefix with RTS dropped, then a binary request; a read
// response is length n+3, FF, 02, data, checksum; a write response 03 00 FF 04 06.
#include <algorithm>
#include <vector>

#include "wire_verdict.h"

using fake::Ev;

namespace {

constexpr uint32_t kPauseMs = 3;

void SendWithRtsDropped(WireTape &tape, uint8_t byte, const char *what) {
  tape.Expect(Ev::RtsOff, 0, what);
  tape.ExpectSleep(kPauseMs, what);
  tape.Expect(Ev::Write, byte, what);
  tape.ExpectSleep(kPauseMs, what);
  tape.Expect(Ev::RtsOn, 0, what);
}

// Purge, handshake when due, session prefix: 0, or the failure status.
int OpenFrame(WireTape &tape, ASessionModel &session) {
  tape.Expect(Ev::Purge, 0, "A frame start");
  if (session.status != 0 || session.sessionByte == 0) {
    SendWithRtsDropped(tape, 0xAA, "wake-up");
    tape.Expect(Ev::Write, 0xB0, "wake-up request");
    if (tape.Read("first wake-up reply byte") < 0) return -1;
    int s = tape.Read("session byte");
    if (s < 0) return -1;
    session.sessionByte = static_cast<uint8_t>(s);
  }
  session.status = 0;
  SendWithRtsDropped(tape, session.sessionByte, "session prefix");
  return 0;
}

// Length, marker, command, address, 0x00, n and, when given, the data; then the checksum.
std::vector<uint8_t> Request(unsigned length, uint8_t command, unsigned address, int n, const uint8_t *data) {
  std::vector<uint8_t> out{
      static_cast<uint8_t>(length),  static_cast<uint8_t>(length >> 8),  0xFF, command,
      static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8), 0x00, static_cast<uint8_t>(n)};
  for (int i = 0; data && i < n; i++) out.push_back(data[i]);
  unsigned sum = 0;
  for (uint8_t b : out) sum += b;
  out.push_back(static_cast<uint8_t>(sum));
  return out;
}

// A response byte that must be `value`: 0, or the failure status.
int ExpectAnswer(WireTape &tape, uint8_t value, const char *what) {
  int c = tape.Read(what);
  return c < 0 ? -1 : c != value ? -6 : 0;
}

int ReadFrame(WireTape &tape, ASessionModel &session, unsigned address, int n, uint8_t *image) {
  if (int s = OpenFrame(tape, session)) return s;
  tape.ExpectWrites(Request(7, 0x02, address, n, nullptr), "read request");
  // The length counts as one value, after both of its bytes.
  int low = tape.Read("length, low byte");
  if (low < 0) return -1;
  int high = tape.Read("length, high byte");
  if (high < 0) return -1;
  if (low + 256 * high != n + 3) return -6;
  if (int s = ExpectAnswer(tape, 0xFF, "marker")) return s;
  if (int s = ExpectAnswer(tape, 0x02, "read command")) return s;
  unsigned sum = low + high + 0xFF + 0x02;
  for (int i = 0; i < n; i++) {
    int c = tape.Read("data byte");
    if (c < 0) return -1;
    image[i] = static_cast<uint8_t>(c);
    sum += static_cast<unsigned>(c);
  }
  return ExpectAnswer(tape, static_cast<uint8_t>(sum), "checksum");
}

int WriteFrame(WireTape &tape, ASessionModel &session, unsigned address, int n, const uint8_t *data) {
  if (int s = OpenFrame(tape, session)) return s;
  tape.ExpectWrites(Request(static_cast<unsigned>(n) + 7, 0x04, address, n, data), "write request");
  for (uint8_t b : {0x03, 0x00, 0xFF, 0x04, 0x06})
    if (int s = ExpectAnswer(tape, b, "write response")) return s;
  return 0;
}

WireVerdict Failed(ASessionModel &session, int status) {
  session.status = static_cast<int16_t>(status);
  return {false, session.status};
}

}  // namespace

WireVerdict CheckARead(WireTape &tape, ASessionModel &session, int64_t address, int bytes, uint8_t *image) {
  for (int at = 0; at < bytes; at += kWireFrameBytes) {
    int n = std::min(kWireFrameBytes, bytes - at);
    if (int s = ReadFrame(tape, session, WireAddress(address, at), n, image + at)) return Failed(session, s);
  }
  return {true, 0};
}

WireVerdict CheckAWrite(WireTape &tape, ASessionModel &session, int64_t address, int bytes,
                        const uint8_t *source) {
  for (int at = 0; at < bytes; at += kWireFrameBytes) {
    int n = std::min(kWireFrameBytes, bytes - at);
    if (int s = WriteFrame(tape, session, WireAddress(address, at), n, source + at))
      return Failed(session, s);
  }
  return {true, 0};
}
