// A-series frames on the fake device: RTS and pause order, exact bytes,
// splitting, the session byte, every failure.
#include "lib_fixture.h"
#include "peers.h"
#include "serial/ports.h"

using fake::Ev;
using fake::Event;

class ASeries : public LibTest {
 protected:
  void SetUp() override {
    LibTest::SetUp();
    ASSERT_EQ(LinkOpenA(0), 0);
    link = LinkLookup(0);
    fake::Get().log.clear();
  }
  // Answers the handshake (when the library sends 0xB0) and, after `after`
  // bytes of the frame that follows it, the response.
  // Answers the handshake when 0xB0 is the second byte written, and puts
  // the response on the line after the `after`-th byte written.
  void Script(std::vector<uint8_t> handshake, size_t after, std::vector<uint8_t> response) {
    fake::Get().onWrite = [=](uint8_t b) {
      size_t n = fake::Written().size();
      std::deque<uint8_t> &in = fake::Get().input;
      if (n == 2 && b == 0xB0) in.insert(in.end(), handshake.begin(), handshake.end());
      if (n == after) in.insert(in.end(), response.begin(), response.end());
    };
  }
  PlcLink *link = nullptr;
};

// Written bytes between the last handshake/prefix and the end.
std::vector<uint8_t> Tail(size_t n) {
  std::vector<uint8_t> w = fake::Written();
  return std::vector<uint8_t>(w.end() - static_cast<long>(std::min(n, w.size())), w.end());
}

TEST_F(ASeries, FirstFrameAfterOpenRunsTheHandshake) {
  // Bytes after 0xB0: AA B0 | s | 9 request bytes -> response after the 10th.
  Script({0x77, 0x5C}, 12, {0x05, 0x00, 0xFF, 0x02, 0x34, 0x12, 0x4C});
  uint8_t buf[2] = {};
  ASSERT_EQ(Read(0x8800, 2, buf), kStatusOk);
  std::vector<Event> expected = {
      {Ev::Purge},    {Ev::RtsOff},      {Ev::Sleep, 3},   {Ev::Write, 0xAA}, {Ev::Sleep, 3},
      {Ev::RtsOn},    {Ev::Write, 0xB0}, {Ev::Read, 0x77}, {Ev::Read, 0x5C},  {Ev::RtsOff},
      {Ev::Sleep, 3}, {Ev::Write, 0x5C}, {Ev::Sleep, 3},   {Ev::RtsOn},
  };
  std::vector<Event> log = fake::Get().log;
  ASSERT_GT(log.size(), expected.size());
  EXPECT_EQ(std::vector<Event>(log.begin(), log.begin() + static_cast<long>(expected.size())), expected);
  EXPECT_EQ(fake::Hex(Tail(9)), "07 00 FF 02 00 88 00 02 92");
  EXPECT_EQ(link->sessionByte, 0x5C);
  EXPECT_EQ(buf[0], 0x34);
  EXPECT_EQ(buf[1], 0x12);
  EXPECT_EQ(link->status, 0);
}

TEST_F(ASeries, ReadyLinkSendsOnlyThePrefix) {
  link->sessionByte = 0x5C;
  Script({}, 10, {0x03, 0x00, 0xFF, 0x04, 0x06});
  uint8_t data[2] = {0x34, 0x12};
  ASSERT_EQ(Write(0x8800, 1, data, true), kStatusOk);
  std::vector<Event> expected = {
      {Ev::Purge}, {Ev::RtsOff}, {Ev::Sleep, 3}, {Ev::Write, 0x5C}, {Ev::Sleep, 3}, {Ev::RtsOn},
  };
  std::vector<Event> log = fake::Get().log;
  EXPECT_EQ(std::vector<Event>(log.begin(), log.begin() + 6), expected);
  EXPECT_EQ(fake::Hex(Tail(11)), "09 00 FF 04 00 88 00 02 34 12 DC");
  EXPECT_EQ(fake::Only({Ev::RtsOff}).size(), 1u);  // RTS stays raised through request and response
}

TEST_F(ASeries, LargestFrameLengths) {
  APeer peer(0x21);
  std::vector<uint8_t> buf(254, 0xEE);
  ASSERT_EQ(Write(0x1000, 254, buf.data()), kStatusOk);
  std::vector<uint8_t> w = fake::Written();
  auto request = std::find(w.begin(), w.end(), 0x21);  // the prefix, then the request
  ASSERT_NE(request, w.end());
  EXPECT_EQ(fake::Hex({request + 1, request + 3}), "05 01");
  ASSERT_EQ(Read(0x1000, 254, buf.data()), kStatusOk);  // the peer answers with length 01 01
  EXPECT_EQ(fake::Hex(Tail(9)), "07 00 FF 02 00 10 00 FE 16");
  EXPECT_EQ(peer.frames.back().n, 254);
  EXPECT_EQ(buf[253], 0xEE);
}

