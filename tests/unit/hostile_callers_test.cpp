// Callers that pass anything: the library answers with a clear status and
// touches nothing it should not.
#include <vector>

#include "lib_fixture.h"
#include "peers.h"
#include "serial/ports.h"
#include "veldrv.h"

using HostileCallers = LibTest;

namespace {

using Export = int (*)(int, int, int, int, void *);
const Export kTransfers[] = {VelRdB, VelRdW, VelWrB, VelWrW};

bool Documented(int rc) {
  for (int code : {0, -1, -3, -4, -5, -6, -10, -99})
    if (rc == code) return true;
  return false;
}

}  // namespace

TEST_F(HostileCallers, PortNumbers) {
  EXPECT_EQ(VelOpen(-1, 1), VEL_PORT);
  EXPECT_EQ(VelOpen(16, 0), VEL_PORT);
  EXPECT_EQ(VelOpen(65535, 1), VEL_PORT);
  EXPECT_EQ(VelOpen(0x7FFFFFFF, 1), VEL_PORT);
  EXPECT_EQ(fake::Get().openDevices, 0);
  EXPECT_EQ(VelOpen(15, 1), 0);
  EXPECT_EQ(fake::Get().lastName, "COM16");
  EXPECT_EQ(VelOpen(65536 + 15, 1), 1);  // the same port by its low 16 bits
  EXPECT_EQ(PortEntry(15).refCount, 2);
}

TEST_F(HostileCallers, EveryExportOnBadFreeAndClosedHandles) {
  uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  int h = VelOpen(0, 1);
  ASSERT_EQ(VelClose(h), 0);
  fake::Get().log.clear();
  for (int handle : {-2147483647 - 1, -100, -1, 0, 5, 31, 32, 99, 2147483647}) {
    for (Export e : kTransfers) EXPECT_EQ(e(handle, 'D', 0, 4, buf), VEL_BAD_HANDLE);
    EXPECT_EQ(VelClose(handle), VEL_BAD_HANDLE);
  }
  EXPECT_TRUE(fake::Get().log.empty());
  EXPECT_EQ(buf[0], 1);
}

TEST_F(HostileCallers, EveryLetterCountAndNullBuffer) {
  FxPeer peer;
  int h = VelOpen(0, 1);
  std::vector<uint8_t> buf(2 * 65536 + 16, 0xEE);
  for (int letter = 0; letter < 256; letter++)
    for (Export e : kTransfers) EXPECT_TRUE(Documented(e(h, letter, 0, 1, buf.data()))) << letter;
  for (Export e : kTransfers) {
    for (int count : {-2147483647 - 1, -65536, -1, 65536, 70000, 2147483647})
      EXPECT_EQ(e(h, 'D', 0, count, buf.data()), VEL_BAD_ARGUMENT) << count;
    EXPECT_EQ(e(h, 'D', 0, 1, nullptr), VEL_BAD_ARGUMENT);
    EXPECT_EQ(e(h, 'D', 0, 0, nullptr), 0);
  }
  EXPECT_EQ(VelRdW(h, 'D', 0, 32768, buf.data()), VEL_BAD_ARGUMENT);
  EXPECT_EQ(VelRdW(h, 'D', 0, 32767, buf.data()), 0);
  EXPECT_EQ(buf[65534], 0xEE);  // nothing beyond 65534 bytes
  EXPECT_EQ(VelRdB(h, 'S', 0, 65535, buf.data()), 0);
  EXPECT_EQ(buf[65535], 0xEE);
  EXPECT_EQ(peer.frames.back().n, 3);  // 258 frames of 254, then 3
}

TEST_F(HostileCallers, StartNumbersOfAnySizeWrapOnTheWire) {
  FxPeer peer;
  int h = VelOpen(0, 1);
  uint8_t buf[2];
  ASSERT_EQ(VelRdW(h, 'D', 2147483647, 1, buf), 0);
  EXPECT_EQ(peer.frames.back().address, uint16_t(0x1000 + 2 * 2147483647LL));
  ASSERT_EQ(VelRdB(h, 'S', -1, 2, buf), 0);
  EXPECT_EQ(peer.frames.back().address, 0xFFFF);
  ASSERT_EQ(VelRdW(h, 'M', -2147483647 - 1, 1, buf), 0);
  EXPECT_EQ(peer.frames.back().address, uint16_t(0x0100 - 2 * 2147483648LL));
}
