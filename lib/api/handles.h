// The handle table behind the exports, and the library's attach/detach.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

constexpr int kHandleCount = 32;

struct HandleSlot {
  std::atomic<int32_t> inUse;    // 1 while the handle is open
  std::atomic<int32_t> opening;  // reserved by a VelOpen in progress
  uint16_t port;                 // port of the link behind the handle
  std::mutex lock;               // serializes all calls on this handle
};

HandleSlot &Slot(int handle);  // handle in 0..31

// Process notifications: the first attach readies the tables, the detach that
// brings the count back to 0 closes every handle and every port.
void LibraryAttach();
void LibraryDetach();
