// The trace's thread numbers (gettid is Linux's) and output on Linux.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "base/fd_posix.h"
#include "trace.h"

unsigned long TraceThreadId() {
  return static_cast<unsigned long>(gettid());
}

// Non-blocking: a FIFO without a reader fails the open (the trace stays
// off) instead of waiting for one, and a reader that stops reading costs
// lines, never a wait inside a transfer.
intptr_t TraceOpenOutput(const char *target) {
  if (std::strcmp(target, "stderr") == 0) return STDERR_FILENO;
  int fd = AboveStandardStreams(
      open(target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
  return fd < 0 ? -1 : fd;
}

// A trace on a pipe whose reader has gone must not kill the calling program
// with SIGPIPE: the signal is held back for the write, and one raised by it
// is taken back before it is let through again.
void TraceWriteOutput(intptr_t output, const char *text, size_t size) {
  sigset_t pipeOnly, before;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &before);
  sigset_t pending;
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE);
  int fd = static_cast<int>(output);
  while (size > 0) {
    ssize_t n = write(fd, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text += n;
    size -= static_cast<size_t>(n);
  }
  if (!alreadyPending) {
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE)) {
      timespec zero = {0, 0};
      sigtimedwait(&pipeOnly, nullptr, &zero);
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void TraceCloseOutput(intptr_t output) {
  if (output != STDERR_FILENO) close(static_cast<int>(output));
}
