// Port table: opening, sharing and closing the devices, and the line I/O
// of the byte primitives.
#include "ports.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "base/clock.h"
#include "base/wait.h"
#include "trace/trace.h"

namespace {

PortRecord ports[kPortCount];
FairLock tableLock;  // claims and releases port records; never held across device I/O

bool ValidPort(int port) {
  return static_cast<uint16_t>(port) < kPortCount;
}

PortRecord &Entry(int port) {
  return ports[static_cast<uint16_t>(port)];
}

// "9600 7E1"
void DescribeLine(const LineSettings &s, char *text, size_t size) {
  std::snprintf(text, size, "%u %u%c1", s.baudRate, s.byteSize, "NOE"[s.parity % 3]);
}

// Why an open failed and what a user can do about it: the reason for
// VelReason(-1), kept with the port for opens that waited for this one, and,
// when tracing, a trace line with the OS's words.
void ReportOpenFailure(int port, PortRecord &p, const DeviceOpenInfo &info, const char *line) {
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
                  "not a device name: VELDRV_COM%d takes a device (a path on Linux, COMn on Windows), "
                  "tcp://HOST:PORT or rfc2217://HOST:PORT",
                  port + 1);
    break;
  case OpenFailure::kBadAddress:
    std::snprintf(hint, sizeof hint, "not a device server address HOST:PORT");
    break;
  case OpenFailure::kUnknownHost:
    std::snprintf(hint, sizeof hint, "the device server's name is not known");
    break;
  case OpenFailure::kUnreachable:
    std::snprintf(hint, sizeof hint, "no connection to the device server (an open gives up after 3 s)");
    break;
  case OpenFailure::kNoComPort:
    std::snprintf(hint, sizeof hint, "not an RFC 2217 port");
    break;
  case OpenFailure::kServerClosed:
    std::snprintf(hint, sizeof hint, "the device server closed the connection");
    break;
  default:
    std::snprintf(hint, sizeof hint, "cannot open it");
  }
  const char *os = info.osText;
  const int length = std::snprintf(p.openReason, sizeof p.openReason, "COM%d (%.120s): %s%s%s", port + 1,
                                   info.path[0] ? info.path : "?", hint, *os ? ": " : "", os);
  if (length < 0) p.openReason[0] = '\0';
  NoteOpenFailure(kStatusPort, "%s", p.openReason);
  if (Tracing()) TraceLine(port, "open %s failed: %s [%s]", info.path, hint, *os ? os : "-");
}

// Opens the device of a port claimed for opening; no lock is held, and no
// other thread touches the record meanwhile.
Status OpenDevice(int port, PortRecord &p, const LineSettings &s) {
  char line[32];
  DescribeLine(s, line, sizeof line);
  DeviceOpenInfo info{};
  p.device = Device{};
  if (!DeviceOpen(p.device, port, s, info)) {
    p.device = Device{};
    ReportOpenFailure(port, p, info, line);
    return kStatusPort;
  }
  const DeviceOps &ops = *p.device.ops;
  if (Tracing()) {
    if (ops.caps & kCapLineSettings)
      TraceLine(port, "open %s %s", info.path, line);
    else
      TraceLine(port,
                "open %s: raw TCP, line settings (%s) and RTS are not applied here: the device server's "
                "serial side must be set up for them",
                info.path, line);
  }
  std::snprintf(p.path, sizeof p.path, "%s", info.path);
  p.charNs = (2 + s.byteSize + (s.parity ? 1 : 0)) * 1000000000LL / s.baudRate;
  p.reason[0] = '\0';
  // Let the line and the adapter settle, then drop whatever arrived meanwhile.
  if (ops.caps & kCapSettles) ops.pause(p.device, kSettleMs);
  ops.purge(p.device);
  p.receivedNext = p.receivedEnd = 0;
  return kStatusOk;
}

void CloseDevice(int port, PortRecord &p) {
  if (Tracing()) TraceLine(port, "close %s", p.path);
  p.device.ops->close(p.device);
  p.device = Device{};
}

