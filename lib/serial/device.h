// The OS seam of the serial layer: free functions over an opaque device.
// device_select.cpp implements them by choosing, per open, between a serial
// device (device_serial_linux.cpp, device_serial_win32.cpp) and a raw TCP
// connection to a serial device server (device_tcp_linux.cpp,
// device_tcp_win32.cpp); the tests link a fake instead. Each function is one effect on the line; the
// port layer puts them in order.
#pragma once
#include <cstddef>
#include <cstdint>

struct Device;  // defined by device_select.cpp (or the fake)

// Line settings: one stop bit, no flow control; DTR and RTS are held high
// while the port is open (a protocol drops RTS for single bytes).
struct LineSettings {
  uint32_t baudRate;
  uint8_t byteSize;  // data bits
  uint8_t parity;    // 0 none, 1 odd, 2 even
};

// Per-byte time-outs in milliseconds, as programmed into the device.
struct DeviceTimeouts {
  uint32_t readIntervalMs;
  uint32_t readTotalMultiplierMs;
  uint32_t readTotalConstantMs;
  uint32_t writeTotalMultiplierMs;
  uint32_t writeTotalConstantMs;
};

// Why an open failed. The exports report every one as -4; the trace names it.
enum class OpenFailure : uint8_t {
  kNone,
  kNoDevice,     // no such device or file
  kPermission,   // no access to it
  kInUse,        // another program holds it
  kNotSerial,    // it is not a serial port
  kLineRefused,  // it refused the line settings
  kBadName,      // the configured name is not a device name of this platform
  kUnreachable,  // no TCP connection within the connect time
  kOther,
};

struct DeviceOpenInfo {
  char path[1024];      // the device or address tried
  bool network;         // a raw TCP connection: no line settings, no modem lines
  OpenFailure failure;  // kNone after a success
  char osText[160];     // the OS's words for the failure
};

// Opens the device of port (0..15) for exclusive reading and writing: the one
// that VELDRV_COM<port+1> names, else the platform's default for
// COM<port+1>. nullptr on failure, with info saying what was tried and why
// it failed. At most one device per port is open at a time.
Device *DeviceOpen(int port, DeviceOpenInfo *info);
void DeviceClose(Device *device);
// In a forked child: lets go of the inherited device without touching the
// line, which still belongs to the parent.
void DeviceAbandon(Device *device);

// Preparation; only DeviceSetLine's result decides whether an open succeeds.
bool DeviceSetEventMask(Device *device, uint32_t mask);
bool DeviceSetQueues(Device *device, uint32_t inBytes, uint32_t outBytes);
bool DeviceSetTimeouts(Device *device, const DeviceTimeouts &timeouts);
bool DeviceSetLine(Device *device, const LineSettings &settings);

// Discards both queues and aborts pending I/O in both directions.
bool DevicePurge(Device *device);
// Clears the device's error state.
bool DeviceClearError(Device *device);

// What a read or write came to. kLost: the device is gone (a hang-up, a
// connection the server closed or reset); kFailed: another error.
enum class IoResult : uint8_t { kDone, kTimeout, kLost, kFailed };

// One byte within the programmed time-outs; unless done, why says what
// happened in a few words ("the server closed the connection").
IoResult DeviceReadByte(Device *device, uint8_t *byte, char *why, size_t size);
IoResult DeviceWriteByte(Device *device, uint8_t byte, char *why, size_t size);

// Modem lines. A backend that can tell when written bytes have left the port
// waits for that before RTS changes, so a byte sent with RTS dropped is on
// the line while RTS is low. DTR is raised with the line settings and
// dropped when the port closes.
bool DeviceSetRts(Device *device);
bool DeviceClearRts(Device *device);
bool DeviceClearDtr(Device *device);

// Sleeps at least ms milliseconds; alertable sleeps may serve OS callbacks.
void DeviceSleep(uint32_t ms, bool alertable);

// The OS's words for the error of the last call that failed on this thread.
void DeviceErrorText(char *text, size_t size);
