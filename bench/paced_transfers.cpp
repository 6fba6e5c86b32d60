// Wire efficiency and CPU load: reads and writes against a paced simulator in a process of its own.
#include <cstdlib>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench_support.h"
#include "cpu_floor.h"
#include "sections.h"
#include "veldrv.h"
#include "velsim_process.h"
#include "wire_time.h"

namespace bench {

namespace {

constexpr int kAddress = 0x1000;  // raw controller address (letter S)

struct Size {
  int bytes;
  int reps;
  double target;  // largest ratio of measured to wire time; 0: no target
};

// Repetitions keep each size at a few seconds of line time.
constexpr Size kSizes[] = {{2, 15, 1.05}, {64, 5, 0}, {254, 3, 1.01}, {600, 3, 1.01}, {4096, 1, 1.01}};
constexpr Size kTracedSizes[] = {{254, 3, 1.01}, {4096, 1, 1.01}};
constexpr Size kTcpSizes[] = {{2, 15, 1.05}, {254, 3, 1.01}, {4096, 1, 1.01}};

// The CPU of the library may cost at most this much of what a bare receive loop at the same pace costs,
// measured at the same time: the loop wakes once per character, the library waits for batches. Over
// TCP the batches are shorter (the connection acknowledges what is read) and every acknowledgement
// the library's reads send crosses the loopback in its time: there the earlier target stays.
constexpr double kCpuOverFloor = 0.3;
constexpr double kCpuOverFloorTcp = 1.2;
// Wake-ups of the calling thread in a 254-byte FX read frame (ENQ/ACK and 512 reply characters).
constexpr double kWakeUpsPerFxReadFrame = 20;

// One way of running the transfers: plain, with the trace written to a file, ...
struct Pass {
  const char *label;  // appended to the row's name; "" for the plain pass
  bool trace;
  bool tcp;  // the simulator behind a loopback TCP port (VELDRV_COM<n>=tcp://...)
  const Size *sizes;
  std::size_t count;
};

struct Measured {
  std::vector<double> ms;
  double cpuMs = 0, wallMs = 0, simCpuMs = 0;  // summed over the repetitions
  long wakeUps = 0;                            // of the calling thread, summed
  CpuFloor floor;                              // a bare receive loop during the last repetition
};

// The paced FX simulator the bare receive loop reads from, beside the library's.
constexpr int kFloorCom = 9;

Measured Run(int handle, Family family, Op op, const Size &size, const VelsimProcess &sim) {
  std::vector<std::uint8_t> data = Pattern(static_cast<std::size_t>(size.bytes), 0x5A);
  std::vector<std::uint8_t> back(data.size());
  Measured m;
  for (int r = 0; r < size.reps; r++) {
    // The largest reads run beside a bare receive loop at the same pace in a process of its own: what
    // a wake-up per character costs under the machine's load of the moment.
    std::unique_ptr<CpuFloorProbe> probe;
    if (size.bytes == 4096 && op == Op::Read) {
      const double ms = TransferWireTime(family, op, size.bytes).totalMs();
      probe = std::make_unique<CpuFloorProbe>(Format("%s/COM%d", DeviceDir().c_str(), kFloorCom), family,
                                              static_cast<int>(ms / CharMs(family)));
    }
    const double sim0 = sim.cpuMs(), cpu0 = ProcessCpuMs(), t0 = NowMs();
    const long wake0 = ThreadWakeUps();
    const int rc = op == Op::Write ? VelWrB(handle, 'S', kAddress, size.bytes, data.data())
                                   : VelRdB(handle, 'S', kAddress, size.bytes, back.data());
    const long wake1 = ThreadWakeUps();
    const double t1 = NowMs(), cpu1 = ProcessCpuMs(), sim1 = sim.cpuMs();
    if (rc != 0) {
      throw std::runtime_error(
          Format("%s %s of %d bytes returned %d", FamilyName(family), OpName(op), size.bytes, rc));
    }
    if (op == Op::Read && back != data) {
      throw std::runtime_error(
          Format("%s read of %d bytes: data differ from those written", FamilyName(family), size.bytes));
    }
    m.ms.push_back(t1 - t0);
    m.wallMs += t1 - t0;
    m.cpuMs += cpu1 - cpu0;
    m.simCpuMs += sim1 - sim0;
    m.wakeUps += wake1 - wake0;
    if (probe) m.floor = probe->result();
  }
  return m;
}

void AddRows(ResultTable &table, Family family, Op op, const Size &size, const Measured &m,
             const Pass &pass) {
  const WireTime wire = TransferWireTime(family, op, size.bytes);
  const double median = Median(m.ms);
  const double ratio = median / wire.totalMs();
  Row row;
  row.benchmark = "wire efficiency";
  row.what = Format("%s %s %d B%s (x%d)", FamilyName(family), OpName(op), size.bytes, pass.label, size.reps);
  row.result = Format("%.3f (%.1f / %.1f ms)", ratio, median, wire.totalMs());
  if (family == Family::A)
    row.result +=
        Format("; %.3f with the %.0f ms of pauses as overhead", median / wire.charsMs, wire.pausesMs);
  if (size.reps > 1) row.result += Format("; worst %.3f", Max(m.ms) / wire.totalMs());
  row.target = size.target > 0 ? Format("<= %.2f", size.target) : "-";
  row.held = size.target <= 0 ? Held::Info : ratio <= size.target ? Held::Yes : Held::No;
  table.addAndShow(row);

  if ((size.bytes == 254 || size.bytes == 4096) && !pass.trace) {
    const int frames = wire.frames * size.reps;
    const double perFrame = static_cast<double>(m.wakeUps) / frames;
    const bool judged = size.bytes == 254 && family == Family::Fx && op == Op::Read && !pass.tcp;
    table.addAndShow({"wake-ups",
                      Format("%s %s %d B%s", FamilyName(family), OpName(op), size.bytes, pass.label),
                      Format("%.1f per frame, %.0f per transfer (%d received characters a frame)", perFrame,
                             static_cast<double>(m.wakeUps) / size.reps,
                             ReceivedChars(family, op, size.bytes) / wire.frames),
                      judged ? Format("<= %.0f per frame", kWakeUpsPerFxReadFrame) : "-",
                      judged ? (perFrame <= kWakeUpsPerFxReadFrame ? Held::Yes : Held::No) : Held::Info});
  }

  if (size.bytes == 4096) {
    const double load = 100 * m.cpuMs / m.wallMs;
    const int received = ReceivedChars(family, op, size.bytes) * size.reps;
    const double usPerChar = 1000 * m.cpuMs / received;
    std::string result = Format("%.2f %% (%.0f ms CPU in %.0f ms, %.1f us per character received)", load,
                                m.cpuMs, m.wallMs, usPerChar);
    if (m.floor.ok) {
      result += Format(
          "; bare poll()+read() loop on a paced simulator at the same time: %.1f us per character "
          "(%.2f x)",
          m.floor.usPerChar, usPerChar / m.floor.usPerChar);
    }
    result += Format("; velsim %.1f %%", 100 * m.simCpuMs / m.wallMs);
    // Reads are judged against the bare loop measured beside them; writes receive little and stay
    // far below 1 %.
    // With the trace on, formatting every byte costs its share: shown, not judged.
    const bool againstFloor = op == Op::Read && m.floor.ok;
    const double most = pass.tcp ? kCpuOverFloorTcp : kCpuOverFloor;
    Held held = againstFloor ? (usPerChar <= most * m.floor.usPerChar ? Held::Yes : Held::No)
                             : (load < 1 ? Held::Yes : Held::No);
    std::string target = againstFloor ? Format("<= %.1f x bare loop", most) : "< 1 %";
    if (pass.trace) {
      held = Held::Info;
      target = "-";
    }
    table.addAndShow(
        {"CPU", Format("%s %s 4096 B%s", FamilyName(family), OpName(op), pass.label), result, target, held});
  }
}

// Opens a handle on COMcom (the trace is read at every open) and makes the first frame, which on an
// A-series link runs the wake-up handshake, before anything is measured.
int OpenWarm(int com, Family family) {
  const int handle = VelOpen(com - 1, family == Family::Fx);
  if (handle < 0) throw std::runtime_error(Format("VelOpen on COM%d returned %d", com, handle));
  std::uint8_t warm[2];
  if (VelRdB(handle, 'S', kAddress, 2, warm) != 0) throw std::runtime_error("warm-up read failed");
  return handle;
}

}  // namespace

void PacedTransfers(const Options &options, ResultTable &table) {
  const Pass passes[] = {{"", false, false, kSizes, std::size(kSizes)},
                         {", trace to a file", true, false, kTracedSizes, std::size(kTracedSizes)},
                         {", over TCP", false, true, kTcpSizes, std::size(kTcpSizes)}};
  const std::string tracePath = DeviceDir() + "/bench.trace";
  int com = 1;
  for (Family family : {Family::Fx, Family::A}) {
    const VelsimProcess floorSim(options.velsim, family, DeviceDir(), kFloorCom, true);
    VelsimProcess serial(options.velsim, family, DeviceDir(), com, true);
    VelsimProcess tcp(options.velsim, family, true);
    const std::string variable = Format("VELDRV_COM%d", com);
    for (const Pass &pass : passes) {
      if (pass.trace)
        setenv("VELDRV_TRACE", tracePath.c_str(), 1);
      else
        unsetenv("VELDRV_TRACE");
      if (pass.tcp)
        setenv(variable.c_str(), tcp.address().c_str(), 1);
      else
        unsetenv(variable.c_str());
      const VelsimProcess &sim = pass.tcp ? tcp : serial;
      const int handle = OpenWarm(com, family);
      for (const Size *size = pass.sizes; size != pass.sizes + pass.count; size++) {
        Progress("paced %s %d bytes%s", FamilyName(family), size->bytes, pass.label);
        const Measured written = Run(handle, family, Op::Write, *size, sim);
        const Measured read = Run(handle, family, Op::Read, *size, sim);
        AddRows(table, family, Op::Read, *size, read, pass);
        AddRows(table, family, Op::Write, *size, written, pass);
      }
      VelClose(handle);
    }
    unsetenv("VELDRV_TRACE");
    unsetenv(variable.c_str());
    com++;
  }
  table.note(
      "Wire efficiency: median time of VelRdB/VelWrB over the wire time of the characters of the exchange at "
      "9600 baud (FX 10 bits, A-series 11 bits a character), against velsim --pace in a process of its own. "
      "The A-series wire time includes the two 3 ms pauses per frame around the session byte: the protocol "
      "demands them, the line is idle during them and no implementation can avoid them. A-series ratios "
      "below 1: the pause after the session byte runs from the moment the byte is handed to the port, so "
      "the byte's own 1.15 ms on the line falls inside that pause, while the wire time counts both.");
  table.note(
      "CPU: getrusage(RUSAGE_SELF) user+system time of the benchmark process (the calling thread is its only "
      "busy thread) over wall time; the simulator runs as a separate velsim process, its own load is shown "
      "apart (from /proc, 10 ms resolution). The paced simulator hands over every character on its own; the "
      "bare loop, a process of its own reading 254-byte frames from a second paced velsim of the same family "
      "with one poll() and one read() a character during the 4096-byte reads, costs a wake-up per character. "
      "The library waits for batches of the characters an answer still lacks: a read may cost at most 0.3 "
      "times as much CPU per character received as that loop did at the same time (over TCP, whose batches "
      "are shorter, 1.2 times; writes: below 1 % load). Wake-ups: voluntary context switches of the calling "
      "thread (getrusage(RUSAGE_THREAD)), that is its waits in poll, sleeps and blocking calls; judged on "
      "the serial line (over TCP at most 16 ms pass between two reads, so that the connection's "
      "acknowledgements keep the server sending). Trace to a file: "
      "VELDRV_TRACE names a file "
      "in the benchmark's folder, every frame and call is written to it. Over TCP: velsim --listen --pace on "
      "127.0.0.1 in a process of its own, the port named tcp://127.0.0.1:PORT by VELDRV_COM<n>; the wire "
      "time is the same 9600-baud time, which the simulator keeps on its side.");
}

}  // namespace bench
