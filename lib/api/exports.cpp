// The six exports.
#include <cstdio>
#include <mutex>

#include "../links/areas.h"
#include "../links/links.h"
#include "../serial/ports.h"
#include "../serial/reasons.h"
#include "../trace/trace.h"
#include "handles.h"
#include "veldrv.h"

namespace {

bool ValidHandle(int handle) {
  return handle >= 0 && handle < kHandleCount;
}

// The port of a handle for the trace: -1 when the handle names none.
int TracePort(int handle) {
  return ValidHandle(handle) && Slot(handle).inUse ? static_cast<int>(Slot(handle).port) : -1;
}

enum Direction { kRead, kWrite };
enum Unit { kBytes, kWords };

int Transfer(Direction dir, Unit unit, int handle, int letter, int start, int count, void *buffer) {
  if (!ValidHandle(handle)) return VEL_BAD_HANDLE;
  HandleSlot &slot = Slot(handle);
  std::lock_guard<FairLock> guard(slot.lock);
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
    using AreaTransfer = int (*)(int, int, int, int, void *, FxAreas);
    const AreaTransfer areas[2][2] = {{AreaReadBytes, AreaReadWords}, {AreaWriteBytes, AreaWriteWords}};
    result = areas[dir][unit](letter, port, start, count, buffer, static_cast<FxAreas>(slot.fxAreas.load()));
  }
  return ExportedStatus(result);
}

// One trace line per transfer call: arguments and result.
int TracedTransfer(const char *name, Direction dir, Unit unit, int handle, int letter, int start, int count,
                   void *buffer) {
  CallScope scope;
  int result = Transfer(dir, unit, handle, letter, start, count, buffer);
  if (Tracing()) {
    char shown[8];
    std::snprintf(shown, sizeof shown, letter > 0x20 && letter < 0x7F ? "'%c'" : "%d", letter);
    TraceLine(TracePort(handle), "%s(%d, %s, %d, %d) = %d", name, handle, shown, start, count, result);
  }
  return result;
}

}  // namespace

extern "C" {

VELDRV_API int VELDRV_CALL VelOpen(int port, int fx) {
  CallScope scope;
  TraceConfigure();
  int result = VEL_NO_HANDLE;
  int h = -1;
  if (static_cast<uint16_t>(port) >= kPortCount) {
    result = VEL_PORT;
    NoteOpenFailure(VEL_PORT, "port %d is not one of 0..15 (COM1..COM16)", port);
  } else if ((h = ReserveSlot()) < 0) {
    NoteOpenFailure(VEL_NO_HANDLE, "all 32 link handles are in use; close one first");
  }
  if (h >= 0) {
    HandleSlot &slot = Slot(h);
    std::lock_guard<FairLock> guard(slot.lock);
    slot.port = 0;
    FxAreas fxAreas = FxAreas::kController;
    result = fx ? LinkOpenFx(port, &fxAreas) : LinkOpenA(port);
    if (result == 0) {
      slot.fxAreas = static_cast<uint8_t>(fxAreas);
      slot.port = static_cast<uint16_t>(port);
      slot.inUse = 1;
      result = h;
    }
    slot.opening = 0;
  }
  if (Tracing()) {
    uint16_t p = static_cast<uint16_t>(port);
    TraceLine(p < 16 ? p : -1, "VelOpen(%d, %d) = %d", port, fx, result);
  }
  return result;
}

VELDRV_API int VELDRV_CALL VelClose(int handle) {
  CallScope scope;
  int port = -1;
  int result = VEL_BAD_HANDLE;
  if (ValidHandle(handle)) {
    HandleSlot &slot = Slot(handle);
    std::lock_guard<FairLock> guard(slot.lock);
    if (slot.inUse) {  // a free slot has no port to release
      port = slot.port;
      if (LinkClose(slot.port) != 0) {
        result = VEL_CHECKSUM;
      } else {
        slot.inUse = 0;
        result = VEL_OK;
      }
    }
  }
  if (Tracing()) TraceLine(port, "VelClose(%d) = %d", handle, result);
  return result;
}

VELDRV_API int VELDRV_CALL VelReason(int handle, char *text, int size) {
  CallScope scope;
  if (handle == -1) return OpenReason(text, size);
  CopyReason(text, size, "");
  if (!ValidHandle(handle)) return VEL_BAD_HANDLE;
  HandleSlot &slot = Slot(handle);
  std::lock_guard<FairLock> guard(slot.lock);
  if (!slot.inUse) return VEL_BAD_HANDLE;
  const int port = slot.port;
  PortGuard portGuard(port);
  const int status = ExportedStatus(LinkLookup(port)->status);
  if (status != VEL_OK) PortReason(port, status, text, size);
  return status;
}

VELDRV_API const char *VELDRV_CALL VelStatusText(int code) {
  return StatusText(code);
}

VELDRV_API int VELDRV_CALL VelRdB(int handle, int letter, int start, int count, void *buffer) {
  return TracedTransfer("VelRdB", kRead, kBytes, handle, letter, start, count, buffer);
}

VELDRV_API int VELDRV_CALL VelRdW(int handle, int letter, int start, int count, void *buffer) {
  return TracedTransfer("VelRdW", kRead, kWords, handle, letter, start, count, buffer);
}

VELDRV_API int VELDRV_CALL VelWrB(int handle, int letter, int start, int count, void *buffer) {
  return TracedTransfer("VelWrB", kWrite, kBytes, handle, letter, start, count, buffer);
}

VELDRV_API int VELDRV_CALL VelWrW(int handle, int letter, int start, int count, void *buffer) {
  return TracedTransfer("VelWrW", kWrite, kWords, handle, letter, start, count, buffer);
}

}  // extern "C"
