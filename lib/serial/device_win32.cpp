// Win32 backend of the serial seam: the comm API on a synchronous handle.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "device.h"

struct Device {
  bool inUse;
  HANDLE handle;
};

namespace {

Device pool[16];
std::mutex poolLock;

// The number n of a COM name: "COMn" or "\\.\COMn" in any case, n in 1..256;
// 0 for anything else.
long ComNumber(const char *name) {
  if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (_strnicmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return 0;
  char *end = nullptr;
  long n = std::strtol(name + 3, &end, 10);
  return *end == '\0' && n <= 256 ? n : 0;
}

// Path of the device called name ("COM1".."COM16"): the COM port that
// VELDRV_COMn names when it is set (an empty value counts as unset), else
// COMn itself. Always "\\.\COMn": the plain name reaches only COM1..COM9.
// A variable that names no COM port fails the open rather than falling back
// to another device.
bool DeviceName(const char *name, char *path, size_t size) {
  long n = ComNumber(name);
  if (n == 0) return false;
  char variable[24];
  std::snprintf(variable, sizeof variable, "VELDRV_COM%ld", n);
  // The process environment itself (SetEnvironmentVariable), not the C
  // runtime's copy of it.
  char named[64];
  DWORD len = GetEnvironmentVariableA(variable, named, sizeof named);
  if (len >= sizeof named) return false;
  if (len > 0) {
    n = ComNumber(named);
    if (n == 0) return false;
  }
  int written = std::snprintf(path, size, "\\\\.\\COM%ld", n);
  return written > 0 && static_cast<size_t>(written) < size;
}

}  // namespace

Device *DeviceOpen(const char *name) {
  char path[32];
  if (!DeviceName(name, path, sizeof path)) return nullptr;
  // Exclusive (no sharing), existing device only, synchronous I/O.
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  std::lock_guard<std::mutex> guard(poolLock);
  for (Device &d : pool) {
    if (!d.inUse) {
      d.inUse = true;
      d.handle = h;
      return &d;
    }
  }
  CloseHandle(h);
  return nullptr;
}

void DeviceClose(Device *device) {
  CloseHandle(device->handle);
  std::lock_guard<std::mutex> guard(poolLock);
  device->handle = INVALID_HANDLE_VALUE;
  device->inUse = false;
}

bool DeviceSetEventMask(Device *device, uint32_t mask) {
  return SetCommMask(device->handle, mask) != 0;
}

bool DeviceSetQueues(Device *device, uint32_t inBytes, uint32_t outBytes) {
  return SetupComm(device->handle, inBytes, outBytes) != 0;
}

bool DeviceSetTimeouts(Device *device, const DeviceTimeouts &t) {
  COMMTIMEOUTS ct;
  ct.ReadIntervalTimeout = t.readIntervalMs;
  ct.ReadTotalTimeoutMultiplier = t.readTotalMultiplierMs;
  ct.ReadTotalTimeoutConstant = t.readTotalConstantMs;
  ct.WriteTotalTimeoutMultiplier = t.writeTotalMultiplierMs;
  ct.WriteTotalTimeoutConstant = t.writeTotalConstantMs;
  return SetCommTimeouts(device->handle, &ct) != 0;
}

bool DeviceSetLine(Device *device, const LineSettings &settings) {
  // Start from the device's own block: fields not set here keep its values.
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(device->handle, &dcb)) return false;
  dcb.BaudRate = settings.baudRate;
  dcb.ByteSize = settings.byteSize;
  dcb.Parity = settings.parity;      // NOPARITY 0, ODDPARITY 1, EVENPARITY 2
  dcb.StopBits = settings.stopBits;  // ONESTOPBIT 0, TWOSTOPBITS 2
  dcb.fBinary = 1;
  dcb.fParity = 1;
  // No hardware handshake: RTS is driven by hand, DTR held high.
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = settings.dtrOn ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  dcb.fRtsControl = settings.rtsOn ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  // No XON/XOFF: both frame protocols carry arbitrary bytes.
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.XonLim = 100;
  dcb.XoffLim = 100;
  return SetCommState(device->handle, &dcb) != 0;
}

bool DevicePurge(Device *device) {
  return PurgeComm(device->handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
}

bool DeviceClearError(Device *device) {
  DWORD errors = 0;
  return ClearCommError(device->handle, &errors, nullptr) != 0;
}

bool DeviceReadByte(Device *device, uint8_t *byte) {
  // Bounded by the read time-outs; success with no byte is a time-out.
  DWORD got = 0;
  return ReadFile(device->handle, byte, 1, &got, nullptr) && got == 1;
}

bool DeviceWriteByte(Device *device, uint8_t byte) {
  // A write time-out is a success with nothing written: the byte is not out.
  DWORD put = 0;
  if (WriteFile(device->handle, &byte, 1, &put, nullptr)) return put == 1;
  return GetLastError() == ERROR_IO_PENDING;  // queued by the driver: it goes out
}

// A synchronous one-byte WriteFile returns once the driver has taken the
// byte, not once it has left the line; the 3 ms pause the A-series protocol
// keeps before raising RTS covers the 1.1 ms a character takes at 9600 baud.
bool DeviceSetRts(Device *device) {
  return EscapeCommFunction(device->handle, SETRTS) != 0;
}

bool DeviceClearRts(Device *device) {
  return EscapeCommFunction(device->handle, CLRRTS) != 0;
}

bool DeviceSetDtr(Device *device) {
  return EscapeCommFunction(device->handle, SETDTR) != 0;
}

bool DeviceClearDtr(Device *device) {
  return EscapeCommFunction(device->handle, CLRDTR) != 0;
}

void DeviceSleep(uint32_t ms, bool alertable) {
  if (alertable)
    SleepEx(ms, TRUE);
  else
    Sleep(ms);
}
