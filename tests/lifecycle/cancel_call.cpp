// pthread_cancel of a thread inside a transfer and inside VelOpen: no lock
// stays held and no handle slot stays reserved.
#include <pthread.h>

#include <thread>

#include "hazard.h"

using namespace hazard;

namespace {

int handle;
int opened = -100;

void *Read(void *) {
  unsigned char b[4];
  VelRdB(handle, 'D', 0, 4, b);
  return nullptr;
}

void *Open(void *) {
  opened = VelOpen(1, 1);
  return nullptr;
}

double CancelAfter(void *(*work)(void *), std::chrono::milliseconds after) {
  pthread_t t;
  pthread_create(&t, nullptr, work, nullptr);
  std::this_thread::sleep_for(after);
  double t0 = NowMs();
  pthread_cancel(t);
  pthread_join(t, nullptr);
  return NowMs() - t0;
}

}  // namespace

int main(int argc, char **argv) {
  Start(argc, argv);
  velsim::PtyLine line(Family::Fx, dir, 1);
  velsim::PtyLine other(Family::Fx, dir, 2);
  handle = VelOpen(0, 1);
  if (handle < 0) return 1;
  line.setFault(Silent(), velsim::FaultWhen::Once);
  double joined = CancelAfter(Read, 200ms);
  unsigned char b[4];
  double t0 = NowMs();
  int next = VelRdB(handle, 'D', 0, 4, b);  // the port's lock is free again
  Say("transfer: joined after %.0f ms; next read %d after %.0f ms", joined, next, NowMs() - t0);

  joined = CancelAfter(Open, 100ms);  // inside the half second an open settles
  if (opened >= 0) VelClose(opened);
  VelClose(handle);
  int handles = 0;
  for (int i = 0; i < 32; i++) handles += VelOpen(1, 1) >= 0;
  Say("open: joined after %.0f ms, returned %d; %d handles free after it", joined, opened, handles);
  return 0;
}
