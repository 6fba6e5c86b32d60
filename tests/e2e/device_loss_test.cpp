// The device disappears (the simulator hangs up its pseudo-terminal) during a
// long transfer or between transfers, and comes back later: the transfer ends
// with an error within the byte time-out, without spinning, the handle closes,
// and a new open reaches the device once it is back.
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "e2e_fixture.h"

using namespace e2e;
using namespace std::chrono_literals;
using velsim::Family;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kBound = 3s;  // the byte time-out is 990 ms; generous for a loaded machine

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// CPU time of the calling thread: a library that spins on a hung-up device burns it.
double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool IsTransferError(int status) {
  return status == VEL_TIMEOUT || status == VEL_WRONG_CHAR;
}

// A write and a read of 600 bytes that must succeed.
void ExpectWorkingLink(int h, velsim::PtyLine &line) {
  Bytes data = Pattern(600, 77), back(600);
  ASSERT_EQ(VelWrB(h, 'S', 0x2000, 600, data.data()), VEL_OK);
  ASSERT_EQ(VelRdB(h, 'S', 0x2000, 600, back.data()), VEL_OK);
  EXPECT_EQ(back, data);
  line.settle();
  EXPECT_EQ(line.read(0x2000, 600), data);
}

class DeviceLoss : public ::testing::TestWithParam<Family> {
 protected:
  Family family() const {
    return GetParam();
  }
  bool fx() const {
    return GetParam() == Family::Fx;
  }
};

TEST_P(DeviceLoss, DuringALongTransfer) {
  const int com = fx() ? 6 : 7;
  velsim::PtyLine line(family(), DeviceDir(), com);
  int h = VelOpen(com - 1, fx());
  ASSERT_GE(h, 0);
  ExpectWorkingLink(h, line);

  // At 9600 baud 3000 bytes take several seconds; the line goes away after half a second.
  line.setPace(true);
  Bytes buf(3000, 0xEE), data = Pattern(3000, 5);
  Clock::time_point hungAt;
  std::thread cutter([&] {
    std::this_thread::sleep_for(500ms);
    hungAt = Clock::now();
    line.hangup();
  });
  const double cpu0 = ThreadCpuSeconds();
  const auto t0 = Clock::now();
  // FX: a read (the library is mostly waiting for reply characters); A: a write (mostly sending).
  const int status =
      fx() ? VelRdB(h, 'S', 0x3000, 3000, buf.data()) : VelWrB(h, 'S', 0x3000, 3000, data.data());
  const auto t1 = Clock::now();
  const double cpu = ThreadCpuSeconds() - cpu0;
  cutter.join();
  EXPECT_TRUE(IsTransferError(status)) << "status " << status;
  char why[256];
  EXPECT_EQ(VelReason(h, why, sizeof why), status);
  EXPECT_NE(std::string(why).find("): device lost: "), std::string::npos) << why;  // not a time-out
  EXPECT_GT(t1, hungAt) << "the transfer ended before the device went away: make it longer";
  EXPECT_LT(t1 - hungAt, kBound);
  EXPECT_LT(cpu, 0.5);
  std::printf("%s: transfer ended %.3f s after the hang-up with %d (%.3f s CPU in %.3f s)\n",
              velsim::familyName(family()), Seconds(t1 - hungAt), status, cpu, Seconds(t1 - t0));

  // The handle stays usable as a handle: calls fail fast, and it closes.
  auto t = Clock::now();
  EXPECT_TRUE(IsTransferError(VelRdB(h, 'S', 0, 16, buf.data())));
  EXPECT_LT(Clock::now() - t, kBound);
  t = Clock::now();
  EXPECT_EQ(VelClose(h), VEL_OK);
  EXPECT_LT(Clock::now() - t, 1s);
  EXPECT_EQ(VelOpen(com - 1, fx()), VEL_PORT);  // nothing there to open

  line.reopen();
  line.setPace(false);
  h = VelOpen(com - 1, fx());
  ASSERT_GE(h, 0);
  ExpectWorkingLink(h, line);
  EXPECT_EQ(VelClose(h), VEL_OK);
}

TEST_P(DeviceLoss, BetweenTransfers) {
  const int com = fx() ? 8 : 9;
  velsim::PtyLine line(family(), DeviceDir(), com);
  int h = VelOpen(com - 1, fx());
  ASSERT_GE(h, 0);
  ExpectWorkingLink(h, line);
  line.hangup();

  Bytes buf(600, 0), data = Pattern(600, 9);
  for (int i = 0; i < 3; i++) {
    const double cpu0 = ThreadCpuSeconds();
    const auto t0 = Clock::now();
    const int status = i % 2 ? VelWrB(h, 'S', 0, 600, data.data()) : VelRdB(h, 'S', 0, 600, buf.data());
    const auto took = Clock::now() - t0;
    const double cpu = ThreadCpuSeconds() - cpu0;
    EXPECT_TRUE(IsTransferError(status)) << "status " << status;
    EXPECT_LT(took, kBound);
    EXPECT_LT(cpu, 0.5);
    char why[256];
    EXPECT_EQ(VelReason(h, why, sizeof why), status);
    EXPECT_NE(std::string(why).find("): device lost: "), std::string::npos) << why;
    if (i == 0)
      std::printf("%s: transfer on a hung-up device: %d after %.3f s (%.3f s CPU)\n",
                  velsim::familyName(family()), status, Seconds(took), cpu);
  }

  // The device comes back while the handle is still open: the handle (and a second handle, which
  // shares the open port) still holds the lost device; only after the last close does an open
  // reach the new one.
  line.reopen();
  EXPECT_TRUE(IsTransferError(VelRdB(h, 'S', 0, 16, buf.data())));
  int shared = VelOpen(com - 1, fx());
  ASSERT_GE(shared, 0);
  EXPECT_TRUE(IsTransferError(VelRdB(shared, 'S', 0, 16, buf.data())));
  EXPECT_EQ(VelClose(shared), VEL_OK);
  EXPECT_EQ(VelClose(h), VEL_OK);
  h = VelOpen(com - 1, fx());
  ASSERT_GE(h, 0);
  ExpectWorkingLink(h, line);
  EXPECT_EQ(VelClose(h), VEL_OK);
}

}  // namespace

namespace velsim {
void PrintTo(Family family, std::ostream *os) {
  *os << familyName(family);
}
}  // namespace velsim

namespace {

INSTANTIATE_TEST_SUITE_P(Family, DeviceLoss, ::testing::Values(Family::Fx, Family::A),
                         [](const ::testing::TestParamInfo<Family> &info) {
                           return std::string(velsim::familyName(info.param));
                         });

}  // namespace
