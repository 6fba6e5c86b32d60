// rfc2217:// ports against the simulator's device server on loopback ports
// (velsim --listen-rfc2217): the line the library sets, 0xFF both ways, the
// server's commands inside the data, the RTS order of the A-series protocol,
// refusals and missing answers.
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "e2e_fixture.h"

using namespace e2e;
using namespace std::chrono_literals;
using velsim::Family;
using velsim::Rfc2217Line;
using velsim::ServerFault;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPort = 11;  // COM12
constexpr const char *kVariable = "VELDRV_COM12";

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::vector<std::string> Whats(const std::vector<Rfc2217Line::Change> &changes) {
  std::vector<std::string> out;
  for (const auto &c : changes) out.push_back(c.what);
  return out;
}

// What an open sets: the family's line, no flow control, DTR and RTS on.
std::vector<std::string> OpenSettings(bool fx) {
  return {"baud rate 9600",
          fx ? "data size 7" : "data size 8",
          fx ? "parity even" : "parity odd",
          "stop size 1",
          "no flow control",
          "DTR on",
          "RTS on"};
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string OpenReason() {
  char why[256] = "";
  VelReason(-1, why, sizeof why);
  return why;
}

class Rfc2217Link : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    DeviceDir();
    line = std::make_unique<Rfc2217Line>(GetParam());
    setenv(kVariable, line->address().c_str(), 1);
    handle = VelOpen(kPort, fx());
    ASSERT_GE(handle, 0) << OpenReason();
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
  std::unique_ptr<Rfc2217Line> line;
  int handle = -1;
};

TEST_P(Rfc2217Link, SetsTheFamilysLineAndTransfersAcrossFrames) {
  std::vector<std::string> opened = {"connected"};
  for (const std::string &s : OpenSettings(fx())) opened.push_back(s);
  EXPECT_EQ(Whats(line->changes()), opened);
  EXPECT_TRUE(line->lineMatches());
  line->clearChanges();

  Bytes data = Pattern(600, 7), back(600);
  ASSERT_EQ(VelWrB(handle, 'D', 0, 600, data.data()), VEL_OK);
  ASSERT_EQ(VelRdW(handle, 'D', 0, 300, back.data()), VEL_OK);
  EXPECT_EQ(back, data);
  line->settle();
  EXPECT_EQ(line->read(fx() ? 0x1000 : 0x8800, 600), data);
  std::vector<size_t> frames;
  for (const velsim::TraceEntry &e : line->trace())
    if (e.kind == velsim::TraceKind::Read || e.kind == velsim::TraceKind::Write) frames.push_back(e.count);
  EXPECT_EQ(frames, (std::vector<size_t>{254, 254, 92, 254, 254, 92}));
  // Each frame has the server drop what its line received before the request.
  int purges = 0;
  for (const std::string &what : Whats(line->changes())) purges += what == "purge 1";
  EXPECT_EQ(purges, 6);
  EXPECT_EQ(line->protocolErrors(), 0u);
  EXPECT_EQ(line->lostBytes(), 0u);
}

// Every byte value both ways, 0xFF in long runs (each doubled on the
// wire), with the server putting a notification and a NOP inside every
// answer.
TEST_P(Rfc2217Link, EveryByteValueBothWaysAroundTheServersCommands) {
  line->setServerFaults({ServerFault{ServerFault::Kind::Notify, ""}});
  Bytes data(512);
  for (size_t i = 0; i < 256; i++) data[i] = static_cast<uint8_t>(i);
  std::fill(data.begin() + 256, data.end(), 0xFF);
  Bytes back(512);
  ASSERT_EQ(VelWrB(handle, 'S', 0x2000, 512, data.data()), VEL_OK);
  ASSERT_EQ(VelRdB(handle, 'S', 0x2000, 512, back.data()), VEL_OK);
  EXPECT_EQ(back, data);
  line->settle();
  EXPECT_EQ(line->read(0x2000, 512), data);
  EXPECT_EQ(line->protocolErrors(), 0u);
}

