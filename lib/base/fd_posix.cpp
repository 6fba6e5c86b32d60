#include "fd_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "clock.h"

namespace {

// strerror_r is the XSI one (an int) or the GNU one (the text, which need
// not be in the buffer), depending on the C library.
[[maybe_unused]] const char *Words(int result, const char *buffer) {
  return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char *Words(const char *result, const char *) {
  return result;
}

FdResult Lost(int err, bool socket, char *why, size_t size) {
  if (err == 0)
    std::snprintf(why, size, "%s", socket ? "the server closed the connection" : "hang-up");
  else if (err == ECONNRESET)
    std::snprintf(why, size, "the server reset the connection");
  else
    ErrorText(err, why, size);
  return kFdLost;
}

}  // namespace

short PollUntil(int fd, short events, int64_t deadlineNs) {
  for (;;) {
    int64_t left = deadlineNs - NowNs();
    if (left < 0) left = 0;
    pollfd p = {fd, events, 0};
    int ms = static_cast<int>((left + 999999) / 1000000);
    int r = poll(&p, 1, ms);
    if (r > 0) return p.revents;
    if (r == 0 && NowNs() >= deadlineNs) return 0;
    if (r < 0 && errno != EINTR) return POLLERR;
  }
}

int AboveStandardStreams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

FdResult FdRead(int fd, int64_t deadlineNs, size_t want, uint8_t *data, size_t size, size_t *got, bool socket,
                char *why, size_t whySize) {
  *got = 0;
  if (want > 1) SleepUntil(deadlineNs);
  for (;;) {
    short ev = PollUntil(fd, POLLIN, deadlineNs);
    if (ev == 0) return kFdTimeout;
    ssize_t r = read(fd, data, size);
    if (r > 0) {
      *got = static_cast<size_t>(r);
      return kFdDone;
    }
    if (r == 0) return Lost(0, socket, why, whySize);  // a hang-up, not a byte
    if (errno != EAGAIN && errno != EINTR) return Lost(errno, socket, why, whySize);
    if (!(ev & POLLIN)) return Lost(0, socket, why, whySize);  // hung up or failed with nothing to read
  }
}

FdResult FdWrite(int fd, int64_t deadlineNs, const uint8_t *data, size_t n, bool socket, char *why,
                 size_t whySize) {
  while (n > 0) {
    ssize_t r = socket ? send(fd, data, n, MSG_NOSIGNAL) : write(fd, data, n);
    if (r > 0) {
      data += r;
      n -= static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno != EAGAIN && errno != EINTR) {
      const int err = errno;
      if (err == EPIPE || err == ECONNRESET || err == EIO || err == ENXIO || err == ENODEV)
        return Lost(err == EPIPE ? 0 : err, socket, why, whySize);
      ErrorText(err, why, whySize);
      return kFdFailed;
    }
    short ev = PollUntil(fd, POLLOUT, deadlineNs);
    if (ev == 0) return kFdTimeout;
    if (ev & (POLLERR | POLLHUP | POLLNVAL)) return Lost(0, socket, why, whySize);
  }
  return kFdDone;
}

void ErrorText(int err, char *text, size_t size) {
  char buffer[128] = "";
  std::snprintf(text, size, "%s", Words(strerror_r(err, buffer, sizeof buffer), buffer));
}
