#include "reasons.h"

#include <cstdarg>
#include <cstdio>

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
  if (static_cast<unsigned>(port) >= kPortCount || portReasons[port][0]) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(portReasons[port], kReasonBytes, format, args);
  va_end(args);
}

void ClearPortReason(int port) {
  if (static_cast<unsigned>(port) < kPortCount) portReasons[port][0] = '\0';
}

const char *PortFailure(int port) {
  return static_cast<unsigned>(port) < kPortCount ? portReasons[port] : "";
}

void PortReason(int port, int status, char *text, int size) {
  if (static_cast<unsigned>(port) >= kPortCount) return CopyReason(text, size, StatusText(status));
  if (!text || size <= 0) return;
  const size_t most = static_cast<size_t>(size) < kReasonBytes ? static_cast<size_t>(size) : kReasonBytes;
  const int length = std::snprintf(text, most, "COM%d (%.120s): %s", port + 1, PortEntry(port).path,
                                   portReasons[port][0] ? portReasons[port] : StatusText(status));
  if (length < 0) text[0] = '\0';
}
