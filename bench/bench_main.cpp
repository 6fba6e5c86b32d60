// velbench: runs the benchmarks and prints one table with every target and whether it held.
// Usage: velbench [--only NAME,...] [--velsim PATH] [--node-modules DIR | --node-skip REASON]
// Sections: paced, timeout, unpaced, segments, opens, scaling, peer, gateway. Exit status 1 when a target
// was missed.
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "bench_support.h"
#include "sections.h"

namespace {

using namespace bench;

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

// The 1-minute load average: other work on the machine disturbs the timings.
std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  in >> one;
  return one.empty() ? "unknown" : one;
}

[[noreturn]] void Usage(int code) {
  std::fprintf(code ? stderr : stdout,
               "usage: velbench [--only NAME,...] [--velsim PATH] [--node-modules DIR | --node-skip REASON]\n"
               "sections: paced, timeout, unpaced, segments, opens, scaling, peer, gateway (default: all)\n");
  std::exit(code);
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  options.velsim = VELBENCH_VELSIM;
  options.nodeScript = VELBENCH_NODE_SCRIPT;
  options.nodeSkipReason = "no node_modules folder with node-fxplc given (--node-modules)";
  std::set<std::string> only;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(2);
      return argv[++i];
    };
    if (arg == "--only") {
      std::stringstream list(value());
      for (std::string name; std::getline(list, name, ',');) only.insert(name);
    } else if (arg == "--velsim") {
      options.velsim = value();
    } else if (arg == "--node-modules") {
      options.nodeModules = value();
    } else if (arg == "--node-skip") {
      options.nodeSkipReason = value();
    } else if (arg == "--help" || arg == "-h") {
      Usage(0);
    } else {
      Usage(2);
    }
  }

  DeviceDir();  // before the library opens anything
  utsname u{};
  uname(&u);
  std::printf("Machine: %u cores (nproc), %s, Linux %s; load average at start %s\n\n",
              std::thread::hardware_concurrency(), CpuModel().c_str(), u.release, LoadAverage().c_str());

  const std::pair<const char *, std::function<void(const Options &, ResultTable &)>> sections[] = {
      {"paced", PacedTransfers}, {"timeout", TimeoutPrecision}, {"unpaced", UnpacedOverhead},
      {"segments", TcpSegments}, {"opens", ParallelOpens},      {"scaling", PortScaling},
      {"peer", NodePeer},
#ifdef VELBENCH_VELGW
      {"gateway", GatewaySection},
#endif
  };
  ResultTable table;
  const double start = NowMs();
  for (const auto &[name, run] : sections) {
    if (!only.empty() && !only.count(name)) continue;
    Progress("section %s", name);
    try {
      run(options, table);
    } catch (const std::exception &e) {
      table.addAndShow({name, "(section failed)", e.what(), "-", Held::No});
    }
  }
  table.note(
      Format("Benchmarks ran %.0f s; load average at the end %s (other work on the machine disturbs "
             "the timings).",
             (NowMs() - start) / 1000, LoadAverage().c_str()));
  return table.print() == 0 ? 0 : 1;
}
