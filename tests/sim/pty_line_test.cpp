// The simulator behind a pseudo-terminal, driven with raw bytes from the test (no library involved).
#include "pty_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "a_controller.h"
#include "pty_client.h"

namespace velsim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using test::PtyClient;
using test::TempDir;

const Bytes kFxRead{0x02, 0x30, 0x31, 0x30, 0x30, 0x30, 0x30, 0x32, 0x03, 0x35, 0x36};
const Bytes kFxReadReply{0x02, 0x43, 0x38, 0x30, 0x30, 0x03, 0x44, 0x45};
const Bytes kFxWrite{0x02, 0x31, 0x31, 0x30, 0x30, 0x30, 0x30, 0x32,
                     0x43, 0x38, 0x30, 0x30, 0x03, 0x33, 0x32};
const Bytes kARead{0x07, 0x00, 0xFF, 0x02, 0x00, 0x88, 0x00, 0x02, 0x92};
const Bytes kAReadResponse{0x05, 0x00, 0xFF, 0x02, 0x34, 0x12, 0x4C};
const Bytes kAWrite{0x09, 0x00, 0xFF, 0x04, 0x00, 0x88, 0x00, 0x02, 0x34, 0x12, 0xDC};
const Bytes kAWriteResponse{0x03, 0x00, 0xFF, 0x04, 0x06};

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit = 2000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(PtyLine, FxWorkedExamplesAndWireLog) {
  TempDir dir;
  PtyLine line(Family::Fx, dir.path(), 2);
  EXPECT_EQ(line.path(), dir.path() + "/COM2");
  EXPECT_EQ(line.slaveName().rfind("/dev/pts/", 0), 0u);
  line.write(0x1000, {0xC8, 0x00});
  PtyClient plc(line.path());
  EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
  EXPECT_EQ(plc.exchange(kFxRead, 8), kFxReadReply);
  line.clear();
  EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
  EXPECT_EQ(plc.exchange(kFxWrite, 1), Bytes{0x06});
  EXPECT_EQ(line.read(0x1000, 2), (Bytes{0xC8, 0x00}));
  plc.send({0x15});  // a NAK from the library is logged and traced
  ASSERT_TRUE(line.settle());
  ASSERT_EQ(line.trace().size(), 3u);

  EXPECT_EQ(line.wireBytes(WireDir::FromLibrary), concat({{0x05}, kFxRead, {0x05}, kFxWrite, {0x15}}));
  EXPECT_EQ(line.wireBytes(WireDir::ToLibrary), concat({{0x06}, kFxReadReply, {0x06, 0x06}}));
  const auto wire = line.wire();
  EXPECT_EQ(wire[1].dir, WireDir::ToLibrary);
  for (std::size_t i = 1; i < wire.size(); ++i) EXPECT_LE(wire[i - 1].at, wire[i].at);
  const auto trace = line.trace();
  EXPECT_EQ(trace[0].text, "FX read  0x1000 n=2 -> C8 00");
  EXPECT_EQ(trace[1].text, "FX write 0x1000 n=2 C8 00 -> ACK");
  EXPECT_EQ(trace[2].kind, TraceKind::LibraryNak);
  EXPECT_EQ(line.frames(), 2u);
  EXPECT_EQ(line.protocolErrors(), 0u);
  line.clearWire();
  line.clearTrace();
  EXPECT_TRUE(line.wire().empty());
  EXPECT_TRUE(line.trace().empty());
}

TEST(PtyLine, AWorkedExamplesAndHandshake) {
  TempDir dir;
  PtyLine line(Family::A, dir.path(), 1);
  line.setSessionByte(0x00);
  line.write(0x8800, {0x34, 0x12});
  PtyClient plc(line.path());
  EXPECT_EQ(plc.exchange({0xAA}, 0), Bytes{});
  EXPECT_EQ(plc.exchange({0xB0}, 2), (Bytes{AController::kHandshakeFirst, 0x00}));
  plc.send({0x00});
  EXPECT_EQ(plc.exchange(kARead, 7), kAReadResponse);
  plc.send({0x00});
  EXPECT_EQ(plc.exchange(kAWrite, 5), kAWriteResponse);
  plc.send({0x01});  // wrong prefix: no answer, counted
  EXPECT_EQ(plc.drain(50ms), Bytes{});
  EXPECT_TRUE(waitFor([&] { return line.protocolErrors() == 1; }));
  const auto trace = line.trace();
  ASSERT_EQ(trace.size(), 4u);
  EXPECT_EQ(trace[1].text, "A  read  0x8800 n=2 -> 34 12");
  EXPECT_EQ(trace[2].text, "A  write 0x8800 n=2 34 12 -> ACK");
  EXPECT_EQ(trace[3].kind, TraceKind::Error);
}

