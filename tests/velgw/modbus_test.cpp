// velgw's Modbus TCP server against mbpoll and pymodbus, with simulated FX
// and A-series controllers on pseudo-terminals and over TCP: values from the
// controllers' memory, writes into it, exceptions, 32 clients at once beside
// clients that send garbage or reset, a silent controller going off scan
// and coming back, and failed writes. One gateway serves the whole suite.
#include <signal.h>

#include "gateway_fixture.h"

namespace {

using namespace gwtest;
using velsim::Family;

constexpr std::uint16_t kFxD100 = 0x10C8, kFxD200 = 0x1190, kFxM0 = 0x0100, kFxX0 = 0x0080, kFxD300 = 0x1258;
constexpr std::uint16_t kAD0 = 0x8800;

class VelgwModbus : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    dir = std::make_unique<TempDir>();
    fxPty = std::make_unique<velsim::PtyLine>(Family::Fx, dir->Path(), 1);
    aPty = std::make_unique<velsim::PtyLine>(Family::A, dir->Path(), 2);
    fxTcp = std::make_unique<velsim::TcpLine>(Family::Fx);
    aTcp = std::make_unique<velsim::TcpLine>(Family::A);
    const std::string d100 =
        "[[controllers.{C}.tags]]\nname = \"d\"\naddress = \"{D}\"\ncount = 10\n"
        "access = \"read-write\"\nholding = 0\n";
    auto tags = [&](const std::string &c, const std::string &d) {
      std::string t = d100;
      t.replace(t.find("{C}"), 3, c);
      t.replace(t.find("{D}"), 3, d);
      return t;
    };
    const std::string config = R"([gateway]
backoff = 1
backoff_max = 2

[modbus]
listen = "127.0.0.1:0"
idle_timeout = 3

[groups.default]
interval = 0.2
max_age = 1.5

[controllers.fxpty]
port = "COM1"
family = "fx"
unit = 1

[[controllers.fxpty.tags]]
name = "speed"
address = "D200"
type = "f32"
word_order = "high_first"
access = "read-write"
holding = 100

[[controllers.fxpty.tags]]
name = "markers"
address = "M0"
count = 16
access = "read-write"
coil = 0

[[controllers.fxpty.tags]]
name = "inputs"
address = "X0"
count = 8
discrete = 0

[[controllers.fxpty.tags]]
name = "model"
address = "D8001"
holding = 200

[[controllers.fxpty.tags]]
name = "levels"
address = "D300"
type = "i16"
count = 4
input = 0

[controllers.apty]
port = "COM2"
family = "a"
unit = 2

[controllers.fxtcp]
port = ")" + fxTcp->address() + R"("
family = "fx"
unit = 3

[controllers.atcp]
port = ")" + aTcp->address() + R"("
family = "a"
unit = 4

)" + tags("fxpty", "D100") + tags("apty", "D0") +
                               tags("fxtcp", "D100") + tags("atcp", "D0");
    WriteFile(dir->Path() + "/gw.toml", config);
    gateway = std::make_unique<Gateway>(dir->Path(), dir->Path() + "/gw.toml");
    for (const char *name : {"fxpty", "apty", "fxtcp", "atcp"})
      ASSERT_TRUE(gateway->Logged(std::string(name) + ": online")) << gateway->Log();
  }
  static void TearDownTestSuite() {
    gateway.reset();
    fxPty.reset();
    aPty.reset();
    fxTcp.reset();
    aTcp.reset();
    dir.reset();
  }

 protected:
  void SetUp() override {
    VELGW_NEED("mbpoll", "mbpoll");
    for (velsim::LineServer *line : Lines()) line->clearFaults();
  }
  static std::vector<velsim::LineServer *> Lines() {
    return {fxPty.get(), aPty.get(), fxTcp.get(), aTcp.get()};
  }
  static std::string Port() {
    return std::to_string(gateway->ModbusPort());
  }
  // mbpoll reading `count` holding registers of the unit from 0 on.
  static std::optional<std::map<int, long>> ReadUnit(int unit, int count = 10) {
    return Mbpoll({"-1", "-0", "-a", std::to_string(unit), "-r", "0", "-c", std::to_string(count), "-p",
                   Port(), "127.0.0.1"});
  }

  static inline std::unique_ptr<TempDir> dir;
  static inline std::unique_ptr<velsim::PtyLine> fxPty, aPty;
  static inline std::unique_ptr<velsim::TcpLine> fxTcp, aTcp;
  static inline std::unique_ptr<Gateway> gateway;
};

