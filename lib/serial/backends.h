// The two kinds of device behind the seam of device.h, each implemented once
// per platform: a serial port (device_serial_linux.cpp,
// device_serial_win32.cpp) and a raw TCP connection to a serial device
// server (device_tcp_linux.cpp, device_tcp_win32.cpp). device_select.cpp chooses between them per open.
// Each backend keeps one device per port number in a static table.
#pragma once
#include "device.h"

struct SerialDevice;
struct TcpDevice;

// named: the value of VELDRV_COM<port+1>, or nullptr for the platform's
// default name of COM<port+1>.
SerialDevice *SerialOpen(int port, const char *named, DeviceOpenInfo *info);
void SerialClose(SerialDevice *device);
void SerialAbandon(SerialDevice *device);
bool SerialSetEventMask(SerialDevice *device, uint32_t mask);
bool SerialSetQueues(SerialDevice *device, uint32_t inBytes, uint32_t outBytes);
bool SerialSetTimeouts(SerialDevice *device, const DeviceTimeouts &timeouts);
bool SerialSetLine(SerialDevice *device, const LineSettings &settings);
bool SerialPurge(SerialDevice *device);
bool SerialClearError(SerialDevice *device);
IoResult SerialReadByte(SerialDevice *device, uint8_t *byte, char *why, size_t size);
IoResult SerialWriteByte(SerialDevice *device, uint8_t byte, char *why, size_t size);
bool SerialSetRts(SerialDevice *device, bool high);
bool SerialSetDtr(SerialDevice *device, bool high);

// address: "HOST:PORT" (HOST a name, an IPv4 or a bracketed IPv6 address).
// Connecting gives up after kTcpConnectMs.
constexpr int kTcpConnectMs = 3000;
TcpDevice *TcpOpen(int port, const char *address, DeviceOpenInfo *info);
void TcpClose(TcpDevice *device);
void TcpAbandon(TcpDevice *device);
bool TcpSetTimeouts(TcpDevice *device, const DeviceTimeouts &timeouts);
bool TcpPurge(TcpDevice *device);  // drops what was received and not read
IoResult TcpReadByte(TcpDevice *device, uint8_t *byte, char *why, size_t size);
IoResult TcpWriteByte(TcpDevice *device, uint8_t byte, char *why, size_t size);

// What one byte may take, for backends that time their own waits: the read
// time-out of a one-byte read (990 ms) and of a one-byte write (200 ms).
inline int PerByteReadMs(const DeviceTimeouts &t) {
  uint32_t ms = t.readTotalMultiplierMs + t.readTotalConstantMs;
  return static_cast<int>(ms ? ms : t.readIntervalMs);
}
inline int PerByteWriteMs(const DeviceTimeouts &t) {
  return static_cast<int>(t.writeTotalMultiplierMs + t.writeTotalConstantMs);
}

// Splits "HOST:PORT" or "[V6]:PORT"; false when it is not of that form.
bool SplitHostPort(const char *address, char *host, size_t hostSize, char *service, size_t serviceSize);
