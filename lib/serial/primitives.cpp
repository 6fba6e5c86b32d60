// Byte primitives: one byte out, one byte in within the time-out, one byte
// compared. Failures land in the link's status.
#include "../trace/trace.h"
#include "ports.h"

namespace {

Device *LinkDevice(const PlcLink &link) {
  return PortIsOpen(link.port) ? PortEntry(link.port).handle : nullptr;
}

}  // namespace

bool SendByte(PlcLink &link, uint8_t byte) {
  Device *device = LinkDevice(link);
  if (!device) return false;
  if (Tracing()) TraceByte(link.port, true, byte);
  if (DeviceWriteByte(device, byte)) return true;
  DeviceClearError(device);
  return false;
}

bool ReceiveByte(PlcLink &link, uint8_t *byte) {
  Device *device = LinkDevice(link);
  uint32_t attempts = kReceiveTimeoutTicks / kReadTimeoutTicks;
  if (attempts == 0) attempts = 1;
  while (device && attempts > 0) {
    if (DeviceReadByte(device, byte)) {
      if (Tracing()) TraceByte(link.port, false, *byte);
      return true;
    }
    DeviceClearError(device);
    attempts--;
  }
  link.status = kStatusTimeout;
  if (Tracing()) TraceTimeout(link.port);
  return false;
}

bool ExpectByte(PlcLink &link, uint8_t value, const char *what) {
  uint8_t byte;
  if (!ReceiveByte(link, &byte)) return false;
  if (byte != value) {
    link.status = kStatusWrongChar;
    if (Tracing()) TraceMismatch(link.port, what, byte, value);
    return false;
  }
  return true;
}
