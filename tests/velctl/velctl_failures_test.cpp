// velctl when something is wrong: bad usage sends nothing and exits 2; a
// port that does not open or a controller that does not answer exits 1 with
// the library's code in words; Ctrl-C ends polling after the transfer.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "velctl_run.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using velsim::Family;

const std::string kHint = "Try 'velctl --help' for more information.\n";

class VelctlUsage : public VelctlSuite<Family::Fx> {};

TEST_F(VelctlUsage, HelpAndVersion) {
  VelctlRun help = Run({"read", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: velctl [options] read  ADDR COUNT\n", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("Examples:\n  velctl read D100 3"), std::string::npos);
  VelctlRun version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("velctl [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
}

// Each mistake is found before the port is opened: exit 2, the reason and
// the hint on standard error, and not a byte on the line.
TEST_F(VelctlUsage, BadUsageSendsNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"read", "Q5", "1"},
       "bad device 'Q5': an FX device is X, Y, M, S, T, C or D with its number (X17, M100, D8001), or "
       "@ADDRESS for a raw controller address (@0x1000)"},
      {{"read", "D1x", "1"}, "bad device 'D1x': D takes a decimal number"},
      {{"read", "X8", "1"}, "bad device 'X8': X is numbered in octal (X0..X7, X10..X17, ... X377)"},
      {{"read", "M1024", "1"},
       "'M1024' is beyond what the controller's plain read and write commands reach: M0..M1023 and "
       "M8000..M8255"},
      {{"read", "D7990", "20"},
       "'D7990' and what follows run past D7999, the last of the data registers the controller's plain "
       "commands reach (D0..D7999 and D8000..D8255)"},
      {{"read", "@0xFFF0", "20"},
       "'@0xFFF0' and what follows run past the end of controller memory (0xFFFF)"},
      {{"-f", "a", "read", "Q5", "1"},
       "bad address 'Q5': the area letter is one of D, X (E, I), Y (A, O), M or S"},
      {{"-f", "a", "read", "D32760", "10"},
       "'D32760' and what follows run past the end of controller memory (0xFFFF)"},
      {{"read", "-t", "u8", "M13", "1"},
       "'M13' does not start a byte: -t u8 reads whole bytes of eight markers (M8..M15 is one); -t bits "
       "takes single ones"},
      {{"dump", "X13", "1", "-o", "x"},
       "'X13' does not start a byte: dump takes whole bytes of eight inputs (X10..X17 is one)"},
      {{"read", "-t", "u16", "C200", "1"},
       "type u16 does not fit the 32-bit counter current values (C200..C255): use i32, u32 or hex"},
      {{"read", "-t", "f32", "M0", "1"},
       "type f32 does not fit the markers: use bits, u8, u16, i16, u32, i32 or hex"},
      {{"write", "D100", "1", "70000"}, "bad value '70000' for u16: out of range 0..65535"},
      {{"write", "D100", "1234", "-5", "0x10"}, "bad value '-5' for u16: out of range 0..65535"},
      {{"write", "-t", "i16", "D100", "-32769"}, "bad value '-32769' for i16: out of range -32768..32767"},
      {{"write", "-t", "u8", "M0", "256"}, "bad value '256' for u8: out of range 0..255"},
      {{"write", "-t", "i32", "D0", "2147483648"},
       "bad value '2147483648' for i32: out of range -2147483648..2147483647"},
      {{"write", "-t", "hex", "D0", "1FFFF"}, "bad value '1FFFF' for hex: out of range 0x0000..0xFFFF"},
      {{"write", "M0", "2"}, "bad value '2' for bits: out of range 0..1"},
      {{"write", "D0", "twelve"}, "bad value 'twelve' for u16: not a number"},
      {{"write", "X0", "1"}, "the inputs (X) can only be read"},
      {{"read", "-t", "bits", "D0", "1"},
       "type bits does not fit the data registers (16 bits each): use u16, i16, u32, i32, f32 or hex"},
      {{"read", "-t", "bits", "@0x10", "1"},
       "type bits is for bit devices and areas, not for raw controller memory: use u8 or hex"},
      {{"read", "D0"}, "usage: velctl [options] read ADDR COUNT"},
      {{"info", "D0"}, "usage: velctl [options] info"},
      {{"-f", "a", "info"},
       "info reads the FX special registers D8001, D8002 and M8000: not for -f a (velctl probe tells which "
       "family answers)"},
      {{"-f", "a", "probe"}, "option --family does not apply to probe"},
      {{"dump", "D0", "10"}, "dump needs -o FILE (\"-o -\" for standard output)"},
      {{"load", "D0", "/nonexistent/file"}, "cannot read '/nonexistent/file': No such file or directory"},
      {{"--bogus", "read", "D0", "1"}, "unknown option '--bogus'"},
      {{"-p", "COM17", "read", "D0", "1"}, "bad port 'COM17': COM1 to COM16"},
      {{"--max-frame", "255", "read", "D0", "1"}, "bad frame size '255': 1 to 254 bytes"},
      {{"read", "D0", "1", "--count", "3"}, "option --count does not apply to read"},
      {{"fetch", "D0", "1"}, "unknown command 'fetch': read, write, poll, dump, load, info, probe or run"},
      // A device server's address that the library would take for another.
      {{"-d", "tcp://plc-gw", "read", "D0", "1"},
       "bad device 'tcp://plc-gw': tcp:// takes HOST:PORT (tcp://192.168.0.50:4001, tcp://[fd00::50]:4001)"},
      {{"-d", "tcp://plc-gw:99999", "read", "D0", "1"},
       "bad device 'tcp://plc-gw:99999': the TCP port is a number from 1 to 65535"},
      {{"-d", "tcp://[::1]:0", "read", "D0", "1"},
       "bad device 'tcp://[::1]:0': the TCP port is a number from 1 to 65535"},
      {{"-d", "rfc2217://plc-gw", "read", "D0", "1"},
       "bad device 'rfc2217://plc-gw': rfc2217:// takes HOST:PORT (rfc2217://192.168.0.50:4001, "
       "rfc2217://[fd00::50]:4001)"},
      {{"-d", "RFC2217://plc-gw:4001", "read", "D0", "1"},
       "bad device 'RFC2217://plc-gw:4001': write the scheme in lower case, rfc2217://"},
  };
  for (const Case &c : cases) {
    VelctlRun run = Run(c.args);
    EXPECT_EQ(run.status, 2) << run;
    EXPECT_EQ(run.err, "velctl: " + c.message + "\n" + kHint);
    EXPECT_EQ(run.out, "");
  }
  EXPECT_TRUE(Sent().empty());
}

