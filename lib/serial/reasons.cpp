#include "reasons.h"

#include <cstdarg>
#include <cstdio>

#include "ports.h"

namespace {

thread_local int openStatus = 0;
thread_local char openReason[kReasonBytes];

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
  CopyReason(text, size, openReason);
  return openStatus;
}

void NotePortFailure(int port, const char *format, ...) {
  PortRecord *p = PortRecordOf(port);
  if (!p || p->reason[0]) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(p->reason, sizeof p->reason, format, args);
  va_end(args);
}

void ClearPortReason(int port) {
  if (PortRecord *p = PortRecordOf(port)) p->reason[0] = '\0';
}

const char *PortFailure(int port) {
  const PortRecord *p = PortRecordOf(port);
  return p ? p->reason : "";
}

void PortReason(int port, int status, char *text, int size) {
  const PortRecord *p = PortRecordOf(port);
  if (!p) return CopyReason(text, size, StatusText(status));
  if (!text || size <= 0) return;
  const size_t most = static_cast<size_t>(size) < kReasonBytes ? static_cast<size_t>(size) : kReasonBytes;
  const int length = std::snprintf(text, most, "COM%d (%.120s): %s", port + 1, p->path,
                                   p->reason[0] ? p->reason : StatusText(status));
  if (length < 0) text[0] = '\0';
}
