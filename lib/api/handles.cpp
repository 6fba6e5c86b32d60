#include "handles.h"

#include <mutex>

#include "serial/ports.h"
#include "trace/trace.h"

namespace {

HandleSlot slots[kHandleCount];
std::atomic<int32_t> attachCount{0};
FairLock searchLock;  // two concurrent VelOpen never take the same slot

void FreeSlot(HandleSlot &slot) {
  slot.inUse = 0;
  slot.opening = 0;
  slot.port = 0;
  slot.fxAreas = 0;
}

}  // namespace

HandleSlot &Slot(int handle) {
  return slots[handle];
}

int ReserveSlot() {
  std::lock_guard<FairLock> guard(searchLock);
  for (int h = 0; h < kHandleCount; h++) {
    HandleSlot &slot = slots[h];
    if (!slot.inUse && !slot.opening) {
      slot.opening = 1;
      return h;
    }
  }
  return -1;
}

void LibraryAttach() {
  if (attachCount.fetch_add(1) == 0)
    for (HandleSlot &slot : slots) FreeSlot(slot);
}

void LibraryDetach() {
  int32_t count = attachCount.load();
  do {
    if (count <= 0) return;
  } while (!attachCount.compare_exchange_weak(count, count - 1));
  if (count != 1) return;
  TraceTeardown();
  // A slot whose lock is held belongs to a call in progress: at process exit
  // (or in a signal handler that interrupted it) that call never returns.
  for (HandleSlot &slot : slots) {
    if (!slot.lock.try_lock()) continue;
    FreeSlot(slot);
    slot.lock.unlock();
  }
  PortCloseAll();
}

void LibraryForkChild() {
  searchLock.Reset();
  for (HandleSlot &slot : slots) {
    slot.lock.Reset();
    FreeSlot(slot);
  }
  PortForgetAll();
  TraceForkChild();
}
