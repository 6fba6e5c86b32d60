// The six exports.
#include <mutex>

#include "../links/areas.h"
#include "../links/links.h"
#include "handles.h"
#include "veldrv.h"

namespace {

std::mutex searchLock;  // two concurrent VelOpen never take the same slot

bool ValidHandle(int handle) {
  return handle >= 0 && handle < kHandleCount;
}

// Reserves the lowest free slot, or returns -1.
int ReserveSlot() {
  std::lock_guard<std::mutex> guard(searchLock);
  for (int h = 0; h < kHandleCount; h++) {
    HandleSlot &slot = Slot(h);
    if (!slot.inUse && !slot.opening) {
      slot.opening = 1;
      return h;
    }
  }
  return -1;
}

enum Direction { kRead, kWrite };
enum Unit { kBytes, kWords };

int Transfer(Direction dir, Unit unit, int handle, int letter, int start, int count, void *buffer) {
  if (!ValidHandle(handle)) return VEL_BAD_HANDLE;
  HandleSlot &slot = Slot(handle);
  std::lock_guard<std::mutex> guard(slot.lock);
  if (!slot.inUse) return VEL_BAD_HANDLE;

  bool raw = IsRawLetter(letter);
  const OperandArea *area = AreaForLetter(letter);
  if (!raw && (!area || (dir == kWrite && !area->writable))) return VEL_BAD_LETTER;
  // A frame length is 16 bits: refuse counts that would wrap instead of
  // moving fewer bytes than asked and reporting success.
  int maxCount = unit == kBytes ? 0xFFFF : 0x7FFF;
  if (count < 0 || count > maxCount) return VEL_BAD_ARGUMENT;
  if (count != 0 && !buffer) return VEL_BAD_ARGUMENT;

  int port = slot.port;
  int result;
  if (raw) {
    using RawTransfer = int (*)(int, int64_t, int, void *);
    const RawTransfer raws[2][2] = {{RawReadBytes, RawReadWords}, {RawWriteBytes, RawWriteWords}};
    result = raws[dir][unit](port, start, count, buffer);
  } else {
    using AreaTransfer = int (*)(int, int, int, int, void *);
    const AreaTransfer areas[2][2] = {{AreaReadBytes, AreaReadWords}, {AreaWriteBytes, AreaWriteWords}};
    result = areas[dir][unit](letter, port, start, count, buffer);
  }
  return result == -2 ? VEL_WRONG_CHAR : result;
}

}  // namespace

extern "C" {

VELDRV_API int VELDRV_CALL VelOpen(int port, int fx) {
  int h = ReserveSlot();
  if (h < 0) return VEL_NO_HANDLE;
  HandleSlot &slot = Slot(h);
  std::lock_guard<std::mutex> guard(slot.lock);
  slot.port = 0;
  int result = fx ? LinkOpenFx(port) : LinkOpenA(port);
  if (result == 0) {
    slot.port = static_cast<uint16_t>(port);
    slot.inUse = 1;
    result = h;
  }
  slot.opening = 0;
  return result;
}

VELDRV_API int VELDRV_CALL VelClose(int handle) {
  if (!ValidHandle(handle)) return VEL_BAD_HANDLE;
  HandleSlot &slot = Slot(handle);
  std::lock_guard<std::mutex> guard(slot.lock);
  if (!slot.inUse) return VEL_BAD_HANDLE;  // a free slot has no port to release
  if (LinkClose(slot.port) != 0) return VEL_CHECKSUM;
  slot.inUse = 0;
  return VEL_OK;
}

VELDRV_API int VELDRV_CALL VelRdB(int handle, int letter, int start, int count, void *buffer) {
  return Transfer(kRead, kBytes, handle, letter, start, count, buffer);
}

VELDRV_API int VELDRV_CALL VelRdW(int handle, int letter, int start, int count, void *buffer) {
  return Transfer(kRead, kWords, handle, letter, start, count, buffer);
}

VELDRV_API int VELDRV_CALL VelWrB(int handle, int letter, int start, int count, void *buffer) {
  return Transfer(kWrite, kBytes, handle, letter, start, count, buffer);
}

VELDRV_API int VELDRV_CALL VelWrW(int handle, int letter, int start, int count, void *buffer) {
  return Transfer(kWrite, kWords, handle, letter, start, count, buffer);
}

}  // extern "C"
