// Opens in parallel: two ports opened from two threads against one port alone. Every open of a serial
// port settles its line for half a second; the port table is locked only to claim an entry, so two
// opens overlap. And the open of a TCP port, which has no line to settle: what the connect takes.
#include <cstdlib>
#include <latch>
#include <stdexcept>
#include <thread>

#include "bench_support.h"
#include "sections.h"
#include "sim.h"
#include "veldrv.h"

namespace bench {

void ParallelOpens(const Options &, ResultTable &table) {
  constexpr int kComFx = 11, kComA = 12, kReps = 3;
  velsim::PtyLine fx(velsim::Family::Fx, DeviceDir(), kComFx), a(velsim::Family::A, DeviceDir(), kComA);
  std::vector<double> alone, together;
  for (int r = 0; r < kReps; r++) {
    Progress("opens: one port, then two from two threads (%d of %d)", r + 1, kReps);
    double t0 = NowMs();
    const int h = VelOpen(kComFx - 1, 1);
    alone.push_back(NowMs() - t0);
    if (h < 0) throw std::runtime_error(Format("VelOpen on COM%d returned %d", kComFx, h));
    VelClose(h);

    int handles[2] = {-1, -1};
    std::latch ready(3);
    std::thread first([&] {
      ready.arrive_and_wait();
      handles[0] = VelOpen(kComFx - 1, 1);
    });
    std::thread second([&] {
      ready.arrive_and_wait();
      handles[1] = VelOpen(kComA - 1, 0);
    });
    ready.arrive_and_wait();
    t0 = NowMs();
    first.join();
    second.join();
    together.push_back(NowMs() - t0);
    if (handles[0] < 0 || handles[1] < 0) throw std::runtime_error("a parallel open failed");
    VelClose(handles[0]);
    VelClose(handles[1]);
  }
  const double ratio = Median(together) / Median(alone);
  table.addAndShow({"opens", Format("two ports from two threads against one alone (x%d)", kReps),
                    Format("%.2f x (%.0f ms / %.0f ms)", ratio, Median(together), Median(alone)), "<= 1.2 x",
                    ratio <= 1.2 ? Held::Yes : Held::No});

  velsim::TcpLine server(velsim::Family::Fx);
  setenv("VELDRV_COM13", server.address().c_str(), 1);
  std::vector<double> tcp;
  for (int r = 0; r < 10; r++) {
    const double t0 = NowMs();
    const int h = VelOpen(12, 1);
    tcp.push_back(NowMs() - t0);
    if (h < 0) throw std::runtime_error(Format("VelOpen on %s returned %d", server.address().c_str(), h));
    VelClose(h);
  }
  unsetenv("VELDRV_COM13");
  table.addAndShow({"opens", "a TCP port on the loopback (x10): no line to settle",
                    Format("%.2f ms", Median(tcp)), "<= 50 ms", Median(tcp) <= 50 ? Held::Yes : Held::No});
}

}  // namespace bench
