// The backends behind the seam of device.h, one table each: a serial port
// (device_serial_linux.cpp, device_serial_win32.cpp), a raw TCP connection
// to a serial device server (device_tcp_linux.cpp, device_tcp_win32.cpp),
// and the same connection with the telnet COM-PORT option
// (device_rfc2217.cpp, one file for both platforms on top of the TCP
// backend). device_select.cpp chooses among them by the device's name.
#pragma once
#include "device.h"

extern const DeviceOps kSerialDevice;   // scheme nullptr: every other name
extern const DeviceOps kTcpDevice;      // "tcp://HOST:PORT"
extern const DeviceOps kRfc2217Device;  // "rfc2217://HOST:PORT"

// Splits "HOST:PORT" or "[V6]:PORT" with a port of 1..65535; false when it
// is not of that form, and *why (when given) says what is wrong in a few
// words.
bool SplitHostPort(const char *address, char *host, size_t hostSize, char *service, size_t serviceSize,
                   const char **why = nullptr);
