#include "fx_controller.h"

#include <cstdio>

namespace velsim {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lowercase letters are wrong characters too
}

// Two uppercase hex characters at s[pos]; -1 if either is not one.
int hexPair(const std::string &s, std::size_t pos) {
  int hi = hexValue(s[pos]), lo = hexValue(s[pos + 1]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

void appendHex(std::vector<std::uint8_t> &out, std::uint8_t v) {
  static const char digits[] = "0123456789ABCDEF";
  out.push_back(static_cast<std::uint8_t>(digits[v >> 4]));
  out.push_back(static_cast<std::uint8_t>(digits[v & 15]));
}

std::string charName(std::uint8_t c) {
  char buf[16];
  if (c >= 0x21 && c < 0x7F) {
    std::snprintf(buf, sizeof buf, "'%c'", c);
  } else {
    std::snprintf(buf, sizeof buf, "0x%02X", c);
  }
  return buf;
}

}  // namespace

std::vector<std::uint8_t> FxController::feed(std::uint8_t byte) {
  // ENQ opens a new exchange wherever the controller is: the library purges and starts over.
  if (byte == kEnq) {
    if (state_ == State::Body || state_ == State::Checksum) protocolError("request abandoned by ENQ", {});
    return answerEnq();
  }
  switch (state_) {
  case State::Idle:
    if (byte == kStx) {
      beginExchange();  // a request without ENQ
      body_.clear();
      state_ = State::Body;
    } else if (byte == kNak) {
      TraceEntry e;
      e.kind = TraceKind::LibraryNak;
      e.summary = "none";
      bool saved = inExchange_;
      inExchange_ = false;
      record(std::move(e), "NAK from library");
      inExchange_ = saved;
    } else {
      protocolError("unexpected " + charName(byte) + " outside a frame", {});
    }
    return {};
  case State::ExpectStx:
    if (byte == kStx) {
      body_.clear();
      state_ = State::Body;
      return {};
    }
    state_ = State::Idle;
    return reject("expected STX after ACK, got " + charName(byte));
  case State::Body:
    if (byte == kEtx) {
      checksum_.clear();
      state_ = State::Checksum;
    } else if (body_.size() >= kMaxBody) {
      state_ = State::Discard;  // until the next ENQ or a quiet line
      return reject("no ETX within " + std::to_string(kMaxBody) + " characters");
    } else {
      body_.push_back(static_cast<char>(byte));
    }
    return {};
  case State::Checksum:
    checksum_.push_back(static_cast<char>(byte));
    if (checksum_.size() < 2) return {};
    state_ = State::Idle;
    return answerRequest();
  case State::Discard:
    return {};
  }
  return {};
}

bool FxController::midFrame() const {
  return state_ != State::Idle;
}

void FxController::lineIdle() {
  if (state_ == State::Body || state_ == State::Checksum) protocolError("incomplete request", {});
  state_ = State::Idle;
  inExchange_ = false;
}

std::vector<std::uint8_t> FxController::answerEnq() {
  beginExchange();
  std::vector<std::uint8_t> out{kAck};
  if (active(FaultKind::NakToEnq)) out[0] = kNak;
  out = shape(std::move(out), true);
  state_ = out == std::vector<std::uint8_t>{kNak} ? State::Idle : State::ExpectStx;
  out = noise(std::move(out), true);
  if (out != std::vector<std::uint8_t>{kAck}) {
    TraceEntry e;
    e.kind = TraceKind::Handshake;
    e.answer = out;
    e.summary = summarize(out);
    record(std::move(e), "ENQ  ");
  }
  if (state_ == State::Idle) inExchange_ = false;
  return out;
}

std::vector<std::uint8_t> FxController::reject(const std::string &reason) {
  auto out = noise(shape({kNak}, false), false);
  protocolError(reason, out);
  inExchange_ = false;
  return out;
}

std::vector<std::uint8_t> FxController::readReply(std::uint16_t address, std::size_t n) {
  std::size_t pairs = n;
  if (active(FaultKind::PairMissing)) pairs = n - 1;
  if (active(FaultKind::PairExtra)) pairs = n + 1;
  std::vector<std::uint8_t> out{kStx};
  for (std::uint8_t b : read(address, pairs)) appendHex(out, b);
  out.push_back(kEtx);
  if (active(FaultKind::LowercaseHex)) {
    for (std::size_t i = 1; i < out.size(); ++i) {
      if (out[i] >= 'A' && out[i] <= 'F') out[i] += 'a' - 'A';
    }
  }
  std::uint8_t sum = 0;
  for (std::size_t i = 1; i < out.size(); ++i) sum += out[i];
  if (active(FaultKind::WrongChecksum)) ++sum;
  std::size_t at = out.size();
  appendHex(out, sum);
  if (active(FaultKind::LowercaseHex)) {
    for (std::size_t i = at; i < out.size(); ++i) {
      if (out[i] >= 'A' && out[i] <= 'F') out[i] += 'a' - 'A';
    }
  }
  return out;
}

std::vector<std::uint8_t> FxController::answerRequest() {
  const char cmd = body_.empty() ? '\0' : body_[0];
  if (cmd != '0' && cmd != '1') {
    return reject(body_.empty() ? std::string("empty request") : "unknown command " + charName(body_[0]));
  }
  for (std::size_t i = 1; i < body_.size(); ++i) {
    if (hexValue(body_[i]) < 0) {
      return reject("character " + charName(body_[i]) + " at " + std::to_string(i) +
                    " is no uppercase hex digit");
    }
  }
  if (body_.size() < 7)
    return reject("request body of " + std::to_string(body_.size()) + " characters is too short");
  const auto address = static_cast<std::uint16_t>(hexPair(body_, 1) << 8 | hexPair(body_, 3));
  const int n = hexPair(body_, 5);
  if (n < 1 || n > 254) return reject("count " + std::to_string(n) + " outside 1..254");
  const std::size_t want = cmd == '0' ? 7 : 7 + 2 * static_cast<std::size_t>(n);
  if (body_.size() != want) {
    return reject("request body has " + std::to_string(body_.size()) + " characters, expected " +
                  std::to_string(want));
  }
  std::uint8_t sum = kEtx;
  for (char c : body_) sum += static_cast<std::uint8_t>(c);
  const int got = hexPair(checksum_ + "  ", 0);
  if (got < 0)
    return reject("checksum characters " + charName(checksum_[0]) + " " + charName(checksum_[1]) +
                  " are no uppercase hex");
  if (got != sum) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "checksum %02X, expected %02X", got, sum);
    return reject(buf);
  }
  if (static_cast<std::size_t>(n) > maxFrame_) {
    return reject("count " + std::to_string(n) + " above the frame limit of " + std::to_string(maxFrame_));
  }

  TraceEntry e;
  e.address = address;
  e.count = static_cast<std::size_t>(n);
  char head[32];
  std::string what;
  std::vector<std::uint8_t> out;
  runClock();
  // With a model, the trace names the devices: "read  0x0103 n=1 (M24..M31)".
  std::string devices = model_ ? devicesTouched(*model_, address, e.count) : std::string();
  if (!devices.empty()) devices = " (" + devices + ")";
  if (cmd == '0') {
    e.kind = TraceKind::Read;
    e.data = read(address, e.count);
    out = shape(readReply(address, e.count), false);
    e.summary = hexList(e.data);
    std::snprintf(head, sizeof head, "read  0x%04X n=%d", address, n);
    what = head + devices;
  } else {
    e.kind = TraceKind::Write;
    for (int i = 0; i < n; ++i) e.data.push_back(static_cast<std::uint8_t>(hexPair(body_, 7 + 2 * i)));
    const bool nak = active(FaultKind::WriteNak);
    if (!nak) write(address, e.data);
    out = shape({nak ? kNak : kAck}, false);
    e.summary = summarize(out);
    std::snprintf(head, sizeof head, "write 0x%04X n=%d", address, n);
    what = head + devices + " " + hexList(e.data);
  }
  return finishRequest(std::move(out), std::move(e), what);
}

}  // namespace velsim
