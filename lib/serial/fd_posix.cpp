#include "fd_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

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

bool FdReadByte(int fd, int timeoutMs, uint8_t *byte) {
  int64_t deadline = NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
  for (;;) {
    short ev = PollUntil(fd, POLLIN, deadline);
    if (ev == 0) return false;  // time-out
    ssize_t r = read(fd, byte, 1);
    if (r == 1) return true;
    if (r == 0) return false;  // hang-up, not a byte
    if (errno != EAGAIN && errno != EINTR) return false;
    if (!(ev & POLLIN)) return false;
  }
}

bool FdWriteByte(int fd, int timeoutMs, uint8_t byte, bool socket) {
  int64_t deadline = NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
  for (;;) {
    ssize_t r = socket ? send(fd, &byte, 1, MSG_NOSIGNAL) : write(fd, &byte, 1);
    if (r == 1) return true;
    if (r < 0 && errno != EAGAIN && errno != EINTR) return false;
    short ev = PollUntil(fd, POLLOUT, deadline);
    if (ev == 0 || (ev & (POLLERR | POLLHUP | POLLNVAL))) return false;
  }
}

void ErrorText(int err, char *text, size_t size) {
  // The GNU strerror_r returns the text, which need not be in the buffer.
  char buffer[128];
  const char *words = strerror_r(err, buffer, sizeof buffer);
  std::snprintf(text, size, "%s", words);
}
