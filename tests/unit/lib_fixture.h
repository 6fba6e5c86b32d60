// Every unit test starts with the library attached and a fresh fake device,
// and ends with the library detached (all handles and ports closed).
#pragma once
#include <gtest/gtest.h>

#include "api/handles.h"
#include "fake_device.h"
#include "library_settings.h"
#include "links/links.h"

class LibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearLibrarySettings();  // the fake device stands for every port; no setting of the shell applies
    fake::Reset();
    LibraryAttach();
  }
  void TearDown() override {
    LibraryDetach();
    fake::Reset();
  }
};

// A transfer at a raw controller address on a port's link, as the exports
// hand it down: bytes, or 16-bit words.
inline Status Transfer(Direction direction, int64_t address, int count, uint8_t *buffer, bool words = false,
                       int port = 0) {
  return LinkTransfer(port, Request{direction, words, nullptr, FxAreas::kController, address, count, buffer});
}
inline Status Read(int64_t address, int count, uint8_t *buffer, bool words = false, int port = 0) {
  return Transfer(Direction::kRead, address, count, buffer, words, port);
}
inline Status Write(int64_t address, int count, const uint8_t *buffer, bool words = false, int port = 0) {
  return Transfer(Direction::kWrite, address, count, const_cast<uint8_t *>(buffer), words, port);
}
