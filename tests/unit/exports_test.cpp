// The six exports and the handle table against the fake device.
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "lib_fixture.h"
#include "links/links.h"
#include "peers.h"
#include "serial/ports.h"
#include "veldrv.h"

using fake::Ev;

using Exports = LibTest;

TEST_F(Exports, HandlesAreTheLowestFreeSlots) {
  EXPECT_EQ(VelOpen(0, 1), 0);
  EXPECT_EQ(VelOpen(0, 1), 1);
  EXPECT_EQ(VelClose(0), 0);
  EXPECT_EQ(VelOpen(0, 1), 0);
  EXPECT_EQ(PortEntry(0).refCount, 2);
}

TEST_F(Exports, ThirtyThirdOpenFindsNoHandle) {
  for (int h = 0; h < 32; h++) ASSERT_EQ(VelOpen(h % 16, h & 1), h);  // odd ports FX
  EXPECT_EQ(VelOpen(0, 1), VEL_NO_HANDLE);
  EXPECT_EQ(VelReason(-1, nullptr, 0), VEL_NO_HANDLE);
  EXPECT_EQ(VelClose(31), 0);
  EXPECT_EQ(VelOpen(14, 0), 31);
}

TEST_F(Exports, InvalidPortsAndFailedOpens) {
  EXPECT_EQ(VelOpen(16, 1), VEL_PORT);
  EXPECT_EQ(VelOpen(-1, 1), VEL_PORT);  // 0xFFFF
  EXPECT_TRUE(fake::Get().log.empty());
  fake::Get().missing.insert("COM3");
  EXPECT_EQ(VelOpen(2, 0), VEL_PORT);
  EXPECT_EQ(LinkLookup(2)->status, -4);
  // No slot stays taken by a failed open.
  EXPECT_EQ(VelOpen(65536, 1), 0);  // low 16 bits: port 0
  EXPECT_EQ(fake::Get().lastName, "COM1");
}

