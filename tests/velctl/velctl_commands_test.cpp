// velctl's commands against a working simulated controller: every command
// and type, the output formats, dump and load, the progress bar, and the
// choice of family, port and device.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "velctl_run.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using velsim::Family;
using velsim::TraceKind;

// FX addresses of the areas.
constexpr std::uint16_t kD = 0x1000, kM = 0x0100, kX = 0x0080, kY = 0x00A0;

class VelctlFx : public VelctlSuite<Family::Fx> {};

// Parses JSON lines with Python's json module and prints what they hold.
std::string ParsedJson(const std::string &lines) {
  ChildProcess::Setup setup;
  setup.argv = {PYTHON3_PATH, "-c",
                "import json, sys, datetime\n"
                "for line in sys.stdin:\n"
                "    o = json.loads(line)\n"
                "    if 'time' in o:\n"
                "        datetime.datetime.strptime(o.pop('time'), '%Y-%m-%dT%H:%M:%S.%fZ')\n"
                "        print('timed', end=' ')\n"
                "    print(o['address'], o['type'], o['values'])\n"};
  ChildProcess python(setup);
  python.Send(lines);
  python.EndInput();
  EXPECT_EQ(python.WaitExit(), 0) << lines;
  return python.Output();
}

// Write, then read back, in each number type; the controller's memory holds
// 16-bit values low byte first and 32-bit values low word first.
TEST_F(VelctlFx, RoundTripsOfTheNumberTypes) {
  struct Case {
    std::vector<std::string> values;
    const char *type;
    Bytes memory;
    std::string shown;
  } cases[] = {
      {{"1234", "65535", "0x10"},
       "u16",
       {0xD2, 0x04, 0xFF, 0xFF, 0x10, 0x00},
       "D10 =  1234 (0x04D2)\nD11 = 65535 (0xFFFF)\nD12 =    16 (0x0010)\n"},
      {{"-5", "32767", "-32768"},
       "i16",
       {0xFB, 0xFF, 0xFF, 0x7F, 0x00, 0x80},
       "D10 =     -5 (0xFFFB)\nD11 =  32767 (0x7FFF)\nD12 = -32768 (0x8000)\n"},
      {{"-70000", "2147483647"},
       "i32",
       {0x90, 0xEE, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},
       "D10 =     -70000 (0xFFFEEE90)\nD12 = 2147483647 (0x7FFFFFFF)\n"},
      {{"3.25", "-0.001"},
       "f32",
       {0x00, 0x00, 0x50, 0x40, 0x6F, 0x12, 0x83, 0xBA},
       "D10 =   3.25 (0x40500000)\nD12 = -0.001 (0xBA83126F)\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.type);
    line->fill(kD + 20, 8, 0xEE);
    std::vector<std::string> write = {"write", "-t", c.type, "D10"};
    write.insert(write.end(), c.values.begin(), c.values.end());
    VelctlRun wrote = Run(write);
    EXPECT_EQ(wrote.status, 0) << wrote;
    EXPECT_EQ(wrote.out, "");
    EXPECT_EQ(line->read(kD + 20, c.memory.size()), c.memory);
    VelctlRun read = Run({"read", "-t", c.type, "D10", std::to_string(c.values.size())});
    EXPECT_EQ(read.status, 0) << read;
    EXPECT_EQ(read.out, c.shown);
  }
  // The i32 pair read as u32, and -q keeps the confirmation back.
  line->write(kD + 20, {0x90, 0xEE, 0xFE, 0xFF});
  VelctlRun u32 = Run({"-q", "read", "--type=u32", "D10", "1"});
  EXPECT_EQ(u32.out, "D10 = 4294897296 (0xFFFEEE90)\n") << u32;
  VelctlRun quiet = Run({"-q", "write", "D10", "7"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
}

// Markers, inputs, outputs and raw memory as bytes, hex and single bits;
// writing single bits keeps the other bits of their byte.
TEST_F(VelctlFx, ByteAreasAndBitsOfAMarkerByte) {
  line->write(kM, {0x00, 0xA5, 0x3C});
  line->write(kX, {0x81});
  line->write(kY, {0x7E, 0x01});
  VelctlRun bytes = Run({"read", "M0", "3"});
  EXPECT_EQ(bytes.out, "M0 =   0 (0x00)\nM1 = 165 (0xA5)\nM2 =  60 (0x3C)\n") << bytes;
  EXPECT_EQ(Run({"read", "-t", "hex", "y0", "2"}).out, "Y0 = 0x7E\nY1 = 0x01\n");
  EXPECT_EQ(Run({"read", "S0x0080", "1"}).out, "S0x0080 = 129 (0x81)\n");
  EXPECT_EQ(Run({"read", "-t", "u16", "S0x0101", "1"}).out, "S0x0101 = 15525 (0x3CA5)\n");

  VelctlRun bits = Run({"read", "-t", "bits", "M8", "8"});
  EXPECT_EQ(bits.out, "M8  = 1\nM9  = 0\nM10 = 1\nM11 = 0\nM12 = 0\nM13 = 1\nM14 = 0\nM15 = 1\n") << bits;
  EXPECT_EQ(Run({"read", "-t", "bits", "X6", "3"}).out, "X6 = 0\nX7 = 1\nX8 = 0\n");

  line->clearTrace();
  VelctlRun set = Run({"write", "-t", "bits", "M9", "1", "0"});  // bits 1 and 2 of marker byte 1
  EXPECT_EQ(set.status, 0) << set;
  EXPECT_EQ(set.err, "wrote 2 bits: M9..M10\n");
  EXPECT_EQ(line->read(kM, 3), (Bytes{0x00, 0xA3, 0x3C}));
  std::vector<velsim::TraceEntry> trace = line->trace();
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_EQ(trace[0].kind, TraceKind::Read);
  EXPECT_EQ(trace[1].kind, TraceKind::Write);
  EXPECT_EQ(trace[1].address, kM + 1);
  EXPECT_EQ(trace[1].count, 1u);
}

TEST_F(VelctlFx, CsvAndJsonAsParsersReadThem) {
  line->write(kD + 200, {0xD2, 0x04, 0xFB, 0xFF, 0x00, 0x00, 0x50, 0x40});
  VelctlRun csv = Run({"read", "--format", "csv", "-t", "i16", "D100", "2"});
  EXPECT_EQ(csv.out, "address,value\nD100,1234\nD101,-5\n") << csv;

  VelctlRun json = Run({"--format=json", "read", "D100", "3"});
  EXPECT_EQ(json.out, "{\"address\":\"D100\",\"type\":\"u16\",\"values\":[1234,65531,0]}\n");
  EXPECT_EQ(ParsedJson(json.out), "D100 u16 [1234, 65531, 0]\n");
  VelctlRun f32 = Run({"read", "--format", "json", "-t", "f32", "D102", "1"});
  EXPECT_EQ(ParsedJson(f32.out), "D102 f32 [3.25]\n") << f32;
  VelctlRun hex = Run({"read", "--format", "json", "-t", "hex", "D100", "1"});
  EXPECT_EQ(ParsedJson(hex.out), "D100 hex ['0x04D2']\n") << hex;
}

// Three samples, one JSON object a line each with its time stamp, about
// the interval apart.
TEST_F(VelctlFx, PollTakesCountSamples) {
  line->write(kD, {0x01, 0x00, 0x02, 0x00});
  auto start = std::chrono::steady_clock::now();
  VelctlRun poll = Run({"poll", "--format", "json", "D0", "2", "--interval", "0.3", "--count", "3"});
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(poll.status, 0) << poll;
  EXPECT_EQ(ParsedJson(poll.out), "timed D0 u16 [1, 2]\ntimed D0 u16 [1, 2]\ntimed D0 u16 [1, 2]\n");
  EXPECT_GT(seconds, 0.6);
  EXPECT_EQ(line->trace().size(), 3u);

  VelctlRun text = Run({"poll", "--interval", "0", "--count", "1", "-t", "hex", "D1", "1"});
  EXPECT_EQ(text.status, 0) << text;
  EXPECT_EQ(text.out.size(), std::string("2026-12-08T10:15:30.123Z D1 = 0x0002\n").size()) << text.out;
  EXPECT_EQ(text.out.substr(23), "Z D1 = 0x0002\n");
}

// 1,000 bytes from controller memory into a file and back to another
// place; through pipes no progress bar.
TEST_F(VelctlFx, DumpThenLoadOfAThousandBytes) {
  Bytes memory(1000);
  std::mt19937 random(16);
  for (auto &b : memory) b = static_cast<std::uint8_t>(random());
  line->write(kD, memory);
  std::string file = dir->Path() + "/memory.bin";
  VelctlRun dump = Run({"dump", "D0", "1000", "-o", file});
  EXPECT_EQ(dump.status, 0) << dump;
  EXPECT_EQ(dump.err, "dumped 1000 bytes from D0 to " + file + "\n");
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), memory);

  line->fill(kD + 2000, 1002, 0);
  VelctlRun load = Run({"load", "D1000", file});
  EXPECT_EQ(load.status, 0) << load;
  EXPECT_EQ(line->read(kD + 2000, 1000), memory);
  EXPECT_EQ(line->read(kD + 3000, 2), (Bytes{0, 0}));
}

// On a terminal a transfer longer than a second on the line goes as calls of
// one frame each, drawing a bar; a short one draws none.
TEST_F(VelctlFx, ProgressBarOnATerminalOnly) {
  VelctlRun longOne = Run({"--max-frame", "100", "dump", "M0", "1000", "-o", dir->Path() + "/m.bin"},
                          ChildProcess::Line::kTerminal);
  EXPECT_EQ(longOne.status, 0) << longOne;
  EXPECT_NE(longOne.out.find("\r[........................] 0/1000 bytes"), std::string::npos) << longOne.out;
  EXPECT_NE(longOne.out.find("\r[########################] 1000/1000 bytes"), std::string::npos);
  std::vector<velsim::TraceEntry> trace = line->trace();
  ASSERT_EQ(trace.size(), 10u);
  for (const auto &t : trace) EXPECT_EQ(t.count, 100u);

  VelctlRun shortOne = Run({"read", "M0", "4"}, ChildProcess::Line::kTerminal);
  EXPECT_EQ(shortOne.status, 0);
  EXPECT_EQ(shortOne.out.find('\r'), std::string::npos) << shortOne.out;
}

// -f a speaks the A-series protocol; -d hands the device to the library as
// VELDRV_COM<n> of the port given with -p.
TEST(VelctlDevice, ASeriesControllerNamedByItsDevicePath) {
  TempDir deviceDir, emptyDir;
  velsim::PtyLine aLine(Family::A, deviceDir.Path(), 9);
  std::vector<std::string> where = {"-f", "a", "-p", "COM3", "-d", aLine.path()};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.begin(), where.begin(), where.end());
    return Velctl(emptyDir.Path(), args);
  };
  VelctlRun wrote = with({"write", "-t", "i16", "D5", "-2"});
  EXPECT_EQ(wrote.status, 0) << wrote;
  EXPECT_EQ(aLine.read(0x8800 + 10, 2), (Bytes{0xFE, 0xFF}));
  VelctlRun read = with({"read", "-t", "i16", "D5", "1"});
  EXPECT_EQ(read.out, "D5 = -2 (0xFFFE)\n") << read;
  EXPECT_EQ(aLine.family(), Family::A);
  EXPECT_EQ(aLine.protocolErrors(), 0u);
}

}  // namespace
