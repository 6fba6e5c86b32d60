// End-to-end tests: the six exports of the shared library against simulated
// controllers on pseudo-terminals in a folder private to the test binary.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

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

}  // namespace e2e
