// Port table: the library's serial ports, shared by reference count, and the
// byte primitives both frame protocols are built from.
#pragma once
#include <cstdint>

#include "../links/plc_link.h"
#include "device.h"
#include "fair_lock.h"

constexpr int kPortCount = 16;
constexpr uint32_t kTickMs = 55;
constexpr uint32_t kReadTimeoutTicks = 18;     // 990 ms per byte
constexpr uint32_t kReceiveTimeoutTicks = 20;  // gives 20 / 18 = 1 read attempt
constexpr uint32_t kSettleTicks = 9;           // pause after configuring a port
constexpr uint32_t kQueueBytes = 4096;

struct ComPort {
  int32_t isOpen;
  Device *handle;
  int32_t refCount;
  uint32_t baudRate;
  uint8_t byteSize;
  uint8_t parity;    // 0 none, 1 odd, 2 even
  uint8_t stopBits;  // 0 one, 2 two
  FairLock lock;     // serializes transfers; held by the links layer
  char path[1024];   // the device or address, for the trace
};

// Port management; port numbers are taken as unsigned 16-bit values and
// those of 16 and above are refused.
// Returns 1 on success, 0 on failure. With sameLineOnly, a port that is open
// already with another character format (the other controller family) is
// left as it is and the result is kPortOtherLine.
constexpr int kPortOtherLine = -1;
int PortOpen(int port, uint32_t baudRate, uint8_t byteSize, int parity, int stopBits,
             bool sameLineOnly = false);
int PortRelease(int port);
bool PortIsOpen(int port);  // call with the port's lock held
void PurgePort(int port);
void SetRts(int port);
void ClearRts(int port);
void SleepMs(uint32_t ms);
void SleepTicks(uint32_t ticks);

// The port's lock for a scope: transfers, and link opens and closes while
// they write the shared link record. Does nothing for an invalid number.
class PortGuard {
 public:
  explicit PortGuard(int port);
  ~PortGuard();
  PortGuard(const PortGuard &) = delete;
  PortGuard &operator=(const PortGuard &) = delete;

 private:
  FairLock *lock_;
};

// At unload: closes every open port regardless of its reference count,
// except those whose lock a thread holds (the process is ending in the
// middle of their transfers; the OS closes them). Never waits.
void PortCloseAll();
// In a forked child: every port is the parent's; forget them without
// touching the line, and start the locks afresh.
void PortForgetAll();

// Line settings a PortOpen would program for these arguments.
LineSettings PortLineSettings(uint32_t baudRate, uint8_t byteSize, int parity, int stopBits);

// Read access for tests and diagnostics; a closed entry for invalid numbers.
const ComPort &PortEntry(int port);

// Byte primitives; call them with the port's lock held.
bool SendByte(PlcLink &link, uint8_t byte);
bool ReceiveByte(PlcLink &link, uint8_t *byte);
// what names the expected value in the trace ("checksum"); nullptr: a character.
bool ExpectByte(PlcLink &link, uint8_t value, const char *what = nullptr);