// Fills the empty receive buffer: waits for the first byte at most 990 ms;
// in the middle of an answer on a line no faster than its baud rate, first
// for a batch of what is still missing: until it can all have arrived, or
// for the device's batch time (a line that went quiet is seen soon after).
Status Fill(int port, PortRecord &p) {
  Device &d = p.device;
  const int64_t start = NowNs();
  const int missing = p.answerChars - p.answerArrived;
  size_t got = 0;
  char why[160];
  IoResult r = IoResult::kTimeout;
  if (p.answerArrived > 0 && missing > 1 && p.answerArrived * p.charNs <= start - p.sentNs) {
    const int64_t until = start + std::min<int64_t>(missing * p.charNs, d.ops->batchMs * 1000000LL);
    r = d.ops->read(d, until, std::min(missing, kReceiveBytes), p.received, kReceiveBytes, &got, why,
                    sizeof why);
  }
  if (r == IoResult::kTimeout)
    r = d.ops->read(d, start + kReadTimeoutMs * 1000000LL, 1, p.received, kReceiveBytes, &got, why,
                    sizeof why);
  if (r == IoResult::kDone && got > 0) {
    p.receivedNext = 0;
    p.receivedEnd = static_cast<int>(got);
    p.answerArrived += static_cast<int>(got);
    return kStatusOk;
  }
  if (r == IoResult::kDone || r == IoResult::kTimeout)
    NotePortFailure(port, "time-out while waiting for byte %d of the answer", p.answerTaken + 1);
  else
    NotePortFailure(port, "device lost: %s", why);
  return kStatusTimeout;
}

void ChangeRts(int port, bool high) {
  if (!PortIsOpen(port)) return;
  Device &d = Entry(port).device;
  const bool done = (d.ops->caps & kCapModemLines) && d.ops->setRts(d, high);
  // The protocols go on whether or not the device could change RTS (a
  // pseudo-terminal and a raw TCP connection have no modem lines); the trace
  // tells which.
  if (Tracing())
    TraceNote(port, "RTS %s%s", high ? "high" : "low", done ? "" : " (not applied: no modem lines)");
}

}  // namespace

Status PortOpen(int port, const LineSettings &s, bool *otherLine) {
  if (otherLine) *otherLine = false;
  if (!ValidPort(port)) return kStatusPort;
  PortRecord &p = Entry(port);
  std::unique_lock<FairLock> table(tableLock);
  bool waited = false;
  uint32_t attempts = 0;
  for (;;) {
    const uint32_t state = p.state.load();
    if (state == kPortOpen) {
      if (s.byteSize != p.line.byteSize || s.parity != p.line.parity) {
        // Both families on one line would break both: the second one's
        // frames would go out in the first one's character format.
        const char format[] = {static_cast<char>('0' + p.line.byteSize), "NOE"[p.line.parity % 3], 0};
        NoteOpenFailure(kStatusPort,
                        "COM%d (%.120s): open for the other controller family (%s); close its handles first",
                        port + 1, p.path, format);
        if (Tracing())
          TraceLine(port,
                    "open %s refused: it is open for the other controller family (%s); close its handles "
                    "first",
                    p.path, format);
        if (otherLine) *otherLine = true;
        return kStatusPort;
      }
      p.refCount++;
      if (Tracing()) TraceLine(port, "open %s: open already, %d links share it", p.path, p.refCount);
      return kStatusOk;
    }
    if (state == kPortClosed) {
      if (waited && p.openAttempts != attempts && p.lastOpenFailed) {
        NoteOpenFailure(kStatusPort, "%s", p.openReason);  // the open this one waited for failed
        return kStatusPort;
      }
      break;
    }
    // Another thread opens or closes the device: wait until it is done.
    if (!waited) attempts = p.openAttempts;
    waited = true;
    table.unlock();
    WaitWhile(p.state, state);
    table.lock();
  }
  p.state = kPortOpening;
  p.line = s;
  table.unlock();
  const Status opened = OpenDevice(port, p, s);
  table.lock();
  p.openAttempts++;
  p.lastOpenFailed = opened != kStatusOk;
  p.refCount = opened == kStatusOk ? 1 : 0;
  p.state = opened == kStatusOk ? kPortOpen : kPortClosed;
  table.unlock();
  WakeAll(p.state);
  return opened;
}

