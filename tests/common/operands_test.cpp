// FX device names, A-series letters and raw addresses: where each lies, how
// the exports reach it, and what is refused.
#include "operands.h"

#include <gtest/gtest.h>

namespace {

using operands::Family;
using operands::Kind;
using operands::Operand;

Operand Parse(const char *text, Family family = Family::Fx, bool bits = false) {
  std::string error;
  auto op = operands::ParseOperand(text, family, bits, &error);
  EXPECT_TRUE(op.has_value()) << text << ": " << error;
  return op.value_or(Operand{});
}

std::string Refusal(const char *text, Family family = Family::Fx, bool bits = false) {
  std::string error;
  auto op = operands::ParseOperand(text, family, bits, &error);
  EXPECT_FALSE(op.has_value()) << text;
  return error;
}

// Every device of the FX memory map at its byte address (and bit).
TEST(FxDevices, EveryBlockAtItsAddress) {
  const struct {
    const char *name;
    bool bits;
    std::uint32_t address;
    int bit;
    Kind kind;
  } cases[] = {
      {"S0", false, 0x0000, 0, Kind::Bit},     {"S999", false, 0x007C, 7, Kind::Bit},
      {"X0", false, 0x0080, 0, Kind::Bit},     {"X17", false, 0x0081, 7, Kind::Bit},
      {"x377", false, 0x009F, 7, Kind::Bit},   {"Y10", false, 0x00A1, 0, Kind::Bit},
      {"T5", true, 0x00C0, 5, Kind::Bit},      {"M0", false, 0x0100, 0, Kind::Bit},
      {"M100", false, 0x010C, 4, Kind::Bit},   {"M1023", false, 0x017F, 7, Kind::Bit},
      {"C10", true, 0x01C1, 2, Kind::Bit},     {"M8000", false, 0x01E0, 0, Kind::Bit},
      {"M8255", false, 0x01FF, 7, Kind::Bit},  {"T5", false, 0x080A, 0, Kind::Word},
      {"C10", false, 0x0A14, 0, Kind::Word},   {"C199", false, 0x0B8E, 0, Kind::Word},
      {"C200", false, 0x0C00, 0, Kind::Long},  {"C255", false, 0x0CDC, 0, Kind::Long},
      {"D8001", false, 0x0E02, 0, Kind::Word}, {"D0", false, 0x1000, 0, Kind::Word},
      {"D100", false, 0x10C8, 0, Kind::Word},  {"D7999", false, 0x4E7E, 0, Kind::Word},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Operand op = Parse(c.name, Family::Fx, c.bits);
    EXPECT_EQ(operands::AddressOf(op, op.number), c.address);
    EXPECT_EQ(operands::BitOf(op, op.number), c.bit);
    EXPECT_EQ(op.kind, c.kind);
  }
  EXPECT_EQ(Parse("X17").number, 15u);  // octal
  EXPECT_EQ(operands::OperandName(Parse("X17"), 16), "X20");
  EXPECT_EQ(operands::OperandName(Parse("m8000"), 8001), "M8001");
  EXPECT_FALSE(Parse("X0").writable);
  EXPECT_TRUE(Parse("Y0").writable);
}

TEST(FxDevices, RefusedWithWhatThePlainCommandsReach) {
  EXPECT_EQ(Refusal("X18"), "bad device 'X18': X is numbered in octal (X0..X7, X10..X17, ... X377)");
  EXPECT_NE(Refusal("Y9").find("octal"), std::string::npos);
  EXPECT_EQ(Refusal("X400"),
            "'X400' is beyond what the controller's plain read and write commands reach: X0..X377");
  EXPECT_NE(Refusal("M1024").find("M0..M1023 and M8000..M8255"), std::string::npos);
  EXPECT_NE(Refusal("M8256").find("M0..M1023 and M8000..M8255"), std::string::npos);
  EXPECT_NE(Refusal("D8256").find("D0..D7999 and D8000..D8255"), std::string::npos);
  EXPECT_NE(Refusal("S1000").find("S0..S999"), std::string::npos);
  EXPECT_NE(Refusal("T256").find("T0..T255"), std::string::npos);
  EXPECT_NE(Refusal("C256", Family::Fx, true).find("C0..C255"), std::string::npos);
  for (const char *bad : {"Q5", "D", "D-1", "D+1", "D0x10", "D1.5", "M 1", ""}) Refusal(bad);
  EXPECT_NE(Refusal("D100", Family::Fx, true).find("not a bit device"), std::string::npos);
}

// How the exports reach a run: the family's letters where one fits, raw
// addresses elsewhere and for the legacy letters; never past the block.
TEST(FxDevices, SpansThroughTheExports) {
  std::string error;
  auto span = operands::SpanOf(Parse("D100"), 6, Family::Fx, false, &error);
  ASSERT_TRUE(span) << error;
  EXPECT_EQ(span->letter, 'D');
  EXPECT_TRUE(span->words);
  EXPECT_EQ(span->start, 100);
  EXPECT_EQ(span->units, 3);

  Operand m = Parse("M100");
  span = operands::SpanOf(m, operands::BitBytes(m, 16), Family::Fx, false, &error);
  ASSERT_TRUE(span) << error;
  EXPECT_EQ(span->letter, 'M');
  EXPECT_EQ(span->start, 12);  // M96..M103 are marker byte 12
  EXPECT_EQ(span->units, 3);   // M100..M115 lie in bytes 12..14
  span = operands::SpanOf(m, 3, Family::Fx, true, &error);
  ASSERT_TRUE(span) << error;
  EXPECT_EQ(span->letter, 'S');
  EXPECT_EQ(span->start, 0x010C);

  span = operands::SpanOf(Parse("C200"), 8, Family::Fx, false, &error);
  ASSERT_TRUE(span) << error;
  EXPECT_EQ(span->letter, 'S');
  EXPECT_EQ(span->start, 0x0C00);
  EXPECT_EQ(span->units, 8);

  EXPECT_FALSE(operands::SpanOf(Parse("C199"), 4, Family::Fx, false, &error));  // C200 is another block
  EXPECT_NE(error.find("C199"), std::string::npos) << error;
  Operand last = Parse("M1020");
  EXPECT_FALSE(operands::SpanOf(last, operands::BitBytes(last, 5), Family::Fx, false, &error));
  EXPECT_FALSE(operands::SpanOf(Parse("D7999"), 4, Family::Fx, false, &error));
  EXPECT_TRUE(operands::SpanOf(Parse("D7999"), 2, Family::Fx, false, &error));
}

TEST(ASeriesLettersAndRawAddresses, AsTheLibraryMapsThem) {
  std::string error;
  Operand d = Parse("D100", Family::A);
  EXPECT_EQ(operands::AddressOf(d, d.number), 0x88C8u);
  auto span = operands::SpanOf(d, 4, Family::A, false, &error);
  ASSERT_TRUE(span) << error;
  EXPECT_EQ(span->letter, 'D');
  EXPECT_TRUE(span->words);
  EXPECT_EQ(span->start, 100);
  EXPECT_EQ(Parse("e0x10", Family::A).device, 'X');
  EXPECT_FALSE(Parse("I0", Family::A).writable);
  Operand bit = Parse("M13", Family::A, true);
  EXPECT_EQ(operands::AddressOf(bit, 13), 0x8401u);
  EXPECT_EQ(operands::BitOf(bit, 13), 5);
  EXPECT_EQ(operands::OperandName(Parse("S0x8800", Family::A), 0x8804), "S0x8804");
  EXPECT_FALSE(operands::SpanOf(Parse("D0x3C00", Family::A), 2, Family::A, false, &error));  // past 0xFFFF
  Refusal("Q1", Family::A);
  Refusal("D100", Family::A, true);

  for (Family family : {Family::Fx, Family::A}) {
    Operand raw = Parse("@0x1000", family);
    EXPECT_EQ(raw.device, '@');
    EXPECT_EQ(operands::OperandName(raw, 0x1002), "@0x1002");
    span = operands::SpanOf(raw, 16, family, false, &error);
    ASSERT_TRUE(span) << error;
    EXPECT_EQ(span->letter, 'S');
    EXPECT_EQ(span->start, 0x1000);
    EXPECT_EQ(Parse("@4096", family).number, 0x1000u);
    Refusal("@0x10000", family);
    Refusal("@x", family);
    EXPECT_FALSE(operands::SpanOf(Parse("@0xFFFF", family), 2, family, false, &error));
  }
}

// What a run of controller memory touches, block by block, as the
// simulator's trace names it.
TEST(FxDevices, NamedByAddress) {
  auto names = [](std::uint32_t address, std::uint32_t bytes) {
    std::string text;
    for (const auto &run : operands::FxDevicesAt(address, bytes))
      text += (text.empty() ? "" : "; ") + operands::DeviceRunName(run);
    return text;
  };
  EXPECT_EQ(names(0x0103, 1), "M24..M31");
  EXPECT_EQ(names(0x0081, 2), "X10..X27");
  EXPECT_EQ(names(0x007C, 6), "S992..S999; X0..X17");  // S ends within its last byte
  EXPECT_EQ(names(0x00DF, 2), "T248..T255 contacts");  // 0x00E0 is nobody's
  EXPECT_EQ(names(0x0E02, 4), "D8001..D8002");
  EXPECT_EQ(names(0x0B8F, 0x76), "C199; C200..C201");  // 16-bit, a gap, 32-bit counters
  EXPECT_EQ(names(0x0180, 0x40), "");
}

}  // namespace
