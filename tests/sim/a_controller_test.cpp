// A-series controller as a byte-level state machine: handshake, session prefix, frames, faults.
#include "a_controller.h"

#include <gtest/gtest.h>

namespace velsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kHandshake{0xAA, 0xB0};
const Bytes kReadRequest{0x07, 0x00, 0xFF, 0x02, 0x00, 0x88, 0x00, 0x02, 0x92};
const Bytes kReadResponse{0x05, 0x00, 0xFF, 0x02, 0x34, 0x12, 0x4C};
const Bytes kWriteRequest{0x09, 0x00, 0xFF, 0x04, 0x00, 0x88, 0x00, 0x02, 0x34, 0x12, 0xDC};
const Bytes kWriteResponse{0x03, 0x00, 0xFF, 0x04, 0x06};

// Length field, marker, command, body, checksum.
Bytes frame(std::uint8_t cmd, const Bytes &body) {
  const std::size_t length = body.size() + 3;
  Bytes out(4 + body.size());
  out[0] = static_cast<std::uint8_t>(length);
  out[1] = static_cast<std::uint8_t>(length >> 8);
  out[2] = 0xFF;
  out[3] = cmd;
  std::copy(body.begin(), body.end(), out.begin() + 4);
  std::uint8_t sum = 0;
  for (std::uint8_t b : out) sum += b;
  out.push_back(sum);
  return out;
}

class AControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a.write(0x8800, Bytes{0x34, 0x12});
  }
  // Session prefix and request; returns the response.
  Bytes request(const Bytes &req) {
    EXPECT_TRUE(a.feed(a.sessionByte()).empty());
    return a.feed(req);
  }
  AController a;
};

TEST_F(AControllerTest, HandshakeHandsOutTheSessionByte) {
  EXPECT_EQ(a.feed(kHandshake), (Bytes{AController::kHandshakeFirst, 0x31}));
  a.setSessionByte(0x00);
  EXPECT_EQ(a.feed(kHandshake), (Bytes{AController::kHandshakeFirst, 0x00}));
  EXPECT_EQ(request(kReadRequest), kReadResponse);  // 0x00 works as a prefix
  EXPECT_EQ(a.trace()[0].text, "A  handshake -> 5A 31");
  EXPECT_EQ(a.protocolErrors(), 0u);
}

TEST_F(AControllerTest, ReadAndWriteWorkedExamples) {
  a.feed(kHandshake);
  EXPECT_EQ(request(kReadRequest), kReadResponse);
  EXPECT_EQ(a.trace().back().text, "A  read  0x8800 n=2 -> 34 12");
  a.clear();
  EXPECT_EQ(request(kWriteRequest), kWriteResponse);
  EXPECT_EQ(a.read(0x8800, 2), (Bytes{0x34, 0x12}));
  EXPECT_EQ(a.trace().back().text, "A  write 0x8800 n=2 34 12 -> ACK");
  // The handshake opens the exchange of the first request.
  EXPECT_EQ(a.frames(), 2u);
}

TEST_F(AControllerTest, LargestFrames) {
  a.fill(0x0000, 254, 0x01);
  a.feed(kHandshake);
  Bytes resp = request(frame(0x02, {0x00, 0x00, 0x00, 0xFE}));
  ASSERT_EQ(resp.size(), 254 + 5u);
  EXPECT_EQ(resp[0], 0x01);
  EXPECT_EQ(resp[1], 0x01);
  EXPECT_EQ(resp.back(), static_cast<std::uint8_t>(0x01 + 0x01 + 0xFF + 0x02 + 254));
  Bytes body{0xF0, 0xFF, 0x00, 0xFE};
  body.resize(4 + 254, 0x77);
  Bytes req = frame(0x04, body);
  EXPECT_EQ(req[0], 0x05);
  EXPECT_EQ(req[1], 0x01);
  EXPECT_EQ(request(req), kWriteResponse);
  EXPECT_EQ(a.read(0xFFF0, 1), Bytes{0x77});
  EXPECT_EQ(a.read(0x00ED, 1), Bytes{0x77});  // wrapped past 0xFFFF
}

