// The monotonic clock of the library's time-outs and of the trace.
#pragma once
#include <cstdint>

int64_t NowNs();
// Sleeps until NowNs() reaches deadlineNs, signals or not.
void SleepUntil(int64_t deadlineNs);
