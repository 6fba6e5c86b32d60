// What velctl hands to the library through its VELDRV_* variables, and what
// it reads of them, as the library reads them.
#pragma once

#include <string>
#include <string_view>

struct Options;

// -d: a device path, or tcp://HOST:PORT or rfc2217://HOST:PORT with a port
// 1..65535 (HOST a name, an IPv4 address or a bracketed IPv6 address). False
// with *error set.
bool CheckDevice(std::string_view device, std::string *error);

// Hands -d, --trace and --max-frame to the library, which reads them at its
// open. False (and a message) if the environment cannot be changed.
bool PassSettings(const Options &options);

// The largest frame the library sends: --max-frame, else VELDRV_FRAME_BYTES
// read as the library reads it (decimal 1..254), else 254.
int FrameBytes(const Options &options);

// VELDRV_FX_AREAS=legacy: the library's FX letters X, Y and M point at the
// addresses of earlier releases.
bool LegacyFxAreas();

// "COM1", or "COM1 (/dev/ttyUSB0)" with -d.
std::string PortName(const Options &options);