// A controller that takes at most 64 bytes a frame does not answer larger reads and writes.
TEST_F(AControllerTest, FrameLimitLeavesLargerFramesUnanswered) {
  a.setMaxFrame(64);
  a.feed(kHandshake);
  EXPECT_EQ(request(frame(0x02, {0x00, 0x00, 0x00, 64})).size(), 64 + 5u);
  EXPECT_EQ(request(frame(0x02, {0x00, 0x00, 0x00, 65})), Bytes{});
  EXPECT_EQ(a.trace().back().error, "count 65 above the frame limit of 64");
  Bytes body{0x00, 0x10, 0x00, 65};
  body.resize(4 + 65, 0x77);
  EXPECT_EQ(request(frame(0x04, body)), Bytes{});
  EXPECT_EQ(a.read(0x1000, 1), Bytes{0x00});  // nothing stored
  body[3] = 64;
  body.pop_back();
  EXPECT_EQ(request(frame(0x04, body)), kWriteResponse);
  EXPECT_EQ(a.read(0x1000, 65), [] {
    Bytes b(64, 0x77);
    b.push_back(0x00);
    return b;
  }());
  EXPECT_EQ(a.protocolErrors(), 2u);
}

TEST_F(AControllerTest, HandshakeAcceptedAtAnyTimeBetweenRequests) {
  a.feed(kHandshake);
  EXPECT_EQ(a.feed(kHandshake).size(), 2u);  // again, instead of the prefix
  EXPECT_EQ(request(kReadRequest), kReadResponse);
  EXPECT_EQ(request(kReadRequest), kReadResponse);
  EXPECT_EQ(a.feed(kHandshake).size(), 2u);
  EXPECT_EQ(request(kReadRequest), kReadResponse);
  EXPECT_EQ(a.protocolErrors(), 0u);
  // Each handshake opens an exchange, and so does a prefix that follows a completed request.
  EXPECT_EQ(a.frames(), 4u);
}

TEST_F(AControllerTest, SessionByteEqualToWakeByte) {
  a.setSessionByte(0xAA);
  EXPECT_EQ(a.feed(kHandshake), (Bytes{AController::kHandshakeFirst, 0xAA}));
  EXPECT_EQ(request(kReadRequest), kReadResponse);
  EXPECT_EQ(a.feed(kHandshake).size(), 2u);
  EXPECT_EQ(a.protocolErrors(), 0u);
}

TEST_F(AControllerTest, MissingOrWrongPrefixIsAnErrorUntilTheLineIsQuiet) {
  EXPECT_TRUE(a.feed(Bytes{0x31}).empty());  // no handshake yet: no session
  EXPECT_EQ(a.protocolErrors(), 1u);
  a.lineIdle();
  a.feed(kHandshake);
  EXPECT_TRUE(a.feed(kReadRequest).empty());  // prefix missing
  EXPECT_EQ(a.protocolErrors(), 2u);
  EXPECT_TRUE(a.midFrame());
  a.lineIdle();
  EXPECT_TRUE(a.feed(Bytes{0x32}).empty());  // wrong prefix
  EXPECT_TRUE(a.feed(kReadRequest).empty());
  EXPECT_EQ(a.protocolErrors(), 3u);
  a.lineIdle();
  EXPECT_EQ(request(kReadRequest), kReadResponse);
  EXPECT_EQ(a.protocolErrors(), 3u);
}

TEST_F(AControllerTest, MalformedRequestsGetNoAnswerAndAreCounted) {
  Bytes badSum = kReadRequest;
  badSum.back() ^= 1;
  Bytes badMarker = frame(0x02, {0x00, 0x88, 0x00, 0x02});
  badMarker[2] = 0xFE;
  badMarker.back() -= 1;
  const std::vector<std::pair<const char *, Bytes>> cases = {
      {"checksum", badSum},
      {"marker", badMarker},
      {"command", frame(0x03, {0x00, 0x88, 0x00, 0x02})},
      {"byte 6 not zero", frame(0x02, {0x00, 0x88, 0x01, 0x02})},
      {"count 0", frame(0x02, {0x00, 0x88, 0x00, 0x00})},
      {"count 255", frame(0x02, {0x00, 0x88, 0x00, 0xFF})},
      {"read length 8", frame(0x02, {0x00, 0x88, 0x00, 0x02, 0x00})},
      {"write length short", frame(0x04, {0x00, 0x88, 0x00, 0x02, 0x34})},
  };
  a.feed(kHandshake);
  std::uint64_t errors = 0;
  for (const auto &[name, req] : cases) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(request(req).empty());
    EXPECT_EQ(a.protocolErrors(), ++errors);
    EXPECT_EQ(a.trace().back().kind, TraceKind::Error);
  }
  // An impossible length makes it ignore the rest until the line is quiet.
  EXPECT_TRUE(request({0x06, 0x00, 0xFF, 0x02}).empty());
  EXPECT_EQ(a.protocolErrors(), ++errors);
  a.lineIdle();
  EXPECT_EQ(a.read(0x8800, 2), (Bytes{0x34, 0x12}));
  EXPECT_EQ(request(kReadRequest), kReadResponse);
}

