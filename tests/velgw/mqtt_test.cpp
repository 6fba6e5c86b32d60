// velgw's MQTT client against a mosquitto broker on 127.0.0.1, watched with
// mosquitto_sub and written with mosquitto_pub: retained values, changes and
// the deadband, the longest interval, availability and status topics, writes
// through .../set, a controller going offline, the broker going away, and
// the last will of a killed gateway.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "gateway_fixture.h"

namespace {

using namespace gwtest;
using velsim::Family;

constexpr std::uint16_t kFxD100 = 0x10C8, kFxD110 = 0x10DC, kFxM0 = 0x0100, kAD0 = 0x8800;

std::string Config(int broker, const std::string &prefix, const std::string &controllers) {
  return R"([gateway]
failures = 2
backoff = 1
backoff_max = 1

[mqtt]
broker = "127.0.0.1:)" +
         std::to_string(broker) + R"("
prefix = ")" +
         prefix +
         R"("
max_interval = 3
reconnect_max = 1

[groups.default]
interval = 0.2
max_age = 1.5

[groups.band]
interval = 0.2
deadband = 10
)" + controllers;
}

class VelgwMqtt : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    if (Which("mosquitto").empty() || Which("mosquitto_sub").empty() || Which("mosquitto_pub").empty())
      return;
    dir = std::make_unique<TempDir>();
    broker = std::make_unique<Broker>(dir->Path());
    fx = std::make_unique<velsim::PtyLine>(Family::Fx, dir->Path(), 1);
    a = std::make_unique<velsim::TcpLine>(Family::A);
    fx->write(kFxD100, Words({5, 6}));
    WriteFile(dir->Path() + "/gw.toml", Config(broker->Port(), "t/gw", R"(
[controllers.fx]
port = "COM1"
family = "fx"

[[controllers.fx.tags]]
name = "d"
address = "D100"
count = 2
access = "read-write"

[[controllers.fx.tags]]
name = "m"
address = "M0"
access = "read-write"

[[controllers.fx.tags]]
name = "level"
address = "D110"
type = "i16"
group = "band"

[controllers.a]
port = ")" + a->address() + R"("
family = "a"

[[controllers.a.tags]]
name = "d"
address = "D0"
type = "f32"
access = "read-write"

[[controllers.a.tags]]
name = "ro"
address = "D10"
)"));
    gateway = std::make_unique<Gateway>(dir->Path(), dir->Path() + "/gw.toml");
    ASSERT_TRUE(gateway->Logged("mqtt: connected to 127.0.0.1:" + std::to_string(broker->Port())))
        << gateway->Log();
    ASSERT_TRUE(gateway->Logged("fx: online") && gateway->Logged("a: online")) << gateway->Log();
  }
  static void TearDownTestSuite() {
    gateway.reset();
    fx.reset();
    a.reset();
    broker.reset();
    dir.reset();
  }

 protected:
  void SetUp() override {
    VELGW_NEED("mosquitto", "mosquitto");
    VELGW_NEED("mosquitto_sub", "mosquitto-clients");
    VELGW_NEED("mosquitto_pub", "mosquitto-clients");
    fx->clearFaults();
    a->clearFaults();
  }
  static void Publish(const std::string &topic, const std::string &payload) {
    auto r = RunProgram({"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker->Port()), "-t",
                         topic, "-m", payload});
    EXPECT_EQ(r.status, 0) << r.out;
  }

  static inline std::unique_ptr<TempDir> dir;
  static inline std::unique_ptr<Broker> broker;
  static inline std::unique_ptr<velsim::PtyLine> fx;
  static inline std::unique_ptr<velsim::TcpLine> a;
  static inline std::unique_ptr<Gateway> gateway;
};

