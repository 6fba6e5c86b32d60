// What a frame costs on a network: the TCP segments the library sends per frame to a simulator behind a
// loopback TCP port, raw or RFC 2217, counted by the simulator (its connection's TCP_INFO).
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "bench_support.h"
#include "sections.h"
#include "sim.h"
#include "veldrv.h"
#include "wire_time.h"

namespace bench {

namespace {

// Characters the library sends in one frame of n bytes: one segment each when every character is
// written on its own (TCP_NODELAY).
int SentChars(Family family, Op op, int n) {
  if (family == Family::Fx) return op == Op::Read ? 1 + 11 : 1 + 2 * n + 11;
  return op == Op::Read ? 1 + 9 : 1 + n + 9;
}

}  // namespace

void TcpSegments(const Options &, ResultTable &table) {
  constexpr int kCom = 10, kAddress = 0x1000, kReps = 5;
  const std::string variable = Format("VELDRV_COM%d", kCom);
  for (bool rfc2217 : {false, true})
    for (Family family : {Family::Fx, Family::A}) {
      const velsim::Family simFamily = family == Family::Fx ? velsim::Family::Fx : velsim::Family::A;
      std::unique_ptr<velsim::TcpLine> server;
      if (rfc2217)
        server = std::make_unique<velsim::Rfc2217Line>(simFamily);
      else
        server = std::make_unique<velsim::TcpLine>(simFamily);
      velsim::TcpLine &line = *server;
      const char *kind = rfc2217 ? "RFC 2217 segments" : "TCP segments";
      setenv(variable.c_str(), line.address().c_str(), 1);
      const int handle = VelOpen(kCom - 1, family == Family::Fx);
      if (handle < 0)
        throw std::runtime_error(Format("VelOpen on %s returned %d", line.address().c_str(), handle));
      std::vector<std::uint8_t> data = Pattern(4096, 0x21), back(4096);
      if (VelRdB(handle, 'S', kAddress, 2, back.data()) != 0) throw std::runtime_error("warm-up read failed");
      for (int bytes : {254, 4096}) {
        for (Op op : {Op::Read, Op::Write}) {
          Progress("%s %s %s %d bytes", kind, FamilyName(family), OpName(op), bytes);
          line.settle();
          const std::uint64_t before = line.segmentsReceived();
          for (int r = 0; r < kReps; r++) {
            const int rc = op == Op::Read ? VelRdB(handle, 'S', kAddress, bytes, back.data())
                                          : VelWrB(handle, 'S', kAddress, bytes, data.data());
            if (rc != 0) throw std::runtime_error(Format("transfer over TCP returned %d", rc));
          }
          line.settle();
          const double segments = static_cast<double>(line.segmentsReceived() - before) / kReps;
          int frames = 0, charSegments = 0;
          for (int n : FrameSizes(bytes)) {
            frames++;
            charSegments += SentChars(family, op, n);
          }
          table.addAndShow({kind, Format("%s %s %d B (x%d)", FamilyName(family), OpName(op), bytes, kReps),
                            Format("%.1f per frame, %.0f per transfer (a segment per character sent: %d)",
                                   segments / frames, segments, charSegments),
                            "-", Held::Info});
        }
      }
      VelClose(handle);
      unsetenv(variable.c_str());
    }
  table.note(
      "TCP segments: data segments the simulator's side of the connection received from the library "
      "(TCP_INFO tcpi_data_segs_in), over loopback to velsim's TcpLine in the benchmark process. The "
      "library writes each request piece at once (TCP_NODELAY): FX ENQ and the frame, A-series session "
      "byte and request. RFC 2217 segments: the same to velsim's Rfc2217Line over rfc2217://, where "
      "PURGE-DATA goes out with the frame's first piece and each RTS change of the A-series session "
      "prefix is a SET-CONTROL command of its own.");
}

}  // namespace bench
