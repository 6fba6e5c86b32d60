// Every unit test starts with the library attached and a fresh fake device,
// and ends with the library detached (all handles and ports closed).
#pragma once
#include <gtest/gtest.h>

#include "api/handles.h"
#include "fake_device.h"

class LibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    LibraryAttach();
  }
  void TearDown() override {
    LibraryDetach();
    fake::Reset();
  }
};