TEST_F(VelgwMqtt, ValuesAvailabilityAndStatusAreRetained) {
  Subscriber sub(broker->Port(), "t/gw/#");  // comes later: sees what is retained
  EXPECT_TRUE(sub.WaitFor("t/gw/availability online\n"));
  EXPECT_TRUE(sub.WaitFor("t/gw/fx/availability online\n"));
  EXPECT_TRUE(sub.WaitFor("t/gw/fx/status {\"state\":\"online\",\"since\":\""));
  EXPECT_TRUE(
      sub.WaitFor(",\"port\":\"COM1\",\"family\":\"fx\",\"status\":0,\"reason\":\"\",\"transfers\":"));
  EXPECT_TRUE(sub.WaitFor("t/gw/fx/d {\"value\":[5,6],\"quality\":\"good\",\"ts\":\"20"));
  EXPECT_TRUE(sub.WaitFor("t/gw/fx/m {\"value\":false,\"quality\":\"good\""));
  EXPECT_TRUE(sub.WaitFor("t/gw/a/d {\"value\":0,\"quality\":\"good\""));
  EXPECT_TRUE(sub.WaitFor("t/gw/a/availability online\n"));
}

TEST_F(VelgwMqtt, ChangesArePublishedSmallOnesWithinTheDeadbandNotAndUnchangedOnesAgainAfterTheInterval) {
  Subscriber sub(broker->Port(), "t/gw/fx/level");
  fx->write(kFxD110, Words({100}));
  ASSERT_TRUE(sub.WaitFor("{\"value\":100,"));
  sub.Mark();
  fx->write(kFxD110, Words({105}));  // less than the deadband of 10 from 100
  EXPECT_TRUE(sub.NotWithin("\"value\":105", 1s)) << sub.Output();
  fx->write(kFxD110, Words({static_cast<std::uint16_t>(-7)}));
  EXPECT_TRUE(sub.WaitFor("{\"value\":-7,\"quality\":\"good\""));
  sub.Mark();
  // Unchanged for max_interval (3 s): published again.
  EXPECT_TRUE(sub.WaitFor("{\"value\":-7,\"quality\":\"good\"", 6s));
}

TEST_F(VelgwMqtt, WritesThroughSetTopicsWithTheirResults) {
  Subscriber sub(broker->Port(), "t/gw/+/+/set/result");
  Publish("t/gw/a/d/set", "{\"value\": 2.5, \"id\": \"x1\"}");
  EXPECT_TRUE(sub.WaitFor("t/gw/a/d/set/result {\"ok\":true,\"value\":2.5,\"id\":\"x1\"}"));
  EXPECT_EQ(a->read(kAD0, 4), Words({0x0000, 0x4020}));
  Publish("t/gw/fx/d/set", "[7, 65535]");
  EXPECT_TRUE(sub.WaitFor("t/gw/fx/d/set/result {\"ok\":true,\"value\":[7, 65535]}"));
  EXPECT_EQ(fx->read(kFxD100, 4), Words({7, 65535}));
  fx->write(kFxM0, {0x80});
  Publish("t/gw/fx/m/set", "true");
  EXPECT_TRUE(sub.WaitFor("t/gw/fx/m/set/result {\"ok\":true,\"value\":true}"));
  EXPECT_EQ(fx->read(kFxM0, 1), (std::vector<std::uint8_t>{0x81}));
  // Refused before anything is sent.
  Publish("t/gw/a/ro/set", "1");
  EXPECT_TRUE(sub.WaitFor("t/gw/a/ro/set/result {\"ok\":false,\"error\":\"a/ro is read-only\"}"));
  Publish("t/gw/fx/d/set", "[1, 70000]");
  EXPECT_TRUE(sub.WaitFor("{\"ok\":false,\"error\":\"70000 is not a whole number in 0..65535 (u16)\"}"));
  Publish("t/gw/fx/d/set", "seven");
  EXPECT_TRUE(sub.WaitFor("{\"ok\":false,\"error\":\"payload is not JSON: "));
  Publish("t/gw/fx/nothing/set", "1");
  EXPECT_TRUE(sub.WaitFor("t/gw/fx/nothing/set/result {\"ok\":false,\"error\":\"no tag fx/nothing\"}"));
  EXPECT_EQ(fx->read(kFxD100, 4), Words({7, 65535}));
  // The value is published as written.
  Subscriber values(broker->Port(), "t/gw/fx/d");
  EXPECT_TRUE(values.WaitFor("{\"value\":[7,65535],\"quality\":\"good\""));
}

