// velctl's commands against a working simulated controller: every command
// and type, the output formats, dump and load, the progress bar, and the
// choice of family, port and device.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <thread>

#include "velctl_run.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using velsim::Family;
using velsim::TraceKind;

// FX addresses of the devices.
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

// FX devices by name, each at its controller address: bit devices as single
// bits (X and Y numbered in octal) or whole bytes, timers and counters as
// current values or contacts, special markers and registers, raw memory.
TEST_F(VelctlFx, FxDevicesByName) {
  line->clear();
  line->write(kM, {0x00, 0xA5, 0x3C});
  line->write(kX, {0x81, 0x02});
  line->write(0x0000, {0x00, 0x00, 0x10});                                // S20
  line->write(0x00C0, {0x60});                                            // T5, T6 contacts
  line->write(0x0800 + 10, {0x34, 0x12});                                 // T5
  line->write(0x0A00 + 20, {0xFF, 0xFF});                                 // C10
  line->write(0x0C00, {0x90, 0xEE, 0xFE, 0xFF, 0x01, 0x00, 0x00, 0x00});  // C200, C201
  line->write(0x0E02, {0xF6, 0x5E});                                      // D8001
  line->write(0x01E0, {0x01});                                            // M8000
  EXPECT_EQ(Run({"read", "M8", "8"}).out,
            "M8  = 1\nM9  = 0\nM10 = 1\nM11 = 0\nM12 = 0\nM13 = 1\nM14 = 0\nM15 = 1\n");
  EXPECT_EQ(Run({"read", "-t", "hex", "m0", "3"}).out, "M0  = 0x00\nM8  = 0xA5\nM16 = 0x3C\n");
  EXPECT_EQ(Run({"read", "X6", "3"}).out, "X6  = 0\nX7  = 1\nX10 = 0\n");
  EXPECT_EQ(Run({"read", "-t", "u8", "X10", "1"}).out, "X10 = 2 (0x02)\n");
  EXPECT_EQ(Run({"read", "-t", "u16", "X0", "1"}).out, "X0 = 641 (0x0281)\n");
  EXPECT_EQ(Run({"read", "S19", "2"}).out, "S19 = 0\nS20 = 1\n");
  EXPECT_EQ(Run({"read", "T5", "1"}).out, "T5 = 4660 (0x1234)\n");
  EXPECT_EQ(Run({"read", "-t", "bits", "T5", "2"}).out, "T5 = 1\nT6 = 1\n");
  EXPECT_EQ(Run({"read", "C10", "1"}).out, "C10 = 65535 (0xFFFF)\n");
  EXPECT_EQ(Run({"read", "C200", "2"}).out, "C200 = -70000 (0xFFFEEE90)\nC201 =      1 (0x00000001)\n");
  EXPECT_EQ(Run({"read", "D8001", "1"}).out, "D8001 = 24310 (0x5EF6)\n");
  EXPECT_EQ(Run({"read", "M8000", "1"}).out, "M8000 = 1\n");
  EXPECT_EQ(Run({"read", "@0x0101", "2"}).out, "@0x0101 = 165 (0xA5)\n@0x0102 =  60 (0x3C)\n");

  line->clearTrace();
  EXPECT_EQ(Run({"write", "Y10", "1", "0", "1"}).status, 0);  // bits 0..2 of output byte 1
  EXPECT_EQ(Run({"write", "-t", "u16", "T3", "500"}).status, 0);
  EXPECT_EQ(Run({"write", "-t", "i32", "C255", "-2"}).status, 0);
  EXPECT_EQ(Run({"write", "-t", "bits", "C255", "1"}).status, 0);  // its contact
  EXPECT_EQ(Run({"write", "S999", "1"}).status, 0);
  VelctlRun set = Run({"write", "M9", "1", "0"});  // bits 1 and 2 of marker byte 1
  EXPECT_EQ(set.err, "wrote 2 bits: M9..M10\n") << set;
  EXPECT_EQ(line->read(kY + 1, 1), Bytes{0x05});
  EXPECT_EQ(line->read(0x0806, 2), (Bytes{0xF4, 0x01}));
  EXPECT_EQ(line->read(0x0C00 + 4 * 55, 4), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(line->read(0x01DF, 1), Bytes{0x80});
  EXPECT_EQ(line->read(0x007C, 1), Bytes{0x80});
  EXPECT_EQ(line->read(kM, 3), (Bytes{0x00, 0xA3, 0x3C}));
  // Bits that do not fill their byte: the byte is read, then written.
  std::vector<velsim::TraceEntry> trace = line->trace();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[trace.size() - 2].kind, TraceKind::Read);
  EXPECT_EQ(trace.back().kind, TraceKind::Write);
  EXPECT_EQ(trace.back().address, kM + 1);
  EXPECT_EQ(trace.back().count, 1u);
}