TEST_F(VelgwModbus, ValuesWrittenIntoTheControllersAppearWithinAScan) {
  const std::uint16_t base[] = {kFxD100, kAD0, kFxD100, kAD0};
  for (int round = 0; round < 2; round++) {
    for (int unit = 1; unit <= 4; unit++) {
      const auto seed = static_cast<std::uint16_t>(1000 * unit + 100 * round);
      Lines()[static_cast<std::size_t>(unit - 1)]->write(base[unit - 1], Words({seed, 7, 65535}));
    }
    for (int unit = 1; unit <= 4; unit++) {
      const long seed = 1000 * unit + 100 * round;
      // One scan is 0.2 s; a loaded machine gets some seconds.
      std::optional<std::map<int, long>> values;
      EXPECT_TRUE(Eventually([&] {
        values = ReadUnit(unit);
        return values && (*values)[0] == seed;
      })) << "unit "
          << unit;
      ASSERT_TRUE(values);
      EXPECT_EQ((*values)[1], 7);
      EXPECT_EQ((*values)[2], 65535);
      EXPECT_EQ(values->size(), 10u);
    }
  }
}

TEST_F(VelgwModbus, WritesReachTheControllersMemory) {
  const std::uint16_t base[] = {kFxD100, kAD0, kFxD100, kAD0};
  for (int unit = 1; unit <= 4; unit++) {
    auto r = RunProgram({"mbpoll", "-1", "-0", "-a", std::to_string(unit), "-r", "3", "-p", Port(),
                         "127.0.0.1", "--", std::to_string(unit), "65534", "30000"});
    EXPECT_EQ(r.status, 0) << r.out;
    velsim::LineServer *line = Lines()[static_cast<std::size_t>(unit - 1)];
    EXPECT_EQ(line->read(static_cast<std::uint16_t>(base[unit - 1] + 6), 6),
              Words({static_cast<std::uint16_t>(unit), 0xFFFE, 30000}))
        << "unit " << unit;
    // Answered after the controller took it: a read right after sees it.
    auto values = ReadUnit(unit);
    ASSERT_TRUE(values);
    EXPECT_EQ((*values)[3], unit);
  }
  if (Pymodbus(1, 1, {}) == "skip") GTEST_SKIP() << "pymodbus is missing";
  const int port = gateway->ModbusPort();
  // A 32-bit float, high word first on Modbus, low word first in D200.
  EXPECT_EQ(Pymodbus(port, 1, {"write", "holding", "100", "0x4050", "0x0000"}), "ok");
  EXPECT_EQ(fxPty->read(kFxD200, 4), Words({0x0000, 0x4050}));
  // Coils: M3 and M12 set, the other markers of those bytes kept.
  fxPty->write(kFxM0, {0x81, 0x00});
  EXPECT_EQ(Pymodbus(port, 1, {"write", "coil", "3", "1"}), "ok");
  EXPECT_EQ(Pymodbus(port, 1, {"write", "coil", "11", "0", "1"}), "ok");
  EXPECT_EQ(fxPty->read(kFxM0, 2), (std::vector<std::uint8_t>{0x89, 0x10}));
  EXPECT_TRUE(Eventually([&] {
    return Pymodbus(port, 1, {"read", "coil", "0", "16"}) == "1 0 0 1 0 0 0 1 0 0 0 0 1 0 0 0";
  }));
  // Inputs and input registers come from their areas.
  fxPty->write(kFxX0, {0x05});
  fxPty->write(kFxD300, Words({0xFFFF, 2}));
  EXPECT_TRUE(Eventually([&] { return Pymodbus(port, 1, {"read", "discrete", "0", "4"}) == "1 0 1 0"; }));
  EXPECT_TRUE(Eventually([&] { return Pymodbus(port, 1, {"read", "input", "0", "2"}) == "65535 2"; }));
}