// The reasons a real line gives that a pseudo-terminal cannot: no permission,
// and line settings the device refuses (the device is closed again).
TEST_F(Exports, TraceNamesPermissionAndRefusedLineSettings) {
  char path[] = "/tmp/veldrv-unit-trace-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  setenv("VELDRV_TRACE", path, 1);
  fake::Get().refusing["COM2"] = OpenFailure::kPermission;
  EXPECT_EQ(VelOpen(1, 1), VEL_PORT);
  fake::Get().lineFails = true;
  EXPECT_EQ(VelOpen(2, 0), VEL_PORT);
  EXPECT_EQ(fake::Get().openDevices, 0);
  unsetenv("VELDRV_TRACE");
  VelOpen(16, 1);  // an open reads the setting again: the trace is off
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unlink(path);
  EXPECT_NE(text.find(" COM2 T"), std::string::npos) << text;
  EXPECT_NE(text.find("open COM2 failed: permission denied; on Linux the user needs the group dialout [fake "
                      "refusal]"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("open COM3 failed: the device refused the line settings 9600 8O1 [fake failure]"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("VelOpen(16, 1)"), std::string::npos) << text;
}

TEST_F(Exports, BadHandlesAreRefusedWithoutTouchingAnything) {
  uint8_t buf[4] = {};
  ASSERT_EQ(VelOpen(0, 1), 0);
  fake::Get().log.clear();
  for (int h : {-1, 32, 1, 31}) {  // out of range, and free slots
    EXPECT_EQ(VelClose(h), VEL_BAD_HANDLE) << h;
    EXPECT_EQ(VelRdB(h, 'D', 0, 1, buf), VEL_BAD_HANDLE) << h;
    EXPECT_EQ(VelRdW(h, 'D', 0, 1, buf), VEL_BAD_HANDLE) << h;
    EXPECT_EQ(VelWrB(h, 'D', 0, 1, buf), VEL_BAD_HANDLE) << h;
    EXPECT_EQ(VelWrW(h, 'D', 0, 1, buf), VEL_BAD_HANDLE) << h;
  }
  EXPECT_TRUE(fake::Get().log.empty());
  EXPECT_EQ(PortEntry(0).refCount, 1);  // closing a free slot released nothing
  EXPECT_EQ(VelClose(0), 0);
  EXPECT_EQ(VelClose(0), VEL_BAD_HANDLE);  // double close
}

TEST_F(Exports, LettersPerFunction) {
  FxPeer peer;
  uint8_t buf[2] = {};
  int h = VelOpen(0, 1);
  for (int letter = -1; letter < 0x200; letter++) {
    bool readable = letter < 0x80 && letter > 0 &&
                    std::string("DdEeIiXxAaOoYyMmSs").find(char(letter)) != std::string::npos;
    bool writable = readable && std::string("EeIiXx").find(char(letter)) == std::string::npos;
    EXPECT_EQ(VelRdB(h, letter, 0, 1, buf) != VEL_BAD_LETTER, readable) << letter;
    EXPECT_EQ(VelWrW(h, letter, 0, 1, buf) != VEL_BAD_LETTER, writable) << letter;
  }
  EXPECT_EQ(VelWrB(h, 'E', 0, 1, buf), VEL_BAD_LETTER);
  EXPECT_EQ(VelRdB(h, 'Q', 0, 1, buf), VEL_BAD_LETTER);
  EXPECT_EQ(VelRdB(h, 'D' + 256, 0, 1, buf), VEL_BAD_LETTER);  // compared as a full integer
}

TEST_F(Exports, CountsThatWouldWrapAndNullBuffersAreRefused) {
  FxPeer peer;
  uint8_t buf[2] = {};
  int h = VelOpen(0, 1);
  fake::Get().log.clear();
  EXPECT_EQ(VelRdB(h, 'D', 0, -1, buf), VEL_BAD_ARGUMENT);
  EXPECT_EQ(VelRdB(h, 'D', 0, 65536, buf), VEL_BAD_ARGUMENT);
  EXPECT_EQ(VelWrB(h, 'D', 0, 70000, buf), VEL_BAD_ARGUMENT);
  EXPECT_EQ(VelRdW(h, 'D', 0, 32768, buf), VEL_BAD_ARGUMENT);
  EXPECT_EQ(VelWrW(h, 'S', 0, 32768, buf), VEL_BAD_ARGUMENT);
  EXPECT_EQ(VelRdB(h, 'D', 0, 1, nullptr), VEL_BAD_ARGUMENT);
  EXPECT_EQ(VelWrW(h, 'M', 0, 1, nullptr), VEL_BAD_ARGUMENT);
  EXPECT_TRUE(fake::Get().log.empty());
  EXPECT_EQ(VelRdB(h, 'D', 0, 0, nullptr), 0);  // nothing to move
  EXPECT_TRUE(fake::Written().empty());
}

TEST_F(Exports, CountZeroReportsTheStatusTheLastTransferLeft) {
  uint8_t buf[2] = {};
  int h = VelOpen(0, 1);
  EXPECT_EQ(VelRdB(h, 'D', 0, 0, buf), 0);                      // fresh open
  fake::Get().onWrite = [](uint8_t) { fake::Answer({0x15}); };  // NAK to ENQ
  EXPECT_EQ(VelRdB(h, 'D', 0, 1, buf), VEL_WRONG_CHAR);
  fake::Get().onWrite = nullptr;
  fake::Get().log.clear();
  EXPECT_EQ(VelRdB(h, 'D', 0, 0, buf), VEL_WRONG_CHAR);
  EXPECT_EQ(VelWrW(h, 'D', 0, 0, buf), VEL_WRONG_CHAR);
  EXPECT_TRUE(fake::Get().log.empty());
  EXPECT_EQ(VelRdB(h, 'D', 0, 1, buf), VEL_TIMEOUT);  // silent line
  EXPECT_EQ(VelRdB(h, 'D', 0, 0, buf), VEL_TIMEOUT);
}

TEST_F(Exports, AreaMappingForEveryLetterAndBothFamilies) {
  struct Case {
    int letter;
    uint16_t fx, a;
  };
  const Case cases[] = {{'D', 0x1000, 0x8800}, {'d', 0x1000, 0x8800}, {'E', 0x0080, 0x8000},
                        {'i', 0x0080, 0x8000}, {'X', 0x0080, 0x8000}, {'A', 0x00A0, 0x8200},
                        {'o', 0x00A0, 0x8200}, {'Y', 0x00A0, 0x8200}, {'M', 0x0100, 0x8400},
                        {'m', 0x0100, 0x8400}, {'S', 0x0000, 0x0000}, {'s', 0x0000, 0x0000}};
  uint8_t buf[2] = {};
  for (int fx : {1, 0}) {
    fake::Reset();
    std::optional<FxPeer> fxPeer;
    std::optional<APeer> aPeer;
    if (fx)
      fxPeer.emplace();
    else
      aPeer.emplace(0x42);
    int h = VelOpen(4, fx);
    ASSERT_GE(h, 0);
    std::vector<PeerFrame> &frames = fx ? fxPeer->frames : aPeer->frames;
    for (const Case &c : cases) {
      uint16_t base = fx ? c.fx : c.a;
      bool raw = c.letter == 'S' || c.letter == 's';
      ASSERT_EQ(VelRdB(h, c.letter, 0x123, 1, buf), 0);
      EXPECT_EQ(frames.back().address, uint16_t(base + 0x123)) << char(c.letter);
      ASSERT_EQ(VelRdW(h, c.letter, 0x123, 1, buf), 0);
      EXPECT_EQ(frames.back().address, uint16_t(base + (raw ? 0x123 : 0x246))) << char(c.letter);
      EXPECT_EQ(frames.back().n, 2);
    }
    ASSERT_EQ(VelRdW(h, 'D', 100, 1, buf), 0);
    EXPECT_EQ(frames.back().address, fx ? 0x10C8 : 0x88C8);
    ASSERT_EQ(VelWrB(h, 'M', 3, 1, buf), 0);
    EXPECT_EQ(frames.back().address, fx ? 0x0103 : 0x8403);
    EXPECT_TRUE(frames.back().write);
    EXPECT_EQ(VelClose(h), 0);
  }
}

// VELDRV_FX_AREAS=legacy, read at each open, keeps the earlier FX addresses
// of X, Y and M for the handles opened with it; anything else fails the open.
TEST_F(Exports, LegacyFxAreasPerHandle) {
  FxPeer peer;
  uint8_t buf[2] = {};
  setenv("VELDRV_FX_AREAS", "legacy", 1);
  int legacy = VelOpen(0, 1);
  setenv("VELDRV_FX_AREAS", "", 1);  // empty: unset
  int plain = VelOpen(0, 1);
  setenv("VELDRV_FX_AREAS", "Legacy", 1);
  EXPECT_EQ(VelOpen(0, 1), VEL_PORT);
  char why[256];
  EXPECT_EQ(VelReason(-1, why, sizeof why), VEL_PORT);
  EXPECT_NE(std::string(why).find("VELDRV_FX_AREAS=Legacy"), std::string::npos) << why;
  unsetenv("VELDRV_FX_AREAS");
  ASSERT_GE(legacy, 0);
  ASSERT_GE(plain, 0);
  const struct {
    int letter;
    uint16_t legacy, plain;
  } cases[] = {{'X', 0x0400, 0x0080}, {'Y', 0x0500, 0x00A0}, {'M', 0x0800, 0x0100}, {'D', 0x1000, 0x1000}};
  for (const auto &c : cases) {
    ASSERT_EQ(VelRdB(legacy, c.letter, 2, 1, buf), 0);
    EXPECT_EQ(peer.frames.back().address, c.legacy + 2) << char(c.letter);
    ASSERT_EQ(VelRdB(plain, c.letter, 2, 1, buf), 0);
    EXPECT_EQ(peer.frames.back().address, c.plain + 2) << char(c.letter);
  }
}

TEST_F(Exports, TransfersOnAPortWithoutALinkTouchNoDevice) {
  uint8_t buf[2] = {};
  EXPECT_EQ(Read(0, 1, buf, false, 5), -4);
  EXPECT_EQ(
      LinkTransfer(5, Request{Direction::kWrite, true, AreaForLetter('D'), FxAreas::kController, 0, 1, buf}),
      -4);
  EXPECT_EQ(Read(0, 1, buf, false, 16), -4);
  EXPECT_EQ(LinkClose(16), -4);
  EXPECT_TRUE(fake::Get().log.empty());
}

TEST_F(Exports, OpenClearsTheSharedRecordAndTheOtherFamilyIsRefused) {
  int a = VelOpen(0, 0);
  PlcLink *link = LinkLookup(0);
  link->sessionByte = 0x33;
  link->status = -1;
  // Both families on one line would break both: refused, nothing changes.
  EXPECT_EQ(VelOpen(0, 1), VEL_PORT);
  char why[256];
  EXPECT_EQ(VelReason(-1, why, sizeof why), VEL_PORT);
  EXPECT_NE(std::string(why).find("other controller family"), std::string::npos) << why;
  EXPECT_EQ(link->sessionByte, 0x33);
  EXPECT_EQ(link->status, -1);
  EXPECT_TRUE(LinkIsA(0));
  EXPECT_EQ(PortEntry(0).refCount, 1);
  int second = VelOpen(0, 0);
  EXPECT_EQ(link->sessionByte, 0);
  EXPECT_EQ(link->status, 0);
  link->sessionByte = 0x33;
  EXPECT_EQ(VelClose(second), 0);
  EXPECT_EQ(link->sessionByte, 0x33);  // kept by close for the other handle
  EXPECT_EQ(VelClose(a), 0);
  EXPECT_FALSE(PortIsOpen(0));
  // Closed, the port opens for the other family.
  int fx = VelOpen(0, 1);
  EXPECT_GE(fx, 0);
  EXPECT_FALSE(LinkIsA(0));
  EXPECT_EQ(VelClose(fx), 0);
}

TEST_F(Exports, DetachClosesEveryHandleAndPort) {
  ASSERT_EQ(VelOpen(0, 1), 0);
  ASSERT_EQ(VelOpen(1, 0), 1);
  ASSERT_EQ(VelOpen(1, 0), 2);
  LibraryDetach();
  EXPECT_EQ(fake::Get().openDevices, 0);
  EXPECT_FALSE(PortIsOpen(0));
  EXPECT_FALSE(PortIsOpen(1));
  LibraryAttach();
  EXPECT_EQ(VelClose(1), VEL_BAD_HANDLE);
  EXPECT_EQ(VelOpen(0, 1), 0);
}

TEST_F(Exports, ConcurrentOpensNeverShareASlot) {
  std::vector<int> got(32, -100);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&got, t] {
      for (int i = 0; i < 8; i++) got[t * 8 + i] = VelOpen(t, 1);
    });
  for (auto &t : threads) t.join();
  std::sort(got.begin(), got.end());
  for (int h = 0; h < 32; h++) EXPECT_EQ(got[h], h);
}

