// exit() while 16 threads are inside transfers on a silent controller: the
// process ends at once instead of waiting for them.
#include <thread>
#include <vector>

#include "hazard.h"

using namespace hazard;

int main(int argc, char **argv) {
  Start(argc, argv);
  velsim::PtyLine line(Family::Fx, dir, 1);
  line.setFault(Silent());
  std::vector<int> handles;
  for (int i = 0; i < 16; i++) handles.push_back(VelOpen(0, 1));
  std::vector<std::thread> threads;
  for (int h : handles) {
    if (h < 0) return 1;
    threads.emplace_back([h] {
      unsigned char b[4];
      for (;;) VelRdB(h, 'D', 0, 4, b);
    });
  }
  std::this_thread::sleep_for(300ms);
  Say("exit");
  exit(0);
}
