// The exports.
#include <cstdio>
#include <mutex>

#include "handles.h"
#include "links/links.h"
#include "serial/ports.h"
#include "serial/reasons.h"
#include "trace/trace.h"
#include "veldrv.h"

// The library's status codes are the exported ones.
static_assert(kStatusTimeout == VEL_TIMEOUT && kStatusNoHandle == VEL_NO_HANDLE &&
              kStatusChecksum == VEL_CHECKSUM && kStatusPort == VEL_PORT &&
              kStatusBadArgument == VEL_BAD_ARGUMENT && kStatusWrongChar == VEL_WRONG_CHAR &&
              kStatusBadLetter == VEL_BAD_LETTER && kStatusBadHandle == VEL_BAD_HANDLE);

namespace {

bool ValidHandle(int handle) {
  return handle >= 0 && handle < kHandleCount;
}

// The port of a handle for the trace: -1 when the handle names none.
int TracePort(int handle) {
  return ValidHandle(handle) && Slot(handle).inUse ? static_cast<int>(Slot(handle).port) : -1;
}

Status Transfer(Direction dir, bool words, int handle, int letter, int start, int count, void *buffer) {
  if (!ValidHandle(handle)) return kStatusBadHandle;
  HandleSlot &slot = Slot(handle);
  std::lock_guard<FairLock> guard(slot.lock);
  if (!slot.inUse) return kStatusBadHandle;

  const OperandArea *area = AreaForLetter(letter);
  if (!IsRawLetter(letter) && (!area || (dir == Direction::kWrite && !area->writable)))
    return kStatusBadLetter;
  // A frame length is 16 bits: refuse counts that would wrap instead of
  // moving fewer bytes than asked and reporting success.
  if (count < 0 || count > (words ? 0x7FFF : 0xFFFF)) return kStatusBadArgument;
  if (count != 0 && !buffer) return kStatusBadArgument;
  const Request request = {dir,
                           words,
                           area,
                           static_cast<FxAreas>(slot.fxAreas.load()),
                           start,
                           count,
                           static_cast<uint8_t *>(buffer)};
  return LinkTransfer(slot.port, request);
}

// One trace line per transfer call: arguments and result.
int TracedTransfer(const char *name, Direction dir, bool words, int handle, int letter, int start, int count,
                   void *buffer) {
  CallScope scope;
  int result = Transfer(dir, words, handle, letter, start, count, buffer);
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
  char traceProblem[kReasonBytes];
  const bool traceFailed = TraceConfigure(traceProblem, sizeof traceProblem);
  int result = kStatusNoHandle;
  int h = -1;
  if (static_cast<uint16_t>(port) >= kPortCount) {
    result = kStatusPort;
    NoteOpenFailure(kStatusPort, "port %d is not one of 0..15 (COM1..COM16)", port);
  } else if ((h = ReserveSlot()) < 0) {
    NoteOpenFailure(kStatusNoHandle, "all 32 link handles are in use; close one first");
  }
  if (h >= 0) {
    HandleSlot &slot = Slot(h);
    std::lock_guard<FairLock> guard(slot.lock);
    slot.port = 0;
    FxAreas fxAreas = FxAreas::kController;
    result = fx ? LinkOpenFx(port, &fxAreas) : LinkOpenA(port);
    if (result == kStatusOk) {
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
  // A trace that could not be opened is told once, by the first open that
  // succeeds: a failed open's own reason comes first.
  if (traceFailed && result >= 0) {
    NoteOpenFailure(kStatusOk, "%s", traceProblem);
    TraceProblemTold();
  }
  return result;
}

VELDRV_API int VELDRV_CALL VelClose(int handle) {
  CallScope scope;
  int port = -1;
  int result = kStatusBadHandle;
  if (ValidHandle(handle)) {
    HandleSlot &slot = Slot(handle);
    std::lock_guard<FairLock> guard(slot.lock);
    if (slot.inUse) {  // a free slot has no port to release
      port = slot.port;
      LinkClose(port);
      slot.inUse = 0;
      result = kStatusOk;
    }
  }
  if (Tracing()) TraceLine(port, "VelClose(%d) = %d", handle, result);
  return result;
}

VELDRV_API int VELDRV_CALL VelReason(int handle, char *text, int size) {
  CallScope scope;
  if (handle == -1) return OpenReason(text, size);
  CopyReason(text, size, "");
  if (!ValidHandle(handle)) return kStatusBadHandle;
  HandleSlot &slot = Slot(handle);
  std::lock_guard<FairLock> guard(slot.lock);
  if (!slot.inUse) return kStatusBadHandle;
  const int port = slot.port;
  PortGuard portGuard(port);
  const int status = LinkLookup(port)->status;
  if (status != kStatusOk) PortReason(port, status, text, size);
  return status;
}

VELDRV_API const char *VELDRV_CALL VelStatusText(int code) {
  return StatusText(code);
}

VELDRV_API int VELDRV_CALL VelRdB(int handle, int letter, int start, int count, void *buffer) {
  return TracedTransfer("VelRdB", Direction::kRead, false, handle, letter, start, count, buffer);
}

VELDRV_API int VELDRV_CALL VelRdW(int handle, int letter, int start, int count, void *buffer) {
  return TracedTransfer("VelRdW", Direction::kRead, true, handle, letter, start, count, buffer);
}

VELDRV_API int VELDRV_CALL VelWrB(int handle, int letter, int start, int count, void *buffer) {
  return TracedTransfer("VelWrB", Direction::kWrite, false, handle, letter, start, count, buffer);
}

VELDRV_API int VELDRV_CALL VelWrW(int handle, int letter, int start, int count, void *buffer) {
  return TracedTransfer("VelWrW", Direction::kWrite, true, handle, letter, start, count, buffer);
}

}  // extern "C"
