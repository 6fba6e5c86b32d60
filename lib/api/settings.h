// The library's settings: VELDRV_* variables of the process environment
// (VELDRV_COM<n>, VELDRV_DEVICE_DIR, VELDRV_TRACE, VELDRV_FRAME_BYTES), read
// when they are used, so that a program may set them before each open.
#pragma once
#include <cstddef>

// The value of variable into value; false when it is unset, empty or does
// not fit. On Windows the process environment itself is read, so a value a
// program set with SetEnvironmentVariable (.NET, VB) counts as well.
bool ReadSetting(const char *variable, char *value, size_t size);
