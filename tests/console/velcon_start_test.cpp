// velcon without a controller: help, a port that cannot be opened, and a
// line on which no controller answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "child_process.h"
#include "sim.h"
#include "velcon_texts.h"

namespace {

ChildProcess::Setup Velcon(const TempDir &dir, std::vector<std::string> args, const char *locale = "C") {
  ChildProcess::Setup setup;
  setup.argv = {VELCON_PATH};
  setup.argv.insert(setup.argv.end(), args.begin(), args.end());
  setup.env = {{"VELDRV_DEVICE_DIR", dir.Path()}, {"LC_ALL", locale}};
  return setup;
}

// A pseudo-terminal linked as DIR/COM1 on which nobody answers.
class SilentLine {
 public:
  explicit SilentLine(const TempDir &dir) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(master_, 0);
    grantpt(master_);
    unlockpt(master_);
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::filesystem::create_symlink(ptsname(master_), dir.Path() + "/COM1");
  }
  ~SilentLine() {
    close(slave_);
    close(master_);
  }

 private:
  int master_ = -1;
  int slave_ = -1;
};

TEST(VelconStart, HelpPrintsGermanUsageWithoutOpeningAPort) {
  TempDir dir;
  {
    ChildProcess velcon(Velcon(dir, {"--help"}));
    EXPECT_EQ(velcon.WaitExit(), 0);
    EXPECT_EQ(velcon.Output().rfind("Aufruf: velcon [COM1|COM2] [FX|A]\n", 0), 0u) << velcon.Output();
    EXPECT_NE(velcon.Output().find("Gro\xE1-"), std::string::npos) << "CP850 in the C locale";
  }
  {
    ChildProcess velcon(Velcon(dir, {"FX", "-h"}, "C.UTF-8"));
    EXPECT_EQ(velcon.WaitExit(), 0);
    EXPECT_EQ(velcon.Output().find("Verwende"), std::string::npos) << "help comes before the arguments";
    EXPECT_EQ(velcon.Output().find("Velmora"), std::string::npos);
    EXPECT_NE(velcon.Output().find("Gro\xC3\x9F-"), std::string::npos) << "UTF-8 in a UTF-8 locale";
  }
  // A locale that is not installed still names the terminal's codeset.
  for (const char *locale : {"xx_XX.UTF-8", "xx_XX.utf8"}) {
    ChildProcess velcon(Velcon(dir, {"--help"}, locale));
    EXPECT_EQ(velcon.WaitExit(), 0);
    EXPECT_NE(velcon.Output().find("Gro\xC3\x9F-"), std::string::npos) << locale;
  }
  ChildProcess latin(Velcon(dir, {"--help"}, "xx_XX.ISO-8859-1"));
  EXPECT_EQ(latin.WaitExit(), 0);
  EXPECT_NE(latin.Output().find("Gro\xE1-"), std::string::npos);
  // It says how a device becomes COMn.
  for (const char *setting :
       {"VELDRV_COMn ", "VELDRV_DEVICE_DIR ", "VELDRV_COM1=/dev/ttyUSB0 velcon COM1 FX\n"})
    EXPECT_NE(latin.Output().find(setting), std::string::npos) << setting;
}

// The screen shows the code only; standard error gets one German line with
// the library's reason, which names the device tried.
TEST(VelconStart, FailedOpenShowsCodeAndEndsWithFailure) {
  TempDir dir;  // no COM1 or COM2 in it
  for (const char *locale : {"C", "C.UTF-8"}) {
    const bool utf8 = std::string(locale) != "C";
    ChildProcess::Setup setup = Velcon(dir, {"COM2"}, locale);
    setup.collectErrors = true;
    ChildProcess velcon(setup);
    int status = velcon.WaitExit();
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1) << "velcon did not end";
    EXPECT_EQ(velcon.Output(), texts::Banner(2, utf8) + "Fehler bei 'VelOpen:' -4\n");
    const std::string opened = utf8 ? "ge\xC3\xB6"
                                      "ffnet"
                                    : "ge\x94"
                                      "ffnet";
    const std::string line = velcon.Errors();
    EXPECT_EQ(line.rfind("velcon: COM2 konnte nicht " + opened + " werden (Fehler -4: ", 0), 0u) << line;
    EXPECT_NE(line.find("). Grund: COM2 (" + dir.Path() + "/COM2): "), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
    EXPECT_EQ(line.find("Unerwarteter Fehler"), std::string::npos) << "a German text of its own for -4";
  }
}

// One time-out: the framed error, the wait for one character (the line end of
// the count answers it, so the menu comes exactly once), the earlier error
// shown again for a count of 0, and the end of input at the error's wait.
TEST(VelconStart, SilentControllerShowsTimeoutError) {
  TempDir dir;
  SilentLine line(dir);
  ChildProcess velcon(Velcon(dir, {"FX"}));
  const std::string menu = texts::Menu(false);
  ASSERT_TRUE(velcon.WaitFor(menu)) << velcon.Output();
  velcon.Send("4");
  ASSERT_TRUE(velcon.WaitFor("\nStart ab Wort: "));
  velcon.Send("0\n");
  ASSERT_TRUE(velcon.WaitFor("\nAnzahl der Worte: "));
  velcon.Send("1\n");
  auto asked = std::chrono::steady_clock::now();
  const std::string timeout = texts::Error(-1, "Zeitueberlauf");
  ASSERT_TRUE(velcon.WaitFor(timeout + menu)) << velcon.Output();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
  EXPECT_GT(seconds, 0.9);
  EXPECT_LT(seconds, 8.0);
  EXPECT_TRUE(velcon.StaysQuiet(300ms)) << "the error's wait takes one character only";

  // Count 0 sends nothing and returns the earlier failure at once.
  velcon.Send("1");
  ASSERT_TRUE(velcon.WaitFor("StartNr: "));
  velcon.Send("0\n");
  ASSERT_TRUE(velcon.WaitFor("Anzahl der Bytes\n"));
  auto again = std::chrono::steady_clock::now();
  velcon.Send("0");
  velcon.EndInput();
  EXPECT_EQ(velcon.WaitExit(), 0);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - again).count(), 0.9);
  std::string expected = texts::kFxLine + texts::Banner(1, false) + menu +
                         "Lese DReg \n\nStart ab Wort: " + "\nAnzahl der Worte: " + timeout + menu +
                         "Lese MerkerByte\n StartNr: " + "Anzahl der Bytes\n" + timeout;
  EXPECT_EQ(velcon.Output(), expected);
}

// With its standard output closed, velcon must not print into the line: the
// controller sees the one read and nothing else.
TEST(VelconStart, ClosedStandardOutputNeverReachesTheLine) {
  TempDir dir;
  velsim::PtyLine line(velsim::Family::Fx, dir.Path(), 1);
  ChildProcess::Setup setup = Velcon(dir, {});
  setup.argv = {"/bin/sh", "-c", "exec \"$0\" COM1 FX >&-", VELCON_PATH};
  ChildProcess velcon(setup);
  velcon.Send("4\n10\n1\n\n0\n");
  EXPECT_EQ(velcon.WaitExit(), 0);
  line.settle();
  EXPECT_EQ(line.protocolErrors(), 0u);
  EXPECT_EQ(line.frames(), 1u);
  EXPECT_EQ(velcon.Output(), "");
}

}  // namespace
