// Against a peer: node-fxplc and the library read the same paced FX simulator, 64 bytes at a time at
// the same address, one after the other in the same run.
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "bench_support.h"
#include "sections.h"
#include "veldrv.h"
#include "velsim_process.h"
#include "wire_time.h"

namespace bench {

namespace {

constexpr int kCom = 11, kReads = 20, kAddress = 0x1000, kBytes = 64;

// Runs the node-fxplc script; the read times in ms, or empty with *why set.
std::vector<double> NodeReads(const Options &options, const std::string &port, std::string *why) {
  const std::string cmd = "NODE_PATH='" + options.nodeModules + "' node '" + options.nodeScript + "' '" +
                          port + "' " + std::to_string(kReads) + " " + std::to_string(kAddress) + " " +
                          std::to_string(kBytes) + " 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) {
    *why = "cannot run node";
    return {};
  }
  std::string out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  const int status = pclose(p);
  std::vector<double> times;
  const std::size_t at = out.find("times ");
  if (status != 0 || at == std::string::npos) {
    *why = "node-fxplc failed: " + out.substr(0, 200);
    return {};
  }
  std::istringstream in(out.substr(at + 6));
  for (double t; in >> t;) times.push_back(t);
  if (times.size() != kReads) *why = "node-fxplc printed " + std::to_string(times.size()) + " times";
  return times;
}

}  // namespace

void NodePeer(const Options &options, ResultTable &table) {
  const std::string what =
      Format("FX read %d B at 0x%04X (x%d each), one paced velsim", kBytes, kAddress, kReads);
  if (options.nodeModules.empty()) {
    table.addAndShow({"against node-fxplc", what, "skipped: " + options.nodeSkipReason, "-", Held::Skipped});
    return;
  }
  VelsimProcess sim(options.velsim, Family::Fx, DeviceDir(), kCom, true);
  const std::string port = DeviceDir() + "/COM" + std::to_string(kCom);

  Progress("peer: node-fxplc, %d reads of %d bytes", kReads, kBytes);
  std::string why;
  const std::vector<double> node = NodeReads(options, port, &why);
  if (!why.empty()) {
    table.addAndShow({"against node-fxplc", what, "skipped: " + why, "-", Held::Skipped});
    return;
  }

  Progress("peer: the library, %d reads of %d bytes", kReads, kBytes);
  const int handle = VelOpen(kCom - 1, 1);
  if (handle < 0) throw std::runtime_error(Format("VelOpen on COM%d returned %d", kCom, handle));
  std::uint8_t buf[kBytes];
  if (VelRdB(handle, 'S', kAddress, kBytes, buf) != 0) throw std::runtime_error("warm-up read failed");
  std::vector<double> lib;
  for (int i = 0; i < kReads; i++) {
    const double t0 = NowMs();
    const int rc = VelRdB(handle, 'S', kAddress, kBytes, buf);
    lib.push_back(NowMs() - t0);
    if (rc != 0) throw std::runtime_error(Format("library read returned %d", rc));
  }
  VelClose(handle);

  // node-fxplc sends no ENQ and so waits for no ACK: two characters less per read on the wire.
  const int libChars = FrameChars(Family::Fx, Op::Read, kBytes), nodeChars = libChars - 2;
  const double libWire = libChars * CharMs(Family::Fx), nodeWire = nodeChars * CharMs(Family::Fx);
  table.addAndShow(
      {"against node-fxplc", what,
       Format("library / node-fxplc = %.3f (median %.1f ms vs %.1f ms; wire %.1f vs %.1f ms, ratio %.3f; "
              "over wire: library %.3f, node-fxplc %.3f)",
              Median(lib) / Median(node), Median(lib), Median(node), libWire, nodeWire, libWire / nodeWire,
              Median(lib) / libWire, Median(node) / nodeWire),
       "-", Held::Info});
}

}  // namespace bench