// A program of earlier releases runs with VELDRV_FX_AREAS=legacy, which moves
// the library's X, Y and M letters: the device names still reach the
// controllers' own addresses.
TEST_F(VelctlFx, DeviceNamesHoldWithLegacyAreas) {
  const Environment legacy = {{"VELDRV_FX_AREAS", "legacy"}};
  line->clear();
  line->write(kX, {0x0F});
  VelctlRun read = Run({"read", "-t", "hex", "X0", "1"}, ChildProcess::Line::kPipes, legacy);
  EXPECT_EQ(read.out, "X0 = 0x0F\n") << read;
  EXPECT_EQ(Run({"write", "-t", "u8", "M8", "7"}, ChildProcess::Line::kPipes, legacy).status, 0);
  EXPECT_EQ(Run({"write", "Y0", "1"}, ChildProcess::Line::kPipes, legacy).status, 0);
  EXPECT_EQ(line->read(kM + 1, 1), Bytes{0x07});
  std::vector<velsim::TraceEntry> trace = line->trace();
  ASSERT_EQ(trace.size(), 4u);
  EXPECT_EQ(trace[0].address, kX);
  EXPECT_EQ(trace[1].address, kM + 1);
  EXPECT_EQ(trace[3].address, kY);
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
  VelctlRun longOne = Run({"--max-frame", "100", "dump", "D0", "1000", "-o", dir->Path() + "/m.bin"},
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

  // The frames that VELDRV_FRAME_BYTES makes, read as the library reads it:
  // decimal only, so 0x40 keeps frames of 254 bytes.
  line->clearTrace();
  VelctlRun hexSetting = Run({"dump", "D0", "600", "-o", dir->Path() + "/m.bin"},
                             ChildProcess::Line::kTerminal, {{"VELDRV_FRAME_BYTES", "0x40"}});
  EXPECT_EQ(hexSetting.status, 0) << hexSetting;
  std::vector<std::size_t> frames;
  for (const auto &t : line->trace()) frames.push_back(t.count);
  EXPECT_EQ(frames, (std::vector<std::size_t>{254, 254, 92}));
}

// Ten commands of a file over one open, each printing as on its own;
// comments and blank lines are skipped, words quote as in a shell.
TEST_F(VelctlFx, RunFileWithTenCommandsAndOneOpen) {
  line->clear();
  const std::string file = dir->Path() + "/commands.txt";
  const std::string dumped = dir->Path() + "/a dump.bin";
  std::ofstream(file) << "# set up\n"
                         "write D0 1 2 3\n"
                         "write -t f32 D10 2.5   # a float\n"
                         "\n"
                         "  write M0 1 0 1\n"
                         "read D0 3\n"
                         "read -t f32 D10 1\n"
                         "read M0 3\n"
                         "--format json read -t hex 'M0' 1\n"
                         "poll --interval 0 --count 2 --format csv D1 1\n"
                         "dump D0 6 -o \""
                      << dumped
                      << "\"\n"
                         "read -t i16 -- D2 1\n";
  VelctlRun run = Run({"--trace", "run", file});
  EXPECT_EQ(run.status, 0) << run;
  EXPECT_TRUE(std::regex_match(
      run.out, std::regex("D0 = 1 \\(0x0001\\)\nD1 = 2 \\(0x0002\\)\nD2 = 3 \\(0x0003\\)\n"
                          "D10 = 2.5 \\(0x40200000\\)\n"
                          "M0 = 1\nM1 = 0\nM2 = 1\n"
                          "\\{\"address\":\"M0\",\"type\":\"hex\",\"values\":\\[\"0x05\"\\]\\}\n"
                          "time,address,value\n(\\S+Z,D1,2\n){2}"
                          "D2 = 3 \\(0x0003\\)\n")))
      << run.out;
  std::smatch open;
  std::string err = run.err;
  int opens = 0;
  while (std::regex_search(err, open, std::regex("VelOpen\\("))) {
    ++opens;
    err = open.suffix();
  }
  EXPECT_EQ(opens, 1) << run.err;
  EXPECT_NE(run.err.find("wrote 3 bits: M0..M2\n"), std::string::npos);
  std::ifstream in(dumped, std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), (Bytes{1, 0, 2, 0, 3, 0}));
  EXPECT_EQ(line->protocolErrors(), 0u);

  // A command that fails is reported and the others run: the exit status
  // is that of the first failure.
  line->setFault({velsim::FaultKind::NakToEnq}, velsim::FaultWhen::Once);
  VelctlRun failing = Script("printf 'read D0 1\\nread D1 1\\n' | \"$VELCTL\" run -");
  EXPECT_EQ(failing.status, 1) << failing;
  EXPECT_EQ(failing.out, "D1 = 2 (0x0002)\n");
  EXPECT_EQ(failing.err.rfind("velctl: standard input:1: read D0 1: COM1 (", 0), 0u) << failing.err;

  // A line that cannot run: nothing is sent at all.
  line->clearWire();
  std::ofstream(file) << "write D0 7\nread D0\n-p COM2 read D0 1\nrun other.txt\nread 'D0 1\n";
  VelctlRun bad = Run({"run", file});
  EXPECT_EQ(bad.status, 2) << bad;
  EXPECT_EQ(bad.err,
            "velctl: " + file +
                ":2: usage: velctl [options] read ADDR COUNT\n"
                "velctl: " +
                file +
                ":3: option '-p' belongs on velctl's command line, before run: one open serves every line\n"
                "velctl: " +
                file +
                ":4: run cannot run from a file: it opens the port itself\n"
                "velctl: " +
                file +
                ":5: a quote ' is not closed\n"
                "velctl: 4 lines of " +
                file +
                " cannot run; nothing was sent\n"
                "Try 'velctl --help' for more information.\n");
  EXPECT_TRUE(Sent().empty());
}

