// Values between controller memory, Modbus registers and JSON; the reads a
// scan is planned in; the JSON of MQTT payloads.
#include "values.h"

#include <gtest/gtest.h>

#include "config.h"
#include "json.h"
#include "scan_plan.h"

namespace velgw {
namespace {

ControllerConfig Controller(const std::string &tags, operands::Family family = operands::Family::Fx) {
  std::vector<std::string> errors;
  const std::string text =
      std::string("[mqtt]\nbroker = \"h\"\n[controllers.c]\nport = \"COM1\"\nfamily = \"") +
      (family == operands::Family::Fx ? "fx" : "a") + "\"\nunit = 1\n" + tags;
  auto config = ParseConfig(text, "t.toml", &errors);
  EXPECT_TRUE(config) << ::testing::PrintToString(errors);
  return config ? config->controllers[0] : ControllerConfig{};
}

std::string Tag(const std::string &address, const std::string &type, int count = 1,
                const std::string &more = "") {
  return "[[controllers.c.tags]]\nname = \"t" +
         std::to_string(std::hash<std::string>{}(address + type) % 100000) + "\"\naddress = \"" + address +
         "\"\ntype = \"" + type + "\"\ncount = " + std::to_string(count) + "\n" + more;
}

JsonValue Json(const std::string &text) {
  std::string error;
  auto v = ParseJson(text, &error);
  EXPECT_TRUE(v) << text << ": " << error;
  return v ? *v : JsonValue{};
}

TEST(VelgwValues, NumbersInTheControllersOrderAndInTheTagsWordOrder) {
  const ControllerConfig c =
      Controller(Tag("D0", "i16", 2) + Tag("D10", "i32", 1, "word_order = \"high_first\"\n") +
                 Tag("D20", "f32") + Tag("D30", "u32"));
  const std::uint8_t i16[] = {0xFB, 0xFF, 0x10, 0x00};
  EXPECT_EQ(ValueJson(c.tags[0], i16), "[-5,16]");
  const std::uint8_t i32[] = {0x90, 0xEE, 0xFE, 0xFF};  // -70000, low word first
  EXPECT_EQ(ValueJson(c.tags[1], i32), "-70000");
  std::uint16_t regs[2];
  ElementRegisters(c.tags[1], i32, 0, regs);
  EXPECT_EQ(regs[0], 0xFFFE);  // high word first on Modbus
  EXPECT_EQ(regs[1], 0xEE90);
  EXPECT_EQ(FromRegisters(c.tags[1], regs, 1), Encoded(i32, i32 + 4));
  const std::uint8_t f32[] = {0x00, 0x00, 0x50, 0x40};  // 3.25
  EXPECT_EQ(ValueJson(c.tags[2], f32), "3.25");
  ElementRegisters(c.tags[2], f32, 0, regs);
  EXPECT_EQ(regs[0], 0x0000);  // low word first: the controller's order
  EXPECT_EQ(regs[1], 0x4050);
  const std::uint8_t nan[] = {0x00, 0x00, 0xC0, 0x7F};
  EXPECT_EQ(ValueJson(c.tags[2], nan), "null");

  Encoded out;
  std::string error;
  EXPECT_TRUE(FromJson(c.tags[0], Json("[-32768, 32767]"), &out, &error)) << error;
  EXPECT_EQ(out, (Encoded{0x00, 0x80, 0xFF, 0x7F}));
  EXPECT_TRUE(FromJson(c.tags[3], Json("4294967295"), &out, &error)) << error;
  EXPECT_EQ(out, (Encoded{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(FromJson(c.tags[2], Json("[-1.5e3]"), &out, &error)) << error;
  EXPECT_EQ(out, (Encoded{0x00, 0x80, 0xBB, 0xC4}));
  // Refused: out of range, not whole, wrong count, not a number.
  EXPECT_FALSE(FromJson(c.tags[0], Json("[32768, 0]"), &out, &error));
  EXPECT_NE(error.find("-32768..32767"), std::string::npos) << error;
  EXPECT_FALSE(FromJson(c.tags[3], Json("1.5"), &out, &error));
  EXPECT_FALSE(FromJson(c.tags[0], Json("[1]"), &out, &error));
  EXPECT_FALSE(FromJson(c.tags[3], Json("\"7\""), &out, &error));
  EXPECT_FALSE(FromJson(c.tags[2], Json("1e39"), &out, &error));
}

TEST(VelgwValues, BitsCountFromTheirPlaceInTheByte) {
  const ControllerConfig c =
      Controller(Tag("M13", "bool", 5));  // FX M13..M17: bits 5..7 of 0x0101, 0..1 of 0x0102
  const TagConfig &tag = c.tags[0];
  EXPECT_EQ(tag.span.address, 0x0101u);
  EXPECT_EQ(tag.span.bytes, 2u);
  const std::uint8_t bytes[] = {0b10100000, 0b00000010};
  EXPECT_EQ(ValueJson(tag, bytes), "[true,false,true,false,true]");
  Encoded out;
  std::string error;
  EXPECT_TRUE(FromJson(tag, Json("[true, 0, 1, false, true]"), &out, &error)) << error;
  EXPECT_EQ(out, (Encoded{1, 0, 1, 0, 1}));
  EXPECT_FALSE(FromJson(tag, Json("[2, 0, 1, 0, 1]"), &out, &error));
}

TEST(VelgwPlan, NeighboursOfOneBlockShareAReadUpToTheFrameSize) {
  const ControllerConfig c =
      Controller(Tag("D100", "u16", 4) + Tag("D104", "u32") + Tag("D110", "u16") + Tag("D120", "u16") +
                 Tag("M0", "bool") + Tag("M8", "bool", 8) + Tag("T0", "u16") + Tag("T0", "bool"));
  std::vector<int> all;
  for (std::size_t i = 0; i < c.tags.size(); i++) all.push_back(static_cast<int>(i));
  const auto reads = PlanReads(c, all, 254, false);
  // D100..D105, D110 (gap of 8 bytes) in one read; D120 (gap of 18) alone; M0 and M8..M15 in one
  // byte read; T0's contacts and T0's value lie in different blocks.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> got;
  for (const PlannedRead &r : reads) got.emplace_back(r.span.address, r.span.bytes);
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> want = {
      {0x00C0, 1}, {0x0100, 2}, {0x0800, 2}, {0x10C8, 22}, {0x10F0, 2}};
  EXPECT_EQ(got, want);
  const PlannedRead &d = reads[3];
  EXPECT_TRUE(d.span.words);
  EXPECT_EQ(d.span.letter, 'D');
  EXPECT_EQ(d.span.start, 100);
  EXPECT_EQ(d.span.units, 11);
  ASSERT_EQ(d.parts.size(), 3u);
  EXPECT_EQ(d.parts[2].offset, 20);
  EXPECT_EQ(reads[0].span.letter, 'S');  // T contacts: no letter reaches them
  EXPECT_EQ(reads[1].span.letter, 'M');
  EXPECT_EQ(PlanReads(c, all, 254, true)[1].span.letter, 'S');  // legacy FX areas: raw address

  // 200 neighbouring registers in frames of at most 64 bytes.
  std::string many;
  for (int i = 0; i < 200; i++)
    many += "[[controllers.c.tags]]\nname = \"r" + std::to_string(i) + "\"\naddress = \"D" +
            std::to_string(i) + "\"\n";
  const ControllerConfig m = Controller(many, operands::Family::A);
  all.clear();
  for (int i = 0; i < 200; i++) all.push_back(i);
  const auto frames = PlanReads(m, all, 64, false);
  ASSERT_EQ(frames.size(), 7u);  // 400 bytes: 6 x 64 + 16
  EXPECT_EQ(frames[0].span.address, 0x8800u);
  EXPECT_EQ(frames[0].span.bytes, 64u);
  EXPECT_EQ(frames[6].span.bytes, 16u);
}

TEST(VelgwJson, PayloadsAreParsedStrictly) {
  std::string error;
  auto v = ParseJson(" {\"value\": [1, -2.5e1, true], \"id\": {\"n\": \"\\u00e9\\n\"}} ", &error);
  ASSERT_TRUE(v) << error;
  ASSERT_TRUE(v->Member("value"));
  EXPECT_EQ(v->Member("value")->items[1].number, -25);
  EXPECT_EQ(v->Member("id")->raw, "{\"n\": \"\\u00e9\\n\"}");
  EXPECT_EQ(v->Member("id")->Member("n")->text, "\xC3\xA9\n");
  for (const char *bad : {"", "01", "1.", "[1,]", "{\"a\" 1}", "tru", "\"x", "1 2",
                          "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"})
    EXPECT_FALSE(ParseJson(bad, &error)) << bad;
  EXPECT_EQ(JsonString("a\"b\\\x01"), "\"a\\\"b\\\\\\u0001\"");
}

}  // namespace
}  // namespace velgw
