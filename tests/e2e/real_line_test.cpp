// What a user of a real line relies on: naming any device for a port, the
// reason of a failed open, the trace of what went over the wire, and the
// frame size for controllers that take fewer bytes a frame.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "e2e_fixture.h"

using namespace e2e;
using velsim::Family;

namespace {

struct TraceLine {
  std::string port;    // "COM1", "-"
  std::string thread;  // "T4711"
  std::string text;    // what follows the header
};

// Every line of a trace file, each checked for the header "  1234.5 COM1 T42 ".
std::vector<TraceLine> ReadTrace(const std::string &path) {
  std::ifstream in(path);
  std::vector<TraceLine> lines;
  static const std::regex header(R"(^ *\d+\.\d (COM\d+|-) (T\d+) (.*)$)");
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, header)) << line;
    if (!m.empty()) lines.push_back({m[1], m[2], m[3]});
  }
  return lines;
}

std::vector<std::string> Texts(const std::vector<TraceLine> &lines) {
  std::vector<std::string> texts;
  for (const TraceLine &l : lines) texts.push_back(l.text);
  return texts;
}

// Each test traces into a file of its own, named before the open that reads it.
class RealLine : public ::testing::Test {
 protected:
  void SetUp() override {
    tracePath =
        DeviceDir() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".trace";
    setenv("VELDRV_TRACE", tracePath.c_str(), 1);
  }
  void TearDown() override {
    ClearLibrarySettings();
    setenv("VELDRV_DEVICE_DIR", DeviceDir().c_str(), 1);
  }
  std::string tracePath;
};

TEST_F(RealLine, APortNamedByItsVariableAnywhere) {
  // The device lives outside the COM folder, under another name.
  std::string elsewhere = DeviceDir() + "/elsewhere";
  velsim::PtyLine line(Family::Fx, elsewhere, 9);
  setenv("VELDRV_COM2", (elsewhere + "/COM9").c_str(), 1);
  const auto t0 = std::chrono::steady_clock::now();
  int h = VelOpen(1, 1);
  ASSERT_GE(h, 0);
  // A serial line settles for 495 ms after it was set up (a network port does not).
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(490));
  Bytes data = Pattern(4, 3), back(4);
  ASSERT_EQ(VelWrB(h, 'D', 0, 4, data.data()), VEL_OK);
  ASSERT_EQ(VelRdB(h, 'D', 0, 4, back.data()), VEL_OK);
  EXPECT_EQ(back, data);
  EXPECT_EQ(VelClose(h), VEL_OK);
  std::vector<std::string> texts = Texts(ReadTrace(tracePath));
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts[0], "open " + elsewhere + "/COM9 9600 7E1");
  EXPECT_EQ(texts[1], "FX areas X 0x0080, Y 0x00A0, M 0x0100 (the controllers' own)");
}

