// The run-velcon.sh launcher: velcon against velsim in a private folder that
// is gone, with the simulator, when velcon ends or is interrupted.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "child_process.h"
#include "velcon_texts.h"

namespace {

namespace fs = std::filesystem;

ChildProcess::Setup Script(const TempDir &tmp, std::vector<std::string> args) {
  ChildProcess::Setup setup;
  setup.argv = {"/bin/bash", VELCON_SCRIPT};
  setup.argv.insert(setup.argv.end(), args.begin(), args.end());
  setup.env = {{"VELCON_BUILD_DIR", VELCON_BUILD_DIR}, {"TMPDIR", tmp.Path()}, {"LC_ALL", "C"}};
  setup.line = ChildProcess::Line::kTerminal;
  setup.ownGroup = true;
  return setup;
}

// Processes whose command line mentions the folder (the simulator's --dir).
int ProcessesUsing(const std::string &folder) {
  int found = 0;
  for (const fs::directory_entry &entry : fs::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cmdline.find(folder) != std::string::npos) ++found;
  }
  return found;
}

bool Empty(const TempDir &tmp) {
  return fs::is_empty(tmp.Path());
}

TEST(RunVelconScript, HelpExplainsUsage) {
  TempDir tmp;
  ChildProcess script(Script(tmp, {"--help"}));
  EXPECT_EQ(script.WaitExit(), 0);
  EXPECT_NE(script.Output().find("Usage: ./run-velcon.sh [fx|a]"), std::string::npos) << script.Output();
  EXPECT_TRUE(Empty(tmp));
}

TEST(RunVelconScript, RunsVelconAgainstTheSimulatorAndCleansUp) {
  TempDir tmp;
  ChildProcess script(Script(tmp, {"a", "--no-build"}));
  ASSERT_TRUE(script.WaitFor(std::string(texts::kALine) + texts::Banner(1, false) + texts::Menu(false)))
      << script.Output();
  EXPECT_NE(script.Output().find("velsim: A"), std::string::npos) << "the simulator's start line";
  EXPECT_EQ(ProcessesUsing(tmp.Path()), 1) << "velsim serves in the private folder";
  script.Send("4\n0\n1\n");
  ASSERT_TRUE(script.WaitFor("DW   0 = 0000               \n")) << script.Output();
  script.Send("0\n");
  EXPECT_EQ(script.WaitExit(), 0);
  EXPECT_TRUE(Empty(tmp));
  EXPECT_EQ(ProcessesUsing(tmp.Path()), 0);
}

TEST(RunVelconScript, CtrlCStopsSimulatorAndRemovesFolder) {
  TempDir tmp;
  ChildProcess script(Script(tmp, {"--no-build"}));
  ASSERT_TRUE(script.WaitFor(std::string(texts::kFxLine) + texts::Banner(1, false) + texts::Menu(false)))
      << script.Output();
  kill(-script.Pid(), SIGINT);  // what the terminal does on Ctrl-C
  EXPECT_EQ(script.WaitExit(), 130);
  EXPECT_TRUE(Empty(tmp));
  EXPECT_EQ(ProcessesUsing(tmp.Path()), 0);
}

}  // namespace
