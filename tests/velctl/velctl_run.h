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

using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs argv with VELDRV_DEVICE_DIR set to dir (and no other VELDRV_* setting
// but those of env), VELCTL naming velctl, and waits for its end.
inline VelctlRun RunProgram(const std::string &dir, std::vector<std::string> argv,
                            ChildProcess::Line line = ChildProcess::Line::kPipes,
                            const Environment &env = {}) {
  ChildProcess::Setup setup;
  setup.argv = std::move(argv);
  setup.env = {{"VELDRV_DEVICE_DIR", dir}, {"VELCTL", VELCTL_PATH}};
  for (const auto &[name, value] : env) {
    if (name == "VELDRV_DEVICE_DIR")
      setup.env[0].second = value;
    else
      setup.env.emplace_back(name, value);
  }
  setup.line = line;
  setup.collectErrors = line == ChildProcess::Line::kPipes;
  ChildProcess child(setup);
  VelctlRun run;
  run.status = child.WaitExit(20s);
  run.out = child.Output();
  run.err = child.Errors();
  return run;
}

// velctl with these arguments.
inline VelctlRun Velctl(const std::string &dir, std::vector<std::string> args,
                        ChildProcess::Line line = ChildProcess::Line::kPipes, const Environment &env = {}) {
  args.insert(args.begin(), VELCTL_PATH);
  return RunProgram(dir, std::move(args), line, env);
}

// A bash script, with $VELCTL naming velctl.
inline VelctlRun Bash(const std::string &dir, const std::string &script, const Environment &env = {}) {
  return RunProgram(dir, {"/bin/bash", "-c", script}, ChildProcess::Line::kPipes, env);
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
  static VelctlRun Run(std::vector<std::string> args, ChildProcess::Line how = ChildProcess::Line::kPipes,
                       const Environment &env = {}) {
    return Velctl(dir->Path(), std::move(args), how, env);
  }
  static VelctlRun Script(const std::string &script, const Environment &env = {}) {
    return Bash(dir->Path(), script, env);
  }
  // The bytes velctl sent to the controller since the test began.
  static std::vector<std::uint8_t> Sent() {
    line->settle();
    return line->wireBytes(velsim::WireDir::FromLibrary);
  }

  static inline std::unique_ptr<TempDir> dir;
  static inline std::unique_ptr<velsim::PtyLine> line;
};
