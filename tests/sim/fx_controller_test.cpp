// FX controller as a byte-level state machine: worked examples, strict parsing, faults.
#include "fx_controller.h"

#include <gtest/gtest.h>

#include <thread>

namespace velsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ascii(const std::string &s) {
  return Bytes(s.begin(), s.end());
}

// STX, body, ETX, checksum pair over body and ETX.
Bytes request(const std::string &body) {
  std::uint8_t sum = 0x03;
  for (char c : body) sum += static_cast<std::uint8_t>(c);
  char ck[3];
  std::snprintf(ck, sizeof ck, "%02X", sum);
  Bytes out{0x02};
  for (char c : body) out.push_back(static_cast<std::uint8_t>(c));
  out.push_back(0x03);
  out.push_back(static_cast<std::uint8_t>(ck[0]));
  out.push_back(static_cast<std::uint8_t>(ck[1]));
  return out;
}

const Bytes kReadRequest{0x02, 0x30, 0x31, 0x30, 0x30, 0x30, 0x30, 0x32, 0x03, 0x35, 0x36};
const Bytes kReadReply{0x02, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44, 0x45};
const Bytes kWriteRequest{0x02, 0x31, 0x31, 0x30, 0x30, 0x30, 0x30, 0x32,
                          0x43, 0x38, 0x30, 0x30, 0x03, 0x33, 0x32};

class FxControllerTest : public ::testing::Test {
 protected:
  // ENQ then the request; returns both answers concatenated.
  Bytes exchange(const Bytes &req) {
    Bytes out = fx.feed(0x05);
    Bytes rest = fx.feed(req);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
  }
  FxController fx;
};

TEST_F(FxControllerTest, ReadWorkedExample) {
  fx.write(0x1000, Bytes{0xC8, 0x00});
  EXPECT_EQ(fx.feed(0x05), Bytes{0x06});
  EXPECT_EQ(fx.feed(kReadRequest), kReadReply);
  ASSERT_EQ(fx.trace().size(), 1u);
  const TraceEntry &e = fx.trace()[0];
  EXPECT_EQ(e.kind, TraceKind::Read);
  EXPECT_EQ(e.address, 0x1000);
  EXPECT_EQ(e.count, 2u);
  EXPECT_EQ(e.answer, kReadReply);
  EXPECT_EQ(e.text, "FX read  0x1000 n=2 -> C8 00");
  EXPECT_EQ(fx.frames(), 1u);
  EXPECT_EQ(fx.protocolErrors(), 0u);
}

TEST_F(FxControllerTest, WriteWorkedExampleStoresAndAcks) {
  EXPECT_EQ(exchange(kWriteRequest), (Bytes{0x06, 0x06}));
  EXPECT_EQ(fx.read(0x1000, 2), (Bytes{0xC8, 0x00}));
  EXPECT_EQ(fx.trace().back().text, "FX write 0x1000 n=2 C8 00 -> ACK");
}

// A model: its codes in D8001/D8002, M8000 on, T0 counting in 100 ms steps,
// and the devices of each frame named in the trace, with those the model
// lacks. Without a model the memory stays bare.
TEST_F(FxControllerTest, PlaysAModel) {
  EXPECT_EQ(fx.read(0x0E02, 4), (Bytes{0, 0, 0, 0}));
  ASSERT_NE(findModel("fx1s"), nullptr);
  EXPECT_EQ(findModel("fx9"), nullptr);
  fx.setModel(findModel("fx1s"));
  EXPECT_EQ(fx.read(0x0E02, 4), (Bytes{0x54, 0x56, 0x02, 0x00}));  // 22100, 2
  EXPECT_EQ(fx.read(0x01E0, 1), Bytes{0x01});
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  exchange(
      request("00800"
              "02"));  // T0
  const Bytes t0 = fx.trace().back().data;
  ASSERT_EQ(t0.size(), 2u);
  EXPECT_GE(t0[0], 3);
  EXPECT_LE(t0[0], 50);  // generous for a loaded machine
  EXPECT_EQ(fx.trace().back().text.substr(0, 28), "FX read  0x0800 n=2 (T0) -> ");
  exchange(
      request("1010301"
              "55"));
  EXPECT_EQ(fx.trace().back().text, "FX write 0x0103 n=1 (M24..M31) 55 -> ACK");
  exchange(request("0013E04"));
  EXPECT_EQ(fx.trace().back().text,
            "FX read  0x013E n=4 (M496..M527, partly beyond an FX1S (M0..M511)) -> 00 00 00 00");
  exchange(request("000DE24"));  // the last timer contacts, a gap, the first markers
  const std::string &text = fx.trace().back().text;
  EXPECT_EQ(text.substr(0, text.find(" -> ")),
            "FX read  0x00DE n=36 (T240..T255 contacts, not on an FX1S (T0..T63); M0..M15)");
  EXPECT_EQ(fx.protocolErrors(), 0u);
}

