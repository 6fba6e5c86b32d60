#include "handles.h"

#include "../serial/ports.h"
#include "veldrv.h"

namespace {

HandleSlot slots[kHandleCount];
int32_t attachCount;
std::mutex attachLock;

}  // namespace

HandleSlot &Slot(int handle) {
  return slots[handle];
}

void LibraryAttach() {
  std::lock_guard<std::mutex> guard(attachLock);
  if (attachCount++ == 0) {
    for (HandleSlot &slot : slots) {
      slot.port = 0;
      slot.inUse = 0;
      slot.opening = 0;
    }
  }
}

void LibraryDetach() {
  std::lock_guard<std::mutex> guard(attachLock);
  if (attachCount <= 0 || --attachCount != 0) return;
  for (int h = 0; h < kHandleCount; h++)
    if (slots[h].inUse) VelClose(h);
  for (HandleSlot &slot : slots) {
    slot.port = 0;
    slot.inUse = 0;
  }
  PortCloseAll();
}
