#include "fake_device.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace fake {

namespace {
State state;
}  // namespace

// Ports open, and run their frames, on several threads at once: each effect
// on the shared state is taken under this lock (recursive: a peer answers
// from inside a write).
std::recursive_mutex &StateLock() {
  static std::recursive_mutex lock;
  return lock;
}

State &Get() {
  return state;
}

void Reset() {
  state = State{};
}

void Answer(std::initializer_list<uint8_t> bytes) {
  state.input.insert(state.input.end(), bytes.begin(), bytes.end());
}

void Answer(const std::string &text) {
  state.input.insert(state.input.end(), text.begin(), text.end());
}

std::vector<uint8_t> Written() {
  std::vector<uint8_t> out;
  for (const Event &e : state.log)
    if (e.kind == Ev::Write) out.push_back(static_cast<uint8_t>(e.value));
  return out;
}

std::vector<Event> Only(std::initializer_list<Ev> kinds) {
  std::vector<Event> out;
  for (const Event &e : state.log)
    if (std::find(kinds.begin(), kinds.end(), e.kind) != kinds.end()) out.push_back(e);
  return out;
}

std::string Hex(const std::vector<uint8_t> &bytes) {
  std::string s;
  char b[4];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02X", v);
    if (!s.empty()) s += ' ';
    s += b;
  }
  return s;
}

}  // namespace fake

using fake::Ev;
using fake::state;

namespace {

void Close(Device &) {
  std::lock_guard<std::recursive_mutex> guard(fake::StateLock());
  state.log.push_back({Ev::DtrOff});
  state.log.push_back({Ev::Purge});
  state.log.push_back({Ev::Close});
  state.input.clear();
  state.openDevices--;
}

void Abandon(Device &) {
  std::lock_guard<std::recursive_mutex> guard(fake::StateLock());
  state.openDevices--;
}

void Purge(Device &) {
  std::lock_guard<std::recursive_mutex> guard(fake::StateLock());
  state.log.push_back({Ev::Purge});
  state.input.clear();
}

IoResult Read(Device &, int64_t, size_t, uint8_t *data, size_t size, size_t *got, char *why, size_t whySize) {
  std::lock_guard<std::recursive_mutex> guard(fake::StateLock());
  *got = 0;
  if (state.input.empty()) {
    state.log.push_back({Ev::ReadTimeout});
    if (state.lost) std::snprintf(why, whySize, "the server closed the connection");
    return state.lost ? IoResult::kLost : IoResult::kTimeout;
  }
  while (*got < size && !state.input.empty()) {
    data[*got] = state.input.front();
    state.input.pop_front();
    state.log.push_back({Ev::Read, data[(*got)++]});
  }
  return IoResult::kDone;
}

IoResult Write(Device &, int64_t, const uint8_t *data, size_t n, char *why, size_t whySize) {
  std::lock_guard<std::recursive_mutex> guard(fake::StateLock());
  state.writes.emplace_back(data, data + n);
  for (size_t i = 0; i < n; i++) {
    state.log.push_back({Ev::Write, data[i]});
    if (state.writeFails) {
      std::snprintf(why, whySize, "fake write failure");
      return IoResult::kFailed;
    }
    if (state.onWrite) state.onWrite(data[i]);
  }
  return IoResult::kDone;
}

bool SetRts(Device &, bool high) {
  std::lock_guard<std::recursive_mutex> guard(fake::StateLock());
  state.log.push_back({high ? Ev::RtsOn : Ev::RtsOff});
  return true;
}

void Pause(Device &, uint32_t ms) {
  std::lock_guard<std::recursive_mutex> guard(fake::StateLock());
  state.log.push_back({Ev::Sleep, ms});
}

bool Open(Device &, int, const char *, const LineSettings &, DeviceOpenInfo &) {
  std::lock_guard<std::recursive_mutex> guard(fake::StateLock());
  return false;  // DeviceOpen below does the opening
}

constexpr uint32_t kCaps = kCapLineSettings | kCapModemLines | kCapSettles;
const DeviceOps kFake = {nullptr, kCaps, 40, Open, Close, Abandon, Purge, Read, Write, SetRts, Pause};

}  // namespace

bool DeviceOpen(Device &d, int port, const LineSettings &line, DeviceOpenInfo &info) {
  std::lock_guard<std::recursive_mutex> guard(fake::StateLock());
  info = DeviceOpenInfo{};
  std::snprintf(info.path, sizeof info.path, "COM%d", port + 1);
  state.log.push_back({Ev::Open});
  state.lastName = info.path;
  if (state.missing.count(info.path)) {
    info.failure = OpenFailure::kNoDevice;
    return false;
  }
  if (auto refused = state.refusing.find(info.path); refused != state.refusing.end()) {
    info.failure = refused->second;
    std::snprintf(info.osText, sizeof info.osText, "fake refusal");
    return false;
  }
  state.log.push_back({Ev::Line, line.baudRate});
  state.lastLine = line;
  if (state.lineFails) {
    info.failure = OpenFailure::kLineRefused;
    std::snprintf(info.osText, sizeof info.osText, "fake failure");
    state.log.push_back({Ev::Close});
    return false;
  }
  state.log.push_back({Ev::DtrOn});
  state.log.push_back({Ev::RtsOn});
  state.openDevices++;
  d.ops = &kFake;
  d.os = port + 1;
  return true;
}
