// rfc2217:// ports against ser2net, the device server Debian packages:
// ser2net runs as a process of the test with a private configuration, its
// RFC 2217 port on a free loopback port, its serial side the
// pseudo-terminal of a simulated controller. Skipped without ser2net
// (apt-get install ser2net).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e_fixture.h"

using namespace e2e;
using namespace std::chrono_literals;
using velsim::Family;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSimCom = 5;  // the controller's pseudo-terminal: DIR/COM5, ser2net's connector
constexpr int kPort = 5;    // the library's COM6 names ser2net's port
constexpr const char *kVariable = "VELDRV_COM6";

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string Ser2netProgram() {
  for (const char *path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
    if (access(path, X_OK) == 0) return path;
  return "";
}

// A loopback port nobody listens on now.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// Whether 127.0.0.1:port is listening, from /proc/net/tcp (a test
// connection would make ser2net open the serial side).
bool Listening(int port) {
  std::ifstream in("/proc/net/tcp");
  char want[32];
  std::snprintf(want, sizeof want, "0100007F:%04X", port);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == want && state == "0A") return true;
  }
  return false;
}

// ser2net serving the device on a free loopback port with the given line
// (9600e71) until destroyed or killed.
class Ser2net {
 public:
  Ser2net(const std::string &device, const std::string &line) {
    static int made = 0;
    config_ = DeviceDir() + "/ser2net-" + std::to_string(++made) + ".yaml";
    log_ = config_ + ".log";
    for (int attempt = 0; attempt < 3 && pid_ < 0; attempt++) {
      port_ = FreePort();
      std::ofstream(config_) << "%YAML 1.1\n---\n"
                             << "connection: &plc\n"
                             << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port_ << "\n"
                             << "  connector: serialdev," << device << "," << line << ",local\n";
      Start();
    }
  }
  ~Ser2net() {
    Kill(SIGTERM);
  }
  bool running() const {
    return pid_ > 0;
  }
  std::string address() const {
    return "rfc2217://127.0.0.1:" + std::to_string(port_);
  }
  // Another client's connection to the port; -1 when it cannot connect.
  int ConnectOther() const {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port_));
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
  }
  std::string log() const {
    std::ifstream in(log_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The server goes away (SIGKILL: at once, without a word).
  void Kill(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // The same configuration again, on the same port.
  void Start() {
    const std::string program = Ser2netProgram();
    const int log = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const pid_t child = fork();
    if (child == 0) {
      dup2(log, 1);
      dup2(log, 2);
      // -n: in the foreground, -d: its log on standard output, -u: no UUCP
      // lock files in the system's lock folder.
      execl(program.c_str(), "ser2net", "-n", "-d", "-u", "-c", config_.c_str(),
            static_cast<char *>(nullptr));
      _exit(127);
    }
    close(log);
    pid_ = child;
    const auto until = Clock::now() + 5s;
    while (Clock::now() < until) {
      if (Listening(port_)) return;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;  // the port was taken meanwhile
      std::this_thread::sleep_for(20ms);
    }
    Kill(SIGKILL);
  }

 private:
  std::string config_, log_;
  int port_ = 0;
  pid_t pid_ = -1;
};

class Ser2netLink : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    if (Ser2netProgram().empty()) GTEST_SKIP() << "ser2net is missing (apt-get install ser2net)";
    line = std::make_unique<velsim::PtyLine>(GetParam(), DeviceDir(), kSimCom);
    server = std::make_unique<Ser2net>(line->path(), fx() ? "9600e71" : "9600o81");
    ASSERT_TRUE(server->running()) << server->log();
    setenv(kVariable, server->address().c_str(), 1);
    handle = VelOpen(kPort, fx());
    ASSERT_GE(handle, 0) << Reason(-1) << "\n" << server->log();
  }
  void TearDown() override {
    if (handle >= 0) {
      EXPECT_EQ(VelClose(handle), VEL_OK);
    }
    server.reset();
    line.reset();
    unsetenv(kVariable);
  }
  bool fx() const {
    return GetParam() == Family::Fx;
  }
  static std::string Reason(int h) {
    char why[256] = "";
    VelReason(h, why, sizeof why);
    return why;
  }
  std::unique_ptr<velsim::PtyLine> line;
  std::unique_ptr<Ser2net> server;
  int handle = -1;
};

