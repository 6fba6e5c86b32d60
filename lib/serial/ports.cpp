// Port table: opening, sharing and closing the serial devices.
#include "ports.h"

#include <cstdio>

namespace {

ComPort ports[kPortCount];
std::mutex tableLock;  // serializes opening, releasing and closing of ports

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
void CloseEntry(ComPort &entry) {
  entry.isOpen = 0;
  entry.refCount = 0;
  CloseDevice(entry.handle);
  entry.handle = nullptr;
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
int PortOpen(int port, uint32_t baudRate, uint8_t byteSize, int parity, int stopBits) {
  if (!ValidPort(port)) return 0;
  std::lock_guard<std::mutex> table(tableLock);
  ComPort &entry = Entry(port);
  if (!entry.isOpen) {
    LineSettings s = PortLineSettings(baudRate, byteSize, parity, stopBits);
    entry.baudRate = s.baudRate;
    entry.byteSize = s.byteSize;
    entry.parity = s.parity;
    entry.stopBits = s.stopBits;
    entry.refCount = 0;

    char name[16];
    std::snprintf(name, sizeof name, "COM%d", static_cast<uint16_t>(port) + 1);
    Device *device = DeviceOpen(name);
    if (!device) return 0;

    // Only the line settings decide; the other preparations are best effort.
    DeviceSetEventMask(device, 0);
    DeviceSetQueues(device, kQueueBytes, kQueueBytes);
    DevicePurge(device);
    DeviceSetTimeouts(device, kTimeouts);
    if (!DeviceSetLine(device, s)) {
      CloseDevice(device);
      return 0;
    }
    {
      std::lock_guard<std::mutex> guard(entry.lock);
      entry.handle = device;
      entry.isOpen = 1;
    }
    // Let the line and the adapter settle, then drop whatever arrived meanwhile.
    SleepTicks(kSettleTicks);
    DeviceClearError(device);
    DevicePurge(device);
  }
  entry.refCount++;
  return 1;
}

int PortRelease(int port) {
  if (!ValidPort(port)) return 0;
  std::lock_guard<std::mutex> table(tableLock);
  ComPort &entry = Entry(port);
  if (!entry.isOpen) return 0;
  if (--entry.refCount <= 0) {
    std::lock_guard<std::mutex> guard(entry.lock);
    CloseEntry(entry);
  }
  return 1;
}

void PortCloseAll() {
  std::lock_guard<std::mutex> table(tableLock);
  for (ComPort &entry : ports) {
    std::lock_guard<std::mutex> guard(entry.lock);
    if (entry.isOpen) CloseEntry(entry);
  }
}

void PortLock(int port) {
  if (ValidPort(port)) Entry(port).lock.lock();
}

void PortUnlock(int port) {
  if (ValidPort(port)) Entry(port).lock.unlock();
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

void SetRts(int port) {
  if (PortIsOpen(port)) DeviceSetRts(Entry(port).handle);
}

void ClearRts(int port) {
  if (PortIsOpen(port)) DeviceClearRts(Entry(port).handle);
}

void SleepMs(uint32_t ms) {
  DeviceSleep(static_cast<uint16_t>(ms), true);
}

void SleepTicks(uint32_t ticks) {
  DeviceSleep(ticks * kTickMs, false);
}