TEST_F(VelgwModbus, RequestsThatCannotBeAnsweredGetTheirExceptions) {
  const int port = gateway->ModbusPort();
  if (Pymodbus(port, 1, {"read", "holding", "0", "1"}) == "skip") GTEST_SKIP() << "pymodbus is missing";
  EXPECT_EQ(Pymodbus(port, 9, {"read", "holding", "0", "1"}), "exception 10");  // no such unit
  EXPECT_EQ(Pymodbus(port, 1, {"read", "holding", "5", "6"}), "exception 2");   // 10 is not mapped
  EXPECT_EQ(Pymodbus(port, 1, {"read", "holding", "101", "1"}).rfind("exception", 0),
            std::string::npos);                                                   // half a float may be read
  EXPECT_EQ(Pymodbus(port, 1, {"write", "holding", "101", "1"}), "exception 2");  // but not written
  EXPECT_EQ(Pymodbus(port, 1, {"write", "holding", "200", "1"}), "exception 2");  // a read-only tag
  EXPECT_EQ(Pymodbus(port, 1, {"raw", "03000000 7e"}), "8303");       // 126 registers: a bad count
  EXPECT_EQ(Pymodbus(port, 1, {"raw", "0300000000"}), "8303");        // none
  EXPECT_EQ(Pymodbus(port, 1, {"raw", "0300000001ff"}), "8303");      // a wrong length
  EXPECT_EQ(Pymodbus(port, 1, {"raw", "2b0e0100"}), "ab01");          // no such function here
  EXPECT_EQ(Pymodbus(port, 1, {"raw", "0500000001"}), "8503");        // a coil is FF00 or 0000
  EXPECT_EQ(Pymodbus(port, 1, {"raw", "0f0000000201"}), "8f03");      // its bytes are missing
  EXPECT_EQ(Pymodbus(port, 1, {"raw", "0600000001"}), "0600000001");  // holding register 0: a tag
  EXPECT_EQ(Pymodbus(port, 1, {"raw", "0500000000"}), "0500000000");  // coil 0: a tag
  EXPECT_EQ(Pymodbus(port, 1, {"raw", "0500100000"}), "8502");        // coil 16: none
}

TEST_F(VelgwModbus, ThirtyTwoClientsAtOnceBesideGarbageAndResets) {
  const int port = gateway->ModbusPort();
  if (Pymodbus(port, 1, {"read", "holding", "0", "1"}) == "skip") GTEST_SKIP() << "pymodbus is missing";
  aPty->write(kAD0, Words({11, 22, 33, 44, 55, 66, 77, 88, 99, 1010}));
  ASSERT_TRUE(Eventually([&] { return Pymodbus(port, 2, {"read", "holding", "0", "1"}) == "11"; }));
  const std::string result = Pymodbus(
      port, 2,
      {"crowd", "holding", "0", "4", "32", "11", "22", "33", "44", "55", "66", "77", "88", "99", "1010"});
  int reads = 0, wrong = -1, failed = -1;
  ASSERT_EQ(std::sscanf(result.c_str(), "reads %d wrong %d failed %d", &reads, &wrong, &failed), 3) << result;
  EXPECT_GT(reads, 32 * 10) << result;
  EXPECT_EQ(wrong, 0) << result;
  EXPECT_EQ(failed, 0) << result;
  EXPECT_TRUE(gateway->Logged("dropped: sent something that is not Modbus TCP", 1s) ||
              gateway->Logged("more client connections", 10s))
      << gateway->Log();
}