TEST_F(VelgwMqtt, AnOfflineControllerIsPublishedAndComesBack) {
  Subscriber sub(broker->Port(), "t/gw/a/#");
  ASSERT_TRUE(sub.WaitFor("t/gw/a/availability online"));
  sub.Mark();
  a->setFault({velsim::FaultKind::Silent});
  EXPECT_TRUE(sub.WaitFor("t/gw/a/availability offline", 15s));
  EXPECT_TRUE(sub.WaitFor("\"quality\":\"offline\""));
  EXPECT_TRUE(sub.WaitFor("t/gw/a/status {\"state\":\"offline\""));
  EXPECT_TRUE(sub.WaitFor("\"last_failure\":{\"status\":-1,\"reason\":\"COM"));
  // A write while it is off scan is refused at once, with the reason.
  Publish("t/gw/a/d/set", "1");
  EXPECT_TRUE(sub.WaitFor(
      "t/gw/a/d/set/result {\"ok\":false,\"status\":-1,\"error\":\"controller a is offline: COM"));
  sub.Mark();
  a->clearFaults();
  EXPECT_TRUE(sub.WaitFor("t/gw/a/availability online", 15s));
  EXPECT_TRUE(sub.WaitFor("\"quality\":\"good\""));
}

TEST_F(VelgwMqtt, ABrokerThatGoesAwayIsReconnectedAndGetsEverythingAgain) {
  broker->Stop();  // its retained messages go with it
  EXPECT_TRUE(gateway->WaitLog("mqtt: connection to 127.0.0.1:" + std::to_string(broker->Port()) + " lost"))
      << gateway->Log();
  broker->Start();
  EXPECT_TRUE(gateway->WaitLog("mqtt: connected to")) << gateway->Log();
  Subscriber sub(broker->Port(), "t/gw/#");
  EXPECT_TRUE(sub.WaitFor("t/gw/availability online"));
  EXPECT_TRUE(sub.WaitFor("t/gw/fx/availability online"));
  EXPECT_TRUE(sub.WaitFor("t/gw/fx/d {\"value\":"));
  EXPECT_TRUE(sub.WaitFor("t/gw/a/ro {\"value\":"));
}

TEST_F(VelgwMqtt, AKilledGatewaysWillAndAStoppedGatewaysGoodbye) {
  // Gateways of their own, on a controller of their own (a port is one process's).
  velsim::PtyLine line(Family::Fx, dir->Path(), 3);
  const std::string controllers =
      "[controllers.c]\nport = \"COM3\"\nfamily = \"fx\"\n"
      "[[controllers.c.tags]]\nname = \"d\"\naddress = \"D0\"\naccess = \"read-write\"\n";
  Subscriber sub(broker->Port(), "t/other/#");
  {
    WriteFile(dir->Path() + "/kill.toml", Config(broker->Port(), "t/other", controllers));
    Gateway killed(dir->Path(), dir->Path() + "/kill.toml");
    ASSERT_TRUE(sub.WaitFor("t/other/c/d {\"value\":0,\"quality\":\"good\""));
    sub.Mark();
    killed.Signal(SIGKILL);
    EXPECT_EQ(killed.WaitExit(), 128 + SIGKILL);
    EXPECT_TRUE(sub.WaitFor("t/other/availability offline"));  // the last will
  }
  {
    // A write left retained on the broker is not done when the gateway subscribes.
    RunProgram({"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker->Port()), "-r", "-t",
                "t/other/c/d/set", "-m", "9"});
    Gateway stopped(dir->Path(), dir->Path() + "/kill.toml");
    EXPECT_TRUE(sub.WaitFor("t/other/c/d/set/result {\"ok\":false,\"error\":\"a retained write is not done"));
    EXPECT_EQ(line.read(0x1000, 2), Words({0}));
    RunProgram({"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker->Port()), "-r", "-t",
                "t/other/c/d/set", "-n"});
    ASSERT_TRUE(sub.WaitFor("t/other/availability online"));
    ASSERT_TRUE(sub.WaitFor("t/other/c/availability online"));
    sub.Mark();
    stopped.Signal(SIGTERM);
    EXPECT_EQ(stopped.WaitExit(), 0);
    EXPECT_TRUE(sub.WaitFor("t/other/c/availability offline"));
    EXPECT_TRUE(sub.WaitFor("t/other/availability offline"));
    EXPECT_TRUE(stopped.Logged("stopped")) << stopped.Log();
  }
}

