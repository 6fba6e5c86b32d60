// End-to-end tests: the six exports of the shared library against simulated
// controllers on pseudo-terminals in a folder private to the test binary.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "library_settings.h"
#include "sim.h"
#include "veldrv.h"

namespace e2e {

using Bytes = std::vector<uint8_t>;

// The folder VELDRV_DEVICE_DIR points at, made on first use and removed at
// exit; without it port 0 would be the machine's /dev/ttyS0.
inline const std::string &DeviceDir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/veldrv-e2e-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    ClearLibrarySettings();
    setenv("VELDRV_DEVICE_DIR", tmpl, 1);
    std::string d = tmpl;
    static struct Remover {
      std::string d;
      ~Remover() {
        std::filesystem::remove_all(d);
      }
    } remover{d};
    return d;
  }();
  return dir;
}

// Made before main(): no test of a binary that includes this header can open
// a port with the shell's settings or without its private folder.
inline const bool kDeviceDirReady = !DeviceDir().empty();

// One simulated controller on COM`com` with one handle open on it for the
// whole test suite (a port open costs half a second).
template <velsim::Family F, int Com>
class SharedLink : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    line = std::make_unique<velsim::PtyLine>(F, DeviceDir(), Com);
    handle = VelOpen(Com - 1, F == velsim::Family::Fx);
    ASSERT_GE(handle, 0);
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(VelClose(handle), 0);
    line.reset();
  }

 protected:
  void SetUp() override {
    ASSERT_TRUE(line->serving());
    line->clearFaults();
    line->settle();
    line->clearTrace();
    line->clearWire();
  }
  // The read and write requests the controller decoded since SetUp.
  static std::vector<velsim::TraceEntry> Requests() {
    line->settle();
    std::vector<velsim::TraceEntry> out;
    for (const velsim::TraceEntry &e : line->trace())
      if (e.kind == velsim::TraceKind::Read || e.kind == velsim::TraceKind::Write) out.push_back(e);
    return out;
  }
  static int Handshakes() {
    line->settle();
    int n = 0;
    for (const velsim::TraceEntry &e : line->trace()) n += e.kind == velsim::TraceKind::Handshake;
    return n;
  }

  static inline std::unique_ptr<velsim::PtyLine> line;
  static inline int handle = -1;
};

inline Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
  return b;
}

// The operand areas of one family: letters, base address, writable.
struct AreaBase {
  const char *letters;
  uint16_t base;
  bool writable;
};

// For every letter: writes (inputs: preloads) byteCount bytes from byte
// number byteStart and wordCount words from word number wordStart, checks
// where they land in controller memory (raw S: the start is the address) and
// reads them back through the exports.
inline void CheckEveryArea(velsim::PtyLine &line, int handle, const std::vector<AreaBase> &areas,
                           int byteStart, int byteCount, int wordStart, int wordCount) {
  const size_t nBytes = static_cast<size_t>(byteCount), nWords = static_cast<size_t>(2 * wordCount);
  for (const AreaBase &area : areas) {
    for (const char *l = area.letters; *l; l++) {
      const bool raw = *l == 'S' || *l == 's';
      SCOPED_TRACE(*l);
      Bytes bytes = Pattern(nBytes, static_cast<uint8_t>(*l));
      Bytes words = Pattern(nWords, static_cast<uint8_t>(*l + 1));
      uint16_t byteAt = static_cast<uint16_t>(area.base + byteStart);
      uint16_t wordAt = static_cast<uint16_t>(area.base + (raw ? wordStart : 2 * wordStart));
      if (area.writable) {
        ASSERT_EQ(VelWrB(handle, *l, byteStart, byteCount, bytes.data()), 0);
        ASSERT_EQ(VelWrW(handle, *l, wordStart, wordCount, words.data()), 0);
      } else {
        line.write(byteAt, bytes);
        line.write(wordAt, words);
        EXPECT_EQ(VelWrB(handle, *l, byteStart, byteCount, bytes.data()), VEL_BAD_LETTER);
        EXPECT_EQ(VelWrW(handle, *l, wordStart, wordCount, words.data()), VEL_BAD_LETTER);
      }
      line.settle();
      EXPECT_EQ(line.read(byteAt, nBytes), bytes);
      EXPECT_EQ(line.read(wordAt, nWords), words);
      Bytes back(std::max(nBytes, nWords));
      ASSERT_EQ(VelRdB(handle, *l, byteStart, byteCount, back.data()), 0);
      EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(nBytes)), bytes);
      ASSERT_EQ(VelRdW(handle, *l, wordStart, wordCount, back.data()), 0);
      EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(nWords)), words);
    }
  }
}

}  // namespace e2e