TEST_F(Exports, StatusTextsAndTheReasonBesideTheCode) {
  const std::pair<int, std::string> texts[] = {
      {VEL_OK, "success"},
      {VEL_TIMEOUT, "time-out: the controller did not answer within 990 ms"},
      {VEL_NO_HANDLE, "no free handle: all 32 link handles are in use"},
      {VEL_CHECKSUM, "checksum error: the checksum of the controller's reply did not match"},
      {VEL_PORT, "port error: the port does not exist or cannot be opened"},
      {VEL_BAD_ARGUMENT, "bad argument: a null buffer or a count out of range"},
      {VEL_WRONG_CHAR, "transmission error: a wrong character or value was received"},
      {VEL_BAD_LETTER, "bad operand letter: the area cannot be used for this transfer"},
      {VEL_BAD_HANDLE, "bad handle: the link handle is not open"},
  };
  for (const auto &[code, text] : texts) {
    EXPECT_EQ(VelStatusText(code), text) << code;
    EXPECT_EQ(VelStatusText(code), VelStatusText(code)) << "static";
  }
  for (int code : {1, -7, -100, 12345}) EXPECT_STREQ(VelStatusText(code), "unknown status");

  fake::Get().missing.insert("COM3");
  EXPECT_EQ(VelOpen(2, 1), VEL_PORT);
  char why[256] = "untouched";
  EXPECT_EQ(VelReason(-1, why, sizeof why), VEL_PORT);
  EXPECT_NE(std::string(why).find("COM3"), std::string::npos) << why;
  EXPECT_NE(std::string(why).find("no such device"), std::string::npos) << why;
  char cut[8];
  EXPECT_EQ(VelReason(-1, cut, sizeof cut), VEL_PORT);
  EXPECT_EQ(std::string(cut), std::string(why).substr(0, 7));

  EXPECT_EQ(VelReason(0, why, sizeof why), VEL_BAD_HANDLE);  // not open
  EXPECT_EQ(VelReason(32, why, sizeof why), VEL_BAD_HANDLE);
}

