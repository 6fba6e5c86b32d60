// The usual Ctrl-C clean-up: a signal handler that calls exit() while the
// interrupted thread is inside a transfer. The process must end.
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include "hazard.h"

using namespace hazard;

void OnAlarm(int) {
  write(STDOUT_FILENO, "exit\n", 5);
  exit(0);
}

int main(int argc, char **argv) {
  Start(argc, argv);
  velsim::PtyLine line(Family::Fx, dir, 1);
  line.setFault(Silent());
  int h = VelOpen(0, 1);
  if (h < 0) return 1;
  signal(SIGALRM, OnAlarm);
  itimerval in300ms = {{0, 0}, {0, 300000}};
  setitimer(ITIMER_REAL, &in300ms, nullptr);
  unsigned char b[4];
  VelRdB(h, 'D', 0, 4, b);
  Say("the transfer returned before the signal");
  return 1;
}
