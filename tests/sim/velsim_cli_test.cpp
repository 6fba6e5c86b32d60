// The velsim program: options, start-up line, serving, trace output, clean stop on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "pty_client.h"

extern char **environ;

namespace velsim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::PtyClient;
using test::TempDir;

// velsim as a child process with its stdout and stderr on one pipe.
class Velsim {
 public:
  explicit Velsim(std::vector<std::string> args) {
    args.insert(args.begin(), VELSIM_PATH);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
    EXPECT_EQ(posix_spawn(&pid_, VELSIM_PATH, &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    out_ = fds[0];
  }
  ~Velsim() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
  }
  // Output until a line containing `what` has arrived (or time-out / end of output).
  std::string readUntil(const std::string &what, int timeoutMs = 3000) {
    while (text_.find(what) == std::string::npos) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) break;
      char buf[4096];
      ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) break;
      text_.append(buf, static_cast<std::size_t>(n));
    }
    return text_;
  }
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void signal(int sig) {
    kill(pid_, sig);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string text_;
};

TEST(VelsimCli, HelpNamesEveryOption) {
  Velsim v({"--help"});
  std::string out = v.readUntil("\x01");
  EXPECT_EQ(v.wait(), 0);
  for (const char *opt :
       {"--family", "--dir", "--com", "--device", "--trace", "--pace", "--fault", "--session-byte",
        "--memory", "truncate:I", "replace:I=V", "handshake-truncate:I", "nak-to-enq"}) {
    EXPECT_NE(out.find(opt), std::string::npos) << opt;
  }
}

TEST(VelsimCli, BadOptionsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--bogus"},
      {"--family", "q", "--dir", "/tmp", "--com", "1"},
      {"--family", "fx"},
      {"--family", "fx", "--dir", "/tmp"},
      {"--family", "fx", "--dir", "/tmp", "--com", "0"},
      {"--family", "fx", "--dir", "/tmp", "--com", "1", "--device", "/dev/null"},
      {"--family", "fx", "--dir", "/tmp", "--com", "1", "--fault", "loud"},
      {"--family", "fx", "--dir", "/tmp", "--com", "1", "--fault", "wrong-length"},
      {"--family", "a", "--dir", "/tmp", "--com", "1", "--session-byte", "0x100"},
      {"--family", "fx", "--dir", "/tmp", "--com", "1", "--session-byte", "1"},
      {"--family", "fx", "--dir", "/tmp", "--com", "1", "--memory", "/nonexistent/image"},
      {"--family", "fx", "--dir", "/tmp", "--com"},
  };
  for (const auto &args : cases) {
    std::string joined;
    for (const auto &a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    Velsim v(args);
    std::string out = v.readUntil("\x01");
    EXPECT_EQ(v.wait(), 2);
    EXPECT_EQ(out.rfind("velsim: ", 0), 0u) << out;
  }
}

TEST(VelsimCli, ServesTracesAndRemovesItsLinkOnSigterm) {
  TempDir dir;
  const std::string image = dir.path() + "/image.bin";
  {
    std::ofstream f(image, std::ios::binary);
    std::string bytes(0x8802, '\0');
    bytes[0x8800] = 0x34;
    bytes[0x8801] = 0x12;
    f << bytes;
  }
  Velsim v({"--family", "a", "--dir", dir.path(), "--com", "3", "--trace", "--memory", image,
            "--session-byte", "0x42", "--fault", "wrong-checksum@2"});
  const std::string link = dir.path() + "/COM3";
  std::string out = v.readUntil("/dev/pts/");
  EXPECT_NE(out.find("velsim: A-series controller on " + link + " (/dev/pts/"), std::string::npos) << out;
  {
    PtyClient plc(link);
    EXPECT_EQ(plc.exchange({0xAA, 0xB0}, 2), (Bytes{0x5A, 0x42}));
    EXPECT_EQ(plc.exchange({0x42, 0x07, 0x00, 0xFF, 0x02, 0x00, 0x88, 0x00, 0x02, 0x92}, 7),
              (Bytes{0x05, 0x00, 0xFF, 0x02, 0x34, 0x12, 0x4C}));
    EXPECT_EQ(plc.exchange({0x42, 0x07, 0x00, 0xFF, 0x02, 0x00, 0x88, 0x00, 0x02, 0x92}, 7).back(), 0x4D);
  }
  out = v.readUntil("[fault wrong-checksum]");
  EXPECT_NE(out.find("A  handshake -> 5A 42\n"), std::string::npos) << out;
  EXPECT_NE(out.find("A  read  0x8800 n=2 -> 34 12\n"), std::string::npos) << out;
  EXPECT_NE(out.find("A  read  0x8800 n=2 -> 34 12  [fault wrong-checksum]\n"), std::string::npos) << out;
  v.signal(SIGTERM);
  EXPECT_EQ(v.wait(), 0);
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST(VelsimCli, ServesAnExistingDevice) {
  // The slave of a pseudo-terminal stands in for a serial device; the test holds the master.
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string slave = ptsname(master);
  Velsim v({"--family", "fx", "--device", slave});
  std::string out = v.readUntil(slave);
  EXPECT_NE(out.find("velsim: FX controller on " + slave), std::string::npos) << out;
  ASSERT_EQ(write(master, "\x05", 1), 1);
  pollfd p{master, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  std::uint8_t b = 0;
  EXPECT_EQ(read(master, &b, 1), 1);
  EXPECT_EQ(b, 0x06);
  v.signal(SIGINT);
  EXPECT_EQ(v.wait(), 0);
  close(master);
}

}  // namespace
}  // namespace velsim
