// The velsim program: options, start-up line, serving, trace output, clean stop on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "pty_client.h"

extern char **environ;

namespace velsim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ConnectError;
using test::PtyClient;
using test::TcpClient;
using test::TempDir;

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string linkTarget(const std::string &path) {
  char buf[256];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

// velsim as a child process with its stdout and stderr on one pipe (or, with stdoutClosed, its
// stdout closed and only stderr on the pipe).
class Velsim {
 public:
  explicit Velsim(std::vector<std::string> args, bool stdoutClosed = false) {
    args.insert(args.begin(), VELSIM_PATH);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (stdoutClosed) {
      posix_spawn_file_actions_addclose(&fa, 1);
    } else {
      posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    }
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
    closeOutput();
  }
  // Output until a line containing `what` has arrived (or time-out / end of output).
  std::string readUntil(const std::string &what, int timeoutMs = 3000) {
    while (out_ >= 0 && text_.find(what) == std::string::npos) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) break;
      char buf[4096];
      ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) break;
      text_.append(buf, static_cast<std::size_t>(n));
    }
    return text_;
  }
  // The reader goes away, as `velsim --trace | head -c 40` does.
  void closeOutput() {
    if (out_ >= 0) close(out_);
    out_ = -1;
  }
  // Exit status; -1 if velsim had not ended after timeoutMs (it is then killed) or died of a signal.
  int wait(int timeoutMs = 5000) {
    int status = 0;
    for (int waited = 0; waitpid(pid_, &status, WNOHANG) == 0; waited += 5) {
      if (waited >= timeoutMs) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
      usleep(5000);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool running() const {
    return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
  }
  void signal(int sig) {
    kill(pid_, sig);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string text_;
};

// Runs velsim with args and expects it to end with status 2 and a message that starts with "velsim: "
// and contains `says`.
void ExpectRefused(const std::vector<std::string> &args, const std::string &says = "") {
  std::string joined;
  for (const auto &a : args) joined += a + " ";
  SCOPED_TRACE(joined);
  Velsim v(args);
  std::string out = v.readUntil("\x01");
  EXPECT_EQ(v.wait(), 2);
  EXPECT_EQ(out.rfind("velsim: ", 0), 0u) << out;
  EXPECT_NE(out.find(says), std::string::npos) << out;
}

TEST(VelsimCli, HelpNamesEveryOptionAndVersion) {
  Velsim v({"--help"});
  std::string out = v.readUntil("\x01");
  EXPECT_EQ(v.wait(), 0);
  for (const char *opt : {"--family",       "--dir",
                          "--com",          "--replace",
                          "--device",       "--listen",
                          "--trace",        "--pace",
                          "--fault",        "--max-frame",
                          "--session-byte", "--memory",
                          "--version",      "no\n",
                          "authentication", "truncate:I",
                          "--model",        "fx0n, fx1s, fx1n, fx2n, fx3u",
                          "replace:I=V",    "handshake-truncate:I",
                          "nak-to-enq"}) {
    EXPECT_NE(out.find(opt), std::string::npos) << opt;
  }
  Velsim version({"--version"});
  out = version.readUntil("\n");
  EXPECT_EQ(version.wait(), 0);
  EXPECT_EQ(out.rfind("velsim ", 0), 0u) << out;
  EXPECT_TRUE(out.size() > 7 && std::isdigit(static_cast<unsigned char>(out[7]))) << out;
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
      {"--family", "fx", "--dir", "/tmp", "--com", "1", "--listen", "127.0.0.1:0"},
      {"--family", "fx", "--device", "/dev/null", "--listen", "127.0.0.1:0"},
      {"--family", "fx", "--listen", "127.0.0.1:65536"},
      {"--family", "fx", "--listen", "[::1"},
      {"--family", "fx", "--listen", "::1:5000"},
      {"--family", "fx", "--listen", "127.0.0.1:0", "--replace"},
      {"--family", "fx", "--dir", "/tmp", "--com", "1", "--fault", "loud"},
      {"--family", "fx", "--dir", "/tmp", "--com", "1", "--fault", "wrong-length"},
      {"--family", "fx", "--dir", "/tmp", "--com", "1", "--max-frame", "0"},
      {"--family", "fx", "--dir", "/tmp", "--com", "1", "--max-frame", "255"},
      {"--family", "a", "--dir", "/tmp", "--com", "1", "--session-byte", "0x100"},
      {"--family", "fx", "--dir", "/tmp", "--com", "1", "--session-byte", "1"},
      {"--family", "fx", "--dir", "/tmp", "--com", "1", "--memory", "/nonexistent/image"},
      {"--family", "fx", "--dir", "/tmp", "--com"},
      {"--model", "fx9", "--dir", "/tmp", "--com", "1"},
      {"--model", "fx2n", "--family", "a", "--dir", "/tmp", "--com", "1"},
  };
  for (const auto &args : cases) ExpectRefused(args);
}

// Only a regular file of at most 65536 bytes is read; nothing else is opened for long or read whole.
TEST(VelsimCli, MemoryMustBeASmallRegularFile) {
  TempDir dir;
  const std::string fifo = dir.path() + "/fifo", big = dir.path() + "/big", huge = dir.path() + "/huge";
  const std::string exact = dir.path() + "/exact";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const auto &[file, size] : {std::pair{big, 65537LL}, {huge, 3LL << 30}, {exact, 65536LL}}) {
    int fd = creat(file.c_str(), 0600);  // sparse: no disk space taken
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
  }
  for (const auto &[file, says] :
       std::vector<std::pair<std::string, std::string>>{{dir.path(), "is a directory"},
                                                        {fifo, "is no regular file"},
                                                        {"/dev/zero", "is no regular file"},
                                                        {big, "65537 bytes"},
                                                        {huge, "3221225472 bytes"},
                                                        {dir.path() + "/missing", "No such file"}}) {
    ExpectRefused({"--family", "fx", "--dir", dir.path(), "--com", "1", "--memory", file}, says);
  }
  EXPECT_FALSE(exists(dir.path() + "/COM1"));
  Velsim v({"--family", "fx", "--dir", dir.path(), "--com", "1", "--memory", exact});
  EXPECT_NE(v.readUntil("/dev/pts/").find("velsim: FX controller on"), std::string::npos);
  v.signal(SIGTERM);
  EXPECT_EQ(v.wait(), 0);
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
  EXPECT_FALSE(exists(link));
}

