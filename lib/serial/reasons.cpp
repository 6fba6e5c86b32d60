#include "reasons.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ports.h"

namespace {

thread_local int openStatus = 0;
thread_local char openReason[kReasonBytes];
char portReasons[kPortCount][kReasonBytes];

}  // namespace

void CopyReason(char *text, int size, const char *from) {
  if (!text || size <= 0) return;
  std::snprintf(text, static_cast<size_t>(size), "%s", from);
}

void NoteOpenFailure(int status, const char *format, ...) {
  openStatus = status;
  va_list args;
  va_start(args, format);
  std::vsnprintf(openReason, sizeof openReason, format, args);
  va_end(args);
}

int OpenReason(char *text, int size) {
  CopyReason(text, size, openStatus ? openReason : "");
  return openStatus;
}

void NotePortFailure(int port, const char *format, ...) {
  if (static_cast<unsigned>(port) >= kPortCount) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(portReasons[port], kReasonBytes, format, args);
  va_end(args);
}

void ClearPortReason(int port) {
  if (static_cast<unsigned>(port) < kPortCount) portReasons[port][0] = '\0';
}

void PortReason(int port, int status, char *text, int size) {
  if (static_cast<unsigned>(port) >= kPortCount) return CopyReason(text, size, StatusText(status));
  if (portReasons[port][0]) return CopyReason(text, size, portReasons[port]);
  char fallback[kReasonBytes];
  std::snprintf(fallback, sizeof fallback, "COM%d (%.120s): %s", port + 1, PortEntry(port).path,
                StatusText(status));
  CopyReason(text, size, fallback);
}
