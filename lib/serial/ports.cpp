// Port table: opening, sharing and closing the serial devices.
#include "ports.h"

#include <cstdio>
#include <mutex>

#include "../trace/trace.h"
#include "reasons.h"

namespace {

ComPort ports[kPortCount];
FairLock tableLock;  // serializes opening, releasing and closing of ports

// Read: 990 ms per byte, nothing per call. Write: 100 ms per byte + 100 ms.
constexpr uint32_t kReadTimeoutMs = kReadTimeoutTicks * kTickMs;
constexpr DeviceTimeouts kTimeouts = {kReadTimeoutMs, kReadTimeoutMs, 0, 100, 100};

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
  std::snprintf(text, size, "%u %u%c%d", s.baudRate, s.byteSize, "NOE"[s.parity % 3],
                s.stopBits == 2 ? 2 : 1);
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

LineSettings PortLineSettings(uint32_t baudRate, uint8_t byteSize, int parity, int stopBits) {
  LineSettings s{};
  switch (baudRate) {
  case 1200:
  case 2400:
  case 19200:
  case 38400:
  case 56000:
  case 57600:
  case 115200:
  case 128000:
  case 256000:
    s.baudRate = baudRate;
    break;
  default:
    s.baudRate = 9600;
  }
  s.byteSize = byteSize;
  s.parity = (parity == 'E' || parity == 'e') ? 2 : (parity == 'O' || parity == 'o') ? 1 : 0;
  s.stopBits = stopBits == 2 ? 2 : 0;
  s.dtrOn = true;
  s.rtsOn = true;
  return s;
}

// isOpen, refCount and handle change under the table lock; isOpen and handle
// also under the port's lock, which transfers hold while they use them. So an
// open of a port that is already open never waits for its transfers.
int PortOpen(int port, uint32_t baudRate, uint8_t byteSize, int parity, int stopBits, bool sameLineOnly) {
  if (!ValidPort(port)) return 0;
  std::lock_guard<FairLock> table(tableLock);
  ComPort &entry = Entry(port);
  if (entry.isOpen) {
    const LineSettings wanted = PortLineSettings(baudRate, byteSize, parity, stopBits);
    if (sameLineOnly && (wanted.byteSize != entry.byteSize || wanted.parity != entry.parity)) {
      // Both families on one line would break both: the second one's frames
      // would go out in the first one's character format.
      NoteOpenFailure(kStatusPort,
                      "COM%d (%.120s): open for the other controller family (%u%c); close its handles first",
                      port + 1, entry.path, entry.byteSize, "NOE"[entry.parity % 3]);
      if (Tracing())
        TraceLine(
            port,
            "open %s refused: it is open for the other controller family (%u%c); close its handles first",
            entry.path, entry.byteSize, "NOE"[entry.parity % 3]);
      return kPortOtherLine;
    }
    entry.refCount++;
    if (Tracing()) TraceLine(port, "open %s: open already, %d links share it", entry.path, entry.refCount);
    return 1;
  }
  LineSettings s = PortLineSettings(baudRate, byteSize, parity, stopBits);
  entry.baudRate = s.baudRate;
  entry.byteSize = s.byteSize;
  entry.parity = s.parity;
  entry.stopBits = s.stopBits;
  entry.refCount = 0;
  char line[32];
  DescribeLine(s, line, sizeof line);

  DeviceOpenInfo info;
  Device *device = DeviceOpen(static_cast<uint16_t>(port), &info);
  if (!device) {
    ReportOpenFailure(port, info, line);
    return 0;
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
    return 0;
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
  SleepTicks(kSettleTicks);
  DeviceClearError(device);
  DevicePurge(device);
  entry.refCount = 1;
  return 1;
}

int PortRelease(int port) {
  if (!ValidPort(port)) return 0;
  std::lock_guard<FairLock> table(tableLock);
  ComPort &entry = Entry(port);
  if (!entry.isOpen) return 0;
  if (--entry.refCount <= 0) {
    std::lock_guard<FairLock> guard(entry.lock);
    CloseEntry(port, entry);
  }
  return 1;
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
  DeviceSleep(static_cast<uint16_t>(ms), true);
}

void SleepTicks(uint32_t ticks) {
  DeviceSleep(ticks * kTickMs, false);
}