TEST_F(VelgwMqtt, TlsWithUserAndPassword) {
  VELGW_NEED("openssl", "openssl");
  VELGW_NEED("mosquitto_passwd", "mosquitto");
  // A CA, a certificate for 127.0.0.1, and a broker that takes nothing else.
  const std::string d = dir->Path() + "/tls";
  ASSERT_EQ(RunProgram({"mkdir", "-p", d}).status, 0);
  for (const std::vector<std::string> &step : std::vector<std::vector<std::string>>{
           {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
            "/CN=velgw test CA", "-keyout", d + "/ca.key", "-out", d + "/ca.pem"},
           {"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
            d + "/server.key", "-out", d + "/server.csr"},
           {"openssl", "x509", "-req", "-in", d + "/server.csr", "-CA", d + "/ca.pem", "-CAkey",
            d + "/ca.key", "-CAcreateserial", "-days", "2", "-extfile", d + "/san", "-out",
            d + "/server.pem"},
           {"mosquitto_passwd", "-c", "-b", d + "/passwd", "plant", "s3cret"}}) {
    WriteFile(d + "/san", "subjectAltName=IP:127.0.0.1\n");
    Result r = RunProgram(step);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  const passwd *me = getpwuid(getuid());
  Broker secure(dir->Path(), "cafile " + d + "/ca.pem\ncertfile " + d + "/server.pem\nkeyfile " + d +
                                 "/server.key\npassword_file " + d + "/passwd\nuser " +
                                 (me ? me->pw_name : "root") + "\n");
  velsim::PtyLine line(Family::Fx, dir->Path(), 4);
  line.write(0x1000, Words({44}));
  const std::string controllers =
      "[controllers.c]\nport = \"COM4\"\nfamily = \"fx\"\n"
      "[[controllers.c.tags]]\nname = \"d\"\naddress = \"D0\"\n";
  std::string config = Config(secure.Port(), "t/tls", controllers);
  const std::string tls =
      "username = \"plant\"\npassword = \"s3cret\"\n[mqtt.tls]\nca_file = \"tls/ca.pem\"\n";  // beside the
                                                                                              // file
  config.replace(config.find("[groups.default]"), 0, tls);
  WriteFile(dir->Path() + "/tls.toml", config);
  {
    Gateway gateway(dir->Path(), dir->Path() + "/tls.toml");
    EXPECT_TRUE(gateway.Logged("mqtt: connected to 127.0.0.1:" + std::to_string(secure.Port())))
        << gateway.Log();
    Result r =
        RunProgram({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(secure.Port()), "--cafile",
                    d + "/ca.pem", "-u", "plant", "-P", "s3cret", "-t", "t/tls/c/d", "-C", "1", "-W", "10"});
    EXPECT_EQ(r.out.rfind("{\"value\":44,\"quality\":\"good\"", 0), 0u) << r.out;
  }
  // A wrong password: the broker's refusal, once.
  config.replace(config.find("s3cret"), 6, "wrong");
  WriteFile(dir->Path() + "/tls.toml", config);
  Gateway refused(dir->Path(), dir->Path() + "/tls.toml");
  EXPECT_TRUE(refused.Logged("refused the connection: Connection Refused: not authorised")) << refused.Log();
  refused.Quiet(3s);  // retries every second
  const std::string &log = refused.Log();
  EXPECT_EQ(log.find("refused the connection"), log.rfind("refused the connection")) << log;
}

}  // namespace
