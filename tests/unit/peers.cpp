#include "peers.h"

#include <cstdio>
#include <cstdlib>

namespace {

std::string HexByte(uint8_t v) {
  char b[3];
  std::snprintf(b, sizeof b, "%02X", v);
  return b;
}

int HexAt(const std::string &s, size_t at, size_t len) {
  return static_cast<int>(std::strtol(s.substr(at, len).c_str(), nullptr, 16));
}

}  // namespace

FxPeer::FxPeer() {
  fake::Get().onWrite = [this](uint8_t b) { OnByte(b); };
}

void FxPeer::OnByte(uint8_t b) {
  if (!inFrame_) {
    if (b == 0x05) fake::Answer({0x06});
    if (b == 0x02) {
      inFrame_ = true;
      request_.clear();
    }
    return;
  }
  request_ += static_cast<char>(b);
  if (b == 0x03 && afterEtx_ < 0)
    afterEtx_ = 0;
  else if (afterEtx_ >= 0 && ++afterEtx_ == 2) {
    inFrame_ = false;
    afterEtx_ = -1;
    bool write = request_[0] == '1';
    uint16_t address = static_cast<uint16_t>(HexAt(request_, 1, 4));
    int n = HexAt(request_, 5, 2);
    frames.push_back({write, address, n});
    if (write) {
      for (int i = 0; i < n; i++)
        memory[(address + i) & 0xFFFF] = static_cast<uint8_t>(HexAt(request_, 7 + 2 * i, 2));
      fake::Answer({0x06});
      return;
    }
    std::string reply;
    for (int i = 0; i < n; i++) reply += HexByte(memory[(address + i) & 0xFFFF]);
    reply += '\x03';
    uint8_t sum = 0;
    for (char c : reply) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    fake::Answer(std::string("\x02") + reply + HexByte(sum));
  }
}

APeer::APeer(uint8_t s) : session(s) {
  fake::Get().onWrite = [this](uint8_t b) { OnByte(b); };
}

void APeer::OnByte(uint8_t b) {
  switch (state_) {
  case kIdle:
    if (b == 0xAA) {
      state_ = kWakeUp;
    } else {
      prefixes.push_back(b);
      request_.clear();
      state_ = kRequest;
    }
    return;
  case kWakeUp:
    if (b == 0xB0) {
      handshakes++;
      fake::Answer({0x11, session});
    }
    state_ = kIdle;
    return;
  case kRequest:
    request_.push_back(b);
    if (request_.size() < 2 || request_.size() < 2u + (request_[0] | request_[1] << 8)) return;
    state_ = kIdle;
    bool write = request_[3] == 0x04;
    uint16_t address = static_cast<uint16_t>(request_[4] | request_[5] << 8);
    int n = request_[7];
    frames.push_back({write, address, n});
    if (write) {
      for (int i = 0; i < n; i++) memory[(address + i) & 0xFFFF] = request_[8 + i];
      fake::Answer({0x03, 0x00, 0xFF, 0x04, 0x06});
      return;
    }
    std::vector<uint8_t> reply = {static_cast<uint8_t>((n + 3) & 0xFF), static_cast<uint8_t>((n + 3) >> 8),
                                  0xFF, 0x02};
    for (int i = 0; i < n; i++) reply.push_back(memory[(address + i) & 0xFFFF]);
    uint8_t sum = 0;
    for (uint8_t v : reply) sum = static_cast<uint8_t>(sum + v);
    reply.push_back(sum);
    fake::Get().input.insert(fake::Get().input.end(), reply.begin(), reply.end());
  }
}
