#include "cpu_floor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "bench_support.h"

namespace bench {

namespace {

// Writes one byte every stepNs to fd, against absolute deadlines.
[[noreturn]] void Feed(int fd, long stepNs, int chars) {
  timespec at;
  clock_gettime(CLOCK_MONOTONIC, &at);
  for (int i = 0; i < chars; i++) {
    at.tv_nsec += stepNs;
    while (at.tv_nsec >= 1000000000) {
      at.tv_sec++;
      at.tv_nsec -= 1000000000;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
    const char c = 'A';
    if (write(fd, &c, 1) != 1) _exit(1);
  }
  _exit(0);
}

// The probe process: the bare receive loop; returns what it measured.
CpuFloor Probe(double charMs, int chars) {
  CpuFloor r;
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, name, sizeof name) != 0)
    return r;
  int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) return r;
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  pid_t feeder = fork();
  if (feeder == 0) Feed(master, static_cast<long>(charMs * 1e6), chars);
  if (feeder < 0) return r;

  const double cpu0 = ProcessCpuMs(), t0 = NowMs();
  int got = 0;
  while (got < chars) {
    pollfd p{slave, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) break;
    char c;
    if (read(slave, &c, 1) == 1) got++;
  }
  const double cpu = ProcessCpuMs() - cpu0, wall = NowMs() - t0;
  kill(feeder, SIGTERM);
  waitpid(feeder, nullptr, 0);
  if (got == chars) r = {100 * cpu / wall, 1000 * cpu / got, true};
  return r;
}

}  // namespace

CpuFloorProbe::CpuFloorProbe(double charMs, int chars) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    close(p[0]);
    const CpuFloor r = Probe(charMs, chars);
    if (write(p[1], &r, sizeof r) != sizeof r) _exit(1);
    _exit(0);  // no destructors of the benchmark's statics in this copy
  }
  close(p[1]);
  out_ = p[0];
}

CpuFloorProbe::~CpuFloorProbe() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
}

CpuFloor CpuFloorProbe::result() {
  CpuFloor r;
  if (pid_ <= 0) return r;
  if (read(out_, &r, sizeof r) != sizeof r) r = CpuFloor{};
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return r;
}

}  // namespace bench