TEST_F(FxControllerTest, RequestWithoutEnqIsServedAndCounted) {
  fx.write(0x1000, Bytes{0xC8, 0x00});
  EXPECT_EQ(fx.feed(kReadRequest), kReadReply);
  EXPECT_EQ(fx.feed(kReadRequest), kReadReply);
  EXPECT_EQ(fx.frames(), 2u);
}

TEST_F(FxControllerTest, LargestFrameAndAddressWrap) {
  fx.fill(0xFF00, 256, 0xAB);
  Bytes reply = exchange(request("0FF80FE"));
  ASSERT_EQ(reply.size(), 1 + 2 * 254 + 4u);
  EXPECT_EQ(reply[1], 0x02);
  EXPECT_EQ(reply[2], 'A');
  EXPECT_EQ(reply[reply.size() - 3], 0x03);
  // A write that runs past 0xFFFF continues at 0x0000.
  EXPECT_EQ(exchange(request("1FFFF020102")), (Bytes{0x06, 0x06}));
  EXPECT_EQ(fx.read(0xFFFF, 2), (Bytes{0x01, 0x02}));
}

// A controller that takes at most 64 bytes a frame answers larger reads and writes with NAK.
TEST_F(FxControllerTest, FrameLimitRefusesLargerFramesWithNak) {
  fx.setMaxFrame(64);
  fx.fill(0x1000, 65, 0x11);
  EXPECT_EQ(exchange(request("0100040")).size(), 1 + 2 * 64 + 4u);  // 64 bytes: served
  EXPECT_EQ(exchange(request("0100041")), (Bytes{0x06, 0x15}));     // 65 bytes: NAK
  EXPECT_EQ(fx.trace().back().error, "count 65 above the frame limit of 64");
  std::string write = "1200041";
  for (int i = 0; i < 65; ++i) write += "22";
  EXPECT_EQ(exchange(request(write)), (Bytes{0x06, 0x15}));
  EXPECT_EQ(fx.read(0x2000, 1), Bytes{0x00});  // nothing stored
  write = "1200040" + write.substr(7, 128);
  EXPECT_EQ(exchange(request(write)), (Bytes{0x06, 0x06}));
  EXPECT_EQ(fx.read(0x2000, 65), [] {
    Bytes b(64, 0x22);
    b.push_back(0x00);
    return b;
  }());
  EXPECT_EQ(fx.protocolErrors(), 2u);
}

