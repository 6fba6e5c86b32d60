#include "error_text_win32.h"

#include <windows.h>

#include <cstdio>

void WindowsErrorText(unsigned long error, char *text, size_t size, const char *fallback) {
  char *words = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char *>(&words), 0, nullptr);
  std::snprintf(text, size, "%s (error %lu)", words ? words : fallback, error);
  LocalFree(words);
  for (char *c = text; *c; c++)  // FormatMessage ends its text with a line break
    if (*c == '\r' || *c == '\n') *c = ' ';
}
