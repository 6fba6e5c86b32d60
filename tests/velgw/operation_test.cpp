// velgw as an operator meets it: --check, --help, --version and bad usage;
// the log (one line per change of state, never one per poll); SIGHUP with a
// bad and a good file; SIGTERM in the middle of a transfer; a Modbus port
// that is taken.
#include <signal.h>

#include "gateway_fixture.h"

namespace {

using namespace gwtest;
using velsim::Family;

constexpr const char *kConfig = R"([gateway]
backoff = 0.5
backoff_max = 0.5

[modbus]
listen = "127.0.0.1:0"

[controllers.press]
port = "COM1"
family = "fx"
unit = 1

[[controllers.press.tags]]
name = "d"
address = "D100"
count = 4
holding = 0

[controllers.gone]
port = "COM5"
family = "a"

[[controllers.gone.tags]]
name = "d"
address = "D0"
)";

class VelgwOperation : public ::testing::Test {
 protected:
  void SetUp() override {
    line = std::make_unique<velsim::PtyLine>(Family::Fx, dir.Path(), 1);
  }
  Result Velgw(std::vector<std::string> args) {
    args.insert(args.begin(), VELGW_PATH);
    return RunProgram(args, 20s, {{"VELDRV_DEVICE_DIR", dir.Path()}});
  }

  TempDir dir;
  std::unique_ptr<velsim::PtyLine> line;
};

TEST_F(VelgwOperation, CheckReportsEveryProblemWithFileAndLineAndOpensNothing) {
  const std::string good = dir.Path() + "/good.toml", bad = dir.Path() + "/bad.toml";
  WriteFile(good, kConfig);
  Result r = Velgw({"--check", good});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, good +
                       ": 2 controllers, 2 tags; Modbus TCP on 127.0.0.1:0\n"
                       "  press: COM1, FX, Modbus unit 1, 1 tag read in 1 transfer\n"
                       "  gone: COM5, A-series, 1 tag read in 1 transfer\n");
  line->settle();
  EXPECT_TRUE(line->wireBytes(velsim::WireDir::FromLibrary).empty());  // COM5 is missing, COM1 untouched

  std::string text = kConfig;
  text.replace(text.find("D100"), 4, "D9000");
  text += "[[controllers.gone.tags]]\nname = \"d\"\naddress = \"D1\"\nspeed = 3\n";
  WriteFile(bad, text);
  r = Velgw({"--check", bad});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("velgw: " + bad + ":15: tag 'd' of controller 'press': 'D9000' is beyond what"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("velgw: " + bad + ":29: unknown key 'speed' in tag of controller 'gone'"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("velgw: " + bad +
                       ":27: tag 'd' of controller 'gone': the name is taken by the tag on line 23"),
            std::string::npos)
      << r.out;
  // The same file refuses to run.
  r = Velgw({"--config", bad});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find(":15: "), std::string::npos) << r.out;
}