TEST(PtyLine, WithoutHistoryOnlyTheHookSeesFrames) {
  TempDir dir;
  PtyLine line(Family::Fx, dir.path(), 3);
  line.write(0x1000, {0xC8, 0x00});
  std::vector<std::string> seen;
  std::mutex m;
  line.setTraceHook([&](const TraceEntry &e) {
    std::lock_guard lock(m);
    seen.push_back(e.text);
  });
  line.setKeepHistory(false);
  PtyClient plc(line.path());
  EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
  EXPECT_EQ(plc.exchange(kFxRead, kFxReadReply.size()), kFxReadReply);
  ASSERT_TRUE(line.settle());
  EXPECT_TRUE(line.trace().empty());
  EXPECT_TRUE(line.wire().empty());
  std::lock_guard lock(m);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], "FX read  0x1000 n=2 -> C8 00");
}

TEST(PtyLine, FaultsShowOnTheWire) {
  TempDir dir;
  PtyLine line(Family::Fx, dir.path(), 1);
  PtyClient plc(line.path());
  line.setFault({FaultKind::NakToEnq}, FaultWhen::Once);
  EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x15});
  EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
  line.setFault({FaultKind::Silent}, FaultWhen::OnFrame, 3);
  plc.send({0x05});
  EXPECT_EQ(plc.drain(50ms), Bytes{});
  EXPECT_EQ(line.wireBytes(WireDir::ToLibrary), (Bytes{0x15, 0x06}));
  EXPECT_EQ(line.frames(), 3u);
}

TEST(PtyLine, PartialRequestIsDroppedAfterQuietGap) {
  TempDir dir;
  PtyLine line(Family::Fx, dir.path(), 1);
  line.setIdleGap(30ms);
  PtyClient plc(line.path());
  plc.send({0x02, 0x30, 0x31});
  EXPECT_TRUE(waitFor([&] { return line.protocolErrors() == 1; }));
  line.write(0x1000, {0xC8, 0x00});
  EXPECT_EQ(plc.exchange(kFxRead, 8), kFxReadReply);
}

TEST(PtyLine, LastSettingsShowWhatTheClientProgrammed) {
  TempDir dir;
  PtyLine line(Family::Fx, dir.path(), 1);
  PtyClient plc(line.path());
  termios t{};
  ASSERT_EQ(tcgetattr(plc.fd(), &t), 0);
  cfsetispeed(&t, B19200);
  cfsetospeed(&t, B19200);
  t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 5;
  ASSERT_EQ(tcsetattr(plc.fd(), TCSANOW, &t), 0);
  const termios seen = line.lastSettings();
  EXPECT_EQ(PtyLine::baudOf(seen), 19200);
  EXPECT_EQ(seen.c_cc[VMIN], 1);
  EXPECT_EQ(seen.c_cc[VTIME], 5);
  EXPECT_EQ(seen.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(seen.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));  // forced by Linux on a pseudo-terminal
}

TEST(PtyLine, StopSilencesTheLinePromptlyAndRestartServes) {
  TempDir dir;
  PtyLine line(Family::Fx, dir.path(), 1);
  PtyClient plc(line.path());
  EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
  const auto t0 = std::chrono::steady_clock::now();
  line.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  EXPECT_FALSE(line.serving());
  plc.send({0x05});
  EXPECT_EQ(plc.drain(50ms), Bytes{});
  line.restart();  // the ENQ sent while stopped is dropped
  EXPECT_EQ(plc.drain(50ms), Bytes{});
  EXPECT_EQ(plc.exchange({0x05}, 1), Bytes{0x06});
}