// f32 values: a decimal that is a normal float or zero, or the bits in hex;
// what is printed reads back to the same bits. -inf is a value, not an
// option, and -- ends the options.
TEST_F(VelctlUsage, F32ValuesKeepTheirBits) {
  for (const auto &[value, why] : std::vector<std::pair<std::string, std::string>>{
           {"1e-50", "too small for an f32"},
           {"1e-40", "too small for an f32"},
           {"3.5e38", "out of range (a finite 32-bit float, at most 3.4028235e+38)"},
           {"-inf", "not a finite number; to store a NaN or an infinity give its bits"},
           {"nan", "not a finite number"},
           {"0x1FFFFFFFF", "the bits of an f32 are 0x and up to 8 hex digits"}}) {
    VelctlRun run = Run({"write", "-t", "f32", "D0", value});
    EXPECT_EQ(run.status, 2) << run;
    EXPECT_EQ(run.err.rfind("velctl: bad value '" + value + "' for f32: " + why, 0), 0u) << run.err;
  }
  EXPECT_TRUE(Sent().empty());
  line->clear();
  VelctlRun wrote = Run({"write", "-t", "f32", "--", "D0", "3.4028235e+38", "-1.1754944e-38", "0",
                         "0x7FC00001", "0xFF800000", "0x00000001"});
  EXPECT_EQ(wrote.status, 0) << wrote;
  EXPECT_EQ(line->read(0x1000, 24),
            (Bytes{0xFF, 0xFF, 0x7F, 0x7F, 0x00, 0x00, 0x80, 0x80, 0x00, 0x00, 0x00, 0x00,
                   0x01, 0x00, 0xC0, 0x7F, 0x00, 0x00, 0x80, 0xFF, 0x01, 0x00, 0x00, 0x00}));
  VelctlRun read = Run({"read", "-t", "f32", "D0", "6"});
  EXPECT_EQ(read.out,
            "D0  =  3.4028235e+38 (0x7F7FFFFF)\n"
            "D2  = -1.1754944e-38 (0x80800000)\n"
            "D4  =              0 (0x00000000)\n"
            "D6  =     0x7FC00001 (nan)\n"
            "D8  =     0xFF800000 (-inf)\n"
            "D10 =     0x00000001 (denormal 1e-45)\n")
      << read;
  // What was printed, written back, gives the same bits.
  line->clear();
  VelctlRun back = Run({"write", "-t", "f32", "D0", "3.4028235e+38", "-1.1754944e-38", "0", "0x7FC00001",
                        "0xFF800000", "0x00000001"});
  EXPECT_EQ(back.status, 0) << back;
  EXPECT_EQ(Run({"read", "-t", "f32", "D0", "6"}).out, read.out);
  VelctlRun json = Run({"read", "--format", "json", "-t", "f32", "D6", "3"});
  EXPECT_EQ(json.out, "{\"address\":\"D6\",\"type\":\"f32\",\"values\":[null,null,1e-45]}\n");
}

