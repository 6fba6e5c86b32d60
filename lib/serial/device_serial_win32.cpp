// Win32 backend of the serial seam: the comm API on a synchronous handle.
// The event mask, the driver's queue sizes, the error state and the
// alertable sleep are the comm API's own and stay here.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backends.h"
#include "base/clock.h"
#include "base/error_text_win32.h"

namespace {

constexpr DWORD kQueueBytes = 4096;

struct SerialState {
  DWORD readTotalMs;  // ReadTotalTimeoutConstant as programmed
};

HANDLE Handle(const Device &d) {
  return reinterpret_cast<HANDLE>(d.os);
}

// The number n of a COM name: "COMn" or "\\.\COMn" in any case, n in 1..256;
// 0 for anything else.
long ComNumber(const char *name) {
  if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (_strnicmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return 0;
  char *end = nullptr;
  long n = std::strtol(name + 3, &end, 10);
  return *end == '\0' && n <= 256 ? n : 0;
}

// A read waits at most ms in all for the bytes it asks for; a write takes
// 100 ms per byte and 100 ms.
bool SetReadTotal(Device &d, DWORD ms) {
  SerialState &state = BackendState<SerialState>(d);
  if (state.readTotalMs == ms) return true;
  COMMTIMEOUTS t = {0, 0, ms, 100, 100};
  if (!SetCommTimeouts(Handle(d), &t)) return false;
  state.readTotalMs = ms;
  return true;
}

bool SetLine(Device &d, const LineSettings &settings) {
  // Start from the device's own block: fields not set here keep its values.
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(Handle(d), &dcb)) return false;
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
  return SetCommState(Handle(d), &dcb) != 0;
}

void Purge(Device &d) {
  DWORD errors = 0;
  ClearCommError(Handle(d), &errors, nullptr);
  PurgeComm(Handle(d), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void Close(Device &d) {
  SetCommMask(Handle(d), 0);
  EscapeCommFunction(Handle(d), CLRDTR);
  Purge(d);
  CloseHandle(Handle(d));
}

// The device is the COM port that VELDRV_COMn names ("COM7" or "\\.\COM7", so
// a program fixed on COM1 can use the adapter Windows calls COM7), else COMn
// itself; always opened as "\\.\COMn", since the plain name reaches only
// COM1..COM9. A value that names no COM port fails the open rather than
// falling back to another device.
bool Open(Device &d, int port, const char *named, const LineSettings &line, DeviceOpenInfo &info) {
  long n = port + 1;
  if (named) {
    std::snprintf(info.path, sizeof info.path, "%s", named);
    n = ComNumber(named);
    if (n == 0) {
      info.failure = OpenFailure::kBadName;
      return false;
    }
  }
  std::snprintf(info.path, sizeof info.path, "\\\\.\\COM%ld", n);
  // Exclusive (no sharing), existing device only, synchronous I/O.
  HANDLE h = CreateFileA(info.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    // A COM port that another program holds answers "access denied".
    info.failure = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND     ? OpenFailure::kNoDevice
                   : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? OpenFailure::kInUse
                                                                                      : OpenFailure::kOther;
    WindowsErrorText(error, info.osText, sizeof info.osText);
    return false;
  }
  d.os = reinterpret_cast<intptr_t>(h);
  BackendState<SerialState>(d).readTotalMs = 0;
  // Only the line settings decide; the other preparations are best effort.
  SetCommMask(h, 0);
  SetupComm(h, kQueueBytes, kQueueBytes);
  Purge(d);
  SetReadTotal(d, 990);
  if (!SetLine(d, line)) {
    info.failure = OpenFailure::kLineRefused;
    WindowsErrorText(GetLastError(), info.osText, sizeof info.osText);
    Close(d);
    return false;
  }
  return true;
}

void Abandon(Device &d) {
  Close(d);  // Windows has no fork: never called
}

// A read or write that fails on a synchronous handle: the device is gone
// (an adapter pulled out) or broken.
IoResult Lost(Device &d, char *why, size_t size) {
  WindowsErrorText(GetLastError(), why, size);
  DWORD errors = 0;
  ClearCommError(Handle(d), &errors, nullptr);
  return IoResult::kLost;
}

// ReadFile of want bytes (1: the first byte), or of what came by the
// deadline; then, at once, of what else is in the driver's queue.
IoResult Read(Device &d, int64_t deadlineNs, size_t want, uint8_t *data, size_t size, size_t *got, char *why,
              size_t whySize) {
  *got = 0;
  const int64_t left = deadlineNs - NowNs();
  const DWORD ms = left > 1000000 ? static_cast<DWORD>((left + 999999) / 1000000) : 1;
  DWORD read = 0;
  if (!SetReadTotal(d, ms) ||
      !ReadFile(Handle(d), data, static_cast<DWORD>(want < size ? want : size), &read, nullptr))
    return Lost(d, why, whySize);
  if (read == 0) return IoResult::kTimeout;
  DWORD errors = 0;
  COMSTAT status{};
  if (read < size && ClearCommError(Handle(d), &errors, &status) && status.cbInQue > 0) {
    DWORD more = 0;
    const DWORD room = static_cast<DWORD>(size - read);
    if (ReadFile(Handle(d), data + read, status.cbInQue < room ? status.cbInQue : room, &more, nullptr))
      read += more;
  }
  *got = read;
  return IoResult::kDone;
}

// One WriteFile for the piece, bounded by the write time-outs: a time-out is
// a success with fewer bytes written.
IoResult Write(Device &d, int64_t, const uint8_t *data, size_t n, char *why, size_t whySize) {
  DWORD put = 0;
  if (!WriteFile(Handle(d), data, static_cast<DWORD>(n), &put, nullptr)) return Lost(d, why, whySize);
  return put == n ? IoResult::kDone : IoResult::kTimeout;
}

// A synchronous WriteFile returns once the driver has taken the bytes, not
// once they have left the line; the 3 ms pause the A-series protocol keeps
// before raising RTS covers the 1.1 ms a character takes at 9600 baud.
bool SetRts(Device &d, bool high) {
  return EscapeCommFunction(Handle(d), high ? SETRTS : CLRRTS) != 0;
}

// Alertable: completion routines the program queued to this thread may run.
void Pause(Device &, uint32_t ms) {
  SleepEx(ms, TRUE);
}

}  // namespace

const DeviceOps kSerialDevice = {
    nullptr, kCapLineSettings | kCapModemLines | kCapSettles,
    40,      Open,
    Close,   Abandon,
    Purge,   Read,
    Write,   SetRts,
    Pause,
};
