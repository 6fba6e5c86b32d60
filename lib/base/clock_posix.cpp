#include <errno.h>
#include <time.h>

#include "clock.h"

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepUntil(int64_t deadlineNs) {
  const timespec until = {static_cast<time_t>(deadlineNs / 1000000000),
                          static_cast<long>(deadlineNs % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}
