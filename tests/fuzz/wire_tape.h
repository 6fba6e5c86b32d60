// The line events of one transfer, as the fake device recorded them, read
// front to back by the wire checks. A read takes every byte that was there
// into the library's receive buffer: the tape keeps such a batch and hands
// out its bytes one by one, and a purge empties it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_device.h"

class WireTape {
 public:
  // The events logged from index `from` of the fake device's log on.
  explicit WireTape(size_t from);

  bool AtEnd() const {
    return pos_ == events_.size();
  }
  // The next event must be `kind` with `value`; aborts otherwise.
  void Expect(fake::Ev kind, uint32_t value, const char *what);
  // A sleep of `ms` milliseconds.
  void ExpectSleep(uint32_t ms, const char *what);
  void ExpectWrites(const std::vector<uint8_t> &bytes, const char *what);
  // The next event must be a read: the byte, or -1 for a time-out.
  int Read(const char *what);
  // Aborts when events are left over.
  void ExpectEnd(const char *what);

  std::string Describe() const;  // the events, with the current position marked

 private:
  std::vector<fake::Event> events_;
  size_t pos_ = 0;
  std::vector<uint8_t> batch_;  // read from the device, not yet taken
  size_t taken_ = 0;
};