TEST_F(VelgwModbus, ASilentControllerAnswers0x0BThenGoesOffScanAndComesBack) {
  const int port = gateway->ModbusPort();
  if (Pymodbus(port, 3, {"read", "holding", "0", "1"}) == "skip") GTEST_SKIP() << "pymodbus is missing";
  ASSERT_TRUE(Eventually([&] {
    return Pymodbus(port, 3, {"read", "holding", "0", "1"}).rfind("exception", 0) != 0;
  }));
  fxTcp->setFault({velsim::FaultKind::Silent});
  // Within max_age (1.5 s) of the last good read, the value is stale: 0x0B.
  const auto silent = std::chrono::steady_clock::now();
  EXPECT_TRUE(Eventually([&] { return Pymodbus(port, 3, {"read", "holding", "0", "1"}) == "exception 11"; }));
  EXPECT_LT(std::chrono::steady_clock::now() - silent, 6s);
  // Three time-outs of a second each take it off scan.
  ASSERT_TRUE(gateway->WaitLog("fxtcp: offline after 3 failures in a row:")) << gateway->Log();
  EXPECT_TRUE(gateway->WaitLog("(-1); next try in 1 s"));
  // Meanwhile the other controllers are served as before, and a write to it is refused at once.
  aTcp->write(kAD0, Words({4242}));
  EXPECT_TRUE(Eventually([&] { return Pymodbus(port, 4, {"read", "holding", "0", "1"}) == "4242"; }, 3s));
  EXPECT_EQ(Pymodbus(port, 3, {"write", "holding", "0", "1"}), "exception 11");
  // It answers again: back on scan by itself within the back-off.
  fxTcp->clearFaults();
  fxTcp->write(kFxD100, Words({5151}));
  EXPECT_TRUE(gateway->WaitLog("fxtcp: online again after")) << gateway->Log();
  EXPECT_TRUE(Eventually([&] { return Pymodbus(port, 3, {"read", "holding", "0", "1"}) == "5151"; }, 3s));
}

TEST_F(VelgwModbus, AWriteTheControllerRefusesAnswers0x04) {
  const int port = gateway->ModbusPort();
  if (Pymodbus(port, 2, {"read", "holding", "0", "1"}) == "skip") GTEST_SKIP() << "pymodbus is missing";
  aPty->write(kAD0, Words({1}));
  aPty->setFault({velsim::FaultKind::WriteNak});
  EXPECT_EQ(Pymodbus(port, 2, {"write", "holding", "0", "77"}), "exception 4");
  EXPECT_EQ(aPty->read(kAD0, 2), Words({1}));
  aPty->clearFaults();
  EXPECT_EQ(Pymodbus(port, 2, {"write", "holding", "0", "78"}), "ok");
  EXPECT_EQ(aPty->read(kAD0, 2), Words({78}));
}

TEST_F(VelgwModbus, AnIdleClientIsDropped) {
  const int port = gateway->ModbusPort();
  if (Pymodbus(port, 2, {"read", "holding", "0", "1"}) == "skip") GTEST_SKIP() << "pymodbus is missing";
  // Half a request, then nothing: dropped after idle_timeout (3 s).
  auto r = RunProgram({"/usr/bin/python3", "-c",
                       "import socket, sys, time\n"
                       "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
                       "s.sendall(b'\\x00\\x01\\x00\\x00\\x00\\x06\\x02\\x03')\n"
                       "s.settimeout(10); t = time.monotonic()\n"
                       "closed = s.recv(10) == b''; took = time.monotonic() - t\n"
                       "print('closed in time' if closed and 2.5 < took < 8 else 'closed %s after %.1f s' % "
                       "(closed, took))\n",
                       Port()});
  EXPECT_EQ(r.out, "closed in time\n");
}

TEST_F(VelgwModbus, ADeviceThatGoesAwayIsOpenedAgainWhenItIsBack) {
  const int port = gateway->ModbusPort();
  if (Pymodbus(port, 2, {"read", "holding", "0", "1"}) == "skip") GTEST_SKIP() << "pymodbus is missing";
  aPty->hangup();  // the adapter is pulled: COM2 is gone
  EXPECT_TRUE(gateway->Logged("apty: offline after 3 failures in a row")) << gateway->Log();
  EXPECT_TRUE(Eventually([&] { return Pymodbus(port, 2, {"read", "holding", "0", "1"}) == "exception 11"; }));
  aPty->reopen();  // and plugged in again
  aPty->write(kAD0, Words({2323}));
  EXPECT_TRUE(gateway->Logged("apty: online again after")) << gateway->Log();
  EXPECT_TRUE(Eventually([&] { return Pymodbus(port, 2, {"read", "holding", "0", "1"}) == "2323"; }));
}

}  // namespace
