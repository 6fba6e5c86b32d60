// Port table: the library's serial ports, shared by reference count, and the
// port-level I/O the byte primitives are built from.
#pragma once
#include <cstdint>

#include "base/fair_lock.h"
#include "base/status.h"
#include "device.h"

constexpr int kPortCount = 16;
constexpr uint32_t kTickMs = 55;
constexpr uint32_t kReadTimeoutTicks = 18;  // 990 ms per byte
constexpr uint32_t kSettleTicks = 9;        // pause after configuring a port
constexpr uint32_t kQueueBytes = 4096;

struct ComPort {
  int32_t isOpen;
  Device *handle;
  int32_t refCount;
  LineSettings line;     // the settings of the open that opened the device
  FairLock lock;         // serializes transfers; held by the links layer
  uint16_t answerBytes;  // bytes received since the last byte sent
  char path[1024];       // the device or address, for the trace
};

// Port management; port numbers are taken as unsigned 16-bit values and
// those of 16 and above are refused (kStatusPort).
// A port that is open already only gains a reference, if it was opened with
// the same character format; one open for the other controller family is
// left as it is (kStatusPort and *otherLine set).
Status PortOpen(int port, const LineSettings &line, bool *otherLine = nullptr);
// kStatusPort for a port that is not open; closes the device with the last
// reference.
Status PortRelease(int port);
bool PortIsOpen(int port);  // call with the port's lock held

// The port's lock for a scope: transfers, and link opens and closes while
// they write the shared link record. Does nothing for an invalid number.
class PortGuard {
 public:
  explicit PortGuard(int port);
  ~PortGuard();
  PortGuard(const PortGuard &) = delete;
  PortGuard &operator=(const PortGuard &) = delete;

 private:
  FairLock *lock_;
};

// At unload: closes every open port regardless of its reference count,
// except those whose lock a thread holds (the process is ending in the
// middle of their transfers; the OS closes them). Never waits.
void PortCloseAll();
// In a forked child: every port is the parent's; forget them without
// touching the line, and start the locks afresh.
void PortForgetAll();

// Read access for tests and diagnostics; a closed entry for invalid numbers.
const ComPort &PortEntry(int port);

// Line I/O; call with the port's lock held. A failure notes its reason for
// the port (reasons.h) and returns kStatusTimeout, as a missing answer does:
// a byte that did not arrive within 990 ms, a write that did not go out, a
// device that is gone ("device lost: ...").
Status PortSend(int port, const uint8_t *bytes, int n);
Status PortReceive(int port, uint8_t *byte);
void PurgePort(int port);
void SetRts(int port);
void ClearRts(int port);
void SleepMs(uint32_t ms);