TEST_F(FxControllerTest, MalformedRequestsAreAnsweredWithNakAndCounted) {
  Bytes badChecksum = kWriteRequest;
  badChecksum.back() = '3';
  Bytes lowerChecksum = request("0FFFF02");  // checksum "AD", sent as "ad"
  ASSERT_EQ(lowerChecksum[9], 'A');
  lowerChecksum[9] = 'a';
  lowerChecksum[10] = 'd';
  const std::vector<std::pair<const char *, Bytes>> cases = {
      {"wrong checksum", badChecksum},
      {"lowercase checksum", lowerChecksum},
      {"lowercase address", request("01a0002")},
      {"non-hex count", request("01000G2")},
      {"count 0", request("0100000")},
      {"count 255", request("01000FF")},
      {"read body too long", request("010000200")},
      {"read body too short", request("010002")},
      {"write one pair short", request("1100002C8")},
      {"write one pair long", request("1100002C80000")},
      {"unknown command", request("7100002")},
      {"empty body", request("")},
  };
  std::uint64_t errors = 0;
  for (const auto &[name, req] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(exchange(req), (Bytes{0x06, 0x15}));
    EXPECT_EQ(fx.protocolErrors(), ++errors);
    EXPECT_EQ(fx.trace().back().kind, TraceKind::Error);
  }
  EXPECT_EQ(fx.read(0x1000, 2), (Bytes{0x00, 0x00}));  // nothing written by a rejected frame
}

TEST_F(FxControllerTest, StrayBytesAndAbandonedFrames) {
  // A NAK from the library between exchanges is traced, not an error.
  EXPECT_TRUE(fx.feed(0x15).empty());
  EXPECT_EQ(fx.trace().back().kind, TraceKind::LibraryNak);
  EXPECT_EQ(fx.protocolErrors(), 0u);
  // Any other byte outside a frame is an error without answer.
  EXPECT_TRUE(fx.feed('X').empty());
  EXPECT_EQ(fx.protocolErrors(), 1u);
  // ENQ in the middle of a request abandons it (error) and opens a new exchange.
  fx.feed(Bytes{0x05, 0x02, '0', '1'});
  EXPECT_EQ(fx.feed(0x05), Bytes{0x06});
  EXPECT_EQ(fx.protocolErrors(), 2u);
  // A quiet line in the middle of a request drops it.
  fx.feed(Bytes{0x02, '0', '1'});
  EXPECT_TRUE(fx.midFrame());
  fx.lineIdle();
  EXPECT_FALSE(fx.midFrame());
  EXPECT_EQ(fx.protocolErrors(), 3u);
  // Something other than STX after the ACK.
  EXPECT_EQ(exchange(ascii("0")), (Bytes{0x06, 0x15}));
  EXPECT_EQ(fx.protocolErrors(), 4u);
}

struct FaultCase {
  const char *fault;
  Bytes expected;  // ACK-to-ENQ answer followed by the read reply (C8 00 at 0x1000)
};

TEST_F(FxControllerTest, EachReadFaultSendsExactlyItsBytes) {
  const std::vector<FaultCase> cases = {
      {"silent", {}},
      {"nak-to-enq", {0x15}},
      {"lowercase-hex", {0x06, 0x02, 0x63, 0x38, 0x30, 0x30, 0x03, 0x66, 0x65}},
      {"pair-missing", {0x06, 0x02, 0x43, 0x38, 0x03, 0x37, 0x45}},
      {"pair-extra", {0x06, 0x02, 0x43, 0x38, 0x30, 0x30, 0x41, 0x42, 0x03, 0x36, 0x31}},
      {"wrong-checksum", {0x06, 0x02, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44, 0x46}},
      {"silent-after-handshake", {0x06}},
      {"truncate:0", {0x06}},
      {"truncate:1", {0x06, 0x02}},
      {"truncate:5", {0x06, 0x02, 0x43, 0x38, 0x30, 0x30}},
      {"truncate:7", {0x06, 0x02, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44}},
      {"replace:0=0x41", {0x06, 0x41, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44, 0x45}},
      {"replace:5=0x30", {0x06, 0x02, 0x43, 0x38, 0x30, 0x30, 0x30, 0x44, 0x45}},
      {"replace:6=0x47", {0x06, 0x02, 0x43, 0x38, 0x30, 0x30, 0x03, 0x47, 0x45}},
      {"handshake-truncate:0", {}},
      {"handshake-replace:0=0x07", {0x07}},
  };
  fx.write(0x1000, Bytes{0xC8, 0x00, 0xAB});
  for (const FaultCase &c : cases) {
    SCOPED_TRACE(c.fault);
    std::string error;
    auto f = parseFault(c.fault, &error);
    ASSERT_TRUE(f) << error;
    fx.setFault(f->fault);
    Bytes got = fx.feed(0x05);
    // The library sends its request only after an ACK.
    if (!got.empty() && got[0] == 0x06) {
      Bytes rest = fx.feed(kReadRequest);
      got.insert(got.end(), rest.begin(), rest.end());
    }
    fx.lineIdle();
    EXPECT_EQ(got, c.expected);
  }
  EXPECT_EQ(fx.protocolErrors(), 0u);
}

