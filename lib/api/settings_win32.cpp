#include <windows.h>

#include "settings.h"

bool ReadSetting(const char *variable, char *value, size_t size) {
  DWORD len = GetEnvironmentVariableA(variable, value, static_cast<DWORD>(size));
  return len > 0 && len < size;
}
