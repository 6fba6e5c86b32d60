// The port table and the byte primitives against the fake device.
#include "lib_fixture.h"
#include "serial/ports.h"

using fake::Ev;
using fake::Event;

using PortLayer = LibTest;

TEST_F(PortLayer, OpenPreparesTheDeviceInOrderAndSettles) {
  ASSERT_EQ(PortOpen(3, 9600, 7, 'E', 1), 1);
  EXPECT_EQ(fake::Get().lastName, "COM4");
  std::vector<Event> expected = {
      {Ev::Open},       {Ev::EventMask, 0},  {Ev::Queues, 4096},
      {Ev::Purge},      {Ev::Timeouts, 990}, {Ev::Line, 9600},
      {Ev::DtrOn},      {Ev::RtsOn},         {Ev::Sleep, 495, false},
      {Ev::ClearError}, {Ev::Purge},
  };
  EXPECT_EQ(fake::Get().log, expected);
  const DeviceTimeouts &t = fake::Get().lastTimeouts;
  EXPECT_EQ(t.readIntervalMs, 990u);
  EXPECT_EQ(t.readTotalMultiplierMs, 990u);
  EXPECT_EQ(t.readTotalConstantMs, 0u);
  EXPECT_EQ(t.writeTotalMultiplierMs, 100u);
  EXPECT_EQ(t.writeTotalConstantMs, 100u);
  const LineSettings &s = fake::Get().lastLine;
  EXPECT_EQ(s.byteSize, 7);
  EXPECT_EQ(s.parity, 2);
  EXPECT_EQ(s.stopBits, 0);
  EXPECT_TRUE(s.dtrOn && s.rtsOn);
}

TEST_F(PortLayer, LineSettingsFromArguments) {
  EXPECT_EQ(PortLineSettings(4800, 8, 'O', 1).baudRate, 9600u);
  EXPECT_EQ(PortLineSettings(9600, 8, 'O', 1).baudRate, 9600u);
  for (uint32_t baud : {1200u, 2400u, 19200u, 38400u, 56000u, 57600u, 115200u, 128000u, 256000u})
    EXPECT_EQ(PortLineSettings(baud, 8, 'N', 1).baudRate, baud);
  EXPECT_EQ(PortLineSettings(9600, 7, 'e', 1).parity, 2);
  EXPECT_EQ(PortLineSettings(9600, 7, 'E', 1).parity, 2);
  EXPECT_EQ(PortLineSettings(9600, 8, 'o', 1).parity, 1);
  EXPECT_EQ(PortLineSettings(9600, 8, 'N', 1).parity, 0);
  EXPECT_EQ(PortLineSettings(9600, 8, 'N', 2).stopBits, 2);
  EXPECT_EQ(PortLineSettings(9600, 8, 'N', 1).stopBits, 0);
  EXPECT_EQ(PortLineSettings(9600, 8, 'N', 3).stopBits, 0);
}

TEST_F(PortLayer, SharedByReferenceCountAndClosedWithTheLast) {
  ASSERT_EQ(PortOpen(0, 115200, 7, 'E', 1), 1);
  ASSERT_EQ(PortOpen(0, 9600, 8, 'O', 2), 1);  // settings of the first open stay
  const ComPort &port = PortEntry(0);
  EXPECT_EQ(port.refCount, 2);
  EXPECT_EQ(port.baudRate, 115200u);
  EXPECT_EQ(port.byteSize, 7);
  EXPECT_EQ(fake::Only({Ev::Open}).size(), 1u);

  EXPECT_EQ(PortRelease(0), 1);
  EXPECT_TRUE(port.isOpen);
  EXPECT_EQ(fake::Only({Ev::Close}).size(), 0u);
  fake::Get().log.clear();
  EXPECT_EQ(PortRelease(0), 1);
  EXPECT_FALSE(port.isOpen);
  std::vector<Event> closing = {{Ev::EventMask, 0}, {Ev::DtrOff}, {Ev::Purge}, {Ev::Close}};
  EXPECT_EQ(fake::Get().log, closing);
  EXPECT_EQ(PortRelease(0), 0);  // not open: nothing changes
  EXPECT_EQ(fake::Get().log, closing);
}