// Every failed transfer leaves its reason, trace or not: what happened, on
// which port and device.
TEST_F(Exports, ReasonsOfFailedTransfers) {
  uint8_t buf[2];
  char why[256];
  int h = VelOpen(0, 1);
  ASSERT_GE(h, 0);
  EXPECT_EQ(VelReason(h, why, sizeof why), 0);
  EXPECT_STREQ(why, "");
  const struct {
    std::string answer;  // to the read request, after the ACK to ENQ
    int status;
    const char *reason;
  } cases[] = {
      {"\x02"
       "C8",
       VEL_TIMEOUT, "COM1 (COM1): time-out while waiting for byte 4 of the answer"},
      {"\x15", VEL_WRONG_CHAR, "COM1 (COM1): wrong character 0x15 (NAK) where 0x02 (STX) was expected"},
      {"\x02"
       "C800\x03"
       "DF",
       VEL_CHECKSUM, "COM1 (COM1): checksum 0xDF where 0xDE was expected"},
  };
  for (const auto &c : cases) {
    fake::Get().onWrite = [&c](uint8_t) {
      size_t n = fake::Written().size();
      if (n == 1) fake::Answer({0x06});
      if (n == 12) fake::Answer(c.answer);
    };
    fake::Get().log.clear();
    EXPECT_EQ(VelRdB(h, 'D', 0, 2, buf), c.status);
    EXPECT_EQ(VelReason(h, why, sizeof why), c.status);
    EXPECT_STREQ(why, c.reason);
  }
  fake::Get().onWrite = nullptr;
  fake::Get().lost = true;
  EXPECT_EQ(VelRdB(h, 'D', 0, 2, buf), VEL_TIMEOUT);
  EXPECT_EQ(VelReason(h, why, sizeof why), VEL_TIMEOUT);
  EXPECT_STREQ(why, "COM1 (COM1): device lost: the server closed the connection");
  // A write that fails ends the frame at once.
  fake::Get().lost = false;
  fake::Get().writeFails = true;
  fake::Get().log.clear();
  EXPECT_EQ(VelWrB(h, 'D', 0, 2, buf), VEL_TIMEOUT);
  EXPECT_EQ(VelReason(h, why, sizeof why), VEL_TIMEOUT);
  EXPECT_STREQ(why, "COM1 (COM1): write failed: fake write failure");
  EXPECT_TRUE(fake::Only({Ev::Read, Ev::ReadTimeout}).empty());
}