Status PortRelease(int port) {
  if (!ValidPort(port)) return kStatusPort;
  PortRecord &p = Entry(port);
  {
    std::lock_guard<FairLock> table(tableLock);
    if (p.state != kPortOpen) return kStatusPort;
    if (--p.refCount > 0) return kStatusOk;
    p.state = kPortClosing;
  }
  {
    std::lock_guard<FairLock> guard(p.lock);
    CloseDevice(port, p);
  }
  {
    std::lock_guard<FairLock> table(tableLock);
    p.state = kPortClosed;
  }
  WakeAll(p.state);
  return kStatusOk;
}

void PortCloseAll() {
  if (!tableLock.try_lock()) return;  // a claim in progress: the OS closes what is left
  for (int port = 0; port < kPortCount; port++) {
    PortRecord &p = ports[port];
    if (p.state != kPortOpen || !p.lock.try_lock()) continue;  // opening, closing, or a transfer
    CloseDevice(port, p);
    p.refCount = 0;
    p.state = kPortClosed;
    p.lock.unlock();
  }
  tableLock.unlock();
}

void PortForgetAll() {
  tableLock.Reset();
  for (PortRecord &p : ports) {
    p.lock.Reset();
    if (p.state == kPortOpen && p.device.ops) p.device.ops->abandon(p.device);
    p.device = Device{};
    p.state = kPortClosed;
    p.refCount = 0;
  }
}

PortGuard::PortGuard(int port) : lock_(ValidPort(port) ? &Entry(port).lock : nullptr) {
  if (lock_) lock_->lock();
}

PortGuard::~PortGuard() {
  if (lock_) lock_->unlock();
}

bool PortIsOpen(int port) {
  return ValidPort(port) && Entry(port).state == kPortOpen;
}

const PortRecord &PortEntry(int port) {
  static const PortRecord closed{};
  return ValidPort(port) ? Entry(port) : closed;
}

PortRecord *PortRecordOf(int port) {
  return ValidPort(port) ? &Entry(port) : nullptr;
}

Status PortSend(int port, const uint8_t *bytes, int n, int answerChars) {
  if (!PortIsOpen(port)) return kStatusTimeout;
  PortRecord &p = Entry(port);
  if (Tracing()) TraceBytes(port, true, bytes, n);
  // The write time-out: 100 ms per byte and 100 ms.
  const int64_t deadline = NowNs() + (100LL * n + 100) * 1000000;
  char why[160];
  const IoResult r = p.device.ops->write(p.device, deadline, bytes, static_cast<size_t>(n), why, sizeof why);
  p.sentNs = NowNs();
  p.answerChars = answerChars;
  p.answerArrived = 0;
  p.answerTaken = 0;
  switch (r) {
  case IoResult::kDone:
    return kStatusOk;
  case IoResult::kTimeout:
    NotePortFailure(port, "write time-out: %d bytes not taken within %lld ms", n, 100LL * n + 100);
    break;
  case IoResult::kLost:
    NotePortFailure(port, "device lost: %s", why);
    break;
  case IoResult::kFailed:
    NotePortFailure(port, "write failed: %s", why);
    break;
  }
  return kStatusTimeout;
}

Status PortReceive(int port, uint8_t *byte) {
  if (!PortIsOpen(port)) return kStatusTimeout;
  PortRecord &p = Entry(port);
  if (p.receivedNext == p.receivedEnd)
    if (Status s = Fill(port, p)) return s;
  *byte = p.received[p.receivedNext++];
  p.answerTaken++;
  if (Tracing()) TraceBytes(port, false, byte, 1);
  return kStatusOk;
}

void PurgePort(int port) {
  if (!PortIsOpen(port)) return;
  PortRecord &p = Entry(port);
  p.receivedNext = p.receivedEnd = 0;
  p.device.ops->purge(p.device);
}

void SetRts(int port) {
  ChangeRts(port, true);
}

void ClearRts(int port) {
  ChangeRts(port, false);
}

void PortPause(int port, uint32_t ms) {
  if (PortIsOpen(port)) Entry(port).device.ops->pause(Entry(port).device, ms);
}
