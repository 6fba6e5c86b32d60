// The configuration: what a sound file sets up, and every kind of problem
// reported with its line.
#include "config.h"

#include <gtest/gtest.h>

namespace velgw {
namespace {

std::optional<Config> Parse(const std::string &text, std::vector<std::string> *errors) {
  return ParseConfig(text, "plant.toml", errors);
}

const char *kSound = R"([gateway]
failures = 2
backoff = 0.5

[modbus]
listen = "127.0.0.1:0"

[mqtt]
broker = "127.0.0.1"
prefix = "site/line1"

[groups.fast]
interval = 0.25
deadband = 1.5

[controllers.press]
port = "COM3"
family = "fx"
unit = 4

[[controllers.press.tags]]
name = "inputs"
address = "X10"
count = 12
discrete = 0

[[controllers.press.tags]]
name = "speed"
address = "D100"
type = "f32"
word_order = "high_first"
access = "read-write"
group = "fast"
holding = 10

[[controllers.press.tags]]
name = "count"
address = "C200"

[controllers.oven]
port = "tcp://127.0.0.1:4001"
family = "a"

[[controllers.oven.tags]]
name = "flags"
address = "M13"
type = "bool"
)";

TEST(VelgwConfig, ASoundFileSetsUpWhatItSays) {
  std::vector<std::string> errors;
  auto config = Parse(kSound, &errors);
  ASSERT_TRUE(config) << ::testing::PrintToString(errors);
  EXPECT_EQ(config->gateway.failures, 2);
  EXPECT_DOUBLE_EQ(config->gateway.backoff, 0.5);
  EXPECT_EQ(config->modbus.port, "0");
  EXPECT_EQ(config->mqtt.port, 1883);
  EXPECT_EQ(config->mqtt.prefix, "site/line1");
  ASSERT_EQ(config->controllers.size(), 2u);  // in the order of the file
  const ControllerConfig &press = config->controllers[0], &oven = config->controllers[1];
  EXPECT_EQ(press.name, "press");
  EXPECT_EQ(press.portNumber, 2);
  EXPECT_EQ(press.device, "");
  EXPECT_EQ(oven.portNumber, 0);  // the lowest number no COMn port takes
  EXPECT_EQ(oven.device, "tcp://127.0.0.1:4001");
  EXPECT_EQ(oven.unit, 0);

  const TagConfig &inputs = press.tags[0], &speed = press.tags[1], &count = press.tags[2];
  EXPECT_EQ(inputs.type, ValueType::Bool);  // the default of a bit device
  EXPECT_EQ(inputs.span.address, 0x0081u);  // X10..X23 (octal) lie in bytes 0x81 and 0x82
  EXPECT_EQ(inputs.span.bytes, 2u);
  EXPECT_EQ(inputs.table, Table::DiscreteInputs);
  EXPECT_FALSE(inputs.writable);
  EXPECT_EQ(speed.span.address, 0x10C8u);
  EXPECT_TRUE(speed.span.words);
  EXPECT_TRUE(speed.highWordFirst);
  EXPECT_EQ(config->groups[static_cast<std::size_t>(speed.group)].name, "fast");
  EXPECT_DOUBLE_EQ(config->groups[static_cast<std::size_t>(speed.group)].maxAge, 2.0);
  EXPECT_EQ(count.type, ValueType::U32);  // a 32-bit counter
  EXPECT_EQ(count.span.address, 0x0C00u);
  EXPECT_EQ(config->groups[static_cast<std::size_t>(count.group)].name, "default");
  EXPECT_EQ(oven.tags[0].span.address, 0x8401u);  // A-series M13: bit 5 of marker byte 1
  EXPECT_EQ(oven.tags[0].bit, 5);
}

struct Problem {
  std::string text;
  int line;
  std::string says;
};

const char *kController = "[modbus]\n[controllers.c]\nport = \"COM1\"\nfamily = \"fx\"\nunit = 1\n";

std::string Tag(const std::string &body) {
  return std::string(kController) + "[[controllers.c.tags]]\n" + body;
}

TEST(VelgwConfig, EveryProblemIsReportedWithItsLine) {
  const Problem problems[] = {
      {"[modbus]\nlisten = 502\n", 2, "listen must be a string"},
      {"[modbus]\nlisten = \"localhost\"\n", 2, "is not HOST:PORT"},
      {"[modbus]\nport = 502\n", 2, "unknown key 'port' in [modbus]"},
      {std::string(kController) +
           "colour = \"red\"\n[[controllers.c.tags]]\nname = \"a\"\naddress = \"D0\"\n",
       6, "unknown key 'colour'"},
      {"[modbus]\n[controllers.c]\nfamily = \"fx\"\n", 2, "port is missing"},
      {"[modbus]\n[controllers.c]\nport = \"COM17\"\nfamily = \"fx\"\n", 3, "not COM1..COM16"},
      {"[modbus]\n[controllers.c]\nport = \"ttyUSB0\"\nfamily = \"fx\"\n", 3, "absolute device path"},
      {"[modbus]\n[controllers.c]\nport = \"tcp://plc:99999\"\nfamily = \"fx\"\n", 3, "from 1 to 65535"},
      {"[modbus]\n[controllers.c]\nport = \"rfc2217://plc\"\nfamily = \"fx\"\n", 3, "takes HOST:PORT"},
      {"[modbus]\n[controllers.c]\nport = \"TCP://plc:4001\"\nfamily = \"fx\"\n", 3, "in lower case"},
      {"[modbus]\n[controllers.c]\nport = \"COM1\"\nfamily = \"q\"\n", 4, "is not one of 'fx', 'a'"},
      {Tag("name = \"a\"\naddress = \"X8\"\n"), 8, "numbered in octal"},
      {Tag("name = \"a\"\naddress = \"M2000\"\n"), 8,
       "beyond what the controller's plain read and write commands reach"},
      {Tag("name = \"a\"\naddress = \"D7999\"\ncount = 2\n"), 9, "run past D7999"},
      {Tag("name = \"a\"\naddress = \"D0\"\ntype = \"bool\"\n"), 8, "not a bit device"},
      {Tag("name = \"a\"\naddress = \"X0\"\naccess = \"read-write\"\n"), 9, "cannot be written"},
      {Tag("name = \"a\"\naddress = \"C200\"\ntype = \"u16\"\n"), 9, "32-bit counter"},
      {Tag("name = \"a\"\naddress = \"M3\"\ntype = \"u16\"\n"), 8, "not the first device of a byte"},
      {Tag("name = \"a\"\naddress = \"D0\"\ncoil = 0\n"), 9, "goes into holding or input registers"},
      {Tag("name = \"a\"\naddress = \"D0\"\nholding = 0\ninput = 0\n"), 10, "one Modbus table"},
      {Tag("name = \"a\"\naddress = \"D0\"\nholding = 65535\ncount = 2\n"), 9, "run past 65535"},
      {Tag("name = \"a\"\naddress = \"D0\"\ngroup = \"slow\"\n"), 9, "no scan group 'slow'"},
      {Tag("name = \"a/b\"\naddress = \"D0\"\n"), 7, "letters, digits"},
      {Tag("name = \"status\"\naddress = \"D0\"\n"), 7, "the controller's own topic"},
      {Tag("name = \"a\"\naddress = \"D0\"\n[[controllers.c.tags]]\nname = \"a\"\naddress = \"D1\"\n"), 10,
       "taken by the tag on line 6"},
      {Tag("name = \"a\"\naddress = \"D0\"\ncount = 4\nholding = 0\n[[controllers.c.tags]]\nname = \"b\"\n"
           "address = \"D10\"\nholding = 3\n"),
       11, "holding registers 3..3 overlap 0..3 of tag 'a' (line 6)"},
      {Tag("name = \"a\"\naddress = \"D0\"\n") +
           "[controllers.d]\nport = \"COM1\"\nfamily = \"a\"\nunit = 1\n"
           "[[controllers.d.tags]]\nname = \"a\"\naddress = \"D0\"\n",
       9, "COM1 is the port of controller 'c'"},
      {Tag("name = \"a\"\naddress = \"D0\"\n") +
           "[controllers.d]\nport = \"COM2\"\nfamily = \"a\"\nunit = 1\n"
           "[[controllers.d.tags]]\nname = \"a\"\naddress = \"D0\"\n",
       9, "Modbus unit 1 is the unit of controller 'c'"},
      {"[groups.g]\ninterval = 2\nmax_age = 1\n", 3, "shorter than the interval"},
      {"[mqtt]\nbroker = \"h\"\npassword = \"x\"\n", 3, "a password needs a username"},
      {"[mqtt]\nbroker = \"h\"\n[mqtt.tls]\nca_file = \"/nonexistent/ca.pem\"\n", 4, "No such file"},
      {"[modbus\n", 1, ""},  // the parser's own words
      {"[controllers.c]\nport = \"COM1\"\nfamily = \"fx\"\n[[controllers.c.tags]]\nname = \"a\"\naddress = "
       "\"D0\"\n",
       1, "neither [modbus] nor [mqtt]"},
  };
  for (const Problem &p : problems) {
    std::vector<std::string> errors;
    EXPECT_FALSE(Parse(p.text, &errors)) << p.text;
    ASSERT_FALSE(errors.empty()) << p.text;
    const std::string want = "plant.toml:" + std::to_string(p.line) + ": ";
    bool found = false;
    for (const std::string &e : errors)
      found = found || (e.rfind(want, 0) == 0 && e.find(p.says) != std::string::npos);
    EXPECT_TRUE(found) << p.text << "\nwanted " << want << "..." << p.says << "\ngot "
                       << ::testing::PrintToString(errors);
  }
}

TEST(VelgwConfig, AllProblemsComeAtOnceInTheOrderOfTheFile) {
  std::vector<std::string> errors;
  EXPECT_FALSE(
      Parse(Tag("name = \"a\"\naddress = \"Q1\"\n[[controllers.c.tags]]\nname = \"b\"\naddress = \"D0\"\n"
                "type = \"u8\"\n") +
                "[gateway]\nfailures = 0\n",
            &errors));
  ASSERT_EQ(errors.size(), 3u) << ::testing::PrintToString(errors);
  EXPECT_EQ(errors[0].rfind("plant.toml:8: ", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1].rfind("plant.toml:12: ", 0), 0u) << errors[1];
  EXPECT_EQ(errors[2].rfind("plant.toml:14: ", 0), 0u) << errors[2];
}

}  // namespace
}  // namespace velgw
