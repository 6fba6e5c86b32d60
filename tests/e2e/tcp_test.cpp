// Ports over TCP: VELDRV_COM<n>=tcp://HOST:PORT against the simulator behind
// a loopback TCP port, as a serial device server presents a line.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "e2e_fixture.h"

using namespace e2e;
using namespace std::chrono_literals;
using velsim::Family;
using Clock = std::chrono::steady_clock;

namespace {

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

class TcpLink : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    DeviceDir();
    line = std::make_unique<velsim::TcpLine>(GetParam());
    setenv(kVariable, line->address().c_str(), 1);
    handle = VelOpen(kPort, fx());
    ASSERT_GE(handle, 0);
  }
  void TearDown() override {
    if (handle >= 0) {
      EXPECT_EQ(VelClose(handle), VEL_OK);
    }
    line.reset();
    unsetenv(kVariable);
  }
  bool fx() const {
    return GetParam() == Family::Fx;
  }
  static constexpr int kPort = 12;  // COM13
  static constexpr const char *kVariable = "VELDRV_COM13";
  std::unique_ptr<velsim::TcpLine> line;
  int handle = -1;
};

TEST_P(TcpLink, ReadsAndWritesAcrossSeveralFrames) {
  Bytes data = Pattern(600, 21), back(600);
  ASSERT_EQ(VelWrB(handle, 'D', 0, 600, data.data()), VEL_OK);
  ASSERT_EQ(VelRdW(handle, 'D', 0, 300, back.data()), VEL_OK);
  EXPECT_EQ(back, data);
  line->settle();
  EXPECT_EQ(line->read(fx() ? 0x1000 : 0x8800, 600), data);
  std::vector<size_t> frames;
  for (const velsim::TraceEntry &e : line->trace())
    if (e.kind == velsim::TraceKind::Read || e.kind == velsim::TraceKind::Write) frames.push_back(e.count);
  EXPECT_EQ(frames, (std::vector<size_t>{254, 254, 92, 254, 254, 92}));
  EXPECT_EQ(line->protocolErrors(), 0u);
}

// A silent controller, a wrong checksum and a refusal (FX: NAK to ENQ; A:
// 0x15 for a write), each with its reason; the next transfer succeeds and
// leaves no reason.
TEST_P(TcpLink, SilenceChecksumAndNakHaveTheirReasons) {
  Bytes buf(4);
  line->setFault(velsim::Fault{velsim::FaultKind::Silent}, velsim::FaultWhen::Once);
  auto t0 = Clock::now();
  EXPECT_EQ(VelRdB(handle, 'D', 0, 4, buf.data()), VEL_TIMEOUT);
  EXPECT_GT(SecondsSince(t0), 0.95);  // the byte time-out of 990 ms, as on a serial line
  EXPECT_LT(SecondsSince(t0), 3.0);
  char why[256];
  const std::string com13 = "COM13 (" + line->address() + "): ";
  EXPECT_EQ(VelReason(handle, why, sizeof why), VEL_TIMEOUT);
  EXPECT_EQ(std::string(why), com13 + "time-out while waiting for byte 1 of the answer");

  line->write(fx() ? 0x1000 : 0x8800, {0x01, 0x02, 0x03, 0x04});
  line->setFault(velsim::Fault{velsim::FaultKind::WrongChecksum}, velsim::FaultWhen::Once);
  EXPECT_EQ(VelRdB(handle, 'D', 0, 4, buf.data()), fx() ? VEL_CHECKSUM : VEL_WRONG_CHAR);
  EXPECT_EQ(VelReason(handle, why, sizeof why), fx() ? VEL_CHECKSUM : VEL_WRONG_CHAR);
  // The sums: FX of the hex pairs "01020304" and ETX, 0x8D; A-series of the
  // length 7, the marker 0xFF, the command 0x02 and the data, 0x12. The
  // simulator sends them plus one.
  EXPECT_EQ(std::string(why), com13 + (fx() ? "checksum 0x8E where 0x8D was expected"
                                            : "wrong checksum 0x13 where 0x12 was expected"));

  line->setFault(velsim::Fault{fx() ? velsim::FaultKind::NakToEnq : velsim::FaultKind::WriteNak},
                 velsim::FaultWhen::Once);
  EXPECT_EQ(VelWrB(handle, 'D', 0, 4, buf.data()), VEL_WRONG_CHAR);
  EXPECT_EQ(VelReason(handle, why, sizeof why), VEL_WRONG_CHAR);
  EXPECT_EQ(std::string(why), com13 + (fx() ? "wrong character 0x15 (NAK) where 0x06 (ACK) was expected"
                                            : "wrong character 0x15 where 0x03 was expected"));

  EXPECT_EQ(VelRdB(handle, 'D', 0, 4, buf.data()), VEL_OK);
  EXPECT_EQ(VelReason(handle, why, sizeof why), VEL_OK);
  EXPECT_STREQ(why, "");
}

