// Port table: the library's ports, one record each, shared by reference
// count, and the port-level I/O the byte primitives are built from.
#pragma once
#include <atomic>
#include <cstdint>

#include "base/fair_lock.h"
#include "base/status.h"
#include "device.h"
#include "reasons.h"

constexpr int kPortCount = 16;
constexpr uint32_t kTickMs = 55;
constexpr uint32_t kReadTimeoutMs = 18 * kTickMs;  // 990 ms per byte, from the last byte received
constexpr uint32_t kSettleMs = 9 * kTickMs;        // pause after configuring a serial port
constexpr int kReceiveBytes = 1024;                // more than the largest answer (an FX read: 512)

enum PortState : uint32_t { kPortClosed, kPortOpening, kPortOpen, kPortClosing };

struct PortRecord {
  // Under the table lock: claiming and releasing the port. Opening and
  // closing the device run outside it; opens of the port wait meanwhile.
  std::atomic<uint32_t> state;  // PortState
  int32_t refCount;
  LineSettings line;      // the settings of the open that opened the device
  uint32_t openAttempts;  // counts the opens that ended, for the opens waiting for them
  bool lastOpenFailed;
  char openReason[kReasonBytes];  // why the last open failed, for those that waited for it

  // Under the port's lock: transfers, and link opens and closes while they
  // write the shared link record.
  FairLock lock;
  Device device;
  int64_t charNs;             // the time one character takes on the line
  char path[1024];            // the device or address, for the trace and the reasons
  char reason[kReasonBytes];  // what went wrong since the frame began
  // The receive buffer: bytes read from the device and not yet taken.
  uint8_t received[kReceiveBytes];
  int receivedNext, receivedEnd;
  // The answer to the last piece sent: its length, as far as the protocol
  // knows it, what arrived of it and what the protocol took, and when the
  // piece went out.
  int answerChars, answerArrived, answerTaken;
  int64_t sentNs;
};

// Port management; port numbers are taken as unsigned 16-bit values and
// those of 16 and above are refused (kStatusPort).
// A port that is open already only gains a reference, if it was opened with
// the same character format; one open for the other controller family is
// left as it is (kStatusPort and *otherLine set). An open of a port that
// another thread is opening waits for that open and shares its outcome.
Status PortOpen(int port, const LineSettings &line, bool *otherLine = nullptr);
// kStatusPort for a port that is not open; closes the device with the last
// reference.
Status PortRelease(int port);
bool PortIsOpen(int port);

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

// Read access for tests and diagnostics; a closed record for invalid numbers.
const PortRecord &PortEntry(int port);
// The record itself, for the serial layer's own files; nullptr for an
// invalid number.
PortRecord *PortRecordOf(int port);

// Line I/O; call with the port's lock held. A failure notes its reason for
// the port and returns kStatusTimeout, as a missing answer does: a byte that
// did not arrive within 990 ms of the last one, a write that did not go out,
// a device that is gone ("device lost: ...").
// Sends bytes as one piece; answerChars: how many characters the answer to
// it has (0: none or unknown), so that a slow line is read in batches.
Status PortSend(int port, const uint8_t *bytes, int n, int answerChars);
Status PortReceive(int port, uint8_t *byte);
// Empties the receive buffer and the device's queues.
void PurgePort(int port);
void SetRts(int port);
void ClearRts(int port);
void PortPause(int port, uint32_t ms);
