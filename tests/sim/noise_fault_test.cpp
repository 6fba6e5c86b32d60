// Line noise faults: garbage around an answer, a dropped, duplicated or delayed byte.
#include <gtest/gtest.h>

#include <thread>

#include "a_controller.h"
#include "fx_controller.h"
#include "pty_client.h"
#include "pty_line.h"

namespace velsim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

const Bytes kFxRead{0x02, 0x30, 0x31, 0x30, 0x30, 0x30, 0x30, 0x32, 0x03, 0x35, 0x36};
const Bytes kFxReadReply{0x02, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44, 0x45};
const Bytes kAHandshake{0xAA, 0xB0};
const Bytes kARead{0x07, 0x00, 0xFF, 0x02, 0x00, 0x88, 0x00, 0x02, 0x92};
const Bytes kAReadResponse{0x05, 0x00, 0xFF, 0x02, 0x34, 0x12, 0x4C};

TEST(NoiseFaultNames, ParseAndPrintRoundTrip) {
  for (const char *name : {"garbage-before:4102FF", "garbage-after:00", "drop:0", "duplicate:7",
                           "delay:3=1200", "handshake-garbage-before:15", "handshake-drop:1",
                           "handshake-duplicate:0", "handshake-delay:0=5", "handshake-garbage-after:AA55"}) {
    std::string error;
    auto f = parseFault(name, &error);
    ASSERT_TRUE(f) << name << ": " << error;
    EXPECT_EQ(f->fault.name(), name);
    EXPECT_TRUE(f->fault.isNoise());
    EXPECT_TRUE(f->fault.appliesTo(Family::Fx));
    EXPECT_TRUE(f->fault.appliesTo(Family::A));
  }
  auto f = parseFault("garbage-after:0aff@2", nullptr);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->fault, Fault::garbageAfter({0x0A, 0xFF}));
  EXPECT_EQ(f->frame, 2u);
  EXPECT_EQ(parseFault("handshake-delay:1=0x10", nullptr)->fault, Fault::delay(1, 16, true));
  for (const char *bad : {"garbage-before:", "garbage-before:4", "garbage-before:GG", "drop:x", "drop",
                          "delay:1", "delay:1=", "delay:1=600001", "handshake-loud:1", "duplicate:65536"}) {
    EXPECT_FALSE(parseFault(bad, nullptr)) << bad;
  }
  EXPECT_FALSE(Fault::truncate(1).isNoise());
}

TEST(NoiseFaults, FxAnswersCarryExactlyTheirNoise) {
  struct Case {
    Fault fault;
    Bytes expected;  // answer to ENQ followed by the read reply
  };
  const Bytes r = kFxReadReply;
  const std::vector<Case> cases = {
      {Fault::garbageBefore({0x41, 0x06}),
       {0x06, 0x41, 0x06, 0x02, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44, 0x45}},
      {Fault::garbageAfter({0x99}), {0x06, 0x02, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44, 0x45, 0x99}},
      {Fault::drop(0), {0x06, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44, 0x45}},
      {Fault::drop(7), {0x06, 0x02, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44}},
      {Fault::drop(8), {0x06, 0x02, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44, 0x45}},  // beyond the answer
      {Fault::duplicate(2), {0x06, 0x02, 0x43, 0x38, 0x38, 0x30, 0x30, 0x03, 0x44, 0x45}},
      {Fault::garbageBefore({0x15}, true), {0x15, 0x06, 0x02, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44, 0x45}},
      {Fault::duplicate(0, true), {0x06, 0x06, 0x02, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44, 0x45}},
  };
  FxController fx;
  fx.write(0x1000, Bytes{0xC8, 0x00});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fault.name());
    fx.setFault(c.fault);
    Bytes got = fx.feed(0x05);
    EXPECT_FALSE(fx.takeHold());
    Bytes rest = fx.feed(kFxRead);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, c.expected);
    EXPECT_NE(fx.trace().back().text.find(c.fault.name()), std::string::npos);
  }
  // Garbage also reaches the line where the controller sends nothing, and the ACK that a dropped
  // byte took away does not change what the controller expects next.
  fx.setFault({FaultKind::Silent});
  fx.addFault(Fault::garbageBefore({0x30}, true));
  EXPECT_EQ(fx.feed(0x05), Bytes{0x30});
  fx.setFault(Fault::drop(0, true));
  EXPECT_EQ(fx.feed(0x05), Bytes{});
  EXPECT_EQ(fx.feed(kFxRead), kFxReadReply);
  // A delay leaves the answer whole and tells the line where to hold it back.
  fx.setFault(Fault::delay(3, 1500));
  fx.feed(0x05);
  EXPECT_EQ(fx.feed(kFxRead), kFxReadReply);
  auto hold = fx.takeHold();
  ASSERT_TRUE(hold);
  EXPECT_EQ(hold->index, 3u);
  EXPECT_EQ(hold->delay, 1500ms);
  EXPECT_FALSE(fx.takeHold());
  EXPECT_EQ(fx.protocolErrors(), 0u);
}

TEST(NoiseFaults, AHandshakeAndResponseNoise) {
  AController a;
  a.write(0x8800, Bytes{0x34, 0x12});
  a.setFault(Fault::duplicate(0, true));
  a.addFault(Fault::garbageAfter({0xEE, 0xEF}));
  EXPECT_EQ(a.feed(kAHandshake), (Bytes{AController::kHandshakeFirst, AController::kHandshakeFirst, 0x31}));
  EXPECT_TRUE(a.feed(0x31).empty());
  Bytes withGarbage = kAReadResponse;
  withGarbage.insert(withGarbage.end(), {0xEE, 0xEF});
  EXPECT_EQ(a.feed(kARead), withGarbage);
  a.setFault(Fault::drop(4));
  EXPECT_TRUE(a.feed(0x31).empty());
  EXPECT_EQ(a.feed(kARead), (Bytes{0x05, 0x00, 0xFF, 0x02, 0x12, 0x4C}));
  a.setFault(Fault::delay(1, 2000, true));
  EXPECT_EQ(a.feed(kAHandshake).size(), 2u);
  ASSERT_TRUE(a.takeHold());
  EXPECT_EQ(a.protocolErrors(), 0u);
}

TEST(NoiseFaults, DelayedByteArrivesLateAndStopEndsTheWait) {
  test::TempDir dir;
  PtyLine line(Family::Fx, dir.path(), 1);
  line.write(0x1000, {0xC8, 0x00});
  test::PtyClient plc(line.path());
  line.setFault(Fault::delay(5, 300));
  EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
  plc.send(kFxRead);
  EXPECT_EQ(plc.receive(8, 150ms), (Bytes{0x02, 0x43, 0x38, 0x30, 0x30}));
  EXPECT_EQ(plc.receive(3, 1000ms), (Bytes{0x03, 0x44, 0x45}));
  ASSERT_TRUE(line.settle());
  const auto wire = line.wire();
  ASSERT_EQ(wire.size(), 1 + 1 + kFxRead.size() + 8);
  EXPECT_GE(wire[wire.size() - 3].at - wire[wire.size() - 4].at, 290ms);

  line.setFault(Fault::delay(0, 60000, true));  // the ACK to ENQ
  plc.send({0x05});
  std::this_thread::sleep_for(50ms);
  const auto before = std::chrono::steady_clock::now();
  line.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  EXPECT_EQ(plc.drain(50ms), Bytes{});
}

}  // namespace
}  // namespace velsim
