// velctl run as a child process against simulated controllers on
// pseudo-terminals in a private folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "sim.h"

struct VelctlRun {
  int status = -1;
  std::string out;  // standard output (on a terminal: everything)
  std::string err;  // standard error, when not on a terminal
};

// Runs velctl with VELDRV_DEVICE_DIR set to dir and waits for its end.
inline VelctlRun Velctl(const std::string &dir, std::vector<std::string> args,
                        ChildProcess::Line line = ChildProcess::Line::kPipes) {
  ChildProcess::Setup setup;
  setup.argv = {VELCTL_PATH};
  setup.argv.insert(setup.argv.end(), args.begin(), args.end());
  setup.env = {{"VELDRV_DEVICE_DIR", dir}, {"VELDRV_FRAME_BYTES", ""}, {"VELDRV_TRACE", ""}};
  setup.line = line;
  setup.collectErrors = line == ChildProcess::Line::kPipes;
  ChildProcess child(setup);
  VelctlRun run;
  run.status = child.WaitExit(20s);
  run.out = child.Output();
  run.err = child.Errors();
  return run;
}

inline std::ostream &operator<<(std::ostream &os, const VelctlRun &run) {
  return os << "exit " << run.status << "\nstdout:\n" << run.out << "stderr:\n" << run.err;
}

// A private folder with one simulated controller linked as COM1, shared by
// the tests of a suite (every velctl run opens the port: half a second).
template <velsim::Family F>
class VelctlSuite : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    dir = std::make_unique<TempDir>();
    line = std::make_unique<velsim::PtyLine>(F, dir->Path(), 1);
  }
  static void TearDownTestSuite() {
    line.reset();
    dir.reset();
  }

 protected:
  void SetUp() override {
    ASSERT_TRUE(line->serving());
    line->clearFaults();
    line->clearTrace();
    line->clearWire();
  }
  static VelctlRun Run(std::vector<std::string> args, ChildProcess::Line how = ChildProcess::Line::kPipes) {
    return Velctl(dir->Path(), std::move(args), how);
  }
  // The bytes velctl sent to the controller since the test began.
  static std::vector<std::uint8_t> Sent() {
    line->settle();
    return line->wireBytes(velsim::WireDir::FromLibrary);
  }

  static inline std::unique_ptr<TempDir> dir;
  static inline std::unique_ptr<velsim::PtyLine> line;
};
