// Port table: opening, sharing and closing the serial devices.
#include "ports.h"

#include <cstdio>
#include <mutex>

#include "reasons.h"
#include "trace/trace.h"

namespace {

ComPort ports[kPortCount];
FairLock tableLock;  // serializes opening, releasing and closing of ports

// Read: 990 ms per byte, nothing per call. Write: 100 ms per byte + 100 ms.
constexpr uint32_t kReadTimeoutMs = kReadTimeoutTicks * kTickMs;
constexpr DeviceTimeouts kTimeouts = {kReadTimeoutMs, kReadTimeoutMs, 0, 100, 100};
constexpr uint32_t kWriteTimeoutMs = 200;  // of one byte

bool ValidPort(int port) {
  return static_cast<uint16_t>(port) < kPortCount;
}

ComPort &Entry(int port) {
  return ports[static_cast<uint16_t>(port)];
}

void CloseDevice(Device *device) {
  DeviceSetEventMask(device, 0);
  DeviceClearDtr(device);
  DevicePurge(device);
  DeviceClose(device);
}

// Closes an open entry; the caller holds the table lock and the entry's lock.
void CloseEntry(int port, ComPort &entry) {
  if (Tracing()) TraceLine(port, "close %s", entry.path);
  entry.isOpen = 0;
  entry.refCount = 0;
  CloseDevice(entry.handle);
  entry.handle = nullptr;
}

// "9600 7E1"
void DescribeLine(const LineSettings &s, char *text, size_t size) {
  std::snprintf(text, size, "%u %u%c1", s.baudRate, s.byteSize, "NOE"[s.parity % 3]);
}

// Why an open failed and what a user can do about it: the reason for
// VelReason(-1) and, when tracing, a trace line with the OS's words.
void ReportOpenFailure(int port, const DeviceOpenInfo &info, const char *line) {
  char hint[160];
  switch (info.failure) {
  case OpenFailure::kNoDevice:
    std::snprintf(hint, sizeof hint, "no such device; name the device with VELDRV_COM%d or VELDRV_DEVICE_DIR",
                  port + 1);
    break;
  case OpenFailure::kPermission:
    std::snprintf(hint, sizeof hint, "permission denied; on Linux the user needs the group dialout");
    break;
  case OpenFailure::kInUse:
    std::snprintf(hint, sizeof hint, "in use by another program");
    break;
  case OpenFailure::kNotSerial:
    std::snprintf(hint, sizeof hint, "not a serial port");
    break;
  case OpenFailure::kLineRefused:
    std::snprintf(hint, sizeof hint, "the device refused the line settings %s", line);
    break;
  case OpenFailure::kBadName:
    std::snprintf(hint, sizeof hint,
                  "not a device name: VELDRV_COM%d takes a device (a path on Linux, COMn on Windows) or "
                  "tcp://HOST:PORT",
                  port + 1);
    break;
  case OpenFailure::kUnreachable:
    std::snprintf(hint, sizeof hint, "no connection to the device server (an open gives up after 3 s)");
    break;
  default:
    std::snprintf(hint, sizeof hint, "cannot open it");
  }
  const char *os = info.osText[0] ? info.osText : "";
  NoteOpenFailure(kStatusPort, "COM%d (%.120s): %s%s%s", port + 1, info.path[0] ? info.path : "?", hint,
                  *os ? ": " : "", os);
  if (Tracing()) TraceLine(port, "open %s failed: %s [%s]", info.path, hint, *os ? os : "-");
}

}  // namespace

// isOpen, refCount and handle change under the table lock; isOpen and handle
// also under the port's lock, which transfers hold while they use them. So an
// open of a port that is already open never waits for its transfers.
Status PortOpen(int port, const LineSettings &s, bool *otherLine) {
  if (otherLine) *otherLine = false;
  if (!ValidPort(port)) return kStatusPort;
  std::lock_guard<FairLock> table(tableLock);
  ComPort &entry = Entry(port);
  if (entry.isOpen) {
    if (s.byteSize != entry.line.byteSize || s.parity != entry.line.parity) {
      // Both families on one line would break both: the second one's frames
      // would go out in the first one's character format.
      const char format[] = {static_cast<char>('0' + entry.line.byteSize), "NOE"[entry.line.parity % 3], 0};
      NoteOpenFailure(kStatusPort,
                      "COM%d (%.120s): open for the other controller family (%s); close its handles first",
                      port + 1, entry.path, format);
      if (Tracing())
        TraceLine(port,
                  "open %s refused: it is open for the other controller family (%s); close its handles first",
                  entry.path, format);
      if (otherLine) *otherLine = true;
      return kStatusPort;
    }
    entry.refCount++;
    if (Tracing()) TraceLine(port, "open %s: open already, %d links share it", entry.path, entry.refCount);
    return kStatusOk;
  }
  entry.line = s;
  entry.refCount = 0;
  char line[32];
  DescribeLine(s, line, sizeof line);

  DeviceOpenInfo info;
  Device *device = DeviceOpen(static_cast<uint16_t>(port), &info);
  if (!device) {
    ReportOpenFailure(port, info, line);
    return kStatusPort;
  }
  // Only the line settings decide; the other preparations are best effort.
  DeviceSetEventMask(device, 0);
  DeviceSetQueues(device, kQueueBytes, kQueueBytes);
  DevicePurge(device);
  DeviceSetTimeouts(device, kTimeouts);
  if (!DeviceSetLine(device, s)) {
    info.failure = OpenFailure::kLineRefused;
    DeviceErrorText(info.osText, sizeof info.osText);
    CloseDevice(device);
    ReportOpenFailure(port, info, line);
    return kStatusPort;
  }
  if (Tracing()) {
    if (info.network)
      TraceLine(
          port,
          "open %s: raw TCP, line settings (%s) and RTS are not applied here: the device server's serial "
          "side must be set up for them",
          info.path, line);
    else
      TraceLine(port, "open %s %s", info.path, line);
  }
  {
    std::lock_guard<FairLock> guard(entry.lock);
    std::snprintf(entry.path, sizeof entry.path, "%s", info.path);
    entry.handle = device;
    entry.isOpen = 1;
  }
  // Let the line and the adapter settle, then drop whatever arrived meanwhile.
  DeviceSleep(kSettleTicks * kTickMs, false);
  DeviceClearError(device);
  DevicePurge(device);
  entry.refCount = 1;
  return kStatusOk;
}

