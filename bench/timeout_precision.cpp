// Time-out precision: reads from a controller that never answers, timed until the time-out status.
#include <stdexcept>

#include "bench_support.h"
#include "sections.h"
#include "sim.h"
#include "veldrv.h"

namespace bench {

namespace {

std::vector<double> SilentReads(velsim::Family family, int com, int reads) {
  velsim::PtyLine line(family, DeviceDir(), com);
  line.stop();  // the line stays silent; the simulator keeps the pseudo-terminal open
  const int handle = VelOpen(com - 1, family == velsim::Family::Fx);
  if (handle < 0) throw std::runtime_error(Format("VelOpen on COM%d returned %d", com, handle));
  std::vector<double> ms;
  std::uint8_t buf[2];
  for (int i = 0; i < reads; i++) {
    const double t0 = NowMs();
    const int rc = VelRdB(handle, 'D', 0, 2, buf);
    ms.push_back(NowMs() - t0);
    if (rc != VEL_TIMEOUT) throw std::runtime_error(Format("read from a silent line returned %d", rc));
  }
  VelClose(handle);
  return ms;
}

}  // namespace

void TimeoutPrecision(const Options &, ResultTable &table) {
  constexpr double kTimeoutMs = 990, kSlackMs = 20;
  Progress("time-out: 20 FX reads from a silent controller (20 s)");
  const std::vector<double> fx = SilentReads(velsim::Family::Fx, 5, 20);
  const bool held = Min(fx) >= kTimeoutMs && Max(fx) <= kTimeoutMs + kSlackMs;
  table.addAndShow({"time-out", "FX read, silent controller (x20)",
                    Format("median %.1f ms, worst %.1f ms, earliest %.1f ms", Median(fx), Max(fx), Min(fx)),
                    "990 ms, none early, worst <= 1010 ms", held ? Held::Yes : Held::No});

  // An A-series link without a session byte first runs the handshake, with its two 3 ms pauses.
  Progress("time-out: 5 A-series reads from a silent controller (5 s)");
  const std::vector<double> a = SilentReads(velsim::Family::A, 6, 5);
  table.addAndShow({"time-out", "A read, silent controller (x5)",
                    Format("median %.1f ms, worst %.1f ms, earliest %.1f ms", Median(a), Max(a), Min(a)),
                    "- (990 ms + 2 x 3 ms handshake pauses)", Held::Info});
}

}  // namespace bench