TEST_P(Rfc2217Link, SilentControllerAndServerGoingAway) {
  Bytes buf(3000);
  line->setFault(velsim::Fault{velsim::FaultKind::Silent}, velsim::FaultWhen::Once);
  auto t0 = Clock::now();
  EXPECT_EQ(VelRdB(handle, 'D', 0, 4, buf.data()), VEL_TIMEOUT);
  EXPECT_GT(SecondsSince(t0), 0.95);  // the byte time-out of 990 ms, as on a serial line
  EXPECT_LT(SecondsSince(t0), 3.0);
  char why[256];
  EXPECT_EQ(VelReason(handle, why, sizeof why), VEL_TIMEOUT);
  EXPECT_EQ(std::string(why),
            "COM12 (" + line->address() + "): time-out while waiting for byte 1 of the answer");

  // The server goes away in the middle of a long transfer: -1 at once.
  line->setPace(true);
  Clock::time_point hungAt;
  std::thread cutter([&] {
    std::this_thread::sleep_for(500ms);
    hungAt = Clock::now();
    line->hangup();
  });
  EXPECT_EQ(VelRdB(handle, 'S', 0x2000, 3000, buf.data()), VEL_TIMEOUT);
  cutter.join();
  EXPECT_LT(SecondsSince(hungAt), 1.1);
  EXPECT_EQ(VelReason(handle, why, sizeof why), VEL_TIMEOUT);
  EXPECT_EQ(std::string(why),
            "COM12 (" + line->address() + "): device lost: the server closed the connection");
  line->setPace(false);
  line->reopen();
  EXPECT_EQ(VelClose(handle), VEL_OK);
  handle = VelOpen(kPort, fx());
  ASSERT_GE(handle, 0) << OpenReason();
  EXPECT_EQ(VelRdB(handle, 'S', 0x2000, 600, buf.data()), VEL_OK);
}

INSTANTIATE_TEST_SUITE_P(Family, Rfc2217Link, ::testing::Values(Family::Fx, Family::A),
                         [](const auto &info) { return info.param == Family::Fx ? "FX" : "A"; });

// The A-series RTS signalling reaches the server in order with the bytes:
// RTS dropped, exactly the wake-up byte (or the session byte), RTS raised,
// then the rest; the purge of the frame ahead of all of it.
TEST(Rfc2217Order, RtsChangesFramePrefixBytes) {
  Rfc2217Line line(Family::A);
  line.setSessionByte(0x5C);
  setenv(kVariable, line.address().c_str(), 1);
  const int h = VelOpen(kPort, 0);
  ASSERT_GE(h, 0) << OpenReason();
  line.settle();
  line.clearChanges();
  const uint64_t start = line.lineBytes();
  Bytes buf(4);
  ASSERT_EQ(VelRdB(h, 'D', 0, 2, buf.data()), VEL_OK);  // handshake, then the frame
  ASSERT_EQ(VelRdB(h, 'D', 0, 2, buf.data()), VEL_OK);  // session prefix only
  EXPECT_EQ(VelClose(h), VEL_OK);
  unsetenv(kVariable);
  line.settle();
  const Bytes sent = line.wireBytes(velsim::WireDir::FromLibrary);
  // Each change with the line byte it came before ("end" after the last).
  std::vector<std::string> order;
  for (const auto &c : line.changes()) {
    const uint64_t at = c.before - start;
    char byte[8] = "end";
    if (c.before < sent.size()) std::snprintf(byte, sizeof byte, "%02X", sent[c.before]);
    order.push_back(c.what + " @" + std::to_string(at) + " " + byte);
  }
  // Byte 0 AA (RTS low), 1 B0, 2 5C (RTS low), 3.. the request of 9 bytes;
  // the second frame from byte 12: 5C (RTS low), its request.
  EXPECT_EQ(order, (std::vector<std::string>{"purge 1 @0 AA", "RTS off @0 AA", "RTS on @1 B0",
                                             "RTS off @2 5C", "RTS on @3 07", "purge 1 @12 5C",
                                             "RTS off @12 5C", "RTS on @13 07", "DTR off @22 end"}));
}