// The server goes away in the middle of a long transfer: -1 at once; once it
// is back, closing and opening again work.
TEST_P(TcpLink, ServerGoingAwayIsADeviceLoss) {
  line->setPace(true);
  Bytes buf(3000);
  Clock::time_point hungAt;
  std::thread cutter([&] {
    std::this_thread::sleep_for(500ms);
    hungAt = Clock::now();
    line->hangup();
  });
  EXPECT_EQ(VelRdB(handle, 'S', 0x2000, 3000, buf.data()), VEL_TIMEOUT);
  cutter.join();
  EXPECT_LT(SecondsSince(hungAt), 1.1);
  char why[256];
  EXPECT_EQ(VelReason(handle, why, sizeof why), VEL_TIMEOUT);
  EXPECT_EQ(std::string(why),
            "COM13 (" + line->address() + "): device lost: the server closed the connection");
  EXPECT_EQ(VelRdB(handle, 'S', 0x2000, 2, buf.data()), VEL_TIMEOUT);  // dead until closed
  line->setPace(false);
  line->reopen();
  EXPECT_EQ(VelClose(handle), VEL_OK);
  handle = VelOpen(kPort, fx());
  ASSERT_GE(handle, 0);
  EXPECT_EQ(VelRdB(handle, 'S', 0x2000, 600, buf.data()), VEL_OK);
}

INSTANTIATE_TEST_SUITE_P(Family, TcpLink, ::testing::Values(Family::Fx, Family::A),
                         [](const auto &info) { return info.param == Family::Fx ? "FX" : "A"; });

// A listening socket on a free loopback port; its backlog filled by `fill`
// connections that are never accepted, so a further connect never completes.
class Listener {
 public:
  explicit Listener(int fill) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(fd_, fill ? 0 : 4);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    for (int i = 0; i < fill; i++) {
      int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
      clients_.push_back(c);
    }
    std::this_thread::sleep_for(50ms);  // let the handshakes of the fillers finish
  }
  ~Listener() {
    for (int c : clients_) close(c);
    if (fd_ >= 0) close(fd_);
  }
  // Stops listening: a connect is then refused.
  void Close() {
    close(fd_);
    fd_ = -1;
  }
  std::string Address() const {
    return "tcp://127.0.0.1:" + std::to_string(port_);
  }
  int Fd() const {
    return fd_;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> clients_;
};

