// The simulator behind a TCP port, driven with raw bytes over loopback connections.
#include "tcp_line.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <thread>

#include "pty_client.h"
#include "tcp_address.h"

namespace velsim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using test::ConnectError;
using test::SeesEndOfStream;
using test::TcpClient;

const Bytes kFxRead{0x02, 0x30, 0x31, 0x30, 0x30, 0x30, 0x30, 0x32, 0x03, 0x35, 0x36};
const Bytes kFxReadReply{0x02, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44, 0x45};
const Bytes kFxWrite{0x02, 0x31, 0x31, 0x30, 0x30, 0x30, 0x30, 0x32,
                     0x43, 0x38, 0x30, 0x30, 0x03, 0x33, 0x32};

// The connection events of a line, as its hook reports them.
class Events {
 public:
  explicit Events(LineServer &line) {
    line.setConnectionHook([this](const std::string &e) {
      std::lock_guard lock(mutex_);
      seen_.push_back(e.substr(0, e.find(' ')));
    });
  }
  std::vector<std::string> seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> seen_;
};

TEST(TcpAddress, ParsesHostAndPort) {
  std::string error;
  auto hp = [&](const char *text) {
    auto r = parseHostPort(text, "127.0.0.1", &error);
    return r ? r->host + " " + std::to_string(r->port) : std::string("bad");
  };
  EXPECT_EQ(hp("127.0.0.1:502"), "127.0.0.1 502");
  EXPECT_EQ(hp("[::1]:0"), "::1 0");
  EXPECT_EQ(hp("plc-gateway:4001"), "plc-gateway 4001");
  EXPECT_EQ(hp(":65535"), "127.0.0.1 65535");
  EXPECT_EQ(hp("4001"), "127.0.0.1 4001");
  for (const char *wrong : {"", "host:", "host:65536", "host:x", "::1:502", "[::1]", "[::1]502", "[]:5"}) {
    EXPECT_EQ(hp(wrong), "bad") << wrong;
  }
}

TEST(TcpLine, ServesOneClientAtATimeWithTheSameMemory) {
  TcpLine line(Family::Fx);
  Events events(line);
  ASSERT_GT(line.port(), 0);
  EXPECT_EQ(line.address(), "tcp://127.0.0.1:" + std::to_string(line.port()));
  line.write(0x1000, {0x11, 0x22});
  {
    TcpClient first("127.0.0.1", line.port());
    EXPECT_EQ(first.exchange({0x05}, 1), Bytes{0x06});
    EXPECT_EQ(first.exchange(kFxWrite, 1), Bytes{0x06});
    TcpClient second("127.0.0.1", line.port());  // turned away while the first is served
    EXPECT_TRUE(SeesEndOfStream(second.fd()));
    EXPECT_EQ(first.exchange({0x05}, 1), Bytes{0x06});
    EXPECT_TRUE(line.connected());
  }
  // A client that connects right after the last one closed is served, not taken for a second one.
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE(i);
    TcpClient next("127.0.0.1", line.port());
    EXPECT_EQ(next.exchange({0x05}, 1), Bytes{0x06});
    EXPECT_EQ(next.exchange(kFxRead, kFxReadReply.size()), kFxReadReply);  // what the first wrote
  }
  ASSERT_TRUE(line.settle());
  EXPECT_EQ(line.protocolErrors(), 0u);
  EXPECT_EQ(line.trace().back().text, "FX read  0x1000 n=2 -> C8 00");
  const auto seen = events.seen();
  ASSERT_GE(seen.size(), 4u);
  EXPECT_EQ((std::vector<std::string>(seen.begin(), seen.begin() + 3)),
            (std::vector<std::string>{"connected", "refused", "disconnected"}));
}

TEST(TcpLine, DisconnectHangupAndReopen) {
  TcpLine line(Family::Fx);
  const int port = line.port();
  line.write(0x10, {0x5A});
  {
    TcpClient plc("127.0.0.1", port);
    EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
    line.stop();  // silent, connection kept; bytes sent meanwhile are dropped
    plc.send({0x05});
    EXPECT_EQ(plc.drain(50ms), Bytes{});
    line.restart();
    EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
    line.disconnect();
    EXPECT_TRUE(SeesEndOfStream(plc.fd()));
  }
  {
    TcpClient plc("127.0.0.1", port);
    EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
    line.hangup();
    EXPECT_TRUE(SeesEndOfStream(plc.fd()));
    EXPECT_EQ(ConnectError("127.0.0.1", port), ECONNREFUSED);
  }
  line.reopen();
  EXPECT_EQ(line.port(), port);
  TcpClient plc("127.0.0.1", port);
  EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
  EXPECT_EQ(plc.exchange({0x02, '0', '0', '0', '1', '0', '0', '1', 0x03, '5', '5'}, 6),
            (Bytes{0x02, '5', 'A', 0x03, '7', '9'}));  // memory kept
}