// A port closed by one family opens for the other with that family's line:
// every open sets it. A line left in the other family's format looks like
// a dead controller.
TEST(Rfc2217Open, TheOtherFamilyGetsItsLineAtItsOpen) {
  const std::string trace = DeviceDir() + "/rfc2217-open.trace";
  setenv("VELDRV_TRACE", trace.c_str(), 1);
  Rfc2217Line line(Family::A);
  setenv(kVariable, line.address().c_str(), 1);
  int h = VelOpen(kPort, 1);
  ASSERT_GE(h, 0) << OpenReason();
  EXPECT_FALSE(line.lineMatches());
  Bytes buf(2);
  EXPECT_EQ(VelRdB(h, 'D', 0, 2, buf.data()), VEL_TIMEOUT);
  EXPECT_GT(line.lostBytes(), 0u);
  EXPECT_EQ(VelClose(h), VEL_OK);
  h = VelOpen(kPort, 0);
  ASSERT_GE(h, 0) << OpenReason();
  EXPECT_TRUE(line.lineMatches());
  EXPECT_EQ(VelRdB(h, 'D', 0, 2, buf.data()), VEL_OK);
  EXPECT_EQ(VelClose(h), VEL_OK);
  unsetenv(kVariable);
  unsetenv("VELDRV_TRACE");
  // Each connection sets the whole line: the second the A-series one.
  const auto changes = Whats(line.changes());
  std::vector<std::vector<std::string>> sessions;
  for (const std::string &what : changes) {
    if (what == "connected") sessions.emplace_back();
    if (!sessions.empty() && sessions.back().size() < 8) sessions.back().push_back(what);
  }
  ASSERT_EQ(sessions.size(), 2u);
  for (int fx = 1; fx >= 0; fx--) {
    std::vector<std::string> expected = {"connected"};
    for (const std::string &s : OpenSettings(fx)) expected.push_back(s);
    EXPECT_EQ(sessions[1 - fx], expected);
  }
  // The trace shows what was asked for and each answer of the server.
  const std::string text = ReadFile(trace);
  for (const std::string line :
       {"rfc2217 > WILL COM-PORT-OPTION, WILL BINARY, DO BINARY", "rfc2217 < DO COM-PORT-OPTION",
        "rfc2217 > baud rate 9600, data size 7, parity even, stop size 1, no flow control, DTR on, RTS on",
        "rfc2217 > baud rate 9600, data size 8, parity odd, stop size 1, no flow control, DTR on, RTS on",
        "rfc2217 < parity even", "rfc2217 < parity odd", "rfc2217 < RTS on",
        "rfc2217 < purged its receive buffer", "open rfc2217://127.0.0.1:"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

// A server that refuses the option or a setting, or does not answer one,
// fails the open with -4 and says why; the port opens once it behaves.
TEST(Rfc2217Open, RefusalsAndMissingAnswersFailTheOpen) {
  struct Case {
    const char *fault;
    const char *why;         // after "COM12 (rfc2217://...): "
    double atLeast, atMost;  // seconds the open takes
  };
  const Case cases[] = {
      {"refuse-option", "not an RFC 2217 port: the server refused the COM-PORT option", 0, 1.5},
      {"refuse-binary", "not an RFC 2217 port: the server refused binary transmission", 0, 1.5},
      {"refuse=parity",
       "the device refused the line settings 9600 7E1: asked for parity even, the server answered parity "
       "none",
       0, 1.5},
      {"refuse=datasize",
       "the device refused the line settings 9600 7E1: asked for data size 7, the server answered data size "
       "8",
       0, 1.5},
      {"no-answer=parity",
       "the device refused the line settings 9600 7E1: no answer to parity even within 2 s", 1.9, 3.5},
      {"no-answer=flow",
       "the device refused the line settings 9600 7E1: no answer to no flow control within 2 s", 1.9, 3.5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fault);
    Rfc2217Line line(Family::Fx);  // each at 9600 8N1
    setenv(kVariable, line.address().c_str(), 1);
    std::string error;
    line.setServerFaults({*velsim::parseServerFault(c.fault, &error)});
    const auto t0 = Clock::now();
    EXPECT_EQ(VelOpen(kPort, 1), VEL_PORT);
    EXPECT_GE(SecondsSince(t0), c.atLeast);
    EXPECT_LT(SecondsSince(t0), c.atMost);
    EXPECT_EQ(OpenReason(), "COM12 (" + line.address() + "): " + std::string(c.why));
    // The port opens once the server behaves.
    line.setServerFaults({});
    const int h = VelOpen(kPort, 1);
    EXPECT_GE(h, 0) << OpenReason();
    if (h >= 0) {
      EXPECT_EQ(VelClose(h), VEL_OK);
    }
  }
  Rfc2217Line line(Family::Fx);
  setenv(kVariable, line.address().c_str(), 1);
  // A server without DTR and RTS answers (a port without modem lines) is
  // taken: the open waits for them briefly.
  line.setServerFaults(
      {ServerFault{ServerFault::Kind::NoAnswer, "dtr"}, ServerFault{ServerFault::Kind::NoAnswer, "rts"}});
  const auto t0 = Clock::now();
  int h = VelOpen(kPort, 1);
  ASSERT_GE(h, 0) << OpenReason();
  EXPECT_LT(SecondsSince(t0), 1.5);
  Bytes buf(2);
  EXPECT_EQ(VelRdB(h, 'D', 0, 2, buf.data()), VEL_OK);
  EXPECT_EQ(VelClose(h), VEL_OK);
  // A raw TCP port named rfc2217:// answers no option: the reason says so.
  velsim::TcpLine raw(Family::Fx);
  const std::string address = "rfc2217://127.0.0.1:" + std::to_string(raw.port());
  setenv(kVariable, address.c_str(), 1);
  EXPECT_EQ(VelOpen(kPort, 1), VEL_PORT);
  EXPECT_EQ(OpenReason(),
            "COM12 (" + address +
                "): not an RFC 2217 port: no answer to the COM-PORT option within 2 s; a raw TCP port is "
                "tcp://");
  unsetenv(kVariable);
}

}  // namespace