TEST_F(VelctlUsage, HelpAsACommand) {
  VelctlRun help = Run({"help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, Run({"--help"}).out);
}

class VelctlOutput : public VelctlSuite<Family::Fx> {};

// Data that cannot be written is a failure: exit 1 with a message, and poll
// stops. A closed standard output is found before anything is sent.
TEST_F(VelctlOutput, FailedStandardOutputIsExitOne) {
  VelctlRun closed = Script("\"$VELCTL\" read D0 1 >&-");
  EXPECT_EQ(closed.status, 1) << closed;
  EXPECT_EQ(closed.err, "velctl: cannot write to standard output: it is closed\n");
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Script("\"$VELCTL\" -q write D0 1 >&-").status, 0);  // writing prints no data

  VelctlRun full = Script("\"$VELCTL\" read D0 1 >/dev/full");
  EXPECT_EQ(full.status, 1) << full;
  EXPECT_EQ(full.err,
            "velctl: cannot write to standard output: " + std::string(std::strerror(ENOSPC)) + "\n");

  VelctlRun poll =
      Script("\"$VELCTL\" poll --interval 0.05 D0 1 | head -n 1 >/dev/null; echo ${PIPESTATUS[0]}");
  EXPECT_EQ(poll.out, "1\n") << poll;
  EXPECT_EQ(poll.err, "velctl: cannot write to standard output: " + std::string(std::strerror(EPIPE)) + "\n");
}

// dump -o writes beside FILE and replaces it only when everything was read
// and written: past the file size limit the old file stays as it was.
TEST_F(VelctlOutput, DumpReplacesItsFileOnlyWhenAllWasWritten) {
  const std::string file = dir->Path() + "/registers.bin";
  auto contents = [&] {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  auto leftovers = [&] {
    int n = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir->Path()))
      n += entry.path().filename().string().rfind(".registers.bin", 0) == 0;
    return n;
  };
  std::ofstream(file) << "the old registers";
  std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                         std::filesystem::perms::owner_write |
                                         std::filesystem::perms::group_read);
  VelctlRun limited = Script("ulimit -f 1; \"$VELCTL\" dump D0 4000 -o " + file);  // 1 KiB
  EXPECT_EQ(limited.status, 1) << limited;
  EXPECT_EQ(limited.err, "velctl: dump D0 4000: cannot write '" + file + "': " + std::strerror(EFBIG) +
                             "; the file was left as it was\n");
  EXPECT_EQ(contents(), "the old registers");
  EXPECT_EQ(leftovers(), 0);

  line->fill(0x1000, 100, 0x5A);
  VelctlRun dumped = Run({"-q", "dump", "D0", "50", "-o", file});
  EXPECT_EQ(dumped.status, 0) << dumped;
  EXPECT_EQ(contents(), std::string(50, 'Z'));
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read);
  EXPECT_EQ(leftovers(), 0);
}

// A line on which the controller does not answer.
class VelctlSilent : public VelctlSuite<Family::Fx> {
 protected:
  void SetUp() override {
    line->stop();
  }
  void TearDown() override {
    line->restart();
  }
};

