// velctl when something is wrong: bad usage sends nothing and exits 2; a
// port that does not open or a controller that does not answer exits 1 with
// the library's code in words; Ctrl-C ends polling after the transfer.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "velctl_run.h"

namespace {

using velsim::Family;

const std::string kHint = "Try 'velctl --help' for more information.\n";

class VelctlUsage : public VelctlSuite<Family::Fx> {};

TEST_F(VelctlUsage, HelpAndVersion) {
  VelctlRun help = Run({"read", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: velctl [options] read  ADDR COUNT\n", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("Examples:\n  velctl read D100 3"), std::string::npos);
  VelctlRun version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("velctl [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
}

// Each mistake is found before the port is opened: exit 2, the reason and
// the hint on standard error, and not a byte on the line.
TEST_F(VelctlUsage, BadUsageSendsNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"read", "Q5", "1"}, "bad address 'Q5': the area letter is one of D, X (E, I), Y (A, O), M or S"},
      {{"read", "D1x", "1"}, "bad address 'D1x': D must be followed by a number, decimal or 0x hex"},
      {{"read", "D32760", "10"},
       "'D32760' with 10 u16 values runs past the end of controller memory (0xFFFF)"},
      {{"write", "D100", "1", "70000"}, "bad value '70000' for u16: out of range 0..65535"},
      {{"write", "-t", "i16", "D100", "-32769"}, "bad value '-32769' for i16: out of range -32768..32767"},
      {{"write", "-t", "u8", "M0", "256"}, "bad value '256' for u8: out of range 0..255"},
      {{"write", "-t", "i32", "D0", "2147483648"},
       "bad value '2147483648' for i32: out of range -2147483648..2147483647"},
      {{"write", "-t", "f32", "D0", "1e39"},
       "bad value '1e39' for f32: out of range (a finite 32-bit float)"},
      {{"write", "-t", "hex", "D0", "1FFFF"}, "bad value '1FFFF' for hex: out of range 0x0000..0xFFFF"},
      {{"write", "-t", "bits", "M0", "2"}, "bad value '2' for bits: out of range 0..1"},
      {{"write", "D0", "twelve"}, "bad value 'twelve' for u16: not a number"},
      {{"write", "X0", "1"}, "the inputs (X) can only be read"},
      {{"read", "-t", "bits", "D0", "1"},
       "type bits does not fit the data registers (16 bits each): use u16, i16, u32, i32, f32 or hex"},
      {{"read", "D0"}, "usage: velctl [options] read ADDR COUNT"},
      {{"dump", "D0", "10"}, "dump needs -o FILE (\"-o -\" for standard output)"},
      {{"load", "D0", "/nonexistent/file"}, "cannot read '/nonexistent/file': No such file or directory"},
      {{"--bogus", "read", "D0", "1"}, "unknown option '--bogus'"},
      {{"-p", "COM17", "read", "D0", "1"}, "bad port 'COM17': COM1 to COM16"},
      {{"--max-frame", "255", "read", "D0", "1"}, "bad frame size '255': 1 to 254 bytes"},
      {{"read", "D0", "1", "--count", "3"}, "option --count does not apply to read"},
      {{"fetch", "D0", "1"}, "unknown command 'fetch': read, write, poll, dump or load"},
  };
  for (const Case &c : cases) {
    VelctlRun run = Run(c.args);
    EXPECT_EQ(run.status, 2) << run;
    EXPECT_EQ(run.err, "velctl: " + c.message + "\n" + kHint);
    EXPECT_EQ(run.out, "");
  }
  EXPECT_TRUE(Sent().empty());
}

// A line on which the controller does not answer.
class VelctlSilent : public VelctlSuite<Family::Fx> {
 protected:
  void SetUp() override {
    line->stop();
  }
  void TearDown() override {
    line->restart();
  }
};

TEST_F(VelctlSilent, TimeOutExitsOneWithTheCodeInWords) {
  auto start = std::chrono::steady_clock::now();
  VelctlRun read = Run({"read", "D100", "3"});
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(read.status, 1) << read;
  EXPECT_EQ(read.err, "velctl: read D100 3: time-out: the controller did not answer within 990 ms (-1)\n");
  EXPECT_EQ(read.out, "");
  EXPECT_GT(seconds, 0.9);
  EXPECT_LT(seconds, 8.0);

  // Polling goes on after a failed sample and reports each with its time;
  // when none succeeded, the exit status is 1.
  VelctlRun poll = Run({"poll", "--interval", "0.1", "--count", "2", "-t", "f32", "D0", "1"});
  EXPECT_EQ(poll.status, 1) << poll;
  const std::string sample =
      "velctl: poll D0 1: [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z: time-out: the "
      "controller did not answer within 990 ms \\(-1\\)\n";
  EXPECT_TRUE(std::regex_match(poll.err, std::regex("(" + sample + "){2}"))) << poll.err;
  EXPECT_EQ(poll.out, "");

  // A port without a device does not open.
  VelctlRun open = Run({"-p", "COM4", "write", "D0", "1"});
  EXPECT_EQ(open.status, 1) << open;
  EXPECT_EQ(open.err,
            "velctl: write D0 1: open COM4: port error: the port does not exist or cannot be opened (-4)\n");
}

// Ctrl-C while a transfer is under way: velctl finishes it, prints the
// sample, and ends with exit status 0.
TEST(VelctlInterrupt, CtrlCEndsPollAfterTheTransfer) {
  TempDir dir;
  velsim::PtyLine line(Family::Fx, dir.Path(), 1);
  line.setPace(true);  // 500 bytes take about a second on the line
  ChildProcess::Setup setup;
  setup.argv = {VELCTL_PATH, "poll", "--format", "json", "--interval", "0", "D0", "250"};
  setup.env = {{"VELDRV_DEVICE_DIR", dir.Path()}};
  setup.ownGroup = true;
  setup.collectErrors = true;
  ChildProcess velctl(setup);
  ASSERT_TRUE(velctl.WaitFor("]}\n", 10s)) << velctl.Errors();
  // The second sample's transfer starts at once.
  std::this_thread::sleep_for(100ms);
  auto interrupted = std::chrono::steady_clock::now();
  kill(-velctl.Pid(), SIGINT);
  EXPECT_EQ(velctl.WaitExit(), 0) << velctl.Errors();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - interrupted).count();
  EXPECT_GT(seconds, 0.3) << "ended before the transfer";
  EXPECT_EQ(std::count(velctl.Output().begin(), velctl.Output().end(), '\n'), 2) << velctl.Output();
  EXPECT_EQ(velctl.Errors(), "");
  line.settle();
  EXPECT_EQ(line.protocolErrors(), 0u);
}

}  // namespace
