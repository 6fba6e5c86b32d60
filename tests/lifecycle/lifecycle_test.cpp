// Runs each hazard program against its own simulated controller and checks
// what it reports: the process ends in time, nothing hangs, no lock or slot
// is lost, and a child never touches its parent's port.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "child_process.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Hazard {
  TempDir dir;
  ChildProcess run;
  explicit Hazard(const std::string &name) : run(Setup(name, dir.Path())) {}
  static ChildProcess::Setup Setup(const std::string &name, const std::string &dir) {
    ChildProcess::Setup s;
    s.argv = {std::string(HAZARD_DIR) + "/hazard_" + name, dir};
    return s;
  }
};

double MsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The process ends within 1.2 s of the report line `marker`.
void ExpectEndsSoonAfter(Hazard &h, const char *marker) {
  ASSERT_TRUE(h.run.WaitFor(marker, 10s)) << h.run.Output();
  auto t0 = Clock::now();
  EXPECT_EQ(h.run.WaitExit(10s), 0) << h.run.Output();
  EXPECT_LT(MsSince(t0), 1200.0);
}

TEST(Lifecycle, ExitWithSixteenThreadsInsideTransfers) {
  Hazard h("exit_busy");
  ExpectEndsSoonAfter(h, "exit\n");
}

TEST(Lifecycle, ExitFromASignalHandlerThatInterruptedATransfer) {
  Hazard h("exit_in_signal");
  ExpectEndsSoonAfter(h, "exit\n");
  EXPECT_EQ(h.run.Output().find("returned"), std::string::npos);
}

TEST(Lifecycle, AForkedChildLeavesTheParentsPortAlone) {
  Hazard h("fork_child");
  ASSERT_EQ(h.run.WaitExit(20s), 0) << h.run.Output();
  const std::string &out = h.run.Output();
  // Inherited handles are not the child's; its own open works; its exit
  // neither waits for nor disturbs the parent's transfer.
  EXPECT_NE(out.find("child: read -99 close -99 open 0 read 0\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("hung"), std::string::npos) << out;
  EXPECT_NE(out.find("parent: read 0, data right, exchanges 3\n"), std::string::npos) << out;
  if (geteuid() == 0) {
    EXPECT_NE(out.find("exclusive 1\n"), std::string::npos) << out;
  }
}

TEST(Lifecycle, CancellationLeavesNoLockHeldAndNoSlotReserved) {
  Hazard h("cancel_call");
  ASSERT_EQ(h.run.WaitExit(20s), 0) << h.run.Output();
  double joined = 0, after = 0;
  int next = 1;
  ASSERT_EQ(std::sscanf(h.run.Output().c_str(), "transfer: joined after %lf ms; next read %d after %lf ms",
                        &joined, &next, &after),
            3)
      << h.run.Output();
  EXPECT_LT(joined, 1500.0);  // the cancelled call ends with its time-out
  EXPECT_EQ(next, 0);
  EXPECT_LT(after, 500.0);
  EXPECT_NE(h.run.Output().find("; 32 handles free after it\n"), std::string::npos) << h.run.Output();
}

TEST(Lifecycle, WaitingCallsGetTheirTurnAfterALoopingThread) {
  Hazard h("fair_turns");
  ASSERT_EQ(h.run.WaitExit(30s), 0) << h.run.Output();
  int handle, same, other, closed;
  double open, sameMs, otherMs, closeMs;
  long loops;
  ASSERT_EQ(
      std::sscanf(h.run.Output().c_str(),
                  "open %d %lf ms; same handle %d %lf ms; other handle %d %lf ms; close %d %lf ms; %ld loops",
                  &handle, &open, &same, &sameMs, &other, &otherMs, &closed, &closeMs, &loops),
      9)
      << h.run.Output();
  EXPECT_GE(handle, 0);
  EXPECT_EQ(same, 0);
  EXPECT_EQ(other, 0);
  EXPECT_EQ(closed, 0);
  // Served after the eight loopers' transfers already waiting (about 25 ms
  // each; an open waits its turn twice), never after seconds of re-takes.
  for (double ms : {open, sameMs, otherMs, closeMs}) EXPECT_LT(ms, 1000.0) << h.run.Output();
  EXPECT_GT(loops, 10);
}

// A traced standard error that nobody reads holds no transfer: the lines
// that do not fit are dropped whole and counted in the next that gets
// through.
TEST(Lifecycle, ATraceIntoAStandardErrorThatNobodyReadsHoldsNoTransfer) {
  Hazard h("stalled_stderr");
  ASSERT_EQ(h.run.WaitExit(60s), 0) << h.run.Output();
  const std::string &out = h.run.Output();
  EXPECT_NE(out.find("200 reads, 0 failed, "), std::string::npos) << out;
  EXPECT_NE(out.find("then one more read, 0 failed\n"), std::string::npos) << out;
  EXPECT_NE(out.find("whole lines (0 broken); the next line says some were dropped\n"), std::string::npos)
      << out;
}

TEST(Lifecycle, ClosedStandardStreamsAreNeverTakenByTheLibrary) {
  Hazard h("closed_streams");
  ASSERT_EQ(h.run.WaitExit(10s), 0) << h.run.Output();
  EXPECT_EQ(h.run.Output(), "open 0 read 0; 0 and 1 still closed\n");
}

}  // namespace
