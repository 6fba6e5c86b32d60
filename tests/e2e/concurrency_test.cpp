// Threads on handles of one port: transfers never interleave on the line and
// every read returns what its thread wrote. Opens of different ports run in
// parallel.
#include <chrono>
#include <thread>

#include "e2e_fixture.h"

using namespace e2e;

TEST(Concurrency, TwoThreadsOnTwoHandlesOfOnePort) {
  for (velsim::Family family : {velsim::Family::Fx, velsim::Family::A}) {
    SCOPED_TRACE(velsim::familyName(family));
    velsim::PtyLine line(family, DeviceDir(), 4);
    const bool fx = family == velsim::Family::Fx;
    int handles[2] = {VelOpen(3, fx), VelOpen(3, fx)};
    ASSERT_GE(handles[0], 0);
    ASSERT_GE(handles[1], 0);
    const int rounds = fx ? 200 : 150;
    int failures[2] = {0, 0};
    auto worker = [&](int t) {
      // Each thread owns 300 bytes of data registers (two frames per transfer).
      const int start = t * 150;
      for (int i = 0; i < rounds; i++) {
        Bytes data = Pattern(300, static_cast<uint8_t>(i * 2 + t));
        Bytes back(300);
        if (VelWrW(handles[t], 'D', start, 150, data.data()) != 0 ||
            VelRdW(handles[t], 'D', start, 150, back.data()) != 0 || back != data)
          failures[t]++;
      }
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(failures[0], 0);
    EXPECT_EQ(failures[1], 0);
    line.settle();
    EXPECT_EQ(line.protocolErrors(), 0u);  // every frame arrived whole
    size_t requests = 0;
    for (const velsim::TraceEntry &e : line.trace())
      requests += e.kind == velsim::TraceKind::Read || e.kind == velsim::TraceKind::Write;
    EXPECT_EQ(requests, static_cast<size_t>(2 * 2 * 2 * rounds));
    EXPECT_EQ(VelClose(handles[0]), 0);
    EXPECT_EQ(VelClose(handles[1]), 0);
  }
}

TEST(Concurrency, OpenAndCloseWhileAnotherHandleTransfers) {
  velsim::PtyLine line(velsim::Family::Fx, DeviceDir(), 5);
  int busy = VelOpen(4, 1);
  ASSERT_GE(busy, 0);
  std::atomic<bool> done{false};
  int failures = 0;
  std::thread transfers([&] {
    Bytes data = Pattern(600, 1), back(600);
    while (!done) {
      if (VelWrB(busy, 'D', 0, 600, data.data()) != 0 || VelRdB(busy, 'D', 0, 600, back.data()) != 0 ||
          back != data)
        failures++;
    }
  });
  for (int i = 0; i < 6; i++) {  // each open of the shared port clears its record mid-traffic
    int h = VelOpen(4, 1);
    ASSERT_GE(h, 0);
    EXPECT_EQ(VelClose(h), 0);
  }
  done = true;
  transfers.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(line.protocolErrors(), 0u);
  EXPECT_EQ(VelClose(busy), 0);
}

// The port table is locked only to claim or release an entry, never while a
// device opens and settles (half a second): two ports open in about the time
// of one, and an open of a port another thread is opening waits for it and
// shares its device.
TEST(Concurrency, PortsOpenInParallel) {
  using Clock = std::chrono::steady_clock;
  velsim::PtyLine fx(velsim::Family::Fx, DeviceDir(), 6), a(velsim::Family::A, DeviceDir(), 7);
  for (int round = 0; round < 2; round++) {
    const bool samePort = round == 1;
    int handles[2] = {-100, -100};
    const auto t0 = Clock::now();
    std::thread first([&] { handles[0] = VelOpen(5, 1); });
    std::thread second([&] { handles[1] = samePort ? VelOpen(5, 1) : VelOpen(6, 0); });
    first.join();
    second.join();
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    ASSERT_GE(handles[0], 0);
    ASSERT_GE(handles[1], 0);
    EXPECT_LT(took, 0.9) << (samePort ? "one port" : "two ports");  // one after the other: 1 s and more
    for (int h : handles) {
      Bytes data = Pattern(300, static_cast<uint8_t>(h)), back(300);
      EXPECT_EQ(VelWrB(h, 'D', 0, 300, data.data()), 0);
      EXPECT_EQ(VelRdB(h, 'D', 0, 300, back.data()), 0);
      EXPECT_EQ(back, data);
    }
    EXPECT_EQ(VelClose(handles[0]), 0);
    EXPECT_EQ(VelClose(handles[1]), 0);
  }
  EXPECT_EQ(fx.protocolErrors(), 0u);
  EXPECT_EQ(a.protocolErrors(), 0u);
}
