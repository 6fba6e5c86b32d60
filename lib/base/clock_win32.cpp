#include <windows.h>

#include "clock.h"

int64_t NowNs() {
  static const int64_t perSecond = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const int64_t ticks = now.QuadPart;
  return ticks / perSecond * 1000000000 + ticks % perSecond * 1000000000 / perSecond;
}

void SleepUntil(int64_t deadlineNs) {
  for (int64_t left = deadlineNs - NowNs(); left > 0; left = deadlineNs - NowNs())
    Sleep(static_cast<DWORD>((left + 999999) / 1000000));
}
