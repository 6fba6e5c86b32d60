#include <cstdio>
#include <cstdlib>

#include "settings.h"

Setting ReadSetting(const char *variable, char *value, size_t size) {
  const char *found = std::getenv(variable);
  if (!found || !*found) return Setting::kUnset;
  int len = std::snprintf(value, size, "%s", found);
  return len > 0 && static_cast<size_t>(len) < size ? Setting::kSet : Setting::kTooLong;
}
