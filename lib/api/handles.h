// The handle table behind the exports, and the library's part in the life of
// the process: load, unload and fork.
#pragma once
#include <atomic>
#include <cstdint>

#include "base/fair_lock.h"

constexpr int kHandleCount = 32;

struct HandleSlot {
  std::atomic<int32_t> inUse;    // 1 while the handle is open
  std::atomic<int32_t> opening;  // reserved by a VelOpen in progress
  std::atomic<uint16_t> port;    // port of the link behind the handle
  std::atomic<uint8_t> fxAreas;  // FxAreas chosen when the handle was opened
  FairLock lock;                 // serializes all calls on this handle
};

HandleSlot &Slot(int handle);  // handle in 0..31

// Reserves the lowest slot that is neither open nor reserved; -1 if none.
int ReserveSlot();

// The first attach readies the tables. The detach that brings the count back
// to 0 (unload or process exit) closes every handle and port that no thread
// is using, and never waits: threads inside a transfer at process exit keep
// their ports, which the OS closes.
void LibraryAttach();
void LibraryDetach();
// In a forked child, before it runs on: the handles and ports are the
// parent's. The child neither uses nor closes them (its calls on inherited
// handles return -99); it may open its own.
void LibraryForkChild();

// For the length of an export call: a thread that is cancelled inside the
// call leaves when the call has returned, with every lock released and no
// slot reserved. Implemented by the platform (call_scope_posix.cpp,
// call_scope_win32.cpp).
class CallScope {
 public:
  CallScope();
  ~CallScope();
  CallScope(const CallScope &) = delete;
  CallScope &operator=(const CallScope &) = delete;

 private:
  int saved_;
};
