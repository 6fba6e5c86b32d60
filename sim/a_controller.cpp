#include "a_controller.h"

#include <cstdio>

namespace velsim {

namespace {

std::string hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v);
  return buf;
}

}  // namespace

std::vector<std::uint8_t> AController::feed(std::uint8_t byte) {
  switch (state_) {
  case State::Idle:
  case State::ExpectPrefix:
    return prefixOrWake(byte);
  case State::AfterWake:
    if (byte == kWakeSecond) return handshake();
    if (wakeMaybePrefix_) {  // the 0xAA was the session prefix and this byte starts the request
      if (!inExchange_) beginExchange();
      frame_.assign(1, byte);
      state_ = State::Length;
      return {};
    }
    refuse("0xAA not followed by 0xB0 but " + hex2(byte), State::Discard);
    return {};
  case State::Length:
    frame_.push_back(byte);
    if (frame_.size() == 2) {
      const unsigned length = frame_[0] | frame_[1] << 8;
      // A read request has length 7, a write request 8..261.
      if (length < 7 || length > 7 + 254) {
        refuse("impossible request length " + std::to_string(length), State::Discard);
      } else {
        state_ = State::Body;
      }
    }
    return {};
  case State::Body: {
    frame_.push_back(byte);
    const std::size_t length = frame_[0] | frame_[1] << 8;
    if (frame_.size() < length + 2) return {};
    state_ = State::Idle;
    return answerRequest();
  }
  case State::Discard:
    return {};
  }
  return {};
}

std::vector<std::uint8_t> AController::prefixOrWake(std::uint8_t byte) {
  if (byte == kWake) {
    // With the session byte 0xAA the byte is ambiguous until the next one arrives.
    wakeMaybePrefix_ = haveSession_ && session_ == kWake;
    state_ = State::AfterWake;
    return {};
  }
  if (!haveSession_) {
    refuse("request without a session (no handshake yet), first byte " + hex2(byte), State::Discard);
  } else if (byte != session_) {
    refuse("session prefix " + hex2(byte) + ", expected " + hex2(session_), State::Discard);
  } else {
    if (!inExchange_) beginExchange();
    frame_.clear();
    state_ = State::Length;
  }
  return {};
}

std::vector<std::uint8_t> AController::handshake() {
  beginExchange();
  session_ = sessionByte_;
  haveSession_ = true;
  state_ = State::ExpectPrefix;
  std::vector<std::uint8_t> out = noise(shape({kHandshakeFirst, session_}, true), true);
  TraceEntry e;
  e.kind = TraceKind::Handshake;
  e.answer = out;
  e.summary = summarize(out);
  record(std::move(e), "handshake");
  return out;
}

bool AController::midFrame() const {
  return state_ == State::AfterWake || state_ == State::Length || state_ == State::Body ||
         state_ == State::Discard;
}

void AController::lineIdle() {
  if (state_ == State::AfterWake || state_ == State::Length || state_ == State::Body) {
    refuse("incomplete request", State::Idle);
  }
  state_ = State::Idle;
  inExchange_ = false;
}

void AController::refuse(const std::string &reason, State next) {
  protocolError(reason, {});
  state_ = next;
  inExchange_ = false;
}

std::vector<std::uint8_t> AController::answerRequest() {
  const std::size_t length = frame_[0] | frame_[1] << 8;
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i + 1 < frame_.size(); ++i) sum += frame_[i];
  const std::uint8_t cmd = frame_[3];
  const std::size_t n = frame_.size() > 7 ? frame_[7] : 0;
  std::string bad;
  if (frame_[2] != kMarker) {
    bad = "marker " + hex2(frame_[2]);
  } else if (cmd != kRead && cmd != kWrite) {
    bad = "command " + hex2(cmd);
  } else if (frame_[6] != 0x00) {
    bad = "byte 6 is " + hex2(frame_[6]) + ", not 0x00";
  } else if (n < 1 || n > 254) {
    bad = "count " + std::to_string(n) + " outside 1..254";
  } else if (length != (cmd == kRead ? 7 : n + 7)) {
    bad = "length " + std::to_string(length) + " does not fit count " + std::to_string(n);
  } else if (sum != frame_.back()) {
    bad = "checksum " + hex2(frame_.back()) + ", expected " + hex2(sum);
  } else if (n > maxFrame_) {
    bad = "count " + std::to_string(n) + " above the frame limit of " + std::to_string(maxFrame_);
  }
  if (!bad.empty()) {
    refuse(bad, State::Idle);
    return {};
  }

  TraceEntry e;
  e.address = static_cast<std::uint16_t>(frame_[4] | frame_[5] << 8);
  e.count = n;
  std::vector<std::uint8_t> out;
  char head[32];
  std::string what;
  if (cmd == kRead) {
    e.kind = TraceKind::Read;
    e.data = read(e.address, n);
    const std::size_t len = n + (active(FaultKind::WrongLength) ? 4 : 3);
    out = {static_cast<std::uint8_t>(len), static_cast<std::uint8_t>(len >> 8), kMarker, kRead};
    out.insert(out.end(), e.data.begin(), e.data.end());
    std::uint8_t ck = 0;
    for (std::uint8_t b : out) ck += b;
    if (active(FaultKind::WrongChecksum)) ++ck;
    out.push_back(ck);
    e.summary = hexList(e.data);
    std::snprintf(head, sizeof head, "read  0x%04X n=%zu", e.address, n);
    what = head;
  } else {
    e.kind = TraceKind::Write;
    e.data.assign(frame_.begin() + 8, frame_.end() - 1);
    const bool nak = active(FaultKind::WriteNak);
    if (!nak) write(e.address, e.data);
    out = {0x03, 0x00, kMarker, kWrite, 0x06};
    if (nak) out[0] = 0x15;
    if (active(FaultKind::WrongLength)) out[0] = 0x04;
    if (active(FaultKind::WrongChecksum)) out[4] = 0x07;
    e.summary = out == std::vector<std::uint8_t>{0x03, 0x00, kMarker, kWrite, 0x06} ? "ACK" : hexList(out);
    std::snprintf(head, sizeof head, "write 0x%04X n=%zu ", e.address, n);
    what = head + hexList(e.data);
  }
  out = shape(std::move(out), false);
  return finishRequest(std::move(out), std::move(e), what);
}

}  // namespace velsim
