#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include "platform.h"

namespace {

volatile sig_atomic_t interrupted = 0;
// The handler writes a byte here, so a wait in poll() ends even when the
// signal arrives just before it starts.
int wakeRead = -1;
int wakeWrite = -1;

void OnInterrupt(int) {
  interrupted = 1;
  int saved = errno;
  if (wakeWrite >= 0 && write(wakeWrite, "!", 1) < 0) {
    // A full pipe already wakes the waiter.
  }
  errno = saved;
}

}  // namespace

bool ErrorsGoToTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

bool SetVariable(const char *name, const char *value) {
  if (*value == '\0') return unsetenv(name) == 0;
  return setenv(name, value, 1) == 0;
}

void CatchInterrupt() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wakeRead = fds[0];
    wakeWrite = fds[1];
  }
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Calls under way go on: the library finishes its transfer, and only then
  // does the program look at the flag.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() {
  return interrupted != 0;
}

bool WaitUntil(std::chrono::steady_clock::time_point until) {
  using namespace std::chrono;
  while (!interrupted) {
    auto left = until - steady_clock::now();
    if (left <= steady_clock::duration::zero()) return true;
    // Whole milliseconds, rounded up, a minute at most per round.
    long long ms = duration_cast<milliseconds>(left + milliseconds(1) - nanoseconds(1)).count();
    if (ms > 60000) ms = 60000;
    pollfd wake = {wakeRead, POLLIN, 0};
    poll(&wake, 1, static_cast<int>(ms));  // fd -1 is ignored: a plain sleep
  }
  return false;
}

std::tm UtcCalendar(std::time_t time) {
  std::tm fields = {};
  gmtime_r(&time, &fields);
  return fields;
}

void UseBinary(std::FILE *) {
  // POSIX streams are binary already.
}
