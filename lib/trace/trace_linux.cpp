// The trace's thread numbers (gettid is Linux's) and output on Linux.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/fd_posix.h"
#include "trace.h"

unsigned long TraceThreadId() {
  return static_cast<unsigned long>(gettid());
}

namespace {

// How standard error is written when it is the output itself (descriptor
// 2). Where it can be, it is reopened instead: a description of the trace's
// own that does not block, which descriptor 2's shared one must not be made.
enum StderrWay : int {
  kPlain,      // a regular file or a disk: it never waits for a reader
  kSocket,     // send with MSG_DONTWAIT
  kWhenReady,  // a pipe or terminal that could not be reopened: only what poll says it takes now
};
std::atomic<int> stderrWay{kPlain};
// What standard error was when it was opened, to see when a program has put
// another file there.
std::atomic<unsigned long long> stderrDevice{0}, stderrInode{0};

void WhyNot(int err, char *why, size_t size) {
  if (err == ELOOP)
    std::snprintf(why, size, "it is a symbolic link, which the trace does not follow");
  else if (err == ENXIO)
    std::snprintf(why, size, "a FIFO without a reader");
  else
    ErrorText(err, why, size);
}

}  // namespace

intptr_t TraceOpenStandardError(char *why, size_t size) {
  struct stat st;
  if (fstat(STDERR_FILENO, &st) != 0) {
    ErrorText(errno, why, size);
    return -1;
  }
  stderrDevice = st.st_dev;
  stderrInode = st.st_ino;
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
    stderrWay = kPlain;
    return STDERR_FILENO;
  }
  if (S_ISSOCK(st.st_mode)) {
    stderrWay = kSocket;
    return STDERR_FILENO;
  }
  const int fd = AboveStandardStreams(open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd >= 0) return fd;
  stderrWay = kWhenReady;  // no /proc, a terminal of another user, a pipe without a reader
  return STDERR_FILENO;
}

bool TraceStandardErrorMoved() {
  struct stat st;
  return fstat(STDERR_FILENO, &st) != 0 || st.st_dev != stderrDevice || st.st_ino != stderrInode;
}

// Non-blocking: a FIFO without a reader fails the open (the trace stays
// off) instead of waiting for one, and a reader that stops reading costs
// lines, never a wait inside a transfer. The trace holds controller data:
// a new file is the user's alone, and a symbolic link (one planted in a
// shared folder) is not followed.
intptr_t TraceOpenFile(const char *path, char *why, size_t size) {
  const int fd = AboveStandardStreams(
      open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0600));
  if (fd < 0) WhyNot(errno, why, size);
  return fd < 0 ? -1 : fd;
}

// A trace on a pipe whose reader has gone must not kill the calling program
// with SIGPIPE: the signal is held back for the write, and one raised by it
// is taken back before it is let through again.
size_t TraceWriteOutput(intptr_t output, const char *text, size_t size) {
  const int fd = static_cast<int>(output);
  const int way = fd == STDERR_FILENO ? stderrWay.load() : kPlain;
  if (way == kSocket) {
    const ssize_t n = send(fd, text, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
  sigset_t pipeOnly, before;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &before);
  sigset_t pending;
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE);
  size_t written = 0;
  while (written < size) {
    size_t piece = size - written;
    if (way == kWhenReady) {
      // Room for PIPE_BUF bytes at least, or the output is gone.
      pollfd p = {fd, POLLOUT, 0};
      if (poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT) || (p.revents & (POLLERR | POLLHUP))) break;
      if (piece > PIPE_BUF) piece = PIPE_BUF;
    }
    const ssize_t n = write(fd, text + written, piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  if (!alreadyPending) {
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE)) {
      timespec zero = {0, 0};
      sigtimedwait(&pipeOnly, nullptr, &zero);
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return written;
}

void TraceCloseOutput(intptr_t output, bool) {
  if (output != STDERR_FILENO) close(static_cast<int>(output));  // a reopened standard error is the trace's
}
