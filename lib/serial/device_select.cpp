// The seam of device.h over the two backends: the device of a port is a TCP
// connection when VELDRV_COM<n> holds tcp://HOST:PORT, else a serial port.
#include <cstdio>
#include <cstring>

#include "backends.h"
#include "base/settings.h"

struct Device {
  SerialDevice *serial;
  TcpDevice *tcp;
};

namespace {

Device devices[16];

constexpr char kTcpScheme[] = "tcp://";

}  // namespace

Device *DeviceOpen(int port, DeviceOpenInfo *info) {
  *info = DeviceOpenInfo{};
  char variable[24];
  std::snprintf(variable, sizeof variable, "VELDRV_COM%d", port + 1);
  char value[sizeof info->path];
  const Setting setting = ReadSetting(variable, value, sizeof value);
  if (setting == Setting::kTooLong) {  // never another device instead
    info->failure = OpenFailure::kBadName;
    std::snprintf(info->path, sizeof info->path, "%s", variable);
    std::snprintf(info->osText, sizeof info->osText, "longer than %zu characters", sizeof value - 1);
    return nullptr;
  }
  const char *named = setting == Setting::kSet ? value : nullptr;
  Device &d = devices[port & 15];
  d = Device{};
  if (named && std::strncmp(named, kTcpScheme, sizeof kTcpScheme - 1) == 0) {
    info->network = true;
    d.tcp = TcpOpen(port, named + sizeof kTcpScheme - 1, info);
  } else {
    d.serial = SerialOpen(port, named, info);
  }
  return d.serial || d.tcp ? &d : nullptr;
}

void DeviceClose(Device *d) {
  if (d->tcp) TcpClose(d->tcp);
  if (d->serial) SerialClose(d->serial);
  *d = Device{};
}

void DeviceAbandon(Device *d) {
  if (d->tcp) TcpAbandon(d->tcp);
  if (d->serial) SerialAbandon(d->serial);
  *d = Device{};
}

// A raw TCP connection carries bytes only: the server's serial side has its
// line settings and modem lines set up on the server.
bool DeviceSetEventMask(Device *d, uint32_t mask) {
  return d->tcp || SerialSetEventMask(d->serial, mask);
}

bool DeviceSetQueues(Device *d, uint32_t inBytes, uint32_t outBytes) {
  return d->tcp || SerialSetQueues(d->serial, inBytes, outBytes);
}

bool DeviceSetTimeouts(Device *d, const DeviceTimeouts &timeouts) {
  return d->tcp ? TcpSetTimeouts(d->tcp, timeouts) : SerialSetTimeouts(d->serial, timeouts);
}

bool DeviceSetLine(Device *d, const LineSettings &settings) {
  return d->tcp || SerialSetLine(d->serial, settings);
}

bool DevicePurge(Device *d) {
  return d->tcp ? TcpPurge(d->tcp) : SerialPurge(d->serial);
}

bool DeviceClearError(Device *d) {
  return d->tcp || SerialClearError(d->serial);
}

IoResult DeviceReadByte(Device *d, uint8_t *byte, char *why, size_t size) {
  return d->tcp ? TcpReadByte(d->tcp, byte, why, size) : SerialReadByte(d->serial, byte, why, size);
}

IoResult DeviceWriteByte(Device *d, uint8_t byte, char *why, size_t size) {
  return d->tcp ? TcpWriteByte(d->tcp, byte, why, size) : SerialWriteByte(d->serial, byte, why, size);
}

bool DeviceSetRts(Device *d) {
  return !d->tcp && SerialSetRts(d->serial, true);
}

bool DeviceClearRts(Device *d) {
  return !d->tcp && SerialSetRts(d->serial, false);
}

bool DeviceClearDtr(Device *d) {
  return !d->tcp && SerialSetDtr(d->serial, false);
}
