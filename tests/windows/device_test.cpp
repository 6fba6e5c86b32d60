// The Win32 serial backend on its own, against a line whose other end takes
// no bytes (a pseudo-terminal nobody reads, mapped to a COM port by Wine).
//
//   veldrv_device_test --blocked COM
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "backends.h"
#include "base/clock.h"
#include "check.h"

namespace {

int blockedCom = 0;

// Once the line's buffers are full a one-byte write ends at the write
// time-out (100 ms per byte + 100 ms) with nothing written. That must count
// as a failed write: the protocols then see a send that did not happen.
void WriteTimeOutIsFailure() {
  std::string name = "COM" + std::to_string(blockedCom);
  DeviceOpenInfo info{};
  Device device{};
  device.ops = &kSerialDevice;
  REQUIRE_EQ(1, kSerialDevice.open(device, 0, name.c_str(), LineSettings{9600, 7, 2}, info) ? 1 : 0);
  auto write = [&](uint8_t byte) {
    char why[160];
    return kSerialDevice.write(device, NowNs() + 200000000LL, &byte, 1, why, sizeof why);
  };
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  long written = 0;
  double failedAfterMs = -1;
  // The buffers of a pseudo-terminal hold some kilobytes; 10 s of writes
  // that all report success mean the time-out is taken for a sent byte.
  while (Clock::now() - start < std::chrono::seconds(10)) {
    auto t0 = Clock::now();
    if (write('x') != IoResult::kDone) {
      failedAfterMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
      break;
    }
    written++;
  }
  std::printf("  %ld bytes written before the line was full\n", written);
  CHECK(written > 0);
  if (failedAfterMs < 0) {
    check::Fail(__FILE__, __LINE__, "every write reported success on a full line");
  } else if (failedAfterMs < 150 || failedAfterMs > 2000) {
    check::Fail(__FILE__, __LINE__,
                "the failed write took " + std::to_string(failedAfterMs) + " ms, not ~200");
  }
  // The line stays full: the next byte fails as well.
  CHECK(write('y') == IoResult::kTimeout);
  kSerialDevice.purge(device);
  kSerialDevice.close(device);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3 || std::string(argv[1]) != "--blocked" || (blockedCom = std::atoi(argv[2])) <= 0) {
    std::fprintf(stderr, "usage: veldrv_device_test --blocked COM\n");
    return 2;
  }
  check::Runner runner;
  runner.Add("Device.WriteTimeOutIsFailure", WriteTimeOutIsFailure);
  return runner.Run() == 0 ? 0 : 1;
}
