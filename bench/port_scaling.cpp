// Scaling: 1, 4 and 16 ports, each with its own paced simulator, transferring at the same time.
#include <latch>
#include <memory>
#include <stdexcept>
#include <thread>

#include "bench_support.h"
#include "sections.h"
#include "sim.h"
#include "veldrv.h"

namespace bench {

namespace {

constexpr int kPorts = 16, kBytes = 1016, kAddress = 0x1000;

// Wall time of `ports` simultaneous reads of kBytes, one thread per port.
double ReadAtOnce(const std::vector<int> &handles, int ports) {
  std::latch ready(ports + 1);
  std::vector<int> results(static_cast<std::size_t>(ports), 1);
  std::vector<std::thread> threads;
  for (int p = 0; p < ports; p++) {
    threads.emplace_back([&, p] {
      std::vector<std::uint8_t> buf(kBytes);
      ready.arrive_and_wait();
      results[static_cast<std::size_t>(p)] =
          VelRdB(handles[static_cast<std::size_t>(p)], 'S', kAddress, kBytes, buf.data());
    });
  }
  ready.arrive_and_wait();
  const double t0 = NowMs();
  for (std::thread &t : threads) t.join();
  const double ms = NowMs() - t0;
  for (int rc : results)
    if (rc != 0) throw std::runtime_error(Format("read on one of %d ports returned %d", ports, rc));
  return ms;
}

}  // namespace

void PortScaling(const Options &, ResultTable &table) {
  for (velsim::Family family : {velsim::Family::Fx, velsim::Family::A}) {
    const char *name = family == velsim::Family::Fx ? "FX" : "A";
    Progress("scaling %s: opening %d paced ports", name, kPorts);
    std::vector<std::unique_ptr<velsim::PtyLine>> lines;
    std::vector<int> handles;
    for (int p = 0; p < kPorts; p++) {
      lines.push_back(std::make_unique<velsim::PtyLine>(family, DeviceDir(), p + 1));
      lines.back()->setPace(true);
      const int h = VelOpen(p, family == velsim::Family::Fx);
      if (h < 0) throw std::runtime_error(Format("VelOpen on port %d returned %d", p, h));
      handles.push_back(h);
    }
    // Every port once alone, so that each link is ready (A-series: session byte handed out).
    for (int p = 0; p < kPorts; p++) {
      std::uint8_t warm[2];
      if (VelRdB(handles[static_cast<std::size_t>(p)], 'S', kAddress, 2, warm) != 0)
        throw std::runtime_error("warm-up read failed");
    }
    double one = 0;
    for (int ports : {1, 4, 16}) {
      Progress("scaling %s: %d port(s) reading %d bytes each", name, ports, kBytes);
      const double cpu0 = ProcessCpuMs();
      const double ms = ReadAtOnce(handles, ports);
      const double cpu = ProcessCpuMs() - cpu0;
      const double throughput = ports * kBytes / (ms / 1000);  // bytes per second
      if (ports == 1) one = throughput;
      const double factor = throughput / one;
      Row row{"scaling (paced)", Format("%s, %d port(s) x %d B at once", name, ports, kBytes),
              Format("%.2f x one port (%.0f B/s in %.0f ms; CPU library + simulators %.1f %%)", factor,
                     throughput, ms, 100 * cpu / ms),
              ports == 16 ? ">= 15 x" : "-", Held::Info};
      if (ports == 16) row.held = factor >= 15 ? Held::Yes : Held::No;
      table.addAndShow(row);
    }
    for (int h : handles) VelClose(h);
  }
}

}  // namespace bench