// Everything the line does on a pseudo-terminal it does over TCP: session byte, faults, frame limit,
// pace, wire log, trace.
TEST(TcpLine, AControllerWithFaultsFrameLimitAndPace) {
  TcpLine line(Family::A);
  line.setSessionByte(0x42);
  line.setMaxFrame(64);
  line.fill(0x8800, 64, 0x33);
  TcpClient plc("127.0.0.1", line.port());
  EXPECT_EQ(plc.exchange({0xAA, 0xB0}, 2), (Bytes{0x5A, 0x42}));
  const Bytes read64{0x42, 0x07, 0x00, 0xFF, 0x02, 0x00, 0x88, 0x00, 64, 0x90 + 64};
  const Bytes read65{0x42, 0x07, 0x00, 0xFF, 0x02, 0x00, 0x88, 0x00, 65, 0x90 + 65};
  EXPECT_EQ(plc.exchange(read64, 69).size(), 69u);
  plc.send(read65);
  EXPECT_EQ(plc.drain(100ms), Bytes{});
  line.setFault({FaultKind::WrongChecksum}, FaultWhen::Once);
  const Bytes answer = plc.exchange(read64, 69);
  ASSERT_EQ(answer.size(), 69u);
  EXPECT_EQ(answer.back(), static_cast<std::uint8_t>(0x43 + 0xFF + 0x02 + 64 * 0x33 + 1));

  line.setPace(true);
  line.clearWire();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(plc.exchange(read64, 69).size(), 69u);
  // 10 + 69 characters of 11 bits at 9600 baud: 90.5 ms.
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 85ms);
  ASSERT_TRUE(line.settle());
  EXPECT_EQ(line.wire().size(), 10u + 69u);
  EXPECT_EQ(line.protocolErrors(), 1u);
  const auto trace = line.trace();
  ASSERT_EQ(trace.size(), 5u);
  EXPECT_EQ(trace[2].error, "count 65 above the frame limit of 64");
  EXPECT_EQ(trace[3].faults, "wrong-checksum");
}

// Paced, 20 kB would take 21 s to cross the line: what a client that has gone
// left unread is dropped with it, and the next client is served at once.
TEST(TcpLine, PaceDropsTheInputOfAClientThatHasGone) {
  TcpLine line(Family::Fx);
  line.setPace(true);
  {
    TcpClient garbage("127.0.0.1", line.port());
    garbage.send(Bytes(20000, 'Z'));
  }
  std::this_thread::sleep_for(50ms);
  const auto t0 = std::chrono::steady_clock::now();
  TcpClient next("127.0.0.1", line.port());
  EXPECT_EQ(next.exchange({0x05}, 1), Bytes{0x06});
  EXPECT_EQ(next.exchange(kFxRead, kFxReadReply.size()).size(), kFxReadReply.size());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

TEST(TcpLine, ListensOnIpv6Loopback) {
  std::unique_ptr<TcpLine> line;
  try {
    line = std::make_unique<TcpLine>(Family::Fx, "::1", 0);
  } catch (const std::runtime_error &e) {
    GTEST_SKIP() << "no IPv6 loopback: " << e.what();
  }
  EXPECT_EQ(line->address(), "tcp://[::1]:" + std::to_string(line->port()));
  TcpClient plc("::1", line->port());
  EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
  EXPECT_EQ(ConnectError("127.0.0.1", line->port()), ECONNREFUSED);
}

TEST(TcpLine, RefusesAnAddressInUseAndABadPort) {
  TcpLine line(Family::Fx);
  EXPECT_THROW(TcpLine(Family::Fx, "127.0.0.1", line.port()), std::runtime_error);
  EXPECT_THROW(TcpLine(Family::Fx, "127.0.0.1", 65536), std::invalid_argument);
}

}  // namespace
}  // namespace velsim
