// Threads that call in a loop never keep a waiting call from its turn: an
// open, a close, a call on a looper's handle and one on another handle of
// the busy port each come after the transfers already waiting.
#include <atomic>
#include <thread>
#include <vector>

#include "hazard.h"

using namespace hazard;

int main(int argc, char **argv) {
  Start(argc, argv);
  velsim::PtyLine line(Family::Fx, dir, 1);
  line.setPace(true);  // each transfer holds the port for about 25 ms
  int h1 = VelOpen(0, 1);
  if (h1 < 0) return 1;
  std::atomic<bool> stop{false};
  std::atomic<long> loops{0};
  std::vector<std::thread> loopers;
  for (int i = 0; i < 8; i++) {
    int h = i == 0 ? h1 : VelOpen(0, 1);  // the first shares h1 with the main thread
    loopers.emplace_back([&, h] {
      unsigned char b[2];
      while (!stop) {
        VelRdB(h, 'D', 0, 2, b);
        loops++;
      }
    });
  }
  std::this_thread::sleep_for(200ms);
  unsigned char b[2];
  double t0 = NowMs();
  int h2 = VelOpen(0, 1);
  double t1 = NowMs();
  int same = VelRdB(h1, 'D', 0, 2, b);
  double t2 = NowMs();
  int other = VelRdB(h2, 'D', 0, 2, b);
  double t3 = NowMs();
  int closed = VelClose(h2);
  double t4 = NowMs();
  stop = true;
  for (std::thread &t : loopers) t.join();
  Say("open %d %.0f ms; same handle %d %.0f ms; other handle %d %.0f ms; close %d %.0f ms; %ld loops", h2,
      t1 - t0, same, t2 - t1, other, t3 - t2, closed, t4 - t3, loops.load());
  return 0;
}
