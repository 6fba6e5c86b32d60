#include "wire_tape.h"

#include <cstdio>

#include "fuzz_check.h"

using fake::Ev;

namespace {

const char *Name(Ev kind) {
  switch (kind) {
  case Ev::Open:
    return "Open";
  case Ev::Close:
    return "Close";
  case Ev::Line:
    return "Line";
  case Ev::Purge:
    return "Purge";
  case Ev::Write:
    return "W";
  case Ev::Read:
    return "R";
  case Ev::ReadTimeout:
    return "R-timeout";
  case Ev::RtsOn:
    return "RtsOn";
  case Ev::RtsOff:
    return "RtsOff";
  case Ev::DtrOn:
    return "DtrOn";
  case Ev::DtrOff:
    return "DtrOff";
  case Ev::Sleep:
    return "Sleep";
  }
  return "?";
}

}  // namespace

WireTape::WireTape(size_t from) {
  const std::vector<fake::Event> &log = fake::Get().log;
  events_.assign(log.begin() + static_cast<long>(from), log.end());
}

void WireTape::Expect(Ev kind, uint32_t value, const char *what) {
  bool match = pos_ < events_.size() && events_[pos_].kind == kind && events_[pos_].value == value;
  FUZZ_CHECK(match, "%s: expected %s %02X at event %zu\n%s", what, Name(kind), value, pos_,
             Describe().c_str());
  pos_++;
  if (kind == Ev::Purge) {  // the purge empties the receive buffer too
    batch_.clear();
    taken_ = 0;
  }
}

void WireTape::ExpectWrites(const std::vector<uint8_t> &bytes, const char *what) {
  for (uint8_t b : bytes) Expect(Ev::Write, b, what);
}

int WireTape::Read(const char *what) {
  if (taken_ < batch_.size()) return batch_[taken_++];
  bool isRead =
      pos_ < events_.size() && (events_[pos_].kind == Ev::Read || events_[pos_].kind == Ev::ReadTimeout);
  FUZZ_CHECK(isRead, "%s: expected a read at event %zu\n%s", what, pos_, Describe().c_str());
  if (events_[pos_].kind == Ev::ReadTimeout) {
    pos_++;
    return -1;
  }
  batch_.clear();
  taken_ = 0;
  for (; pos_ < events_.size() && events_[pos_].kind == Ev::Read; pos_++)
    batch_.push_back(static_cast<uint8_t>(events_[pos_].value));
  return batch_[taken_++];
}

void WireTape::ExpectEnd(const char *what) {
  FUZZ_CHECK(AtEnd(), "%s: unexpected events from event %zu on\n%s", what, pos_, Describe().c_str());
}

std::string WireTape::Describe() const {
  std::string s;
  char b[32];
  // The neighbourhood of the current position is enough to see what went wrong.
  size_t from = pos_ > 40 ? pos_ - 40 : 0;
  size_t to = pos_ + 40 < events_.size() ? pos_ + 40 : events_.size();
  if (from > 0) s += "... ";
  for (size_t i = from; i < to; i++) {
    const fake::Event &e = events_[i];
    if (i == pos_) s += ">>";
    bool valued = e.kind == Ev::Write || e.kind == Ev::Read || e.kind == Ev::Sleep;
    if (valued)
      std::snprintf(b, sizeof b, "%s:%02X ", Name(e.kind), e.value);
    else
      std::snprintf(b, sizeof b, "%s ", Name(e.kind));
    s += b;
  }
  if (pos_ >= events_.size())
    s += ">>(end)";
  else if (to < events_.size())
    s += "...";
  return s;
}

void WireTape::ExpectSleep(uint32_t ms, const char *what) {
  Expect(Ev::Sleep, ms, what);
}
