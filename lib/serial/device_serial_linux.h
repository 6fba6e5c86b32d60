// Pieces of the Linux serial backend that tests check on their own.
#pragma once
#include <termios.h>

#include <cstddef>

#include "device.h"

// Default path of the device called name ("COM1".."COM16") when no
// VELDRV_COMn names it: $VELDRV_DEVICE_DIR/COMn when that is set and not
// empty, else /dev/ttyS{n-1}. False for another name or a path that does not
// fit.
bool DevicePath(const char *name, char *path, size_t size);

// Raw mode with the line settings, on top of the settings tcgetattr read.
// False for a rate other than 9600 baud.
bool BuildTermios(const LineSettings &settings, termios *t);
