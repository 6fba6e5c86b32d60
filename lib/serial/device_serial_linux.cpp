// Linux backend of the serial seam: termios, poll and modem-line ioctls
// (TIOCSERGETLSR and CMSPAR are Linux's).
#include "device_serial_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backends.h"
#include "base/clock.h"
#include "base/fd_posix.h"
#include "base/settings.h"

struct SerialDevice {
  int fd;              // -1 while closed
  int readTimeoutMs;   // per byte
  int writeTimeoutMs;  // per byte
  uint32_t baud;
  int bitsPerChar;  // start + data + parity + stop, for waiting out the line
};

// The backends pass FdRead's and FdWrite's results on as they are.
static_assert(static_cast<int>(IoResult::kDone) == kFdDone &&
              static_cast<int>(IoResult::kTimeout) == kFdTimeout &&
              static_cast<int>(IoResult::kLost) == kFdLost &&
              static_cast<int>(IoResult::kFailed) == kFdFailed);

namespace {

SerialDevice devices[16];

// A pseudo-terminal forces 8 data bits and no parity; glibc then reports
// EINVAL although everything else took effect. Accept exactly that case.
bool OnlyCharacterFormatDiffers(const termios &wanted, const termios &got) {
  const tcflag_t format = CSIZE | PARENB | PARODD;
  return wanted.c_iflag == got.c_iflag && wanted.c_oflag == got.c_oflag && wanted.c_lflag == got.c_lflag &&
         (wanted.c_cflag & ~format) == (got.c_cflag & ~format) && cfgetispeed(&wanted) == cfgetispeed(&got) &&
         cfgetospeed(&wanted) == cfgetospeed(&got) && wanted.c_cc[VMIN] == got.c_cc[VMIN] &&
         wanted.c_cc[VTIME] == got.c_cc[VTIME];
}

bool ModemLine(SerialDevice *device, int bit, bool raise) {
  int bits = bit;
  return ioctl(device->fd, raise ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

// Waits until the bytes already written have left the port, at most maxNs;
// tcdrain could block for ever on a line whose far side stopped reading.
// TIOCOUTQ counts the driver's queue; where the driver reports it, the line
// status register then tells when the last character has left the shift
// register (a pseudo-terminal has neither and returns at once). True when
// nothing is left to send.
bool WaitOutputSent(SerialDevice *device, int64_t maxNs) {
  const int64_t deadline = NowNs() + maxNs;
  const int64_t charNs = static_cast<int64_t>(device->bitsPerChar) * 1000000000LL / device->baud;
  for (;;) {
    int queued = 0;
    unsigned int lsr = TIOCSER_TEMT;
    if (ioctl(device->fd, TIOCOUTQ, &queued) != 0) queued = 0;
    if (queued == 0 && (ioctl(device->fd, TIOCSERGETLSR, &lsr) != 0 || (lsr & TIOCSER_TEMT))) return true;
    if (NowNs() >= deadline) return false;
    int64_t ns = (queued > 0 ? queued : 1) * charNs;
    timespec ts = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    nanosleep(&ts, nullptr);
  }
}

}  // namespace

bool DevicePath(const char *name, char *path, size_t size) {
  if (std::strncmp(name, "COM", 3) != 0) return false;
  char *end = nullptr;
  long n = std::strtol(name + 3, &end, 10);
  if (end == name + 3 || *end != '\0' || n < 1 || n > 256) return false;
  // An empty variable counts as unset: "" must not turn COM1 into /COM1.
  char dir[4096];
  const Setting setting = ReadSetting("VELDRV_DEVICE_DIR", dir, sizeof dir);
  if (setting == Setting::kTooLong) return false;  // never /dev/ttyS instead
  int len = setting == Setting::kSet ? std::snprintf(path, size, "%s/COM%ld", dir, n)
                                     : std::snprintf(path, size, "/dev/ttyS%ld", n - 1);
  return len > 0 && static_cast<size_t>(len) < size;
}

bool BuildTermios(const LineSettings &settings, termios *t) {
  if (settings.baudRate != 9600) return false;
  // Input: no break, CR/NL or case translation, no stripping, no software
  // flow control. INPCK on and IGNPAR off: a parity error arrives as a wrong
  // character that the protocol rejects, not as a silently lost byte.
  t->c_iflag &=
      ~(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | IXANY);
  t->c_iflag |= INPCK;
  t->c_oflag &= ~OPOST;  // bytes leave as written
  t->c_lflag &= ~(ECHO | ECHONL | ECHOE | ICANON | ISIG | IEXTEN);
  // Character format; CLOCAL ignores carrier, CREAD enables the receiver,
  // no hardware handshake (RTS is driven by hand).
  // CMSPAR off: a line left in mark or space parity by its last user.
  t->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
  t->c_cflag |= CREAD | CLOCAL;
  t->c_cflag |= settings.byteSize == 5   ? CS5
                : settings.byteSize == 6 ? CS6
                : settings.byteSize == 7 ? CS7
                                         : CS8;
  if (settings.parity != 0) t->c_cflag |= PARENB;
  if (settings.parity == 1) t->c_cflag |= PARODD;
  // Reads never block in the driver: time-outs are measured with poll.
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
  cfsetispeed(t, B9600);
  cfsetospeed(t, B9600);
  return true;
}

SerialDevice *SerialOpen(int port, const char *named, DeviceOpenInfo *info) {
  char name[16];
  std::snprintf(name, sizeof name, "COM%d", port + 1);
  if (named) {
    std::snprintf(info->path, sizeof info->path, "%s", named);
  } else if (!DevicePath(name, info->path, sizeof info->path)) {
    info->failure = OpenFailure::kBadName;
    return nullptr;
  }
  // Non-blocking: a blocking open can wait for carrier.
  int fd = AboveStandardStreams(open(info->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd < 0) {
    int err = errno;
    info->failure = err == ENOENT || err == ENXIO || err == ENODEV || err == ENOTDIR ? OpenFailure::kNoDevice
                    : err == EACCES || err == EPERM ? OpenFailure::kPermission
                    : err == EBUSY                  ? OpenFailure::kInUse
                                                    : OpenFailure::kOther;
    ErrorText(err, info->osText, sizeof info->osText);
    return nullptr;
  }
  // Exclusive: flock refuses a second opener (root included), TIOCEXCL
  // refuses other programs' opens of the tty itself.
  OpenFailure failure = !isatty(fd)                         ? OpenFailure::kNotSerial
                        : flock(fd, LOCK_EX | LOCK_NB) != 0 ? OpenFailure::kInUse
                                                            : OpenFailure::kNone;
  if (failure != OpenFailure::kNone) {
    info->failure = failure;
    ErrorText(errno, info->osText, sizeof info->osText);
    close(fd);
    return nullptr;
  }
  ioctl(fd, TIOCEXCL);
  SerialDevice &d = devices[port & 15];
  d = SerialDevice{fd, 990, 200, 9600, 10};
  return &d;
}

void SerialClose(SerialDevice *device) {
  ioctl(device->fd, TIOCNXCL);  // the exclusive flag outlives us on a tty kept open elsewhere
  close(device->fd);
  device->fd = -1;
}

void SerialAbandon(SerialDevice *device) {
  // The parent's open file keeps its lock, its exclusive flag and its line.
  close(device->fd);
  device->fd = -1;
}

bool SerialSetEventMask(SerialDevice *, uint32_t) {
  return true;  // no event mask on POSIX
}

bool SerialSetQueues(SerialDevice *, uint32_t, uint32_t) {
  return true;  // the tty layer sizes its own queues
}

bool SerialSetTimeouts(SerialDevice *device, const DeviceTimeouts &t) {
  device->readTimeoutMs = PerByteReadMs(t);
  device->writeTimeoutMs = PerByteWriteMs(t);
  return true;
}

bool SerialSetLine(SerialDevice *device, const LineSettings &settings) {
  termios t;
  if (tcgetattr(device->fd, &t) != 0) return false;
  if (!BuildTermios(settings, &t)) return false;
  if (tcsetattr(device->fd, TCSANOW, &t) != 0) {
    termios got;
    if (errno != EINVAL || tcgetattr(device->fd, &got) != 0 || !OnlyCharacterFormatDiffers(t, got))
      return false;
  }
  device->baud = settings.baudRate;
  device->bitsPerChar = 1 + settings.byteSize + (settings.parity ? 1 : 0) + 1;
  // DTR and RTS held high; a pseudo-terminal has no modem lines (ENOTTY).
  ModemLine(device, TIOCM_DTR, true);
  ModemLine(device, TIOCM_RTS, true);
  return true;
}

// Both queues are cleared, but the bytes already handed to the port are let
// go first (for as long as they need, at most 1 s): a request cut off in the
// middle would reach the controller as a broken frame. That happens when a
// stray ACK on the line ended the last frame early: the rest of its request
// still goes out whole and is stored.
bool SerialPurge(SerialDevice *device) {
  int64_t charNs = static_cast<int64_t>(device->bitsPerChar) * 1000000000LL / device->baud;
  int queued = 0;
  if (ioctl(device->fd, TIOCOUTQ, &queued) != 0) queued = 0;
  int64_t wait = queued * charNs + 20 * 1000000LL;
  if (wait > 1000 * 1000000LL) wait = 1000 * 1000000LL;
  bool sent = WaitOutputSent(device, wait);
  return tcflush(device->fd, sent ? TCIFLUSH : TCIOFLUSH) == 0;
}

bool SerialClearError(SerialDevice *) {
  return true;  // errors are not latched on POSIX
}

IoResult SerialReadByte(SerialDevice *device, uint8_t *byte, char *why, size_t size) {
  size_t got;
  return static_cast<IoResult>(
      FdRead(device->fd, NowNs() + device->readTimeoutMs * 1000000LL, byte, 1, &got, false, why, size));
}

IoResult SerialWriteByte(SerialDevice *device, uint8_t byte, char *why, size_t size) {
  return static_cast<IoResult>(
      FdWrite(device->fd, NowNs() + device->writeTimeoutMs * 1000000LL, &byte, 1, false, why, size));
}

bool SerialSetRts(SerialDevice *device, bool high) {
  WaitOutputSent(device, 200 * 1000000LL);
  return ModemLine(device, TIOCM_RTS, high);
}

bool SerialSetDtr(SerialDevice *device, bool high) {
  return ModemLine(device, TIOCM_DTR, high);
}

void DeviceSleep(uint32_t ms, bool) {
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
  if (until.tv_nsec >= 1000000000) {
    until.tv_sec++;
    until.tv_nsec -= 1000000000;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

void DeviceErrorText(char *text, size_t size) {
  ErrorText(errno, text, size);
}