TEST_F(VelgwOperation, HelpVersionAndBadUsage) {
  Result r = Velgw({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: velgw --config FILE\n       velgw --check FILE\n", 0), 0u) << r.out;
  r = Velgw({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("velgw 1.", 0), 0u) << r.out;
  for (const auto &args : std::vector<std::vector<std::string>>{{},
                                                                {"--frobnicate"},
                                                                {"--config"},
                                                                {"--check", "a", "--config", "b"},
                                                                {"--check", "/nonexistent.toml"}}) {
    r = Velgw(args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args) << r.out;
    EXPECT_EQ(r.out.rfind("velgw: ", 0), 0u) << r.out;
  }
}

TEST_F(VelgwOperation, LogsChangesOfStateOnlyAndReloadsOnSighup) {
  VELGW_NEED("mbpoll", "mbpoll");
  const std::string file = dir.Path() + "/gw.toml";
  WriteFile(file, kConfig);
  Gateway gateway(dir.Path(), file);
  ASSERT_TRUE(gateway.Logged("press: online (COM1, FX)")) << gateway.Log();
  ASSERT_TRUE(gateway.Logged("gone: offline after 3 failures in a row: COM5 (")) << gateway.Log();
  // Retries every half second fail the same way: nothing more to say.
  EXPECT_TRUE(gateway.WaitLog("(-4); next try in 0.5 s"));
  gateway.Quiet(100ms);
  const std::size_t before = gateway.Log().size();
  EXPECT_TRUE(gateway.Quiet(3s)) << gateway.Log().substr(before);
  const std::string port = std::to_string(gateway.ModbusPort());
  line->write(0x10C8, Words({1, 2, 3, 4}));
  EXPECT_TRUE(Eventually([&] {
    auto v = Mbpoll({"-1", "-0", "-a", "1", "-r", "0", "-c", "4", "-p", port, "127.0.0.1"});
    return v && (*v)[3] == 4;
  }));

  // A file with a problem is refused; the gateway goes on as it was.
  std::string text = kConfig;
  WriteFile(file, text + "[[controllers.press.tags]]\nname = \"e\"\naddress = \"D110\"\nholding = 2\n");
  gateway.Signal(SIGHUP);
  EXPECT_TRUE(gateway.WaitLog("reload refused, the running configuration stays: 1 problem")) << gateway.Log();
  EXPECT_TRUE(
      gateway.WaitLog(file + ":26: tag 'e' of controller 'press': holding registers 2..2 overlap 0..3"))
      << gateway.Log();
  EXPECT_TRUE(Mbpoll({"-1", "-0", "-a", "1", "-r", "0", "-c", "4", "-p", port, "127.0.0.1"}));

  // A sound one replaces it: a new tag is served, the old one keeps its value.
  WriteFile(file, text + "[[controllers.press.tags]]\nname = \"e\"\naddress = \"D110\"\nholding = 10\n");
  line->write(0x10DC, Words({110}));
  gateway.Signal(SIGHUP);
  EXPECT_TRUE(
      gateway.WaitLog("configuration reloaded: 2 controllers, 3 tags; Modbus TCP on 127.0.0.1:" + port))
      << gateway.Log();
  EXPECT_TRUE(Eventually([&] {
    auto v = Mbpoll({"-1", "-0", "-a", "1", "-r", "10", "-p", port, "127.0.0.1"});
    return v && (*v)[10] == 110;
  })) << gateway.Log();
  auto v = Mbpoll({"-1", "-0", "-a", "1", "-r", "0", "-c", "4", "-p", port, "127.0.0.1"});
  ASSERT_TRUE(v);
  EXPECT_EQ((*v)[3], 4);
  // The controllers went on with their links: no new state to report.
  const std::string &log = gateway.Log();
  EXPECT_EQ(log.find("press: online"), log.rfind("press: online")) << log;
  EXPECT_EQ(log.find("gone: offline"), log.rfind("gone: offline")) << log;
}

TEST_F(VelgwOperation, SigtermEndsAfterTheTransferUnderWay) {
  line->setPace(true);  // 1000 bytes: four frames, about two seconds on the line
  const std::string file = dir.Path() + "/gw.toml";
  WriteFile(
      file,
      "[modbus]\nlisten = \"127.0.0.1:0\"\n[controllers.c]\nport = \"COM1\"\nfamily = \"fx\"\nunit = 1\n"
      "[[controllers.c.tags]]\nname = \"d\"\naddress = \"D0\"\ncount = 500\nholding = 0\n");
  Gateway gateway(dir.Path(), file);
  auto reads = [&] {
    int n = 0;
    for (const velsim::TraceEntry &e : line->trace()) n += e.kind == velsim::TraceKind::Read;
    return n;
  };
  ASSERT_TRUE(Eventually([&] { return reads() % 4 == 1; }, 20s));  // the first frame of a transfer
  gateway.Signal(SIGTERM);
  EXPECT_EQ(gateway.WaitExit(15s), 0);
  line->settle();
  EXPECT_EQ(reads() % 4, 0) << "a transfer was cut short";
  EXPECT_TRUE(gateway.Logged("stopping (SIGTERM)"));
  EXPECT_TRUE(gateway.Logged("stopped"));
}

TEST_F(VelgwOperation, AModbusPortThatIsTakenEndsTheStartWithStatus1) {
  const std::string file = dir.Path() + "/gw.toml";
  std::string text = kConfig;
  // The simulator's own listening port is taken.
  velsim::TcpLine taken(Family::Fx);
  text.replace(text.find("127.0.0.1:0"), 11, "127.0.0.1:" + std::to_string(taken.port()));
  WriteFile(file, text);
  Result r = Velgw({"--config", file});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("modbus: cannot listen on 127.0.0.1:" + std::to_string(taken.port()) +
                       ": Address already in use"),
            std::string::npos)
      << r.out;
}

}  // namespace
