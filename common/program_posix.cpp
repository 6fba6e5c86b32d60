#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "program.h"
#include "version.h"

void ProgramStart() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() returns the lowest free descriptor: this one.
    int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd && opened >= 0) close(opened);
  }
}

const char *ProgramVersion() {
  return VELDRV_VERSION;
}