// Frames of 254, 254 and 92 bytes both ways; every byte value, and a long
// run of 0xFF (doubled on the network, single on the line).
TEST_P(Ser2netLink, ReadsAndWritesAcrossFramesWithEveryByteValue) {
  Bytes data(600);
  for (size_t i = 0; i < 256; i++) data[i] = static_cast<uint8_t>(i);
  std::fill(data.begin() + 256, data.begin() + 400, 0xFF);
  for (size_t i = 400; i < 600; i++) data[i] = static_cast<uint8_t>(0xFF - i % 3);
  Bytes back(600);
  ASSERT_EQ(VelWrB(handle, 'D', 0, 600, data.data()), VEL_OK) << Reason(handle);
  ASSERT_EQ(VelRdW(handle, 'D', 0, 300, back.data()), VEL_OK) << Reason(handle);
  EXPECT_EQ(back, data);
  line->settle();
  EXPECT_EQ(line->read(fx() ? 0x1000 : 0x8800, 600), data);
  std::vector<size_t> frames;
  for (const velsim::TraceEntry &e : line->trace())
    if (e.kind == velsim::TraceKind::Read || e.kind == velsim::TraceKind::Write) frames.push_back(e.count);
  EXPECT_EQ(frames, (std::vector<size_t>{254, 254, 92, 254, 254, 92}));
  EXPECT_EQ(line->protocolErrors(), 0u);
  // What reached the line is the frames' bytes alone: no telnet command and
  // no doubled 0xFF; every A-series frame carries 0xFF as its marker.
  const Bytes sent = line->wireBytes(velsim::WireDir::FromLibrary);
  if (!fx()) {
    ASSERT_GE(sent.size(), 6u);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 6), (Bytes{0xAA, 0xB0, 0x31, 0x05, 0x01, 0xFF}));
  } else {
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 0xFF), 0);
  }
}

TEST_P(Ser2netLink, SilentControllerTimesOut) {
  Bytes buf(4);
  line->setFault(velsim::Fault{velsim::FaultKind::Silent}, velsim::FaultWhen::Once);
  const auto t0 = Clock::now();
  EXPECT_EQ(VelRdB(handle, 'D', 0, 4, buf.data()), VEL_TIMEOUT);
  EXPECT_GT(SecondsSince(t0), 0.95);
  EXPECT_LT(SecondsSince(t0), 3.0);
  EXPECT_EQ(Reason(handle),
            "COM6 (" + server->address() + "): time-out while waiting for byte 1 of the answer");
  EXPECT_EQ(VelRdB(handle, 'D', 0, 4, buf.data()), VEL_OK) << Reason(handle);
}

// ser2net takes the next connection as soon as it has seen the end of the
// last: an open right after a close (velctl probe, a change of family) is
// served, not refused as "port already in use". While it serves another
// client, the open fails and the reason quotes what ser2net said.
TEST_P(Ser2netLink, OpensRightAfterACloseAreServed) {
  Bytes buf(4);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(VelClose(handle), VEL_OK);
    handle = VelOpen(kPort, fx());
    ASSERT_GE(handle, 0) << Reason(-1);
    EXPECT_EQ(VelRdB(handle, 'D', 0, 4, buf.data()), VEL_OK) << Reason(handle);
  }
  EXPECT_EQ(VelClose(handle), VEL_OK);
  handle = -1;
  const int other = server->ConnectOther();
  ASSERT_GE(other, 0);
  std::this_thread::sleep_for(100ms);  // ser2net has taken it
  EXPECT_EQ(VelOpen(kPort, fx()), VEL_PORT);
  const std::string why = Reason(-1);
  EXPECT_EQ(why.rfind("COM6 (" + server->address() + "): the device server closed the connection: ", 0), 0u)
      << why;
  EXPECT_NE(why.find("it said \"Port already in use\""), std::string::npos) << why;
  close(other);
}

// ser2net killed in the middle of a long transfer: -1 at once, the port
// dead until closed; with ser2net back, the port opens again.
TEST_P(Ser2netLink, Ser2netGoingAwayMidTransfer) {
  line->setPace(true);
  Bytes buf(3000);
  Clock::time_point killedAt;
  std::thread killer([&] {
    std::this_thread::sleep_for(500ms);
    killedAt = Clock::now();
    server->Kill(SIGKILL);
  });
  EXPECT_EQ(VelRdB(handle, 'S', 0x2000, 3000, buf.data()), VEL_TIMEOUT);
  killer.join();
  EXPECT_LT(SecondsSince(killedAt), 1.1);
  const std::string why = Reason(handle);
  EXPECT_EQ(why.rfind("COM6 (" + server->address() + "): device lost: the server ", 0), 0u) << why;
  EXPECT_EQ(VelRdB(handle, 'S', 0x2000, 2, buf.data()), VEL_TIMEOUT);
  line->setPace(false);
  server->Start();
  ASSERT_TRUE(server->running()) << server->log();
  EXPECT_EQ(VelClose(handle), VEL_OK);
  handle = VelOpen(kPort, fx());
  ASSERT_GE(handle, 0) << Reason(-1);
  EXPECT_EQ(VelRdB(handle, 'S', 0x2000, 600, buf.data()), VEL_OK) << Reason(handle);
}

INSTANTIATE_TEST_SUITE_P(Family, Ser2netLink, ::testing::Values(Family::Fx, Family::A),
                         [](const auto &info) { return info.param == Family::Fx ? "FX" : "A"; });

}  // namespace