// A text for a regular expression that matches it literally.
std::string Literally(const std::string &text) {
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The library's reason names the port and its device; its words are the
// library's. Right after the open, silence hints at the other family.
TEST_F(VelctlSilent, TimeOutExitsOneWithTheReason) {
  const std::string com1 = "COM1 \\(" + Literally(dir->Path() + "/COM1") + "\\): [^\n]+";
  auto start = std::chrono::steady_clock::now();
  VelctlRun read = Run({"read", "D100", "3"});
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(read.status, 1) << read;
  EXPECT_TRUE(
      std::regex_match(read.err, std::regex("velctl: read D100 3: " + com1 +
                                            " \\(-1\\)\n"
                                            "velctl: check -f: an A-series controller answers 8O1[^\n]*\n")))
      << read.err;
  EXPECT_EQ(read.out, "");
  EXPECT_GT(seconds, 0.9);
  EXPECT_LT(seconds, 8.0);
  VelctlRun a = Run({"-f", "a", "read", "D100", "1"});
  EXPECT_NE(a.err.find("\nvelctl: check -f: an FX controller answers 7E1"), std::string::npos) << a;

  // Polling goes on after a failed sample and reports each with its time;
  // when none succeeded, the exit status is 1.
  VelctlRun poll = Run({"poll", "--interval", "0.1", "--count", "2", "-t", "f32", "D0", "2"});
  EXPECT_EQ(poll.status, 1) << poll;
  const std::string sample =
      "velctl: poll D0 2: [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z: " + com1 +
      " \\(-1\\)\n";
  EXPECT_TRUE(std::regex_match(poll.err, std::regex(sample + "velctl: check -f[^\n]*\n" + sample)))
      << poll.err;
  EXPECT_EQ(poll.out, "");

  // A port without a device does not open.
  VelctlRun open = Run({"-p", "COM4", "write", "D0", "1"});
  EXPECT_EQ(open.status, 1) << open;
  EXPECT_TRUE(
      std::regex_match(open.err, std::regex("velctl: write D0 1: COM4 \\(" +
                                            Literally(dir->Path() + "/COM4") + "\\): [^\n]+ \\(-4\\)\n")))
      << open.err;

  // Neither family answers: probe says why for each.
  VelctlRun probe = Run({"probe"});
  EXPECT_EQ(probe.status, 1) << probe;
  EXPECT_EQ(probe.out, "");
  EXPECT_TRUE(
      std::regex_match(probe.err, std::regex("velctl: probe: no controller answers on COM1: as FX: " + com1 +
                                             " \\(-1\\); as A-series: " + com1 + " \\(-1\\)\n")))
      << probe.err;
}

// A device server that refuses the connection: the reason names it.
TEST(VelctlReasons, RefusedConnectionNamesTheServer) {
  // A port nobody listens on: taken from the system, then given back.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length), 0);
  close(fd);
  const std::string server = "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  TempDir dir;
  VelctlRun run = Velctl(dir.Path(), {"-d", server, "read", "D100", "3"});
  EXPECT_EQ(run.status, 1) << run;
  EXPECT_TRUE(std::regex_match(
      run.err, std::regex("velctl: read D100 3: COM1 \\(" + Literally(server) + "\\): [^\n]+ \\(-4\\)\n")))
      << run.err;
}

// A trace file that cannot be opened does not vanish: velctl says so once,
// and does its work without the trace.
TEST(VelctlReasons, ATraceThatCannotBeOpenedIsTold) {
  TempDir dir;
  velsim::PtyLine line(Family::Fx, dir.Path(), 1);
  const std::string trace = dir.Path() + "/no-such-folder/velctl.trace";
  VelctlRun run =
      Velctl(dir.Path(), {"read", "D0", "1"}, ChildProcess::Line::kPipes, {{"VELDRV_TRACE", trace}});
  EXPECT_EQ(run.status, 0) << run;
  EXPECT_EQ(run.out, "D0 = 0 (0x0000)\n");
  EXPECT_EQ(run.err, "velctl: VELDRV_TRACE=" + trace +
                         ": cannot open it (No such file or directory); the trace is off\n");
  // probe opens the port twice: told once.
  VelctlRun probe =
      Velctl(dir.Path(), {"-q", "probe"}, ChildProcess::Line::kPipes, {{"VELDRV_TRACE", trace}});
  EXPECT_EQ(probe.status, 0) << probe;
  EXPECT_EQ(std::count(probe.err.begin(), probe.err.end(), '\n'), 1) << probe;
}

// poll after a device loss: the connection to the device server breaks and
// the server comes back on the same port; poll closes the port, says so,
// opens it again before the next sample (and at every sample until it
// opens), and goes on sampling.
TEST(VelctlPoll, RecoversWhenTheDeviceServerComesBack) {
  TempDir dir;
  velsim::TcpLine server(Family::Fx);
  server.write(0x1000, {0x2A, 0x00});
  ChildProcess::Setup setup;
  setup.argv = {VELCTL_PATH, "-d", server.address(), "poll", "--interval", "0.1", "--count", "30", "D0", "1"};
  setup.env = {{"VELDRV_DEVICE_DIR", dir.Path()}};
  setup.collectErrors = true;
  ChildProcess velctl(setup);
  ASSERT_TRUE(velctl.WaitFor("D0 = 42 (0x002A)\n", 10s)) << velctl.Errors();
  server.hangup();
  std::this_thread::sleep_for(500ms);  // samples fail: the connection is gone, then refused
  server.reopen();
  EXPECT_EQ(velctl.WaitExit(20s), 0) << velctl.Errors();
  const std::string &err = velctl.Errors();
  const std::string com1 = "COM1 (" + server.address() + ")";
  EXPECT_NE(
      err.find(com1 +
               ": device lost: the server closed the connection (-1)\nvelctl: poll: the device is lost; " +
               com1 + " opens again before the next sample\n"),
      std::string::npos)
      << err;
  EXPECT_NE(err.find("velctl: poll: " + com1 + " is open again\n"), std::string::npos) << err;
  // Most samples succeed: those after the server came back too.
  const std::string &out = velctl.Output();
  const auto samples = std::count(out.begin(), out.end(), '\n');
  EXPECT_GE(samples, 20) << out << err;
  EXPECT_EQ(out.substr(out.size() - 17), "D0 = 42 (0x002A)\n");
}

// An open refused for lack of permission: a hint names the device's group.
// Run as another user (nobody), since root may open anything.
TEST(VelctlHints, PermissionNamesTheDevicesGroup) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
  const group *dialout = getgrnam("dialout");
  if (!dialout) GTEST_SKIP() << "no group dialout";
  TempDir dir;
  const std::string device = dir.Path() + "/ttyUSB0";
  std::ofstream(device).close();
  ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(chmod(device.c_str(), 0660), 0);
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  VelctlRun run = RunProgram(dir.Path(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                          "--clear-groups", VELCTL_PATH, "-d", device, "read", "D0", "1"});
  EXPECT_EQ(run.status, 1) << run;
  const std::string hint =
      "\nvelctl: add yourself to the group dialout (sudo usermod -aG dialout $USER) and log in again\n";
  EXPECT_TRUE(run.err.rfind("velctl: read D0 1: COM1 (" + device + "): ", 0) == 0 &&
              run.err.size() > hint.size() && run.err.substr(run.err.size() - hint.size()) == hint)
      << run.err;
}

