#include <windows.h>

#include "settings.h"

Setting ReadSetting(const char *variable, char *value, size_t size) {
  DWORD len = GetEnvironmentVariableA(variable, value, static_cast<DWORD>(size));
  if (len == 0) return Setting::kUnset;
  return len < size ? Setting::kSet : Setting::kTooLong;
}