// Each of these signals ends velsim with its link removed.
TEST(VelsimCli, StopSignalsRemoveTheLink) {
  TempDir dir;
  const std::string link = dir.path() + "/COM1";
  for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) {
    SCOPED_TRACE(strsignal(sig));
    Velsim v({"--family", "fx", "--dir", dir.path(), "--com", "1"});
    ASSERT_NE(v.readUntil("/dev/pts/").find("velsim: "), std::string::npos);
    ASSERT_TRUE(exists(link));
    v.signal(sig);
    EXPECT_EQ(v.wait(), 0);
    EXPECT_FALSE(exists(link));
  }
}

// velsim --trace >&-: the trace must not become the line.
TEST(VelsimCli, TraceWithStdoutClosedStaysOffTheLine) {
  TempDir dir;
  const std::string link = dir.path() + "/COM1";
  Velsim v({"--family", "fx", "--dir", dir.path(), "--com", "1", "--trace"}, true);
  for (int i = 0; i < 300 && !exists(link); ++i) usleep(10000);
  ASSERT_TRUE(exists(link));
  usleep(50000);  // the start line is written just after the link appears
  PtyClient plc(link);
  EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
  EXPECT_EQ(plc.exchange({0x02, '0', '1', '0', '0', '0', '0', '2', 0x03, '5', '6'}, 8),
            (Bytes{0x02, '0', '0', '0', '0', 0x03, 'C', '3'}));
  EXPECT_EQ(plc.drain(std::chrono::milliseconds(200)), Bytes{});
  v.signal(SIGTERM);
  EXPECT_EQ(v.wait(), 0);
}

// velsim --trace | head -c 40: the trace stops, the controller goes on.
TEST(VelsimCli, BrokenTraceOutputStopsOnlyTheTrace) {
  TempDir dir;
  const std::string link = dir.path() + "/COM1";
  Velsim v({"--family", "fx", "--dir", dir.path(), "--com", "1", "--trace"});
  ASSERT_NE(v.readUntil("/dev/pts/").find("velsim: "), std::string::npos);
  v.closeOutput();
  {
    PtyClient plc(link);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
      EXPECT_EQ(plc.exchange({0x02, '0', '1', '0', '0', '0', '0', '2', 0x03, '5', '6'}, 8).size(), 8u);
    }
  }
  EXPECT_TRUE(v.running());
  EXPECT_TRUE(exists(link));
  v.signal(SIGTERM);
  EXPECT_EQ(v.wait(), 0);
  EXPECT_FALSE(exists(link));
}

// An existing DIR/COMn (a user's link to an adapter, another velsim's link) is left alone unless
// --replace is given, and velsim removes only its own link.
TEST(VelsimCli, ExistingLinkIsLeftAloneUnlessReplaced) {
  TempDir dir;
  const std::string com1 = dir.path() + "/COM1", com2 = dir.path() + "/COM2";
  ASSERT_EQ(symlink("/dev/null", com1.c_str()), 0);
  ExpectRefused({"--family", "fx", "--dir", dir.path(), "--com", "1"}, "--replace");
  EXPECT_EQ(linkTarget(com1), "/dev/null");

  Velsim first({"--family", "fx", "--dir", dir.path(), "--com", "2"});
  ASSERT_NE(first.readUntil("/dev/pts/").find("velsim: "), std::string::npos);
  const std::string firstTarget = linkTarget(com2);
  ExpectRefused({"--family", "a", "--dir", dir.path(), "--com", "2"}, com2);
  EXPECT_EQ(linkTarget(com2), firstTarget);

  Velsim second({"--family", "a", "--dir", dir.path(), "--com", "2", "--replace"});
  ASSERT_NE(second.readUntil("/dev/pts/").find("velsim: "), std::string::npos);
  const std::string secondTarget = linkTarget(com2);
  EXPECT_NE(secondTarget, firstTarget);
  first.signal(SIGTERM);
  EXPECT_EQ(first.wait(), 0);
  EXPECT_EQ(linkTarget(com2), secondTarget);  // not the first one's to remove
  second.signal(SIGTERM);
  EXPECT_EQ(second.wait(), 0);
  EXPECT_FALSE(exists(com2));
}

