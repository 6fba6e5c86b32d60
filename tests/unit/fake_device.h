// A scripted device for unit tests, behind the same table of operations as
// the real backends: it records every effect the library has on the line
// and answers from a queue that a test (or a peer reacting to written
// bytes) fills. A read takes everything queued; with nothing queued it times
// out at once, so time-out paths cost no time.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "serial/device.h"

namespace fake {

enum class Ev {
  Open,
  Close,
  Line,
  Purge,
  Write,  // one event per byte written
  Read,   // one event per byte read
  ReadTimeout,
  RtsOn,
  RtsOff,
  DtrOn,
  DtrOff,
  Sleep,
};

struct Event {
  Ev kind;
  uint32_t value = 0;  // byte, milliseconds, ...
  bool operator==(const Event &) const = default;
};

struct State {
  std::vector<Event> log;
  std::vector<std::vector<uint8_t>> writes;     // the pieces written, one per write call
  std::deque<uint8_t> input;                    // bytes waiting to be read
  std::function<void(uint8_t)> onWrite;         // peer reacting to written bytes
  std::set<std::string> missing;                // device names that do not open
  std::map<std::string, OpenFailure> refusing;  // device names that refuse to open, and why
  bool lineFails = false;                       // the line settings are refused
  bool writeFails = false;                      // writes fail
  bool lost = false;                            // with no input queued, the device is gone
  std::string lastName;
  LineSettings lastLine{};
  int openDevices = 0;
};

State &Get();
void Reset();  // clears the state; keeps no device open
// Held by every device operation: a test that changes the state while the
// library's threads run takes it too.
std::recursive_mutex &StateLock();

void Answer(std::initializer_list<uint8_t> bytes);
void Answer(const std::string &text);

// Bytes the library wrote, in order.
std::vector<uint8_t> Written();
// Events of the given kinds only, in order.
std::vector<Event> Only(std::initializer_list<Ev> kinds);
std::string Hex(const std::vector<uint8_t> &bytes);  // "05 06 ..."

}  // namespace fake
