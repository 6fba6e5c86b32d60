// fork() while a parent thread is in a long transfer: the child must not
// use, change or wait for the parent's port, and may open its own.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "hazard.h"

using namespace hazard;

int main(int argc, char **argv) {
  Start(argc, argv);
  velsim::PtyLine line(Family::Fx, dir, 1);
  std::vector<uint8_t> data(600), got(600);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7);
  line.write(0x2000, data);
  line.setPace(true);  // 600 bytes take about 1.3 s
  int h = VelOpen(0, 1);
  if (h < 0) return 1;
  const uint64_t framesBefore = line.frames();
  std::atomic<int> result{1};
  std::thread reader([&] { result = VelRdB(h, 'S', 0x2000, 600, got.data()); });
  std::this_thread::sleep_for(300ms);

  pid_t child = fork();
  if (child == 0) {
    unsigned char b[2];
    int read = VelRdB(h, 'D', 0, 2, b);  // the parent's handle
    int close = VelClose(h);
    velsim::PtyLine own(Family::Fx, dir, 2);
    int mine = VelOpen(1, 1);
    int readMine = mine >= 0 ? VelRdB(mine, 'D', 0, 2, b) : mine;
    Say("child: read %d close %d open %d read %d", read, close, mine, readMine);
    exit(0);  // closes its own port only
  }
  const double forkedAt = NowMs();
  int status = -1;
  while (waitpid(child, &status, WNOHANG) == 0 && NowMs() - forkedAt < 5000)
    std::this_thread::sleep_for(10ms);
  if (NowMs() - forkedAt >= 5000) {
    kill(child, SIGKILL);
    Say("the child hung");
  }
  reader.join();
  Say("parent: read %d, data %s, exchanges %d", result.load(), got == data ? "right" : "wrong",
      static_cast<int>(line.frames() - framesBefore));
  // The parent still holds its port exclusively.
  int probe = open(line.slaveName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  int exclusive = 0;
  if (probe >= 0 && ioctl(probe, TIOCGEXCL, &exclusive) == 0) Say("exclusive %d", exclusive);
  VelClose(h);
  return 0;
}