TEST_F(ASeries, SplittingAndAddressWrap) {
  APeer peer(0x21);
  std::vector<uint8_t> data(600);
  for (int i = 0; i < 600; i++) data[i] = static_cast<uint8_t>(i * 13);
  ASSERT_EQ(Write(0x2000, 600, data.data()), kStatusOk);
  ASSERT_EQ(peer.frames.size(), 3u);
  EXPECT_EQ(peer.frames[1].address, 0x2000 + 254);
  EXPECT_EQ(peer.frames[2].address, 0x2000 + 508);
  EXPECT_EQ(peer.frames[2].n, 92);
  std::vector<uint8_t> back(600);
  ASSERT_EQ(Read(0x2000, 300, back.data(), true), kStatusOk);
  EXPECT_EQ(back, data);
  EXPECT_EQ(peer.handshakes, 1);  // only the first frame after the open

  peer.frames.clear();
  ASSERT_EQ(Read(0x2000, 255, back.data()), kStatusOk);
  ASSERT_EQ(peer.frames.size(), 2u);
  EXPECT_EQ(peer.frames[1].n, 1);
  ASSERT_EQ(Read(0xFF80, 300, back.data()), kStatusOk);
  EXPECT_EQ(peer.frames.back().address, 0x007E);
}

TEST_F(ASeries, CountZeroSendsNothing) {
  uint8_t buf[2];
  link->status = -6;
  EXPECT_EQ(Read(0, 0, buf), kStatusWrongChar);
  EXPECT_EQ(Write(0, 32768, buf, true), kStatusWrongChar);
  EXPECT_EQ(link->status, -6);
  EXPECT_TRUE(fake::Get().log.empty());
}

TEST_F(ASeries, HandshakeAgainAfterAFailureAndAfterSessionByteZero) {
  APeer peer(0x00);  // hands out 0x00: sent as the prefix, then asked for again
  uint8_t buf[4];
  ASSERT_EQ(Read(0x8800, 2, buf), kStatusOk);
  ASSERT_EQ(Read(0x8800, 2, buf), kStatusOk);
  EXPECT_EQ(peer.handshakes, 2);
  EXPECT_EQ(peer.prefixes, (std::vector<uint8_t>{0x00, 0x00}));

  peer.session = 0x44;
  ASSERT_EQ(Read(0x8800, 2, buf), kStatusOk);
  ASSERT_EQ(Read(0x8800, 2, buf), kStatusOk);
  EXPECT_EQ(peer.handshakes, 3);
  link->status = -1;  // as a failed frame leaves it
  ASSERT_EQ(Read(0x8800, 2, buf), kStatusOk);
  EXPECT_EQ(peer.handshakes, 4);
  EXPECT_EQ(link->sessionByte, 0x44);
}

TEST_F(ASeries, HandshakeTimeoutsKeepTheOldSessionByte) {
  link->sessionByte = 0x31;
  link->status = -6;
  uint8_t buf[2];
  Script({0x77}, 1000, {});  // only one of the two reply bytes
  EXPECT_EQ(Read(0x8800, 2, buf), kStatusTimeout);
  EXPECT_EQ(link->status, -1);
  EXPECT_EQ(link->sessionByte, 0x31);
  EXPECT_EQ(fake::Written().size(), 2u);  // AA B0, no prefix, no request
}

struct AFailure {
  const char *name;
  bool write;
  std::vector<uint8_t> response;
  int status;
  uint8_t buf0, buf1;  // read buffer afterwards, from AA BB
};

void PrintTo(const AFailure &f, std::ostream *os) {
  *os << f.name;
}

class AFailures : public ASeries, public ::testing::WithParamInterface<AFailure> {};

