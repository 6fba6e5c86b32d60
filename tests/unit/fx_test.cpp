// FX frames on the fake device: exact bytes, splitting, every failure.
#include "lib_fixture.h"
#include "peers.h"
#include "serial/ports.h"

using fake::Ev;

class Fx : public LibTest {
 protected:
  void SetUp() override {
    LibTest::SetUp();
    ASSERT_EQ(LinkOpenFx(0), 0);
    link = LinkLookup(0);
    fake::Get().log.clear();
  }
  PlcLink *link = nullptr;
};

TEST_F(Fx, WorkedReadExample) {
  fake::Get().onWrite = [](uint8_t) {
    size_t n = fake::Written().size();
    if (n == 1) fake::Answer({0x06});  // after ENQ
    if (n == 12)
      fake::Answer(
          "\x02"
          "C800\x03"
          "DE");  // after the request
  };
  uint8_t buf[2] = {};
  ASSERT_EQ(Read(0x1000, 2, buf), kStatusOk);
  EXPECT_EQ(fake::Hex(fake::Written()), "05 02 30 31 30 30 30 30 32 03 35 36");
  EXPECT_EQ(buf[0], 0xC8);
  EXPECT_EQ(buf[1], 0x00);
  EXPECT_EQ(link->status, 0);
  EXPECT_EQ(fake::Get().log.front().kind, Ev::Purge);  // the frame starts with a purge
  EXPECT_TRUE(fake::Get().input.empty());
}

TEST_F(Fx, WorkedWriteExample) {
  fake::Get().onWrite = [](uint8_t) {
    size_t n = fake::Written().size();
    if (n == 1 || n == 16) fake::Answer({0x06});  // after ENQ and after the frame
  };
  uint8_t buf[2] = {0xC8, 0x00};
  ASSERT_EQ(Write(0x1000, 1, buf, true), kStatusOk);
  EXPECT_EQ(fake::Hex(fake::Written()), "05 02 31 31 30 30 30 30 32 43 38 30 30 03 33 32");
}