Status PortRelease(int port) {
  if (!ValidPort(port)) return kStatusPort;
  std::lock_guard<FairLock> table(tableLock);
  ComPort &entry = Entry(port);
  if (!entry.isOpen) return kStatusPort;
  if (--entry.refCount <= 0) {
    std::lock_guard<FairLock> guard(entry.lock);
    CloseEntry(port, entry);
  }
  return kStatusOk;
}

void PortCloseAll() {
  if (!tableLock.try_lock()) return;  // an open in progress: the OS closes what is left
  for (int p = 0; p < kPortCount; p++) {
    ComPort &entry = ports[p];
    if (!entry.lock.try_lock()) continue;  // a transfer in progress
    if (entry.isOpen) CloseEntry(p, entry);
    entry.lock.unlock();
  }
  tableLock.unlock();
}

void PortForgetAll() {
  tableLock.Reset();
  for (ComPort &entry : ports) {
    entry.lock.Reset();
    if (entry.isOpen) DeviceAbandon(entry.handle);
    entry.isOpen = 0;
    entry.refCount = 0;
    entry.handle = nullptr;
  }
}

PortGuard::PortGuard(int port) : lock_(ValidPort(port) ? &Entry(port).lock : nullptr) {
  if (lock_) lock_->lock();
}

PortGuard::~PortGuard() {
  if (lock_) lock_->unlock();
}

bool PortIsOpen(int port) {
  return ValidPort(port) && Entry(port).isOpen;
}

const ComPort &PortEntry(int port) {
  static const ComPort closed{};
  return ValidPort(port) ? Entry(port) : closed;
}

void PurgePort(int port) {
  if (!PortIsOpen(port)) return;
  Device *device = Entry(port).handle;
  DeviceClearError(device);
  DevicePurge(device);
}

// The protocols go on whether or not the device could change RTS (a
// pseudo-terminal and a raw TCP connection have no modem lines); the trace
// tells which.
void SetRts(int port) {
  if (!PortIsOpen(port)) return;
  const bool done = DeviceSetRts(Entry(port).handle);
  if (Tracing()) TraceNote(port, done ? "RTS high" : "RTS high (not applied: no modem lines)");
}

void ClearRts(int port) {
  if (!PortIsOpen(port)) return;
  const bool done = DeviceClearRts(Entry(port).handle);
  if (Tracing()) TraceNote(port, done ? "RTS low" : "RTS low (not applied: no modem lines)");
}

void SleepMs(uint32_t ms) {
  DeviceSleep(ms, true);
}

Status PortSend(int port, const uint8_t *bytes, int n) {
  if (!PortIsOpen(port)) return kStatusTimeout;
  ComPort &entry = Entry(port);
  if (Tracing()) TraceBytes(port, true, bytes, n);
  entry.answerBytes = 0;
  char why[160];
  for (int i = 0; i < n; i++) {
    switch (DeviceWriteByte(entry.handle, bytes[i], why, sizeof why)) {
    case IoResult::kDone:
      continue;
    case IoResult::kTimeout:
      NotePortFailure(port, "write time-out: the device took no byte within %u ms", kWriteTimeoutMs);
      break;
    case IoResult::kLost:
      NotePortFailure(port, "device lost: %s", why);
      break;
    case IoResult::kFailed:
      NotePortFailure(port, "write failed: %s", why);
      break;
    }
    DeviceClearError(entry.handle);
    return kStatusTimeout;
  }
  return kStatusOk;
}

Status PortReceive(int port, uint8_t *byte) {
  if (!PortIsOpen(port)) return kStatusTimeout;
  ComPort &entry = Entry(port);
  char why[160];
  switch (DeviceReadByte(entry.handle, byte, why, sizeof why)) {
  case IoResult::kDone:
    if (Tracing()) TraceBytes(port, false, byte, 1);
    entry.answerBytes++;
    return kStatusOk;
  case IoResult::kTimeout:
    NotePortFailure(port, "time-out while waiting for byte %d of the answer", entry.answerBytes + 1);
    break;
  case IoResult::kLost:
  case IoResult::kFailed:
    NotePortFailure(port, "device lost: %s", why);
    break;
  }
  DeviceClearError(entry.handle);
  return kStatusTimeout;
}
