// The library's settings: VELDRV_* variables of the process environment
// (VELDRV_COM<n>, VELDRV_DEVICE_DIR, VELDRV_TRACE, VELDRV_FRAME_BYTES), read
// when they are used, so that a program may set them before each open.
#pragma once
#include <cstddef>

enum class Setting {
  kUnset,    // not set, or empty
  kSet,      // value holds it
  kTooLong,  // set, but longer than value can hold: never taken for unset
};

// The value of variable into value. On Windows the process environment
// itself is read, so a value a program set with SetEnvironmentVariable
// (.NET, VB) counts as well.
Setting ReadSetting(const char *variable, char *value, size_t size);