TEST_F(Fx, SplittingAddressesSizesAndOffsets) {
  struct Case {
    int count;
    std::vector<int> sizes;
  };
  for (const Case &c : {Case{254, {254}}, Case{255, {254, 1}}, Case{600, {254, 254, 92}}}) {
    FxPeer peer;
    std::vector<uint8_t> data(c.count);
    for (int i = 0; i < c.count; i++) data[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(Write(0x2000, c.count, data.data()), kStatusOk);
    ASSERT_EQ(peer.frames.size(), c.sizes.size());
    int at = 0;
    for (size_t i = 0; i < c.sizes.size(); i++) {
      EXPECT_EQ(peer.frames[i].address, 0x2000 + at);
      EXPECT_EQ(peer.frames[i].n, c.sizes[i]);
      at += c.sizes[i];
    }
    EXPECT_TRUE(std::equal(data.begin(), data.end(), peer.memory.begin() + 0x2000));
    std::vector<uint8_t> back(c.count);
    ASSERT_EQ(Read(0x2000, c.count, back.data()), kStatusOk);
    EXPECT_EQ(back, data);
  }
}

TEST_F(Fx, LargestTransferAndAddressWrap) {
  FxPeer peer;
  std::vector<uint8_t> buf(65535);
  ASSERT_EQ(Read(0, 65535, buf.data()), kStatusOk);
  ASSERT_EQ(peer.frames.size(), 259u);
  EXPECT_EQ(peer.frames[257].n, 254);
  EXPECT_EQ(peer.frames[258].n, 3);
  EXPECT_EQ(peer.frames[258].address, 258 * 254);

  peer.frames.clear();
  ASSERT_EQ(Read(0xFF80, 300, buf.data()), kStatusOk);
  EXPECT_EQ(peer.frames[1].address, 0x007E);
  ASSERT_EQ(Read(0x1FFFF, 1, buf.data()), kStatusOk);  // only the low 16 bits go out
  EXPECT_EQ(peer.frames.back().address, 0xFFFF);
}

TEST_F(Fx, WordCountsDoubleModulo65536) {
  FxPeer peer;
  std::vector<uint8_t> buf(65536);
  ASSERT_EQ(Read(0x1000, 300, buf.data(), true), kStatusOk);
  ASSERT_EQ(peer.frames.size(), 3u);  // 600 bytes
  EXPECT_EQ(peer.frames[2].n, 92);
  fake::Get().log.clear();
  link->status = -1;
  EXPECT_EQ(Read(0x1000, 32768, buf.data(), true), kStatusTimeout);  // 65536 bytes are 0
  EXPECT_EQ(Write(0x1000, 65536, buf.data()), kStatusTimeout);
  EXPECT_EQ(link->status, -1);  // left as it was
  EXPECT_TRUE(fake::Get().log.empty());
}

// One row of the failure table: the controller's answer after the request,
// the status it leaves, and whether the library answers with NAK.
struct ReadFailure {
  const char *name;
  std::string enqAnswer;  // answer to ENQ
  std::string reply;      // answer to the read request (2 bytes at 0x1000)
  int status;
  bool nak;
  uint8_t buf0, buf1;  // buffer afterwards, from 0xAA 0xBB
};

void PrintTo(const ReadFailure &f, std::ostream *os) {
  *os << f.name;
}

class FxReadFailures : public Fx, public ::testing::WithParamInterface<ReadFailure> {};

TEST_P(FxReadFailures, StatusNakAndBuffer) {
  const ReadFailure &f = GetParam();
  ReadFailure row = f;
  fake::Get().onWrite = [row](uint8_t) {
    size_t n = fake::Written().size();
    if (n == 1) fake::Answer(row.enqAnswer);
    if (n == 12) fake::Answer(row.reply);
  };
  uint8_t buf[2] = {0xAA, 0xBB};
  EXPECT_EQ(Read(0x1000, 2, buf), f.status);
  EXPECT_EQ(link->status, f.status);
  std::vector<uint8_t> written = fake::Written();
  size_t sent = f.enqAnswer == "\x06" ? 12u : 1u;  // no request after a failed ENQ
  ASSERT_EQ(written.size(), sent + (f.nak ? 1 : 0));
  if (f.nak) {
    EXPECT_EQ(written.back(), 0x15);
  }
  EXPECT_EQ(buf[0], f.buf0);
  EXPECT_EQ(buf[1], f.buf1);
}

INSTANTIATE_TEST_SUITE_P(Rows, FxReadFailures,
                         ::testing::Values(ReadFailure{"EnqSilent", "", "", -1, false, 0xAA, 0xBB},
                                           ReadFailure{"EnqNak", "\x15", "", -6, false, 0xAA, 0xBB},
                                           ReadFailure{"StxSilent", "\x06", "", -1, false, 0xAA, 0xBB},
                                           ReadFailure{"StxWrong", "\x06", "\x06", -6, false, 0xAA, 0xBB},
                                           ReadFailure{"DataSilent", "\x06",
                                                       "\x02"
                                                       "C8",
                                                       -1, true, 0xC8, 0xBB},
                                           ReadFailure{"DataHalfPair", "\x06",
                                                       "\x02"
                                                       "C80",
                                                       -1, true, 0xC8, 0x00},
                                           ReadFailure{"DataLowercase", "\x06",
                                                       "\x02"
                                                       "c800\x03"
                                                       "DE",
                                                       -6, true, 0xAA, 0xBB},
                                           ReadFailure{"PairTooFew", "\x06",
                                                       "\x02"
                                                       "C8\x03"
                                                       "0B",
                                                       -6, true, 0xC8, 0xBB},
                                           ReadFailure{"PairTooMany", "\x06",
                                                       "\x02"
                                                       "C80000\x03"
                                                       "5E",
                                                       -6, true, 0xC8, 0x00},
                                           ReadFailure{"EtxSilent", "\x06",
                                                       "\x02"
                                                       "C800",
                                                       -1, true, 0xC8, 0x00},
                                           ReadFailure{"ChecksumSilent", "\x06",
                                                       "\x02"
                                                       "C800\x03"
                                                       "D",
                                                       -1, true, 0xC8, 0x00},
                                           ReadFailure{"ChecksumNotHex", "\x06",
                                                       "\x02"
                                                       "C800\x03"
                                                       "DG",
                                                       -6, true, 0xC8, 0x00},
                                           ReadFailure{"ChecksumLowercase", "\x06",
                                                       "\x02"
                                                       "C800\x03"
                                                       "de",
                                                       -6, true, 0xC8, 0x00},
                                           ReadFailure{"ChecksumMismatch", "\x06",
                                                       "\x02"
                                                       "C800\x03"
                                                       "DF",
                                                       -3, true, 0xC8, 0x00}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Fx, WriteFailuresSendNoNak) {
  uint8_t buf[2] = {1, 2};
  for (const std::string &answer : {std::string(""), std::string("\x15"), std::string("\x02")}) {
    fake::Reset();
    ASSERT_EQ(LinkOpenFx(1), 0);
    PlcLink *l = LinkLookup(1);
    fake::Get().onWrite = [answer](uint8_t) {
      size_t n = fake::Written().size();
      if (n == 1) fake::Answer({0x06});
      if (n == 16) fake::Answer(answer);
    };
    EXPECT_EQ(Write(0x1000, 2, buf, false, 1), answer.empty() ? -1 : -6);
    EXPECT_EQ(l->status, answer.empty() ? -1 : -6);
    EXPECT_EQ(fake::Written().size(), 16u);
    LinkClose(1);
  }
}

TEST_F(Fx, FirstFailedFrameEndsTheTransferAndTheNextStartsAfresh) {
  FxPeer peer;
  auto peerWrite = fake::Get().onWrite;
  int enq = 0;
  fake::Get().onWrite = [peerWrite, &enq](uint8_t b) {
    if (b == 0x05 && ++enq == 2) return;  // the second frame's ENQ goes unanswered
    peerWrite(b);
  };
  std::vector<uint8_t> data(600, 0x5A);
  EXPECT_EQ(Write(0x3000, 600, data.data()), kStatusTimeout);
  EXPECT_EQ(link->status, -1);
  ASSERT_EQ(peer.frames.size(), 1u);  // the first frame stays written, none after
  EXPECT_EQ(peer.memory[0x3000 + 253], 0x5A);
  EXPECT_EQ(peer.memory[0x3000 + 254], 0x00);
  EXPECT_EQ(Write(0x3000, 600, data.data()), kStatusOk);
  EXPECT_EQ(link->status, 0);
  EXPECT_EQ(peer.memory[0x3000 + 599], 0x5A);
}

// Bytes after a complete answer (a stray ACK here) never reach the next
// frame, whose ENQ then goes unanswered.
TEST_F(Fx, BytesLeftOverFromOneFrameNeverReachTheNext) {
  fake::Get().onWrite = [](uint8_t) {
    size_t n = fake::Written().size();
    if (n == 1) fake::Answer({0x06});
    if (n == 12)
      fake::Answer(
          "\x02"
          "C800\x03"
          "DE\x06\x06");
  };
  uint8_t buf[2];
  ASSERT_EQ(Read(0x1000, 2, buf), kStatusOk);
  fake::Get().onWrite = nullptr;
  fake::Get().log.clear();
  EXPECT_EQ(Read(0x1000, 2, buf), kStatusTimeout);
  EXPECT_EQ(fake::Hex(fake::Written()), "05");  // no request after the ENQ
}

// What the protocol sends without waiting goes out in one write: the ENQ,
// then the frame from STX to its checksum.
TEST_F(Fx, EachRequestLeavesInOneWrite) {
  FxPeer peer;
  std::vector<uint8_t> data(254, 0x11);
  ASSERT_EQ(Write(0x2000, 254, data.data()), kStatusOk);
  ASSERT_EQ(Read(0x2000, 254, data.data()), kStatusOk);
  std::vector<size_t> sizes;
  for (const auto &piece : fake::Get().writes) sizes.push_back(piece.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{1, 2 * 254 + 11, 1, 11}));
}
