// Minimal controllers that answer the fake device, for transfers of many
// frames: they record each request frame and answer it from a memory image.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_device.h"

struct PeerFrame {
  bool write;
  uint16_t address;
  int n;
};

class FxPeer {
 public:
  FxPeer();
  std::array<uint8_t, 65536> memory{};
  std::vector<PeerFrame> frames;

 private:
  void OnByte(uint8_t b);
  std::string request_;
  bool inFrame_ = false;
  int afterEtx_ = -1;
};

class APeer {
 public:
  explicit APeer(uint8_t session);
  std::array<uint8_t, 65536> memory{};
  std::vector<PeerFrame> frames;
  std::vector<uint8_t> prefixes;  // session bytes seen ahead of requests
  int handshakes = 0;
  uint8_t session;

 private:
  void OnByte(uint8_t b);
  std::vector<uint8_t> request_;
  enum { kIdle, kWakeUp, kRequest } state_ = kIdle;
};