TEST_F(AControllerTest, EachFaultSendsExactlyItsBytes) {
  struct Case {
    const char *fault;
    Bytes handshake;  // reply to AA B0
    Bytes read;       // response to the read worked example
    Bytes write;      // response to the write worked example
  };
  const Bytes hs{AController::kHandshakeFirst, 0x31};
  const std::vector<Case> cases = {
      {"silent", {}, {}, {}},
      {"silent-after-handshake", hs, {}, {}},
      {"wrong-length", hs, {0x06, 0x00, 0xFF, 0x02, 0x34, 0x12, 0x4D}, {0x04, 0x00, 0xFF, 0x04, 0x06}},
      {"wrong-checksum", hs, {0x05, 0x00, 0xFF, 0x02, 0x34, 0x12, 0x4D}, {0x03, 0x00, 0xFF, 0x04, 0x07}},
      {"write-nak", hs, kReadResponse, {0x15, 0x00, 0xFF, 0x04, 0x06}},
      {"truncate:1", hs, {0x05}, {0x03}},
      {"truncate:6", hs, {0x05, 0x00, 0xFF, 0x02, 0x34, 0x12}, kWriteResponse},
      {"replace:2=0xFE", hs, {0x05, 0x00, 0xFE, 0x02, 0x34, 0x12, 0x4C}, {0x03, 0x00, 0xFE, 0x04, 0x06}},
      {"replace:3=0x04", hs, {0x05, 0x00, 0xFF, 0x04, 0x34, 0x12, 0x4C}, kWriteResponse},
      {"handshake-truncate:0", {}, kReadResponse, kWriteResponse},
      {"handshake-truncate:1", {AController::kHandshakeFirst}, kReadResponse, kWriteResponse},
      {"handshake-replace:1=0x77", {AController::kHandshakeFirst, 0x77}, kReadResponse, kWriteResponse},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fault);
    auto f = parseFault(c.fault, nullptr);
    ASSERT_TRUE(f);
    a.setFault(f->fault);
    a.write(0x8800, Bytes{0x34, 0x12});
    EXPECT_EQ(a.feed(kHandshake), c.handshake);
    EXPECT_EQ(request(kReadRequest), c.read);
    a.write(0x8800, Bytes{0x00, 0x00});
    EXPECT_EQ(a.feed(kHandshake), c.handshake);
    EXPECT_EQ(request(kWriteRequest), c.write);
    const bool stored = c.write.empty() || c.write[0] != 0x15;
    EXPECT_EQ(a.read(0x8800, 1), Bytes{static_cast<std::uint8_t>(stored ? 0x34 : 0x00)});
  }
  EXPECT_EQ(a.protocolErrors(), 0u);
}

TEST_F(AControllerTest, FaultOnOneFrameOfATransfer) {
  // Frames 1..3 of a transfer: handshake + request, then prefix + request twice.
  a.setFault(Fault::truncate(1), FaultWhen::OnFrame, 3);
  a.feed(kHandshake);
  EXPECT_EQ(request(kReadRequest), kReadResponse);
  EXPECT_EQ(request(kReadRequest), kReadResponse);
  EXPECT_EQ(request(kReadRequest), Bytes{0x05});
  EXPECT_EQ(a.trace().back().frame, 3u);
  // The library's next frame begins with a handshake again: frame 4, unfaulted.
  EXPECT_EQ(a.feed(kHandshake).size(), 2u);
  EXPECT_EQ(request(kReadRequest), kReadResponse);
  EXPECT_EQ(a.frames(), 4u);
}

}  // namespace
}  // namespace velsim