bool Exclusive(int fd) {
  int on = 0;
  return ioctl(fd, TIOCGEXCL, &on) == 0 && on;
}

// A client killed with SIGKILL cannot clear the terminal's exclusive flag; velsim must, or every later
// client that is not root is locked out. A live client's flag stays. (The test runs as root, which
// the flag does not stop, so it looks at the flag itself.)
TEST(VelsimCli, KilledClientDoesNotLockThePort) {
  TempDir dir;
  const std::string link = dir.path() + "/COM1";
  Velsim v({"--family", "fx", "--dir", dir.path(), "--com", "1"});
  ASSERT_NE(v.readUntil("/dev/pts/").find("velsim: "), std::string::npos);
  const int probe = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  int ready[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  const char *path = link.c_str();
  pid_t client = fork();
  ASSERT_GE(client, 0);
  if (client == 0) {
    // What the library does on open: the lock, then the flag.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    char ok = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && ioctl(fd, TIOCEXCL) == 0 ? '1' : '0';
    [[maybe_unused]] ssize_t w = write(ready[1], &ok, 1);
    for (;;) pause();
  }
  close(ready[1]);
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  close(ready[0]);
  EXPECT_EQ(ok, '1');
  usleep(300000);  // longer than velsim's periodic look
  EXPECT_TRUE(Exclusive(probe));
  kill(client, SIGKILL);
  waitpid(client, nullptr, 0);
  const auto t0 = std::chrono::steady_clock::now();
  while (Exclusive(probe) && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(2)) usleep(1000);
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_FALSE(Exclusive(probe));
  EXPECT_LT(took, std::chrono::milliseconds(500));
  close(probe);
  v.signal(SIGTERM);
  EXPECT_EQ(v.wait(), 0);
}

// --listen: the controller over raw TCP, one client at a time, memory kept between clients.
TEST(VelsimCli, ListenServesOverTcp) {
  Velsim v({"--family", "a", "--listen", ":0", "--session-byte", "0x42", "--max-frame", "64", "--trace"});
  const std::string prefix = "velsim: A-series controller on tcp://127.0.0.1:";
  std::string out = v.readUntil("\n");
  ASSERT_EQ(out.rfind(prefix, 0), 0u) << out;
  const int port = std::stoi(out.substr(prefix.size()));
  const Bytes write2{0x42, 0x09, 0x00, 0xFF, 0x04, 0x00, 0x88, 0x00, 0x02, 0x34, 0x12, 0xDC};
  const Bytes read2{0x42, 0x07, 0x00, 0xFF, 0x02, 0x00, 0x88, 0x00, 0x02, 0x92};
  const Bytes read65{0x42, 0x07, 0x00, 0xFF, 0x02, 0x00, 0x88, 0x00, 65, 0x90 + 65};
  {
    TcpClient plc("127.0.0.1", port);
    EXPECT_EQ(plc.exchange({0xAA, 0xB0}, 2), (Bytes{0x5A, 0x42}));
    EXPECT_EQ(plc.exchange(write2, 5), (Bytes{0x03, 0x00, 0xFF, 0x04, 0x06}));
    plc.send(read65);
    EXPECT_EQ(plc.drain(std::chrono::milliseconds(100)), Bytes{});
  }
  TcpClient plc("127.0.0.1", port);
  EXPECT_EQ(plc.exchange({0xAA, 0xB0}, 2), (Bytes{0x5A, 0x42}));
  EXPECT_EQ(plc.exchange(read2, 7), (Bytes{0x05, 0x00, 0xFF, 0x02, 0x34, 0x12, 0x4C}));
  out = v.readUntil("A  read  0x8800 n=2 -> 34 12");
  EXPECT_NE(out.find("A  error: count 65 above the frame limit of 64 -> none\n"), std::string::npos) << out;
  EXPECT_NE(out.find("velsim: connected 127.0.0.1:"), std::string::npos) << out;
  EXPECT_NE(out.find("velsim: disconnected 127.0.0.1:"), std::string::npos) << out;
  v.signal(SIGTERM);
  EXPECT_EQ(v.wait(), 0);
  EXPECT_EQ(ConnectError("127.0.0.1", port), ECONNREFUSED);
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