// info against an FX2N: model and version from D8001, memory from D8002,
// RUN from M8000; a code that no public source names is shown bare.
TEST(VelctlInfo, ModelMemoryAndState) {
  TempDir dir;
  velsim::PtyLine line(Family::Fx, dir.Path(), 1);
  line.setModel(velsim::findModel("fx2n"));
  VelctlRun text = Velctl(dir.Path(), {"info"});
  EXPECT_EQ(text.status, 0) << text;
  EXPECT_EQ(text.out,
            "family: FX\n"
            "model:  FX2N, version 3.10 (D8001 = 24310)\n"
            "memory: 8K steps or more (D8002 = 8)\n"
            "state:  RUN (M8000 = 1)\n");
  line.write(0x0E02, {0x54, 0x56, 0x02, 0x00});  // 22100: FX1S, 2K steps
  line.write(0x01E0, {0xFE});                    // stopped
  VelctlRun json = Velctl(dir.Path(), {"--format", "json", "info"});
  EXPECT_EQ(json.out,
            "{\"family\":\"fx\",\"d8001\":22100,\"model\":\"FX1S\",\"version\":\"1.00\",\"d8002\":2,"
            "\"memory\":\"2K steps\",\"m8000\":0,\"state\":\"STOP\"}\n")
      << json;
  line.write(0x0E02, {0x34, 0x12, 0x05, 0x00});
  EXPECT_EQ(
      Velctl(dir.Path(), {"info"}).out,
      "family: FX\nmodel:  unknown (D8001 = 4660)\nmemory: unknown (D8002 = 5)\nstate:  STOP (M8000 = 0)\n");
  // The model's T0 runs.
  VelctlRun first = Velctl(dir.Path(), {"read", "T0", "1"});
  std::this_thread::sleep_for(300ms);
  VelctlRun later = Velctl(dir.Path(), {"read", "T0", "1"});
  EXPECT_NE(first.out, later.out);
}

// probe: FX first, then A-series; the family that answers goes to standard
// output as -f takes it.
TEST(VelctlProbe, SaysWhichFamilyAnswers) {
  TempDir dir;
  velsim::PtyLine a(Family::A, dir.Path(), 1);
  velsim::PtyLine fx(Family::Fx, dir.Path(), 2);
  VelctlRun onA = Velctl(dir.Path(), {"probe"});
  EXPECT_EQ(onA.status, 0) << onA;
  EXPECT_EQ(onA.out, "a\n");
  EXPECT_EQ(onA.err, "velctl: an A-series controller answers on COM1 (9600 8O1)\n");
  VelctlRun onFx = Velctl(dir.Path(), {"-p", "COM2", "--format", "json", "probe"});
  EXPECT_EQ(onFx.out, "{\"port\":\"COM2\",\"family\":\"fx\"}\n") << onFx;
  EXPECT_EQ(a.frames() > 0 && fx.frames() == 1, true);
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
  // The A-series letters as before: bytes of an area, bits counted in bytes,
  // S for a raw address (and @, as for FX).
  aLine.write(0x8400 + 1, {0x20});
  aLine.write(0x8000, {0x81});
  EXPECT_EQ(with({"read", "-t", "bits", "M13", "1"}).out, "M13 = 1\n");
  EXPECT_EQ(with({"read", "M1", "1"}).out, "M1 = 32 (0x20)\n");
  EXPECT_EQ(with({"read", "-t", "hex", "I0", "1"}).out, "X0 = 0x81\n");
  EXPECT_EQ(with({"read", "-t", "i16", "S0x880A", "1"}).out, "S0x880A = -2 (0xFFFE)\n");
  EXPECT_EQ(with({"read", "-t", "i16", "@0x880A", "1"}).out, "@0x880A = -2 (0xFFFE)\n");
  EXPECT_EQ(aLine.family(), Family::A);
  EXPECT_EQ(aLine.protocolErrors(), 0u);
}

}  // namespace
