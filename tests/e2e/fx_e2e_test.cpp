// FX links end to end: the six exports against the FX simulator.
#include "e2e_fixture.h"

using namespace e2e;
using velsim::Fault;
using velsim::FaultKind;
using velsim::FaultWhen;

using FxLink = SharedLink<velsim::Family::Fx, 1>;

TEST_F(FxLink, EveryAreaLandsAtItsControllerAddress) {
  CheckEveryArea(*line, handle,
                 {{"Dd", 0x1000, true},
                  {"EeIiXx", 0x0080, false},
                  {"AaOoYy", 0x00A0, true},
                  {"Mm", 0x0100, true},
                  {"Ss", 0x0000, true}},
                 3, 3, 40, 2);
  EXPECT_EQ(line->protocolErrors(), 0u);
}

TEST_F(FxLink, AddressesOfTheAreaTable) {
  Bytes buf(4);
  ASSERT_EQ(VelRdW(handle, 'D', 100, 1, buf.data()), 0);
  ASSERT_EQ(VelRdB(handle, 'M', 3, 1, buf.data()), 0);
  ASSERT_EQ(VelRdW(handle, 'S', 0x0123, 1, buf.data()), 0);
  ASSERT_EQ(VelRdW(handle, 'D', 10, 2, buf.data()), 0);
  std::vector<velsim::TraceEntry> r = Requests();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].address, 0x10C8);
  EXPECT_EQ(r[0].count, 2u);
  EXPECT_EQ(r[1].address, 0x0103);
  EXPECT_EQ(r[2].address, 0x0123);
  EXPECT_EQ(r[3].address, 0x1014);
  EXPECT_EQ(r[3].count, 4u);
}

TEST_F(FxLink, SixHundredBytesInThreeFrames) {
  Bytes data = Pattern(600, 7);
  ASSERT_EQ(VelWrB(handle, 'D', 0, 600, data.data()), 0);
  line->settle();
  EXPECT_EQ(line->read(0x1000, 600), data);
  Bytes back(600);
  ASSERT_EQ(VelRdW(handle, 'D', 0, 300, back.data()), 0);
  EXPECT_EQ(back, data);
  std::vector<velsim::TraceEntry> r = Requests();
  ASSERT_EQ(r.size(), 6u);
  for (int i : {0, 3}) {
    EXPECT_EQ(r[i].address, 0x1000);
    EXPECT_EQ(r[i + 1].address, 0x1000 + 254);
    EXPECT_EQ(r[i + 2].address, 0x1000 + 508);
    EXPECT_EQ(r[i + 2].count, 92u);
  }
}

TEST_F(FxLink, FailuresGiveTheirStatusAndTheNextTransferSucceeds) {
  struct Case {
    const char *name;
    Fault fault;
    int status;
    bool nak;  // the library answers the bad reply with NAK
  };
  const Case cases[] = {
      {"silent", {FaultKind::Silent}, VEL_TIMEOUT, false},
      {"nak-to-enq", {FaultKind::NakToEnq}, VEL_WRONG_CHAR, false},
      {"lowercase-hex", {FaultKind::LowercaseHex}, VEL_WRONG_CHAR, true},
      {"wrong-checksum", {FaultKind::WrongChecksum}, VEL_CHECKSUM, true},
      {"pair-missing", {FaultKind::PairMissing}, VEL_WRONG_CHAR, true},
  };
  line->write(0x1000, {0xCA, 0xFE});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    line->clearWire();
    line->setFault(c.fault, FaultWhen::Once);
    Bytes buf(2);
    EXPECT_EQ(VelRdB(handle, 'D', 0, 2, buf.data()), c.status);
    EXPECT_EQ(VelRdB(handle, 'D', 0, 0, buf.data()), c.status);  // count 0: the status left behind
    line->settle();
    Bytes sent = line->wireBytes(velsim::WireDir::FromLibrary);
    EXPECT_EQ(!sent.empty() && sent.back() == 0x15, c.nak);
    ASSERT_EQ(VelRdB(handle, 'D', 0, 2, buf.data()), 0);
    EXPECT_EQ(buf, (Bytes{0xCA, 0xFE}));
    EXPECT_EQ(VelRdB(handle, 'D', 0, 0, buf.data()), 0);
  }
}

TEST_F(FxLink, RefusedWriteKeepsEarlierFramesOnly) {
  line->fill(0x2000, 600, 0x00);
  line->setFault({FaultKind::WriteNak}, FaultWhen::OnFrame, line->frames() + 2);
  Bytes data = Pattern(600, 99);
  EXPECT_EQ(VelWrB(handle, 'S', 0x2000, 600, data.data()), VEL_WRONG_CHAR);
  line->settle();
  EXPECT_EQ(line->read(0x2000, 254), Bytes(data.begin(), data.begin() + 254));
  EXPECT_EQ(line->read(0x2000 + 254, 346), Bytes(346, 0x00));
  EXPECT_EQ(VelWrB(handle, 'S', 0x2000, 600, data.data()), 0);
  line->settle();
  EXPECT_EQ(line->read(0x2000, 600), data);
}

TEST_F(FxLink, TransferAcrossTheEndOfMemoryWraps) {
  Bytes data = Pattern(300, 3);
  ASSERT_EQ(VelWrB(handle, 'S', 0xFF80, 300, data.data()), 0);
  std::vector<velsim::TraceEntry> r = Requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].address, 0x007E);
  EXPECT_EQ(line->read(0xFF80, 300), data);
}

TEST_F(FxLink, StrayAckAheadOfAWriteAnswerLosesNoData) {
  // A duplicated ACK to ENQ is taken as the write ACK of that frame; the next
  // frame's purge must still let the rest of the request go out.
  Bytes data = Pattern(600, 42);
  line->fill(0x3000, 600, 0);
  line->setFault(Fault::duplicate(0, true), FaultWhen::OnFrame, line->frames() + 1);
  EXPECT_EQ(VelWrB(handle, 'S', 0x3000, 600, data.data()), 0);
  line->settle();
  EXPECT_EQ(line->read(0x3000, 600), data);
}
