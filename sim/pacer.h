// Wire time of a serial line: when each character of a stream would have finished arriving.
#pragma once

#include <chrono>
#include <cstdint>

namespace velsim {

// Deadlines are computed from the start of a burst as start + k * bits / baud, so rounding never
// accumulates. A character that is ready less than one character time after the line fell free (the
// reader woke up late, or the pseudo-terminal handed a write over in two parts) continues the burst;
// a later one starts a new burst.
class Pacer {
 public:
  using Clock = std::chrono::steady_clock;

  Pacer(unsigned bitsPerChar, unsigned baud) : bits_(bitsPerChar), baud_(baud) {}

  // The time at which a character that is ready at `ready` has fully crossed the line.
  Clock::time_point next(Clock::time_point ready) {
    if (count_ == 0 || ready > end() + charTime()) {
      start_ = ready;
      count_ = 0;
    }
    ++count_;
    return end();
  }

  std::chrono::nanoseconds charTime() const {
    return std::chrono::nanoseconds(1000000000ull * bits_ / baud_);
  }

 private:
  Clock::time_point end() const {
    return start_ + std::chrono::nanoseconds(count_ * bits_ * 1000000000ull / baud_);
  }

  unsigned bits_, baud_;
  Clock::time_point start_{};
  std::uint64_t count_ = 0;
};

}  // namespace velsim
