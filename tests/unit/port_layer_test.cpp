// The port table and the port-level I/O against the fake device.
#include <algorithm>

#include "lib_fixture.h"
#include "serial/ports.h"
#include "serial/reasons.h"

using fake::Ev;
using fake::Event;

namespace {

constexpr LineSettings kFx = {9600, 7, 2};
constexpr LineSettings kA = {9600, 8, 1};

bool Logged(Ev kind, uint32_t value = 0) {
  for (const Event &e : fake::Get().log)
    if (e.kind == kind && e.value == value) return true;
  return false;
}

}  // namespace

using PortLayer = LibTest;

// The open leaves the line set up, DTR and RTS high, and nothing that was
// on the line before it settled.
TEST_F(PortLayer, OpenSetsUpTheLineAndDropsWhatCameBefore) {
  fake::Answer({0x06, 0x02, 0x30});  // stray bytes already waiting
  ASSERT_EQ(PortOpen(3, kFx), kStatusOk);
  EXPECT_EQ(fake::Get().lastName, "COM4");
  const LineSettings &s = fake::Get().lastLine;
  EXPECT_EQ(s.baudRate, 9600u);
  EXPECT_EQ(s.byteSize, 7);
  EXPECT_EQ(s.parity, 2);
  EXPECT_TRUE(Logged(Ev::DtrOn) && Logged(Ev::RtsOn));
  EXPECT_TRUE(Logged(Ev::Sleep, 495));  // the line settles
  EXPECT_TRUE(fake::Get().input.empty());
  EXPECT_EQ(PortEntry(3).refCount, 1);
}

TEST_F(PortLayer, SharedByReferenceCountForOneFamilyAndClosedWithTheLast) {
  ASSERT_EQ(PortOpen(0, kFx), kStatusOk);
  ASSERT_EQ(PortOpen(0, kFx), kStatusOk);
  bool otherLine = false;
  EXPECT_EQ(PortOpen(0, kA, &otherLine), kStatusPort);  // the other family's format
  EXPECT_TRUE(otherLine);
  const PortRecord &port = PortEntry(0);
  EXPECT_EQ(port.refCount, 2);
  EXPECT_EQ(port.line.byteSize, 7);
  EXPECT_EQ(fake::Only({Ev::Open}).size(), 1u);

  EXPECT_EQ(PortRelease(0), kStatusOk);
  EXPECT_TRUE(PortIsOpen(0));
  EXPECT_FALSE(Logged(Ev::Close));
  EXPECT_EQ(PortRelease(0), kStatusOk);
  EXPECT_FALSE(PortIsOpen(0));
  EXPECT_TRUE(Logged(Ev::DtrOff));
  EXPECT_EQ(fake::Get().openDevices, 0);
  fake::Get().log.clear();
  EXPECT_EQ(PortRelease(0), kStatusPort);  // not open: nothing changes
  EXPECT_TRUE(fake::Get().log.empty());
}

TEST_F(PortLayer, FailedOpensLeaveThePortClosed) {
  fake::Get().missing.insert("COM2");
  EXPECT_EQ(PortOpen(1, kFx), kStatusPort);
  EXPECT_FALSE(PortIsOpen(1));

  fake::Get().lineFails = true;
  EXPECT_EQ(PortOpen(2, kFx), kStatusPort);
  EXPECT_FALSE(PortIsOpen(2));
  EXPECT_EQ(fake::Get().openDevices, 0);  // closed again

  EXPECT_EQ(PortOpen(16, kFx), kStatusPort);
  EXPECT_EQ(PortOpen(-1, kFx), kStatusPort);
}

TEST_F(PortLayer, CloseAllIgnoresReferenceCounts) {
  ASSERT_EQ(PortOpen(0, kFx), kStatusOk);
  ASSERT_EQ(PortOpen(0, kFx), kStatusOk);
  ASSERT_EQ(PortOpen(5, kA), kStatusOk);
  PortCloseAll();
  EXPECT_FALSE(PortIsOpen(0));
  EXPECT_FALSE(PortIsOpen(5));
  EXPECT_EQ(fake::Get().openDevices, 0);
}

// Every failure of the line I/O is a time-out for the protocols, with its
// own reason; the first reason since the frame began counts.
TEST_F(PortLayer, FailuresAndTheirReasons) {
  ASSERT_EQ(PortOpen(0, kFx), kStatusOk);
  PlcLink link{0, 0, 0, kMaxFrameBytes};
  uint8_t b = 0;
  const uint8_t request[] = {0x05, 0x02};
  ASSERT_EQ(SendBytes(link, request, 2, 1), kStatusOk);
  fake::Answer({0x06});
  ASSERT_EQ(ReceiveByte(link, &b), kStatusOk);
  EXPECT_EQ(ReceiveByte(link, &b), kStatusTimeout);  // nothing more arrives
  EXPECT_STREQ(PortFailure(0), "time-out while waiting for byte 2 of the answer");
  EXPECT_EQ(ReceiveByte(link, &b), kStatusTimeout);
  EXPECT_STREQ(PortFailure(0), "time-out while waiting for byte 2 of the answer");  // the first stays

  ClearPortReason(0);
  fake::Answer({0x15});
  EXPECT_EQ(ExpectByte(link, 0x06), kStatusWrongChar);
  EXPECT_STREQ(PortFailure(0), "wrong character 0x15 (NAK) where 0x06 (ACK) was expected");

  ClearPortReason(0);
  fake::Get().writeFails = true;
  EXPECT_EQ(SendBytes(link, request, 2, 1), kStatusTimeout);
  EXPECT_STREQ(PortFailure(0), "write failed: fake write failure");
  EXPECT_EQ(fake::Written().size(), 3u);  // the piece stops at the failed byte

  ClearPortReason(0);
  fake::Get().lost = true;
  EXPECT_EQ(ReceiveByte(link, &b), kStatusTimeout);
  EXPECT_STREQ(PortFailure(0), "device lost: the server closed the connection");
  char text[kReasonBytes];
  PortReason(0, kStatusTimeout, text, sizeof text);
  EXPECT_STREQ(text, "COM1 (COM1): device lost: the server closed the connection");
}

TEST_F(PortLayer, PrimitivesOnAClosedPortFailWithoutADevice) {
  PlcLink link{7, 0, 0, kMaxFrameBytes};
  uint8_t b = 1;
  EXPECT_EQ(SendBytes(link, &b, 1, 0), kStatusTimeout);
  EXPECT_EQ(ReceiveByte(link, &b), kStatusTimeout);
  EXPECT_TRUE(fake::Get().log.empty());
}