TEST_F(FxControllerTest, WriteFaults) {
  fx.setFault({FaultKind::WriteNak});
  EXPECT_EQ(exchange(kWriteRequest), (Bytes{0x06, 0x15}));
  EXPECT_EQ(fx.read(0x1000, 1), Bytes{0x00});  // refused, so not stored
  fx.setFault(Fault::replace(0, 0x41));
  EXPECT_EQ(exchange(kWriteRequest), (Bytes{0x06, 0x41}));
  EXPECT_EQ(fx.read(0x1000, 1), Bytes{0xC8});  // only the answer was damaged
  EXPECT_NE(fx.trace().back().text.find("[fault replace:0=0x41]"), std::string::npos);
}

TEST_F(FxControllerTest, FaultSchedules) {
  fx.write(0x1000, Bytes{0xC8, 0x00});
  fx.setFault({FaultKind::NakToEnq}, FaultWhen::OnFrame, 2);
  EXPECT_EQ(fx.feed(0x05), Bytes{0x06});
  fx.feed(kReadRequest);
  EXPECT_EQ(fx.feed(0x05), Bytes{0x15});
  EXPECT_EQ(fx.feed(0x05), Bytes{0x06});
  fx.feed(kReadRequest);
  // Once: the next exchange only.
  fx.setFault(Fault::truncate(0), FaultWhen::Once);
  EXPECT_EQ(exchange(kReadRequest), Bytes{0x06});
  EXPECT_EQ(exchange(kReadRequest).size(), 9u);
  // Always, until cleared; two faults at once.
  fx.setFault({FaultKind::WrongChecksum});
  fx.addFault(Fault::handshakeReplace(0, 0x06));
  EXPECT_EQ(exchange(kReadRequest).back(), 0x46);
  EXPECT_EQ(exchange(kReadRequest).back(), 0x46);
  fx.clearFaults();
  EXPECT_EQ(exchange(kReadRequest).back(), 0x45);
  EXPECT_EQ(fx.frames(), 8u);
}

TEST(FaultNames, ParseAndPrintRoundTrip) {
  for (const char *name :
       {"silent", "nak-to-enq", "lowercase-hex", "pair-missing", "pair-extra", "wrong-checksum", "write-nak",
        "wrong-length", "silent-after-handshake", "truncate:3", "replace:2=0x15", "handshake-truncate:1",
        "handshake-replace:0=0x00"}) {
    auto f = parseFault(name, nullptr);
    ASSERT_TRUE(f) << name;
    EXPECT_EQ(f->fault.name(), name);
    EXPECT_EQ(f->when, FaultWhen::Always);
  }
  auto f = parseFault("replace:10=255@0x10", nullptr);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->fault, Fault::replace(10, 0xFF));
  EXPECT_EQ(f->when, FaultWhen::OnFrame);
  EXPECT_EQ(f->frame, 16u);
  std::string error;
  for (const char *bad : {"", "loud", "truncate", "truncate:x", "replace:1", "replace:1=256", "silent@0",
                          "silent@", "silent@k", "truncate:-1"}) {
    EXPECT_FALSE(parseFault(bad, &error)) << bad;
  }
  EXPECT_FALSE(Fault{FaultKind::NakToEnq}.appliesTo(Family::A));
  EXPECT_FALSE(Fault{FaultKind::WrongLength}.appliesTo(Family::Fx));
  EXPECT_TRUE(Fault::truncate(1).appliesTo(Family::A));
}

}  // namespace
}  // namespace velsim
