// The OS seam of the serial layer: one file per platform implements these
// free functions (device_posix.cpp, device_win32.cpp; the tests link a fake).
// Each function is one OS effect; the port layer puts them in order.
#pragma once
#include <cstdint>

struct Device;  // defined by the backend

// Line settings as the port table keeps them.
struct LineSettings {
  uint32_t baudRate;
  uint8_t byteSize;  // data bits
  uint8_t parity;    // 0 none, 1 odd, 2 even
  uint8_t stopBits;  // 0 one stop bit, 2 two stop bits
  bool dtrOn;        // DTR held high while the port is open
  bool rtsOn;        // RTS held high except while a protocol drops it
};

// Per-byte time-outs in milliseconds, as programmed into the device.
struct DeviceTimeouts {
  uint32_t readIntervalMs;
  uint32_t readTotalMultiplierMs;
  uint32_t readTotalConstantMs;
  uint32_t writeTotalMultiplierMs;
  uint32_t writeTotalConstantMs;
};

// Opens the device called name ("COM1".."COM16") for exclusive reading and
// writing; nullptr when it is absent, busy or not accessible.
Device *DeviceOpen(const char *name);
void DeviceClose(Device *device);

// Preparation; only DeviceSetLine's result decides whether an open succeeds.
bool DeviceSetEventMask(Device *device, uint32_t mask);
bool DeviceSetQueues(Device *device, uint32_t inBytes, uint32_t outBytes);
bool DeviceSetTimeouts(Device *device, const DeviceTimeouts &timeouts);
bool DeviceSetLine(Device *device, const LineSettings &settings);

// Discards both queues and aborts pending I/O in both directions.
bool DevicePurge(Device *device);
// Clears the device's error state.
bool DeviceClearError(Device *device);

// One byte within the programmed time-outs. Read: true when a byte arrived.
bool DeviceReadByte(Device *device, uint8_t *byte);
bool DeviceWriteByte(Device *device, uint8_t byte);

// Modem lines. A backend that can tell when written bytes have left the port
// waits for that before RTS changes, so a byte sent with RTS dropped is on
// the line while RTS is low.
bool DeviceSetRts(Device *device);
bool DeviceClearRts(Device *device);
bool DeviceSetDtr(Device *device);
bool DeviceClearDtr(Device *device);

// Sleeps at least ms milliseconds; alertable sleeps may serve OS callbacks.
void DeviceSleep(uint32_t ms, bool alertable);