TEST(PtyLine, HangupLosesTheDeviceAndReopenBringsItBack) {
  TempDir dir;
  auto line = std::make_unique<PtyLine>(Family::Fx, dir.path(), 4);
  const std::string path = line->path();
  line->write(0x10, {0x5A});
  {
    PtyClient plc(path);
    line->hangup();
    EXPECT_FALSE(exists(path));
    pollfd p{plc.fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
    std::uint8_t b;
    EXPECT_LE(read(plc.fd(), &b, 1), 0);
  }
  line->reopen();
  ASSERT_TRUE(exists(path));
  PtyClient plc(path);
  plc.send({0x05});
  EXPECT_EQ(plc.receive(1), Bytes{0x06});
  EXPECT_EQ(line->read(0x10, 1), Bytes{0x5A});
  line.reset();
  EXPECT_FALSE(exists(path));  // the destructor removes the link
  EXPECT_TRUE(exists(dir.path()));
}

std::string linkTarget(const std::string &path) {
  char buf[256];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

// DIR/COMn may be a user's link to an adapter or another simulator's link.
TEST(PtyLine, LeavesAnExistingLinkAloneUnlessToldAndRemovesOnlyItsOwn) {
  TempDir dir;
  const std::string com1 = dir.path() + "/COM1";
  ASSERT_EQ(symlink("/dev/null", com1.c_str()), 0);
  EXPECT_THROW(PtyLine(Family::A, dir.path(), 1), LinkExists);
  EXPECT_EQ(linkTarget(com1), "/dev/null");

  auto first = std::make_unique<PtyLine>(Family::A, dir.path(), 1, ExistingLink::Replace);
  EXPECT_EQ(linkTarget(com1), first->slaveName());
  EXPECT_THROW(PtyLine(Family::Fx, dir.path(), 1), LinkExists);
  EXPECT_EQ(linkTarget(com1), first->slaveName());
  auto second = std::make_unique<PtyLine>(Family::Fx, dir.path(), 1, ExistingLink::Replace);
  first.reset();  // the link is no longer its own
  EXPECT_EQ(linkTarget(com1), second->slaveName());
  second.reset();
  EXPECT_FALSE(exists(com1));

  ASSERT_EQ(close(creat((dir.path() + "/COM2").c_str(), 0600)), 0);
  EXPECT_THROW(PtyLine(Family::A, dir.path(), 2, ExistingLink::Replace), LinkExists);
  EXPECT_TRUE(exists(dir.path() + "/COM2"));
}

// Pacing: characters cross at 9600 baud, 10 bits each for FX, 11 for A-series, without drift.
TEST(PtyLine, PaceEmulatesWireTime) {
  for (Family family : {Family::Fx, Family::A}) {
    SCOPED_TRACE(familyName(family));
    TempDir dir;
    PtyLine line(family, dir.path(), 1);
    line.setPace(true);
    PtyClient plc(line.path());
    const auto charTime = std::chrono::nanoseconds(1000000000ll * (family == Family::Fx ? 10 : 11) / 9600);
    Bytes request, handshake;
    std::size_t replySize;
    if (family == Family::Fx) {
      handshake = {0x05};
      request = {0x02, '0', '1', '0', '0', '0', '6', '4'};  // read 100 bytes at 0x1000
      std::uint8_t sum = 0x03;
      for (std::size_t i = 1; i < request.size(); ++i) sum += request[i];
      request.push_back(0x03);
      request.push_back("0123456789ABCDEF"[sum >> 4]);
      request.push_back("0123456789ABCDEF"[sum & 15]);
      replySize = 2 * 100 + 4;
    } else {
      handshake = {0xAA, 0xB0};
      request = {0x31, 0x07, 0x00, 0xFF, 0x02,
                 0x00, 0x10, 0x00, 100,  static_cast<std::uint8_t>(8 + 0x10 + 100)};
      replySize = 100 + 5;
    }
    const std::size_t hsReply = family == Family::Fx ? 1 : 2;
    ASSERT_EQ(plc.exchange(handshake, hsReply).size(), hsReply);
    line.clearWire();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(plc.exchange(request, replySize).size(), replySize);
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, (request.size() + replySize) * charTime * 9 / 10);

    ASSERT_TRUE(line.settle());
    const auto wire = line.wire();
    ASSERT_EQ(wire.size(), request.size() + replySize);
    // The request's bytes, written at once, are taken one character time apart; so are the reply's.
    const auto &firstIn = wire.front(), &lastIn = wire[request.size() - 1];
    EXPECT_NEAR((lastIn.at - firstIn.at).count(), ((request.size() - 1) * charTime).count(), 1000);
    const auto &firstOut = wire[request.size()], &lastOut = wire.back();
    EXPECT_NEAR((lastOut.at - firstOut.at).count(), ((replySize - 1) * charTime).count(), 1000);
    EXPECT_GE(firstOut.at - lastIn.at, charTime - 1us);
  }
}

}  // namespace
}  // namespace velsim
