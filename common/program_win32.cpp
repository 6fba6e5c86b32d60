#include "program.h"
#include "version.h"

// A Windows program without a console gets no valid standard handles and the
// C runtime discards its output: nothing to open.
void ProgramStart() {}

const char *ProgramVersion() {
  return VELDRV_VERSION;
}
