// Win32 backend of the serial seam: the comm API on a synchronous handle.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backends.h"

struct SerialDevice {
  HANDLE handle;
};

namespace {

SerialDevice devices[16];

// The number n of a COM name: "COMn" or "\\.\COMn" in any case, n in 1..256;
// 0 for anything else.
long ComNumber(const char *name) {
  if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (_strnicmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return 0;
  char *end = nullptr;
  long n = std::strtol(name + 3, &end, 10);
  return *end == '\0' && n <= 256 ? n : 0;
}

void WindowsErrorText(DWORD error, char *text, size_t size) {
  char *words = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, error, 0, reinterpret_cast<char *>(&words), 0, nullptr);
  std::snprintf(text, size, "%s (error %lu)", words ? words : "error", static_cast<unsigned long>(error));
  LocalFree(words);
  for (char *c = text; *c; c++)  // FormatMessage ends its text with a line break
    if (*c == '\r' || *c == '\n') *c = ' ';
}

}  // namespace

// The device is the COM port that VELDRV_COMn names ("COM7" or "\\.\COM7", so
// a program fixed on COM1 can use the adapter Windows calls COM7), else COMn
// itself; always opened as "\\.\COMn", since the plain name reaches only
// COM1..COM9. A value that names no COM port fails the open rather than
// falling back to another device.
SerialDevice *SerialOpen(int port, const char *named, DeviceOpenInfo *info) {
  long n = port + 1;
  if (named) {
    std::snprintf(info->path, sizeof info->path, "%s", named);
    n = ComNumber(named);
    if (n == 0) {
      info->failure = OpenFailure::kBadName;
      return nullptr;
    }
  }
  std::snprintf(info->path, sizeof info->path, "\\\\.\\COM%ld", n);
  // Exclusive (no sharing), existing device only, synchronous I/O.
  HANDLE h = CreateFileA(info->path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    // A COM port that another program holds answers "access denied".
    info->failure = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? OpenFailure::kNoDevice
                    : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? OpenFailure::kInUse
                                                                                       : OpenFailure::kOther;
    WindowsErrorText(error, info->osText, sizeof info->osText);
    return nullptr;
  }
  SerialDevice &d = devices[port & 15];
  d.handle = h;
  return &d;
}

void SerialClose(SerialDevice *device) {
  CloseHandle(device->handle);
  device->handle = INVALID_HANDLE_VALUE;
}

void SerialAbandon(SerialDevice *device) {
  SerialClose(device);  // Windows has no fork: never called
}

bool SerialSetEventMask(SerialDevice *device, uint32_t mask) {
  return SetCommMask(device->handle, mask) != 0;
}

bool SerialSetQueues(SerialDevice *device, uint32_t inBytes, uint32_t outBytes) {
  return SetupComm(device->handle, inBytes, outBytes) != 0;
}

bool SerialSetTimeouts(SerialDevice *device, const DeviceTimeouts &t) {
  COMMTIMEOUTS ct;
  ct.ReadIntervalTimeout = t.readIntervalMs;
  ct.ReadTotalTimeoutMultiplier = t.readTotalMultiplierMs;
  ct.ReadTotalTimeoutConstant = t.readTotalConstantMs;
  ct.WriteTotalTimeoutMultiplier = t.writeTotalMultiplierMs;
  ct.WriteTotalTimeoutConstant = t.writeTotalConstantMs;
  return SetCommTimeouts(device->handle, &ct) != 0;
}

bool SerialSetLine(SerialDevice *device, const LineSettings &settings) {
  // Start from the device's own block: fields not set here keep its values.
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(device->handle, &dcb)) return false;
  dcb.BaudRate = settings.baudRate;
  dcb.ByteSize = settings.byteSize;
  dcb.Parity = settings.parity;  // NOPARITY 0, ODDPARITY 1, EVENPARITY 2
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  // No hardware handshake: RTS is driven by hand, DTR held high.
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  // No XON/XOFF: both frame protocols carry arbitrary bytes.
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.XonLim = 100;
  dcb.XoffLim = 100;
  return SetCommState(device->handle, &dcb) != 0;
}

bool SerialPurge(SerialDevice *device) {
  return PurgeComm(device->handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
}

bool SerialClearError(SerialDevice *device) {
  DWORD errors = 0;
  return ClearCommError(device->handle, &errors, nullptr) != 0;
}

// A read or write that fails on a synchronous handle: the device is gone
// (an adapter pulled out) or broken.
IoResult Lost(char *why, size_t size) {
  WindowsErrorText(GetLastError(), why, size);
  return IoResult::kLost;
}

IoResult SerialReadByte(SerialDevice *device, uint8_t *byte, char *why, size_t size) {
  // Bounded by the read time-outs; success with no byte is a time-out.
  DWORD got = 0;
  if (!ReadFile(device->handle, byte, 1, &got, nullptr)) return Lost(why, size);
  return got == 1 ? IoResult::kDone : IoResult::kTimeout;
}

IoResult SerialWriteByte(SerialDevice *device, uint8_t byte, char *why, size_t size) {
  // A write time-out is a success with nothing written: the byte is not out.
  DWORD put = 0;
  if (!WriteFile(device->handle, &byte, 1, &put, nullptr)) return Lost(why, size);
  return put == 1 ? IoResult::kDone : IoResult::kTimeout;
}

// A synchronous one-byte WriteFile returns once the driver has taken the
// byte, not once it has left the line; the 3 ms pause the A-series protocol
// keeps before raising RTS covers the 1.1 ms a character takes at 9600 baud.
bool SerialSetRts(SerialDevice *device, bool high) {
  return EscapeCommFunction(device->handle, high ? SETRTS : CLRRTS) != 0;
}

bool SerialSetDtr(SerialDevice *device, bool high) {
  return EscapeCommFunction(device->handle, high ? SETDTR : CLRDTR) != 0;
}

void DeviceSleep(uint32_t ms, bool alertable) {
  if (alertable)
    SleepEx(ms, TRUE);
  else
    Sleep(ms);
}

void DeviceErrorText(char *text, size_t size) {
  WindowsErrorText(GetLastError(), text, size);
}
