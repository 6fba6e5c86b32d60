// The device seam: one table of operations per kind of device, chosen when a
// port opens by the name of its device. The backends are a serial port
// (device_serial_linux.cpp, device_serial_win32.cpp), a raw TCP
// connection to a serial device server (device_tcp_linux.cpp,
// device_tcp_win32.cpp) and the same with the telnet COM-PORT option
// (device_rfc2217.cpp); device_select.cpp lists them, and the tests put a
// fake in their place. A backend says what the device can do (kCap*); the
// port layer (ports.cpp) puts the operations in order.
//
// A new backend is one file with one DeviceOps table, and one entry in the
// list of device_select.cpp. One that speaks through another (RFC 2217
// through TCP) calls that backend's operations on the same Device and keeps
// its own state in Device::state; the TCP backends use only Device::os.
#pragma once
#include <cstddef>
#include <cstdint>

// Line settings: one stop bit, no flow control; DTR and RTS are held high
// while the port is open (a protocol drops RTS for single bytes).
struct LineSettings {
  uint32_t baudRate;
  uint8_t byteSize;  // data bits
  uint8_t parity;    // 0 none, 1 odd, 2 even
};

// What a read or write came to. kLost: the device is gone (a hang-up, a
// connection the server closed or reset); kFailed: another error.
enum class IoResult : uint8_t { kDone, kTimeout, kLost, kFailed };

// Why an open failed. The exports report every one as -4; the reasons and
// the trace name it.
enum class OpenFailure : uint8_t {
  kNone,
  kNoDevice,      // no such device or file
  kPermission,    // no access to it
  kInUse,         // another program holds it
  kNotSerial,     // it is not a serial port
  kLineRefused,   // it refused the line settings
  kBadName,       // the configured name is not a device name of this platform
  kBadAddress,    // a network address that is not HOST:PORT with a port of 1..65535
  kUnknownHost,   // the name lookup found no such host
  kUnreachable,   // no TCP connection within the connect time
  kNoComPort,     // the server does not take the telnet COM-PORT option (RFC 2217)
  kServerClosed,  // the server closed the connection while the port was set up
  kOther,
};

struct DeviceOpenInfo {
  char path[1024];      // the device or address tried
  OpenFailure failure;  // kNone after a success
  char osText[160];     // the OS's words for the failure
};

// What a device can do.
enum DeviceCaps : uint32_t {
  kCapLineSettings = 1u << 0,  // it sets baud rate and character format itself
  kCapModemLines = 1u << 1,    // it drives RTS and DTR
  // A line and an adapter that settle after opening: the port waits 495 ms
  // before its first purge. A raw network connection has no line to settle;
  // an RFC 2217 server has: the open sets its line and modem lines, and what
  // was still on the line (the tail of an answer) arrives meanwhile.
  kCapSettles = 1u << 2,
};

struct DeviceOps;

// One open device, kept in its port's record.
struct Device {
  const DeviceOps *ops;                // nullptr while closed
  intptr_t os;                         // the OS's handle: a descriptor, HANDLE or SOCKET
  alignas(8) unsigned char state[64];  // the backend's own, see BackendState
};

template <typename T>
T &BackendState(Device &d) {
  static_assert(sizeof(T) <= sizeof d.state && alignof(T) <= 8, "backend state too large");
  return *reinterpret_cast<T *>(d.state);
}

struct DeviceOps {
  // The prefix of a VELDRV_COM<n> value that chooses this backend
  // ("tcp://"); nullptr for the platform's serial ports, which take every
  // other name and the default name of COM<n>.
  const char *scheme;
  uint32_t caps;  // DeviceCaps
  // The longest the receiver leaves bytes that arrived unread while it waits
  // for a batch of an answer: a serial port keeps them in its queue; a TCP
  // connection acknowledges segments as they are read, and a server whose
  // window counts segments (one a character) stalls without that.
  uint32_t batchMs;
  // Opens name (what follows the scheme; nullptr: the default device of
  // port 0..15) for exclusive use, sets the line where it can, DTR and RTS
  // high. A connection gives up after kConnectMs. On failure info says what
  // was tried and why, and nothing stays open.
  bool (*open)(Device &d, int port, const char *name, const LineSettings &line, DeviceOpenInfo &info);
  // Drops DTR, discards both queues and closes.
  void (*close)(Device &d);
  // In a forked child: lets go of the device without touching the line,
  // which still belongs to the parent.
  void (*abandon)(Device &d);
  // Discards what was received and not read, and what waits to be sent
  // (letting bytes already handed over go out first where it can tell).
  // Bounded: a device that keeps sending is drained for what was there
  // when the purge began, or a few milliseconds.
  void (*purge)(Device &d);
  // Waits until deadlineNs (NowNs) for want bytes, then reads what is there,
  // up to size bytes, into data (*got). With want 1 it returns as soon as a
  // byte is there; with more the caller expects them by the deadline, and a
  // device may return early once they are all there. A deadline in the past
  // reads without waiting. kTimeout when nothing came; unless done, why says
  // what happened in a few words.
  IoResult (*read)(Device &d, int64_t deadlineNs, size_t want, uint8_t *data, size_t size, size_t *got,
                   char *why, size_t whySize);
  // Writes the n bytes as one piece, all of them by deadlineNs.
  IoResult (*write)(Device &d, int64_t deadlineNs, const uint8_t *data, size_t n, char *why, size_t whySize);
  // kCapModemLines: raises or drops RTS once the bytes written have left
  // the line (as far as the device can tell); false when it could not.
  bool (*setRts)(Device &d, bool high);
  // Sleeps at least ms milliseconds (the pauses of the A-series protocol
  // and the settling of a new port).
  void (*pause)(Device &d, uint32_t ms);
};

constexpr int kConnectMs = 3000;  // a TCP connect, name lookup included

// Opens the device of port (0..15) that VELDRV_COM<port+1> names, else the
// platform's default for COM<port+1>, with the backend its name chooses.
bool DeviceOpen(Device &d, int port, const LineSettings &line, DeviceOpenInfo &info);
