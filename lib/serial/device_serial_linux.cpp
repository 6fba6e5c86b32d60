// Linux backend of the serial seam: termios, poll and modem-line ioctls
// (TIOCSERGETLSR and CMSPAR are Linux's).
#include "device_serial_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backends.h"
#include "base/clock.h"
#include "base/fd_posix.h"
#include "base/settings.h"

// The backends pass FdRead's and FdWrite's results on as they are.
static_assert(static_cast<int>(IoResult::kDone) == kFdDone &&
              static_cast<int>(IoResult::kTimeout) == kFdTimeout &&
              static_cast<int>(IoResult::kLost) == kFdLost &&
              static_cast<int>(IoResult::kFailed) == kFdFailed);

namespace {

struct SerialState {
  int64_t charNs;  // start, data, parity and stop bits at the baud rate: for waiting out the line
};

int Fd(const Device &d) {
  return static_cast<int>(d.os);
}

// A pseudo-terminal forces 8 data bits and no parity; glibc then reports
// EINVAL although everything else took effect. Accept exactly that case.
bool OnlyCharacterFormatDiffers(const termios &wanted, const termios &got) {
  const tcflag_t format = CSIZE | PARENB | PARODD;
  return wanted.c_iflag == got.c_iflag && wanted.c_oflag == got.c_oflag && wanted.c_lflag == got.c_lflag &&
         (wanted.c_cflag & ~format) == (got.c_cflag & ~format) && cfgetispeed(&wanted) == cfgetispeed(&got) &&
         cfgetospeed(&wanted) == cfgetospeed(&got) && wanted.c_cc[VMIN] == got.c_cc[VMIN] &&
         wanted.c_cc[VTIME] == got.c_cc[VTIME];
}

bool ModemLine(const Device &d, int bit, bool raise) {
  int bits = bit;
  return ioctl(Fd(d), raise ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

// Waits until the bytes already written have left the port, at most maxNs;
// tcdrain could block for ever on a line whose far side stopped reading.
// TIOCOUTQ counts the driver's queue; where the driver reports it, the line
// status register then tells when the last character has left the shift
// register (a pseudo-terminal has neither and returns at once). True when
// nothing is left to send.
bool WaitOutputSent(Device &d, int64_t maxNs) {
  const int64_t deadline = NowNs() + maxNs;
  const int64_t charNs = BackendState<SerialState>(d).charNs;
  for (;;) {
    int queued = 0;
    unsigned int lsr = TIOCSER_TEMT;
    if (ioctl(Fd(d), TIOCOUTQ, &queued) != 0) queued = 0;
    if (queued == 0 && (ioctl(Fd(d), TIOCSERGETLSR, &lsr) != 0 || (lsr & TIOCSER_TEMT))) return true;
    const int64_t now = NowNs();
    if (now >= deadline) return false;
    SleepUntil(std::min(deadline, now + (queued > 0 ? queued : 1) * charNs));
  }
}

// Both queues are cleared, but the bytes already handed to the port are let
// go first (for as long as they need, at most 1 s): a request cut off in the
// middle would reach the controller as a broken frame. That happens when a
// stray ACK on the line ended the last frame early: the rest of its request
// still goes out whole and is stored.
void Purge(Device &d) {
  int queued = 0;
  if (ioctl(Fd(d), TIOCOUTQ, &queued) != 0) queued = 0;
  const int64_t wait =
      std::min(queued * BackendState<SerialState>(d).charNs + 20 * 1000000LL, 1000 * 1000000LL);
  tcflush(Fd(d), WaitOutputSent(d, wait) ? TCIFLUSH : TCIOFLUSH);
}

void Close(Device &d) {
  ModemLine(d, TIOCM_DTR, false);
  Purge(d);
  ioctl(Fd(d), TIOCNXCL);  // the exclusive flag outlives us on a tty kept open elsewhere
  close(Fd(d));
}

// Sets the line: raw mode, the character format, DTR and RTS high.
bool SetLine(Device &d, const LineSettings &settings) {
  termios t;
  if (tcgetattr(Fd(d), &t) != 0) return false;
  if (!BuildTermios(settings, &t)) {
    errno = EINVAL;
    return false;
  }
  if (tcsetattr(Fd(d), TCSANOW, &t) != 0) {
    termios got;
    if (errno != EINVAL || tcgetattr(Fd(d), &got) != 0 || !OnlyCharacterFormatDiffers(t, got)) return false;
  }
  BackendState<SerialState>(d).charNs =
      (2 + settings.byteSize + (settings.parity ? 1 : 0)) * 1000000000LL / settings.baudRate;
  // DTR and RTS held high; a pseudo-terminal has no modem lines (ENOTTY).
  ModemLine(d, TIOCM_DTR, true);
  ModemLine(d, TIOCM_RTS, true);
  return true;
}

bool Open(Device &d, int port, const char *named, const LineSettings &line, DeviceOpenInfo &info) {
  char name[16];
  std::snprintf(name, sizeof name, "COM%d", port + 1);
  if (named) {
    std::snprintf(info.path, sizeof info.path, "%s", named);
  } else if (!DevicePath(name, info.path, sizeof info.path)) {
    info.failure = OpenFailure::kBadName;
    return false;
  }
  // Non-blocking: a blocking open can wait for carrier.
  const int fd = AboveStandardStreams(open(info.path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd < 0) {
    const int err = errno;
    info.failure = err == ENOENT || err == ENXIO || err == ENODEV || err == ENOTDIR ? OpenFailure::kNoDevice
                   : err == EACCES || err == EPERM                                  ? OpenFailure::kPermission
                   : err == EBUSY                                                   ? OpenFailure::kInUse
                                                                                    : OpenFailure::kOther;
    ErrorText(err, info.osText, sizeof info.osText);
    return false;
  }
  // Exclusive: flock refuses a second opener (root included), TIOCEXCL
  // refuses other programs' opens of the tty itself.
  const OpenFailure failure = !isatty(fd)                         ? OpenFailure::kNotSerial
                              : flock(fd, LOCK_EX | LOCK_NB) != 0 ? OpenFailure::kInUse
                                                                  : OpenFailure::kNone;
  if (failure != OpenFailure::kNone) {
    info.failure = failure;
    ErrorText(errno, info.osText, sizeof info.osText);
    close(fd);
    return false;
  }
  ioctl(fd, TIOCEXCL);
  d.os = fd;
  BackendState<SerialState>(d).charNs = 10 * 1000000000LL / 9600;
  tcflush(fd, TCIOFLUSH);
  if (!SetLine(d, line)) {
    info.failure = OpenFailure::kLineRefused;
    ErrorText(errno, info.osText, sizeof info.osText);
    Close(d);
    return false;
  }
  return true;
}

void Abandon(Device &d) {
  // The parent's open file keeps its lock, its exclusive flag and its line.
  close(Fd(d));
}

IoResult Read(Device &d, int64_t deadlineNs, size_t want, uint8_t *data, size_t size, size_t *got, char *why,
              size_t whySize) {
  return static_cast<IoResult>(FdRead(Fd(d), deadlineNs, want, data, size, got, false, why, whySize));
}

IoResult Write(Device &d, int64_t deadlineNs, const uint8_t *data, size_t n, char *why, size_t whySize) {
  return static_cast<IoResult>(FdWrite(Fd(d), deadlineNs, data, n, false, why, whySize));
}

bool SetRts(Device &d, bool high) {
  WaitOutputSent(d, 200 * 1000000LL);
  return ModemLine(d, TIOCM_RTS, high);
}

void Pause(Device &, uint32_t ms) {
  SleepUntil(NowNs() + ms * 1000000LL);
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

const DeviceOps kSerialDevice = {
    nullptr, kCapLineSettings | kCapModemLines | kCapSettles,
    40,      Open,
    Close,   Abandon,
    Purge,   Read,
    Write,   SetRts,
    Pause,
};
