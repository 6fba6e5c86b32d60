#include "codeset.h"

// The Windows console shows the OEM code page: the CP850 bytes go out as they are.
bool ConsoleWantsUtf8() {
  return false;
}
