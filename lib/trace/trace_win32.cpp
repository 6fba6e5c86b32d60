// The trace's thread numbers and output on Windows.
#include <windows.h>

#include <cstring>

#include "trace.h"

unsigned long TraceThreadId() {
  return GetCurrentThreadId();
}

namespace {

HANDLE standardError() {
  return GetStdHandle(STD_ERROR_HANDLE);
}

}  // namespace

intptr_t TraceOpenOutput(const char *target) {
  if (std::strcmp(target, "stderr") == 0) {
    HANDLE h = standardError();
    return h == nullptr || h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(h);
  }
  // FILE_APPEND_DATA: every write lands at the end, also beside other writers.
  HANDLE h = CreateFileA(target, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(h);
}

void TraceWriteOutput(intptr_t output, const char *text, size_t size) {
  HANDLE h = reinterpret_cast<HANDLE>(output);
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(h, text, static_cast<DWORD>(size), &written, nullptr) || written == 0) return;
    text += written;
    size -= written;
  }
}

void TraceCloseOutput(intptr_t output) {
  HANDLE h = reinterpret_cast<HANDLE>(output);
  if (h != standardError()) CloseHandle(h);
}
