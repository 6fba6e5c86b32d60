// A-series links end to end: the six exports against the A-series simulator.
#include "e2e_fixture.h"

using namespace e2e;
using velsim::Fault;
using velsim::FaultKind;
using velsim::FaultWhen;

using ALink = SharedLink<velsim::Family::A, 2>;

TEST_F(ALink, EveryAreaLandsAtItsControllerAddress) {
  CheckEveryArea(*line, handle,
                 {{"Dd", 0x8800, true},
                  {"EeIiXx", 0x8000, false},
                  {"AaOoYy", 0x8200, true},
                  {"Mm", 0x8400, true},
                  {"Ss", 0x0000, true}},
                 7, 5, 50, 3);
  EXPECT_EQ(line->protocolErrors(), 0u);
  Bytes buf(2);
  line->clearTrace();
  ASSERT_EQ(VelRdW(handle, 'D', 100, 1, buf.data()), 0);
  EXPECT_EQ(Requests().at(0).address, 0x88C8);
}

TEST_F(ALink, SixHundredBytesAndOneHandshake) {
  // Force a fresh session: a failed frame makes the next one run the handshake.
  line->setFault({FaultKind::Silent}, FaultWhen::Once);
  Bytes buf(600);
  EXPECT_EQ(VelRdB(handle, 'D', 0, 2, buf.data()), VEL_TIMEOUT);
  line->clearTrace();
  Bytes data = Pattern(600, 11);
  ASSERT_EQ(VelWrB(handle, 'D', 0, 600, data.data()), 0);
  ASSERT_EQ(VelRdW(handle, 'D', 0, 300, buf.data()), 0);
  EXPECT_EQ(buf, data);
  EXPECT_EQ(line->read(0x8800, 600), data);
  std::vector<velsim::TraceEntry> r = Requests();
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[2].address, 0x8800 + 508);
  EXPECT_EQ(r[2].count, 92u);
  EXPECT_EQ(Handshakes(), 1);  // the session byte serves every later frame
  EXPECT_EQ(line->protocolErrors(), 0u);
}

TEST_F(ALink, FailuresGiveTheirStatusAndTheNextTransferRunsTheHandshake) {
  struct Case {
    const char *name;
    Fault fault;
    bool write;
    int status;
  };
  const Case cases[] = {
      {"wrong-length", {FaultKind::WrongLength}, false, VEL_WRONG_CHAR},
      {"wrong-checksum", {FaultKind::WrongChecksum}, false, VEL_WRONG_CHAR},
      {"write-nak", {FaultKind::WriteNak}, true, VEL_WRONG_CHAR},
      {"silent-after-handshake", {FaultKind::SilentAfterHandshake}, false, VEL_TIMEOUT},
  };
  line->write(0x8800, {0x34, 0x12});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buf = {0x34, 0x12};
    line->setFault(c.fault, FaultWhen::Once);
    EXPECT_EQ(c.write ? VelWrB(handle, 'D', 0, 2, buf.data()) : VelRdB(handle, 'D', 0, 2, buf.data()),
              c.status);
    EXPECT_EQ(VelWrB(handle, 'D', 0, 0, buf.data()), c.status);
    line->clearTrace();
    buf = {0, 0};
    ASSERT_EQ(VelRdB(handle, 'D', 0, 2, buf.data()), 0);
    EXPECT_EQ(buf, (Bytes{0x34, 0x12}));
    EXPECT_EQ(Handshakes(), 1);
  }
}

TEST_F(ALink, SessionByteZeroIsUsedOnceThenAskedForAgain) {
  line->setSessionByte(0x00);
  line->setFault({FaultKind::Silent}, FaultWhen::Once);  // end the current session
  Bytes buf(2);
  EXPECT_EQ(VelRdB(handle, 'D', 0, 2, buf.data()), VEL_TIMEOUT);
  line->clearTrace();
  ASSERT_EQ(VelRdB(handle, 'D', 0, 2, buf.data()), 0);
  ASSERT_EQ(VelRdB(handle, 'D', 0, 2, buf.data()), 0);
  EXPECT_EQ(Handshakes(), 2);
  EXPECT_EQ(line->protocolErrors(), 0u);
  line->setSessionByte(0x31);
}

TEST(APort, SessionByteSurvivesCloseOfAnotherHandleAndFxFollowsA) {
  auto a = std::make_unique<velsim::PtyLine>(velsim::Family::A, DeviceDir(), 3);
  int h1 = VelOpen(2, 0), h2 = VelOpen(2, 0);
  ASSERT_GE(h1, 0);
  ASSERT_GE(h2, 0);
  Bytes buf(4);
  ASSERT_EQ(VelRdB(h2, 'M', 0, 4, buf.data()), 0);
  ASSERT_EQ(VelClose(h2), 0);
  ASSERT_EQ(VelRdB(h1, 'M', 0, 4, buf.data()), 0);
  a->settle();
  int handshakes = 0;
  for (const velsim::TraceEntry &e : a->trace()) handshakes += e.kind == velsim::TraceKind::Handshake;
  EXPECT_EQ(handshakes, 1);
  ASSERT_EQ(VelClose(h1), 0);
  a.reset();

  velsim::PtyLine fx(velsim::Family::Fx, DeviceDir(), 3);
  fx.write(0x0100, {1, 2, 3, 4});
  int h = VelOpen(2, 1);
  ASSERT_GE(h, 0);
  ASSERT_EQ(VelRdB(h, 'M', 0, 4, buf.data()), 0);
  EXPECT_EQ(buf, (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(fx.protocolErrors(), 0u);
  EXPECT_EQ(VelClose(h), 0);
}
