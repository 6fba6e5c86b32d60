// Byte primitives: one byte out, one byte in within the time-out, one byte
// compared. Failures land in the link's status.
#include "ports.h"

namespace {

Device *LinkDevice(const PlcLink &link) {
  return PortIsOpen(link.port) ? PortEntry(link.port).handle : nullptr;
}

}  // namespace

bool SendByte(PlcLink &link, uint8_t byte) {
  Device *device = LinkDevice(link);
  if (!device) return false;
  if (DeviceWriteByte(device, byte)) return true;
  DeviceClearError(device);
  return false;
}

bool ReceiveByte(PlcLink &link, uint8_t *byte) {
  Device *device = LinkDevice(link);
  uint32_t attempts = kReceiveTimeoutTicks / kReadTimeoutTicks;
  if (attempts == 0) attempts = 1;
  while (device && attempts > 0) {
    if (DeviceReadByte(device, byte)) return true;
    DeviceClearError(device);
    attempts--;
  }
  link.status = kStatusTimeout;
  return false;
}

bool ExpectByte(PlcLink &link, uint8_t value) {
  uint8_t byte;
  if (!ReceiveByte(link, &byte)) return false;
  if (byte != value) {
    link.status = kStatusWrongChar;
    return false;
  }
  return true;
}
