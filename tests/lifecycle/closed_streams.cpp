// With standard input and output closed, neither the device nor the trace
// file may become descriptor 0 or 1 (the program's output would go to the
// controller).
#include <fcntl.h>
#include <unistd.h>

#include "hazard.h"

using namespace hazard;

int main(int argc, char **argv) {
  Start(argc, argv);
  velsim::PtyLine line(Family::Fx, dir, 1);
  setenv("VELDRV_TRACE", (dir + "/trace.log").c_str(), 1);
  int report = dup(STDOUT_FILENO);
  close(STDIN_FILENO);
  close(STDOUT_FILENO);
  int h = VelOpen(0, 1);
  unsigned char b[2];
  int read = h >= 0 ? VelRdB(h, 'D', 0, 2, b) : h;
  bool stillClosed = fcntl(STDIN_FILENO, F_GETFD) == -1 && fcntl(STDOUT_FILENO, F_GETFD) == -1;
  dprintf(report, "open %d read %d; 0 and 1 %s\n", h, read, stillClosed ? "still closed" : "taken");
  return 0;
}