TEST_P(AFailures, StatusBufferAndNoRetry) {
  const AFailure &f = GetParam();
  link->sessionByte = 0x5C;
  Script({}, f.write ? 12 : 10, f.response);
  uint8_t buf[2] = {0xAA, 0xBB};
  uint8_t data[2] = {0x34, 0x12};
  EXPECT_EQ(f.write ? Write(0x8800, 2, data) : Read(0x8800, 2, buf), f.status);
  EXPECT_EQ(link->status, f.status);
  EXPECT_EQ(fake::Written().size(), f.write ? 12u : 10u);  // nothing sent after the failure
  if (!f.write) {
    EXPECT_EQ(buf[0], f.buf0);
    EXPECT_EQ(buf[1], f.buf1);
  }
  // The next frame runs the handshake again.
  fake::Get().log.clear();
  APeer peer(0x66);
  EXPECT_EQ(Read(0x8800, 2, buf), kStatusOk);
  EXPECT_EQ(peer.handshakes, 1);
  EXPECT_EQ(link->status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AFailures,
    ::testing::Values(
        AFailure{"LengthMissing", false, {}, -1, 0xAA, 0xBB},
        AFailure{"LengthSecondByteMissing", false, {0x05}, -1, 0xAA, 0xBB},
        AFailure{"LengthWrong", false, {0x06, 0x00, 0xFF, 0x02, 0x34, 0x12, 0x4D}, -6, 0xAA, 0xBB},
        AFailure{"LengthFirstWrongSecondMissing", false, {0x06}, -1, 0xAA, 0xBB},
        AFailure{"MarkerMissing", false, {0x05, 0x00}, -1, 0xAA, 0xBB},
        AFailure{"MarkerWrong", false, {0x05, 0x00, 0xFE}, -6, 0xAA, 0xBB},
        AFailure{"CommandMissing", false, {0x05, 0x00, 0xFF}, -1, 0xAA, 0xBB},
        AFailure{"CommandWrong", false, {0x05, 0x00, 0xFF, 0x04}, -6, 0xAA, 0xBB},
        AFailure{"DataMissing", false, {0x05, 0x00, 0xFF, 0x02, 0x34}, -1, 0x34, 0xBB},
        AFailure{"ChecksumMissing", false, {0x05, 0x00, 0xFF, 0x02, 0x34, 0x12}, -1, 0x34, 0x12},
        AFailure{"ChecksumWrong", false, {0x05, 0x00, 0xFF, 0x02, 0x34, 0x12, 0x4D}, -6, 0x34, 0x12},
        AFailure{"WriteAnswerMissing", true, {}, -1, 0, 0},
        AFailure{"WriteAnswerNak", true, {0x15, 0x00, 0xFF, 0x04, 0x06}, -6, 0, 0},
        AFailure{"WriteAnswerCut", true, {0x03, 0x00, 0xFF}, -1, 0, 0},
        AFailure{"WriteAnswerWrongMarker", true, {0x03, 0x00, 0xFE, 0x04, 0x06}, -6, 0, 0},
        AFailure{"WriteAnswerWrongCommand", true, {0x03, 0x00, 0xFF, 0x02, 0x06}, -6, 0, 0},
        AFailure{"WriteAnswerWrongLast", true, {0x03, 0x00, 0xFF, 0x04, 0x07}, -6, 0, 0},
        AFailure{"WriteAnswerLastMissing", true, {0x03, 0x00, 0xFF, 0x04}, -1, 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

// A wrong first byte ends a write frame at once; the rest of that answer,
// taken into the receive buffer with it, never reaches the next frame (here
// it would pass for a handshake reply).
TEST_F(ASeries, WrongFirstWriteAnswerByteEndsAtOnceAndItsRestIsDropped) {
  link->sessionByte = 0x5C;
  Script({}, 12, {0x15, 0x03, 0x00, 0xFF, 0x04, 0x06});
  uint8_t data[2] = {1, 2};
  EXPECT_EQ(Write(0x8800, 2, data), kStatusWrongChar);
  fake::Get().onWrite = nullptr;  // the controller says nothing more
  fake::Get().log.clear();
  EXPECT_EQ(Write(0x8800, 2, data), kStatusTimeout);
  EXPECT_EQ(fake::Hex(fake::Written()), "AA B0");  // stuck in the handshake: nothing was left over
}

// The wake-up byte and the session byte go out alone with RTS dropped; 0xB0
// and each request in one write.
TEST_F(ASeries, EachRequestLeavesInOneWrite) {
  APeer peer(0x21);
  std::vector<uint8_t> data(254, 0x11);
  ASSERT_EQ(Write(0x2000, 254, data.data()), kStatusOk);
  ASSERT_EQ(Read(0x2000, 2, data.data()), kStatusOk);
  std::vector<size_t> sizes;
  for (const auto &piece : fake::Get().writes) sizes.push_back(piece.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{1, 1, 1, 254 + 9, 1, 9}));
}