TEST_F(RealLine, EveryFailedOpenSaysWhy) {
  std::string file = DeviceDir() + "/not-a-tty";
  std::ofstream(file) << "x";
  velsim::PtyLine busy(Family::Fx, DeviceDir(), 12);
  // Another opener holding the lock: a descriptor of our own, as another program would have.
  int holder = open((DeviceDir() + "/COM12").c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

  setenv("VELDRV_COM10", (DeviceDir() + "/no-such-device").c_str(), 1);
  setenv("VELDRV_COM11", file.c_str(), 1);
  // The same reasons through VelReason(-1): the calling thread's last failed open.
  auto reason = [] {
    char why[256] = "";
    EXPECT_EQ(VelReason(-1, why, sizeof why), VEL_PORT);
    return std::string(why);
  };
  EXPECT_EQ(VelOpen(9, 1), VEL_PORT);
  EXPECT_EQ(reason(), "COM10 (" + DeviceDir() +
                          "/no-such-device): no such device; name the device with VELDRV_COM10 or "
                          "VELDRV_DEVICE_DIR: No such file or directory");
  EXPECT_EQ(VelOpen(10, 1), VEL_PORT);
  EXPECT_EQ(reason(), "COM11 (" + file + "): not a serial port: Inappropriate ioctl for device");
  EXPECT_EQ(VelOpen(11, 1), VEL_PORT);
  EXPECT_EQ(reason(),
            "COM12 (" + DeviceDir() + "/COM12): in use by another program: Resource temporarily unavailable");
  close(holder);

  std::vector<TraceLine> lines = ReadTrace(tracePath);
  std::map<std::string, std::string> failures;  // port -> the open line
  for (const TraceLine &l : lines)
    if (l.text.rfind("open ", 0) == 0) failures[l.port] = l.text;
  EXPECT_EQ(failures["COM10"],
            "open " + DeviceDir() +
                "/no-such-device failed: no such device; name the device with VELDRV_COM10 or "
                "VELDRV_DEVICE_DIR [No such file or directory]");
  EXPECT_EQ(failures["COM11"],
            "open " + file + " failed: not a serial port [Inappropriate ioctl for device]");
  EXPECT_EQ(
      failures["COM12"],
      "open " + DeviceDir() + "/COM12 failed: in use by another program [Resource temporarily unavailable]");
  // And each call with its result.
  EXPECT_EQ(lines.back().text, "VelOpen(11, 1) = -4");
  // However long the device's name, a reason is at most 255 characters.
  const std::string longName = DeviceDir() + "/" + std::string(200, 'd') + "/" + std::string(200, 'e');
  setenv("VELDRV_COM13", longName.c_str(), 1);
  EXPECT_EQ(VelOpen(12, 1), VEL_PORT);
  const std::string cut = reason();
  EXPECT_LE(cut.size(), 255u);
  EXPECT_EQ(cut.rfind("COM13 (" + longName.substr(0, 100), 0), 0u) << cut;
  EXPECT_NE(cut.find("): no such device; "), std::string::npos) << cut;
  unsetenv("VELDRV_COM13");
}

// A device the user may not open: the reason says so. Run as another user
// (nobody) when the test runs as root, since root may open anything.
TEST_F(RealLine, APermissionRefusalSaysSo) {
  const std::string device = DeviceDir() + "/ttyUSB0";
  std::ofstream(device).close();
  ASSERT_EQ(chmod(device.c_str(), 0600), 0);
  ASSERT_EQ(chmod(DeviceDir().c_str(), 0755), 0);
  setenv("VELDRV_COM10", device.c_str(), 1);
  unsetenv("VELDRV_TRACE");  // nobody may not write the test's trace file
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
    char why[256] = "";
    const int rc = VelOpen(9, 1);
    const int code = VelReason(-1, why, sizeof why);
    const std::string expected = "COM10 (" + device +
                                 "): permission denied; on Linux the user needs the group dialout: "
                                 "Permission denied";
    if (rc == VEL_PORT && code == VEL_PORT && why == expected) _exit(0);
    std::fprintf(stderr, "VelOpen = %d, VelReason = %d: %s\n", rc, code, why);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot become another user";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The trace holds controller data: a new trace file is the user's alone,
// and a symbolic link planted where the trace should go is not followed.
// A target that cannot be opened is told once, by VelReason(-1) after the
// first open that succeeds (0 and the problem); a failed open's own reason
// comes first.
TEST_F(RealLine, TheTraceFileIsPrivateAndALinkIsNotFollowed) {
  velsim::PtyLine line(Family::Fx, DeviceDir(), 3);
  const mode_t mask = umask(0);
  int h = VelOpen(2, 1);
  umask(mask);
  ASSERT_GE(h, 0);
  VelClose(h);
  struct stat st;
  ASSERT_EQ(stat(tracePath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const std::string victim = DeviceDir() + "/victim", planted = DeviceDir() + "/planted.trace";
  std::ofstream(victim) << "precious\n";
  ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
  setenv("VELDRV_TRACE", planted.c_str(), 1);
  auto reason = [](int expected) {
    char why[256] = "";
    EXPECT_EQ(VelReason(-1, why, sizeof why), expected);
    return std::string(why);
  };
  EXPECT_EQ(VelOpen(15, 1), VEL_PORT);  // no device: its own reason, not the trace's
  EXPECT_NE(reason(VEL_PORT).find("no such device"), std::string::npos);
  h = VelOpen(2, 1);
  ASSERT_GE(h, 0);
  EXPECT_EQ(reason(VEL_OK), "VELDRV_TRACE=" + planted +
                                ": cannot open it (it is a symbolic link, which the trace does not follow); "
                                "the trace is off");
  Bytes buf(2);
  EXPECT_EQ(VelRdB(h, 'D', 0, 2, buf.data()), VEL_OK);
  EXPECT_EQ(VelClose(h), VEL_OK);
  EXPECT_EQ(VelOpen(16, 1), VEL_PORT);
  h = VelOpen(2, 1);  // told already: the thread's last failed open stays
  ASSERT_GE(h, 0);
  EXPECT_EQ(reason(VEL_PORT), "port 16 is not one of 0..15 (COM1..COM16)");
  EXPECT_EQ(VelClose(h), VEL_OK);
  std::ifstream in(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious\n");
}

// "stderr" in any case and with blanks around it is standard error, not a
// file of that name.
TEST_F(RealLine, StderrInAnyCaseIsStandardError) {
  velsim::PtyLine line(Family::Fx, DeviceDir(), 3);
  setenv("VELDRV_TRACE", " StdErr\t", 1);
  ::testing::internal::CaptureStderr();
  const int h = VelOpen(2, 1);
  if (h >= 0) VelClose(h);
  const std::string captured = ::testing::internal::GetCapturedStderr();
  ASSERT_GE(h, 0);
  EXPECT_NE(captured.find("VelOpen(2, 1) = " + std::to_string(h) + "\n"), std::string::npos) << captured;
  EXPECT_FALSE(std::filesystem::exists(" StdErr\t"));
}

// One transfer of each family, line by line: the frame's summary first, then
// the bytes both ways, RTS (which a pseudo-terminal does not have) and the
// handshake, then the call and its result.
TEST_F(RealLine, TraceOfAnFxAndAnASeriesTransfer) {
  velsim::PtyLine fx(Family::Fx, DeviceDir(), 13);
  velsim::PtyLine a(Family::A, DeviceDir(), 14);
  fx.write(0x1014, {0x01, 0x02, 0x03, 0x04});
  a.write(0x8800, {0x34, 0x12});
  int hf = VelOpen(12, 1), ha = VelOpen(13, 0);
  ASSERT_GE(hf, 0);
  ASSERT_GE(ha, 0);
  Bytes buf(4);
  ASSERT_EQ(VelRdW(hf, 'D', 10, 2, buf.data()), VEL_OK);
  ASSERT_EQ(VelRdB(ha, 'D', 0, 2, buf.data()), VEL_OK);
  a.setFault(velsim::Fault{velsim::FaultKind::WrongChecksum});
  EXPECT_EQ(VelRdB(ha, 'D', 0, 2, buf.data()), VEL_WRONG_CHAR);
  VelClose(hf);
  VelClose(ha);

  std::vector<std::string> texts = Texts(ReadTrace(tracePath));
  std::vector<std::string> expected = {
      "open " + DeviceDir() + "/COM13 9600 7E1",
      "FX areas X 0x0080, Y 0x00A0, M 0x0100 (the controllers' own)",
      "VelOpen(12, 1) = " + std::to_string(hf),
      "open " + DeviceDir() + "/COM14 9600 8O1",
      "VelOpen(13, 0) = " + std::to_string(ha),
      // D10, two words: ENQ, ACK, the request with its checksum 5D, the reply with its checksum.
      "FX read 0x1014 n=4 -> 01 02 03 04",
      "  > 05",
      "  < 06",
      "  > 02 30 31 30 31 34 30 34 03 35 44",
      "  < 02 30 31 30 32 30 33 30 34 03 38 44",
      "VelRdW(" + std::to_string(hf) + ", 'D', 10, 2) = 0",
      // The first A-series frame wakes the controller and gets its session byte (0x31).
      "A read 0x8800 n=2 -> 34 12",
      "  RTS low (not applied: no modem lines)",
      "  > AA",
      "  RTS high (not applied: no modem lines)",
      "  > B0",
      "  < 5A 31",
      "  handshake: session byte 0x31",
      "  RTS low (not applied: no modem lines)",
      "  > 31",
      "  RTS high (not applied: no modem lines)",
      "  > 07 00 FF 02 00 88 00 02 92",
      "  < 05 00 FF 02 34 12 4C",
      "VelRdB(" + std::to_string(ha) + ", 'D', 0, 2) = 0",
      "A read 0x8800 n=2 failed: wrong checksum 0x4D where 0x4C was expected",
      "  RTS low (not applied: no modem lines)",
      "  > 31",
      "  RTS high (not applied: no modem lines)",
      "  > 07 00 FF 02 00 88 00 02 92",
      "  < 05 00 FF 02 34 12 4D",
      "VelRdB(" + std::to_string(ha) + ", 'D', 0, 2) = -6",
      "close " + DeviceDir() + "/COM13",
      "VelClose(" + std::to_string(hf) + ") = 0",
      "close " + DeviceDir() + "/COM14",
      "VelClose(" + std::to_string(ha) + ") = 0",
  };
  EXPECT_EQ(texts, expected);
}

// 16 threads on four ports: every frame's lines stay together, in one
// thread's name, and every call is there.
TEST_F(RealLine, TraceLinesOfSixteenThreadsNeverMix) {
  std::vector<std::unique_ptr<velsim::PtyLine>> lines;
  std::vector<int> handles;
  for (int com = 1; com <= 4; com++) {
    lines.push_back(std::make_unique<velsim::PtyLine>(com % 2 ? Family::Fx : Family::A, DeviceDir(), com));
  }
  for (int t = 0; t < 16; t++) handles.push_back(VelOpen(t % 4, (t % 4 + 1) % 2));
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; t++) {
    threads.emplace_back([h = handles[t]] {
      Bytes buf(300);
      for (int i = 0; i < 10; i++) ASSERT_EQ(VelRdB(h, 'D', 0, 300, buf.data()), VEL_OK);
    });
  }
  for (std::thread &t : threads) t.join();
  for (int h : handles) VelClose(h);

  std::vector<TraceLine> trace = ReadTrace(tracePath);
  int frames = 0, calls = 0;
  const TraceLine *frame = nullptr;
  for (const TraceLine &l : trace) {
    if (l.text.rfind("  ", 0) == 0) {  // an event of the frame above
      ASSERT_NE(frame, nullptr) << l.text;
      EXPECT_EQ(l.port, frame->port) << l.text;
      EXPECT_EQ(l.thread, frame->thread) << l.text;
      continue;
    }
    frame = nullptr;
    if (std::regex_match(l.text, std::regex(R"((FX|A) read 0x(1000|10FE|8800|88FE) n=(254|46) -> .*)"))) {
      frame = &l;
      frames++;
    }
    calls += l.text.rfind("VelRdB(", 0) == 0;
  }
  EXPECT_EQ(calls, 160);
  EXPECT_EQ(frames, 320);  // 300 bytes: frames of 254 and 46
}

// A controller that takes at most 64 bytes a frame: 254-byte frames fail
// (FX: NAK, A-series: no answer), VELDRV_FRAME_BYTES=64 makes a 200-byte read
// four frames of 64, 64, 64 and 8 that succeed.
TEST_F(RealLine, FrameSizeForControllersThatTakeSixtyFourBytes) {
  for (Family family : {Family::Fx, Family::A}) {
    const bool fx = family == Family::Fx;
    SCOPED_TRACE(fx ? "FX" : "A");
    velsim::PtyLine line(family, DeviceDir(), 15);
    line.setMaxFrame(64);
    Bytes data = Pattern(200, 9), back(200);
    line.write(0x3000, data);

    unsetenv("VELDRV_FRAME_BYTES");
    int h = VelOpen(14, fx);
    ASSERT_GE(h, 0);
    EXPECT_EQ(VelRdB(h, 'S', 0x3000, 200, back.data()), fx ? VEL_WRONG_CHAR : VEL_TIMEOUT);
    EXPECT_EQ(VelClose(h), VEL_OK);

    setenv("VELDRV_FRAME_BYTES", "64", 1);
    h = VelOpen(14, fx);
    ASSERT_GE(h, 0);
    line.settle();
    line.clearTrace();
    ASSERT_EQ(VelRdB(h, 'S', 0x3000, 200, back.data()), VEL_OK);
    EXPECT_EQ(back, data);
    std::vector<size_t> frames;
    line.settle();
    for (const velsim::TraceEntry &e : line.trace())
      if (e.kind == velsim::TraceKind::Read) frames.push_back(e.count);
    EXPECT_EQ(frames, (std::vector<size_t>{64, 64, 64, 8}));
    EXPECT_EQ(VelClose(h), VEL_OK);
  }
  // A value out of range keeps 254 and says so.
  setenv("VELDRV_FRAME_BYTES", "300", 1);
  velsim::PtyLine line(Family::Fx, DeviceDir(), 15);
  int h = VelOpen(14, 1);
  ASSERT_GE(h, 0);
  VelClose(h);
  std::vector<std::string> texts = Texts(ReadTrace(tracePath));
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "VELDRV_FRAME_BYTES=300 is not 1..254: frames of up to 254 bytes"),
            texts.end());
}

}  // namespace
