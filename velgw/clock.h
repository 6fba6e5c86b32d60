// Time as the gateway counts it: seconds as doubles.
#pragma once

#include <chrono>

namespace velgw {

// Monotonic seconds, for ages and intervals.
inline double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Seconds since 1970, for time stamps.
inline double WallNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace velgw