// A server that, once a client connects, sends 'x' without pause until it
// is destroyed.
class Flood {
 public:
  Flood() : listener_(0) {
    thread_ = std::thread([this] {
      int client = -1;
      pollfd p = {listener_.Fd(), POLLIN, 0};
      while (!stop_ && client < 0)
        if (poll(&p, 1, 20) > 0) client = accept(listener_.Fd(), nullptr, nullptr);
      char chunk[4096];
      std::fill(std::begin(chunk), std::end(chunk), 'x');
      while (!stop_ && client >= 0) {
        pollfd w = {client, POLLOUT, 0};
        if (poll(&w, 1, 20) > 0 && send(client, chunk, sizeof chunk, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
            errno != EAGAIN)
          break;
      }
      if (client >= 0) close(client);
    });
  }
  ~Flood() {
    stop_ = true;
    thread_.join();
  }
  std::string Address() const {
    return listener_.Address();
  }

 private:
  Listener listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The calling thread's reason of its last failed open.
std::string OpenReason() {
  char why[256] = "";
  EXPECT_EQ(VelReason(-1, why, sizeof why), VEL_PORT);
  return why;
}

TEST(TcpOpen, ARefusedOrUnansweredServerFailsTheOpenWithinThreeSeconds) {
  const std::string trace = DeviceDir() + "/tcp-open.trace";
  setenv("VELDRV_TRACE", trace.c_str(), 1);

  Listener refused(0);
  refused.Close();
  setenv("VELDRV_COM14", refused.Address().c_str(), 1);
  auto t0 = Clock::now();
  EXPECT_EQ(VelOpen(13, 1), VEL_PORT);
  EXPECT_LT(SecondsSince(t0), 1.0);
  EXPECT_EQ(OpenReason(), "COM14 (" + refused.Address() +
                              "): no connection to the device server (an open gives up after 3 s): "
                              "Connection refused");

  Listener full(2);
  setenv("VELDRV_COM15", full.Address().c_str(), 1);
  t0 = Clock::now();
  EXPECT_EQ(VelOpen(14, 1), VEL_PORT);
  EXPECT_GT(SecondsSince(t0), 2.9);
  EXPECT_LT(SecondsSince(t0), 3.5);
  EXPECT_EQ(OpenReason(), "COM15 (" + full.Address() +
                              "): no connection to the device server (an open gives up after 3 s): "
                              "Connection timed out");

  setenv("VELDRV_COM16", "tcp://127.0.0.1", 1);  // no port
  EXPECT_EQ(VelOpen(15, 1), VEL_PORT);
  EXPECT_EQ(OpenReason(),
            "COM16 (tcp://127.0.0.1): not a device server address HOST:PORT: no :PORT after the host");

  unsetenv("VELDRV_TRACE");
  for (const char *v : {"VELDRV_COM14", "VELDRV_COM15", "VELDRV_COM16"}) unsetenv(v);
  const std::string text = ReadFile(trace);
  EXPECT_NE(text.find("COM14 T"), std::string::npos);
  EXPECT_NE(
      text.find(
          "open " + refused.Address() +
          " failed: no connection to the device server (an open gives up after 3 s) [Connection refused]"),
      std::string::npos)
      << text;
  EXPECT_NE(
      text.find(
          "open " + full.Address() +
          " failed: no connection to the device server (an open gives up after 3 s) [Connection timed out]"),
      std::string::npos)
      << text;
  EXPECT_NE(
      text.find("open tcp://127.0.0.1 failed: not a device server address HOST:PORT [no :PORT after the "
                "host]"),
      std::string::npos)
      << text;
}

// A port number beyond 16 bits is refused, not cut to the port of another
// server (65536 + P would reach P), and so is port 0; a bare IPv6 address
// is refused too. Nothing is connected.
TEST(TcpOpen, AddressesOutsideThePortRangeAreRefused) {
  Listener listener(0);
  const std::string port = listener.Address().substr(listener.Address().rfind(':') + 1);
  const std::string wrapped = "tcp://127.0.0.1:" + std::to_string(65536 + std::stoi(port));
  const struct {
    std::string address, why;
  } cases[] = {
      {wrapped, "the port is not one of 1..65535"},
      {"tcp://127.0.0.1:99999", "the port is not one of 1..65535"},
      {"tcp://127.0.0.1:0", "the port is not one of 1..65535"},
      {"tcp://[::1]:0", "the port is not one of 1..65535"},
      {"tcp://127.0.0.1:" + port + "0000", "the port is not one of 1..65535"},
      {"tcp://127.0.0.1:4001x", "the port is not a number"},
      {"tcp://::1:4001", "an IPv6 address goes in brackets ([fd00::50]:4001)"},
      {"tcp://:4001", "no host before the port"},
  };
  for (const auto &c : cases) {
    setenv("VELDRV_COM14", c.address.c_str(), 1);
    const int h = VelOpen(13, 1);
    EXPECT_EQ(h, VEL_PORT) << c.address;
    if (h >= 0) VelClose(h);
    EXPECT_EQ(OpenReason(), "COM14 (" + c.address + "): not a device server address HOST:PORT: " + c.why);
  }
  unsetenv("VELDRV_COM14");
  pollfd p = {listener.Fd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0) << "a client connected";
}

// A network port has no line to settle: its open takes no half second, as a
// serial port's does.
TEST(TcpOpen, ANetworkPortOpensWithoutTheSettlingPause) {
  velsim::TcpLine line(Family::Fx);
  setenv("VELDRV_COM14", line.address().c_str(), 1);
  auto t0 = Clock::now();
  const int h = VelOpen(13, 1);
  const double took = SecondsSince(t0);
  ASSERT_GE(h, 0);
  EXPECT_LT(took, 0.4);
  Bytes buf(2);
  EXPECT_EQ(VelRdB(h, 'D', 0, 2, buf.data()), VEL_OK);
  EXPECT_EQ(VelClose(h), VEL_OK);
  unsetenv("VELDRV_COM14");
}

// A server that resets the connection when the first byte arrives: the
// transfer ends at once, and the reason calls it a device loss.
TEST(TcpOpen, AResetConnectionIsADeviceLoss) {
  Listener listener(0);
  std::thread server([&] {
    pollfd p = {listener.Fd(), POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return;
    const int client = accept(listener.Fd(), nullptr, nullptr);
    char byte;
    pollfd c = {client, POLLIN, 0};
    if (poll(&c, 1, 5000) > 0 && recv(client, &byte, 1, 0) == 1) {
      const linger reset = {1, 0};  // close with RST
      setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close(client);
  });
  setenv("VELDRV_COM14", listener.Address().c_str(), 1);
  const int h = VelOpen(13, 1);
  ASSERT_GE(h, 0);
  Bytes buf(2);
  const auto t0 = Clock::now();
  EXPECT_EQ(VelRdB(h, 'D', 0, 2, buf.data()), VEL_TIMEOUT);
  EXPECT_LT(SecondsSince(t0), 0.9);  // before any byte time-out
  server.join();
  char why[256];
  EXPECT_EQ(VelReason(h, why, sizeof why), VEL_TIMEOUT);
  EXPECT_EQ(std::string(why),
            "COM14 (" + listener.Address() + "): device lost: the server reset the connection");
  EXPECT_EQ(VelClose(h), VEL_OK);
  unsetenv("VELDRV_COM14");
}

// IPv6 in brackets, and the trace's word that line settings stay the server's.
TEST(TcpOpen, BracketedIpv6AddressAndTheTracesNote) {
  std::unique_ptr<velsim::TcpLine> line;
  try {
    line = std::make_unique<velsim::TcpLine>(Family::A, "::1");
  } catch (const std::exception &e) {
    GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
  }
  const std::string trace = DeviceDir() + "/tcp-v6.trace";
  setenv("VELDRV_TRACE", trace.c_str(), 1);
  setenv("VELDRV_COM12", line->address().c_str(), 1);
  ASSERT_EQ(line->address().rfind("tcp://[::1]:", 0), 0u);
  int h = VelOpen(11, 0);
  ASSERT_GE(h, 0);
  Bytes data = Pattern(10, 1), back(10);
  EXPECT_EQ(VelWrB(h, 'M', 0, 10, data.data()), VEL_OK);
  EXPECT_EQ(VelRdB(h, 'M', 0, 10, back.data()), VEL_OK);
  EXPECT_EQ(back, data);
  EXPECT_EQ(VelClose(h), VEL_OK);
  unsetenv("VELDRV_TRACE");
  unsetenv("VELDRV_COM12");
  EXPECT_NE(ReadFile(trace).find("open " + line->address() +
                                 ": raw TCP, line settings (9600 8O1) and RTS are not applied here"),
            std::string::npos)
      << ReadFile(trace);
}

double SecondsSince(Clock::time_point t0, Clock::time_point t1) {
  return std::chrono::duration<double>(t1 - t0).count();
}

// A port whose server never answers the connect delays no open, transfer or
// close on another port: all of them are done long before its 3 s are up.
TEST(TcpOpen, ASilentServerDelaysNoOtherPort) {
  Listener full(2);
  velsim::TcpLine line(Family::Fx);
  setenv("VELDRV_COM14", full.Address().c_str(), 1);
  setenv("VELDRV_COM15", line.address().c_str(), 1);
  const auto t0 = Clock::now();
  Clock::time_point stuckEnded;
  std::thread stuck([&] {
    EXPECT_EQ(VelOpen(13, 1), VEL_PORT);
    stuckEnded = Clock::now();
  });
  std::this_thread::sleep_for(100ms);  // the other open is connecting by now
  int h = VelOpen(14, 1);
  ASSERT_GE(h, 0);
  Bytes data = Pattern(600, 3), back(600);
  EXPECT_EQ(VelWrB(h, 'D', 0, 600, data.data()), VEL_OK);
  EXPECT_EQ(VelRdB(h, 'D', 0, 600, back.data()), VEL_OK);
  EXPECT_EQ(back, data);
  EXPECT_EQ(VelClose(h), VEL_OK);
  const auto othersDone = Clock::now();
  stuck.join();
  EXPECT_LT(SecondsSince(t0, othersDone), 2.0);  // open, transfers and close
  EXPECT_GT(SecondsSince(t0, stuckEnded), 2.9);
  EXPECT_LT(SecondsSince(othersDone, stuckEnded), 3.0);
  unsetenv("VELDRV_COM14");
  unsetenv("VELDRV_COM15");
}

// A server that sends without pause holds no purge: the open and the frames
// end as on a noisy line, with the wrong character where ACK belongs.
TEST(TcpOpen, AFloodingServerHoldsNoPurge) {
  Flood flood;
  setenv("VELDRV_COM16", flood.Address().c_str(), 1);
  auto t0 = Clock::now();
  int h = VelOpen(15, 1);
  ASSERT_GE(h, 0);
  EXPECT_LT(SecondsSince(t0), 1.5);
  Bytes buf(4);
  for (int i = 0; i < 3; i++) {
    t0 = Clock::now();
    EXPECT_EQ(VelRdB(h, 'D', 0, 4, buf.data()), VEL_WRONG_CHAR);
    EXPECT_LT(SecondsSince(t0), 1.0);
  }
  char why[256];
  EXPECT_EQ(VelReason(h, why, sizeof why), VEL_WRONG_CHAR);
  EXPECT_NE(std::string(why).find("wrong character 0x78 where 0x06 (ACK) was expected"), std::string::npos)
      << why;
  t0 = Clock::now();
  EXPECT_EQ(VelClose(h), VEL_OK);
  EXPECT_LT(SecondsSince(t0), 0.5);
  unsetenv("VELDRV_COM16");
}

// Runs body in a process of its own with mount and network namespaces whose
// loopback is up, the files of `over` bind-mounted over the system's (the
// resolver's configuration); its exit status, or 77 where namespaces are
// not allowed. body gets a UDP socket bound to the loopback's port 53.
int InPrivateNetwork(const std::vector<std::pair<std::string, std::string>> &over,
                     const std::function<bool(int)> &body) {
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      _exit(77);
    for (const auto &[file, system] : over)
      if (mount(file.c_str(), system.c_str(), nullptr, MS_BIND, nullptr) != 0) _exit(77);
    ifreq lo{};
    std::snprintf(lo.ifr_name, sizeof lo.ifr_name, "lo");
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (ioctl(s, SIOCGIFFLAGS, &lo) != 0) _exit(77);
    lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP);
    sockaddr_in dns{};
    dns.sin_family = AF_INET;
    dns.sin_port = htons(53);
    dns.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (ioctl(s, SIOCSIFFLAGS, &lo) != 0 || bind(s, reinterpret_cast<sockaddr *>(&dns), sizeof dns) != 0)
      _exit(77);
    _exit(body(s) ? 0 : 1);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A name lookup is bounded by the 3 s of the connect: the resolver is a
// loopback address that takes the questions and never answers.
TEST(TcpOpen, ANameLookupEndsWithTheConnectTime) {
  const std::string conf = DeviceDir() + "/resolv.conf";
  std::ofstream(conf) << "nameserver 127.0.0.1\noptions timeout:5 attempts:2\n";
  const int status = InPrivateNetwork({{conf, "/etc/resolv.conf"}}, [](int) {
    setenv("VELDRV_COM14", "tcp://plc.veldrv-test:4001", 1);
    const auto t0 = Clock::now();
    const int rc = VelOpen(13, 1);
    const double took = SecondsSince(t0);
    char why[256];
    VelReason(-1, why, sizeof why);
    const bool ok = rc == VEL_PORT && took > 2.9 && took < 3.6 &&
                    std::string(why).find("the name lookup took longer than 3 s") != std::string::npos;
    if (!ok) std::fprintf(stderr, "VelOpen = %d after %.2f s: %s\n", rc, took, why);
    return ok;
  });
  if (status == 77) GTEST_SKIP() << "no mount and network namespaces here";
  EXPECT_EQ(status, 0);
}

// A host name that no one knows (looked up in the hosts file only) is named
// as such, not as a server that did not answer.
TEST(TcpOpen, AnUnknownHostIsNamedAsSuch) {
  const std::string conf = DeviceDir() + "/nsswitch.conf";
  std::ofstream(conf) << "hosts: files\n";
  const int status = InPrivateNetwork({{conf, "/etc/nsswitch.conf"}}, [](int) {
    setenv("VELDRV_COM14", "tcp://plc.veldrv-test:4001", 1);
    const auto t0 = Clock::now();
    const int rc = VelOpen(13, 1);
    const double took = SecondsSince(t0);
    char why[256];
    VelReason(-1, why, sizeof why);
    const std::string expected =
        "COM14 (tcp://plc.veldrv-test:4001): the device server's name is not known: Name or service not "
        "known";
    const bool ok = rc == VEL_PORT && took < 2.0 && why == expected;
    if (!ok) std::fprintf(stderr, "VelOpen = %d after %.2f s: %s\n", rc, took, why);
    return ok;
  });
  if (status == 77) GTEST_SKIP() << "no mount and network namespaces here";
  EXPECT_EQ(status, 0);
}

}  // namespace