// Ctrl-C while a transfer is under way: velctl finishes it, prints the
// sample, and ends with exit status 0.
TEST(VelctlInterrupt, CtrlCEndsPollAfterTheTransfer) {
  TempDir dir;
  velsim::PtyLine line(Family::Fx, dir.Path(), 1);
  line.setPace(true);  // 500 bytes take about a second on the line
  ChildProcess::Setup setup;
  setup.argv = {VELCTL_PATH, "poll", "--format", "json", "--interval", "0", "D0", "250"};
  setup.env = {{"VELDRV_DEVICE_DIR", dir.Path()}};
  setup.ownGroup = true;
  setup.collectErrors = true;
  ChildProcess velctl(setup);
  ASSERT_TRUE(velctl.WaitFor("]}\n", 10s)) << velctl.Errors();
  // The second sample's transfer starts at once.
  std::this_thread::sleep_for(100ms);
  auto interrupted = std::chrono::steady_clock::now();
  kill(-velctl.Pid(), SIGINT);
  EXPECT_EQ(velctl.WaitExit(), 0) << velctl.Errors();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - interrupted).count();
  EXPECT_GT(seconds, 0.3) << "ended before the transfer";
  EXPECT_EQ(std::count(velctl.Output().begin(), velctl.Output().end(), '\n'), 2) << velctl.Output();
  EXPECT_EQ(velctl.Errors(), "");
  line.settle();
  EXPECT_EQ(line.protocolErrors(), 0u);
}

}  // namespace