TEST_F(PortLayer, FailedOpensLeaveThePortClosed) {
  fake::Get().missing.insert("COM2");
  EXPECT_EQ(PortOpen(1, 9600, 7, 'E', 1), 0);
  EXPECT_FALSE(PortEntry(1).isOpen);

  fake::Get().lineFails = true;
  fake::Get().log.clear();
  EXPECT_EQ(PortOpen(2, 9600, 7, 'E', 1), 0);
  EXPECT_FALSE(PortEntry(2).isOpen);
  EXPECT_EQ(fake::Get().openDevices, 0);  // closed again
  EXPECT_EQ(fake::Only({Ev::Close}).size(), 1u);

  EXPECT_EQ(PortOpen(16, 9600, 7, 'E', 1), 0);
  EXPECT_EQ(PortOpen(-1, 9600, 7, 'E', 1), 0);
}

TEST_F(PortLayer, CloseAllIgnoresReferenceCounts) {
  ASSERT_EQ(PortOpen(0, 9600, 7, 'E', 1), 1);
  ASSERT_EQ(PortOpen(0, 9600, 7, 'E', 1), 1);
  ASSERT_EQ(PortOpen(5, 9600, 8, 'O', 1), 1);
  PortCloseAll();
  EXPECT_FALSE(PortEntry(0).isOpen);
  EXPECT_FALSE(PortEntry(5).isOpen);
  EXPECT_EQ(fake::Get().openDevices, 0);
}

TEST_F(PortLayer, BytePrimitives) {
  ASSERT_EQ(PortOpen(0, 9600, 7, 'E', 1), 1);
  PlcLink link{0, 0, 0, kMaxFrameBytes};
  uint8_t b = 0;
  fake::Get().log.clear();
  EXPECT_FALSE(ReceiveByte(link, &b));  // nothing arrives: one attempt, then time-out
  EXPECT_EQ(link.status, -1);
  EXPECT_EQ(fake::Only({Ev::ReadTimeout}).size(), 1u);
  EXPECT_EQ(fake::Only({Ev::ClearError}).size(), 1u);

  link.status = 0;
  fake::Answer({0x15});
  EXPECT_FALSE(ExpectByte(link, 0x06));
  EXPECT_EQ(link.status, -2);

  link.status = 0;
  fake::Answer({0x06});
  EXPECT_TRUE(ExpectByte(link, 0x06));
  EXPECT_EQ(link.status, 0);

  fake::Get().writeFails = true;
  fake::Get().log.clear();
  EXPECT_FALSE(SendByte(link, 0x05));
  std::vector<Event> failedWrite = {{Ev::Write, 0x05}, {Ev::ClearError}};
  EXPECT_EQ(fake::Get().log, failedWrite);
  EXPECT_EQ(link.status, 0);  // write failures are not reported
}

TEST_F(PortLayer, PrimitivesOnAClosedPortFailWithoutADevice) {
  PlcLink link{7, 0, 0, kMaxFrameBytes};
  uint8_t b;
  EXPECT_FALSE(SendByte(link, 1));
  EXPECT_FALSE(ReceiveByte(link, &b));
  EXPECT_EQ(link.status, -1);
  EXPECT_TRUE(fake::Get().log.empty());
}

TEST_F(PortLayer, Sleeps) {
  SleepMs(3);
  SleepMs(65536 + 7);  // taken as 16 bits
  SleepTicks(9);
  std::vector<Event> expected = {{Ev::Sleep, 3, true}, {Ev::Sleep, 7, true}, {Ev::Sleep, 495, false}};
  EXPECT_EQ(fake::Get().log, expected);
}
