#include "fake_device.h"

#include <algorithm>
#include <cstdio>

struct Device {
  int id;
};

namespace fake {

namespace {
State state;
Device devices[16];
}  // namespace

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

Device *DeviceOpen(int port, DeviceOpenInfo *info) {
  *info = DeviceOpenInfo{};
  std::snprintf(info->path, sizeof info->path, "COM%d", port + 1);
  state.log.push_back({Ev::Open});
  state.lastName = info->path;
  if (state.missing.count(info->path)) {
    info->failure = OpenFailure::kNoDevice;
    return nullptr;
  }
  if (auto refused = state.refusing.find(info->path); refused != state.refusing.end()) {
    info->failure = refused->second;
    std::snprintf(info->osText, sizeof info->osText, "fake refusal");
    return nullptr;
  }
  state.openDevices++;
  fake::devices[port & 15].id = port + 1;
  return &fake::devices[port & 15];
}

void DeviceClose(Device *) {
  state.log.push_back({Ev::Close});
  state.openDevices--;
}

void DeviceAbandon(Device *) {
  state.openDevices--;
}

void DeviceErrorText(char *text, size_t size) {
  std::snprintf(text, size, "fake failure");
}

bool DeviceSetEventMask(Device *, uint32_t mask) {
  state.log.push_back({Ev::EventMask, mask});
  return true;
}

bool DeviceSetQueues(Device *, uint32_t in, uint32_t) {
  state.log.push_back({Ev::Queues, in});
  return true;
}

bool DeviceSetTimeouts(Device *, const DeviceTimeouts &t) {
  state.log.push_back({Ev::Timeouts, t.readIntervalMs});
  state.lastTimeouts = t;
  return true;
}

bool DeviceSetLine(Device *, const LineSettings &s) {
  state.log.push_back({Ev::Line, s.baudRate});
  state.lastLine = s;
  if (!state.lineFails) {
    state.log.push_back({Ev::DtrOn});
    state.log.push_back({Ev::RtsOn});
  }
  return !state.lineFails;
}

bool DevicePurge(Device *) {
  state.log.push_back({Ev::Purge});
  state.input.clear();
  return true;
}

bool DeviceClearError(Device *) {
  state.log.push_back({Ev::ClearError});
  return true;
}

IoResult DeviceReadByte(Device *, uint8_t *byte, char *why, size_t size) {
  if (state.input.empty()) {
    state.log.push_back({Ev::ReadTimeout});
    if (state.lost) std::snprintf(why, size, "the server closed the connection");
    return state.lost ? IoResult::kLost : IoResult::kTimeout;
  }
  *byte = state.input.front();
  state.input.pop_front();
  state.log.push_back({Ev::Read, *byte});
  return IoResult::kDone;
}

IoResult DeviceWriteByte(Device *, uint8_t byte, char *why, size_t size) {
  state.log.push_back({Ev::Write, byte});
  if (state.writeFails) {
    std::snprintf(why, size, "fake write failure");
    return IoResult::kFailed;
  }
  if (state.onWrite) state.onWrite(byte);
  return IoResult::kDone;
}

bool DeviceSetRts(Device *) {
  state.log.push_back({Ev::RtsOn});
  return true;
}

bool DeviceClearRts(Device *) {
  state.log.push_back({Ev::RtsOff});
  return true;
}

bool DeviceClearDtr(Device *) {
  state.log.push_back({Ev::DtrOff});
  return true;
}

void DeviceSleep(uint32_t ms, bool alertable) {
  state.log.push_back({Ev::Sleep, ms, alertable});
}
