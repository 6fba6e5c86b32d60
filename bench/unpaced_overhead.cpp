// Overhead without pacing: 254-byte frames on a pseudo-terminal that moves bytes as fast as it can;
// what remains is the cost of library, simulator and pseudo-terminal together.
#include <stdexcept>

#include "bench_support.h"
#include "sections.h"
#include "sim.h"
#include "veldrv.h"
#include "wire_time.h"

namespace bench {

void UnpacedOverhead(const Options &, ResultTable &table) {
  constexpr int kFrame = 254, kReps = 40, kAddress = 0x1000;
  int com = 7;
  for (Family family : {Family::Fx, Family::A}) {
    velsim::PtyLine line(family == Family::Fx ? velsim::Family::Fx : velsim::Family::A, DeviceDir(), com);
    const int handle = VelOpen(com - 1, family == Family::Fx);
    if (handle < 0) throw std::runtime_error(Format("VelOpen on COM%d returned %d", com, handle));
    std::vector<std::uint8_t> data = Pattern(kFrame, 0x33), back(kFrame);
    if (VelRdB(handle, 'S', kAddress, 2, back.data()) != 0) throw std::runtime_error("warm-up read failed");
    for (Op op : {Op::Read, Op::Write}) {
      Progress("unpaced %s %s, %d frames", FamilyName(family), OpName(op), kReps);
      std::vector<double> ms;
      const double cpu0 = ProcessCpuMs();
      for (int i = 0; i < kReps; i++) {
        const double s = NowMs();
        const int rc = op == Op::Read ? VelRdB(handle, 'S', kAddress, kFrame, back.data())
                                      : VelWrB(handle, 'S', kAddress, kFrame, data.data());
        ms.push_back(NowMs() - s);
        if (rc != 0) throw std::runtime_error(Format("unpaced transfer returned %d", rc));
      }
      const double cpu = (ProcessCpuMs() - cpu0) / kReps;
      const int chars = FrameChars(family, op, kFrame);
      std::string result = Format("%.2f ms/frame median, %.2f worst; CPU %.2f ms/frame (library + simulator)",
                                  Median(ms), Max(ms), cpu);
      if (family == Family::A) result += "; includes the 2 x 3 ms pauses";
      table.addAndShow(
          {"overhead, unpaced pty",
           Format("%s %s 254 B frame (x%d, %d chars)", FamilyName(family), OpName(op), kReps, chars), result,
           "-", Held::Info});
    }
    VelClose(handle);
    com++;
  }
}

}  // namespace bench
