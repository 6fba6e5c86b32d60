#include "commands.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "output.h"
#include "platform.h"
#include "settings.h"

namespace {

int RunRead(const Job &job, Link &link) {
  std::vector<std::uint8_t> bytes(job.span.bytes);
  std::int64_t done = 0;
  int status = link.Read(job.span, bytes.data(), &done);
  if (status != 0) return TransferFailed(job.what, job.options, link, status);
  Printer printer(job.options.format, job.type, false);
  if (!printer.Print(DecodeValues(job.operand, job.type, job.count, bytes))) return StdoutFailed(errno);
  return kExitOk;
}

bool DeviceLost(const Link &link, int status) {
  return link.Reason(status).find("device lost") != std::string::npos;
}

// Samples until --count or Ctrl-C. A sample that fails is reported and the
// next one comes at its time. After a device loss (a connection that broke,
// an adapter pulled out) the port is closed and opened again before the
// next sample, and at every sample after until it opens.
int RunPoll(const Job &job, Link &link) {
  Printer printer(job.options.format, job.type, true);
  std::vector<std::uint8_t> bytes(job.span.bytes);
  auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(job.options.interval));
  auto next = std::chrono::steady_clock::now();
  std::uint64_t succeeded = 0;
  for (std::uint64_t sample = 0; !Interrupted(); ++sample) {
    std::string time = TimeStamp();
    std::int64_t done = 0;
    int status = 0;
    if (!link.IsOpen()) {
      status = link.Reopen();
      if (status != 0)
        OpenFailed(job.what + ": " + time, job.options, link, status);
      else
        Say("poll: " + PortName(job.options) + " is open again");
    }
    if (status == 0) status = link.Read(job.span, bytes.data(), &done);
    if (status == 0) {
      if (!printer.Print(DecodeValues(job.operand, job.type, job.count, bytes), time))
        return StdoutFailed(errno);  // nobody reads the samples any more
      succeeded++;
    } else if (link.IsOpen()) {
      TransferFailed(job.what + ": " + time, job.options, link, status);
      if (DeviceLost(link, status)) {
        link.Close();
        Say("poll: the device is lost; " + PortName(job.options) + " opens again before the next sample");
      }
    }
    if (job.options.samples && sample + 1 >= *job.options.samples) break;
    // Samples keep their rhythm; one that took longer than the interval
    // is followed at once, without a burst to catch up.
    next += interval;
    auto now = std::chrono::steady_clock::now();
    if (next < now) next = now;
    if (!WaitUntil(next)) break;
  }
  // Ctrl-C ends polling as planned; a fixed number of samples of which none
  // succeeded is a failure.
  return Interrupted() || succeeded > 0 ? kExitOk : kExitFailed;
}

std::string Written(std::int64_t done) {
  return done > 0 ? "; the first " + std::to_string(done) + " bytes were written" : std::string();
}

// Writes the values; bits that do not fill their bytes are merged into the
// bytes as read just before (the other bits keep the value read).
int RunWrite(Job &job, Link &link) {
  std::vector<std::uint8_t> bytes = job.payload;
  std::int64_t done = 0;
  if (job.type == ValueType::Bits) {
    bytes.assign(job.span.bytes, 0);
    const auto offset = static_cast<std::uint64_t>(operands::BitOf(job.operand, job.operand.number));
    if (offset != 0 || (offset + job.count) % 8 != 0) {
      int status = link.Read(job.span, bytes.data(), &done);
      if (status != 0) return TransferFailed(job.what, job.options, link, status, "; nothing was written");
    }
    for (size_t k = 0; k < job.count; ++k) {
      size_t bit = offset + k;
      auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
      bytes[bit / 8] =
          static_cast<std::uint8_t>(job.payload[k] ? bytes[bit / 8] | mask : bytes[bit / 8] & ~mask);
    }
  }
  int status = link.Write(job.span, bytes.data(), &done);
  if (status != 0) return TransferFailed(job.what, job.options, link, status, Written(done));
  if (!job.options.quiet) {
    std::vector<Item> names =
        DecodeValues(job.operand, job.type, job.count, job.type == ValueType::Bits ? bytes : job.payload);
    std::string range = names.front().name + (names.size() > 1 ? ".." + names.back().name : "");
    std::string what = job.type == ValueType::Bits ? "bit" : std::string(TypeName(job.type)) + " value";
    std::fprintf(stderr, "wrote %llu %s%s: %s\n", static_cast<unsigned long long>(job.count), what.c_str(),
                 job.count == 1 ? "" : "s", range.c_str());
  }
  return kExitOk;
}

// The file is replaced only when everything was read and written.
int RunDump(const Job &job, Link &link) {
  const std::string &name = *job.options.output;
  WholeFile file;
  std::string error;
  if (name != "-" && !file.Open(name, &error)) {
    Say(job.what + ": " + error);
    return kExitFailed;
  }
  std::vector<std::uint8_t> bytes(job.span.bytes);
  std::int64_t done = 0;
  int status = link.Read(job.span, bytes.data(), &done);
  if (status != 0) return TransferFailed(job.what, job.options, link, status, "; no file was written");
  if (name == "-") {
    UseBinary(stdout);
    if (!WriteOut(bytes.data(), bytes.size())) return StdoutFailed(errno);
  } else if (!file.Write(bytes.data(), bytes.size(), &error) || !file.Commit(&error)) {
    Say(job.what + ": " + error + "; the file was left as it was");
    return kExitFailed;
  }
  if (!job.options.quiet)
    std::fprintf(stderr, "dumped %zu bytes from %s to %s\n", bytes.size(), job.options.operands[0].c_str(),
                 name == "-" ? "standard output" : name.c_str());
  return kExitOk;
}

int RunLoad(Job &job, Link &link) {
  std::int64_t done = 0;
  int status = link.Write(job.span, job.payload.data(), &done);
  if (status != 0) return TransferFailed(job.what, job.options, link, status, Written(done));
  if (!job.options.quiet)
    std::fprintf(stderr, "loaded %zu bytes from %s to %s\n", job.payload.size(),
                 job.options.operands[1] == "-" ? "standard input" : job.options.operands[1].c_str(),
                 job.options.operands[0].c_str());
  return kExitOk;
}

}  // namespace

LinkSetup SetupOf(const Options &o) {
  LinkSetup setup;
  setup.port = o.port;
  setup.fx = o.fx;
  setup.device = o.device;
  setup.frameBytes = FrameBytes(o);
  setup.progress = !o.quiet && ErrorsGoToTerminal();
  return setup;
}

int RunJob(Job &job, Link &link) {
  switch (job.options.command) {
  case Command::Read:
    return RunRead(job, link);
  case Command::Poll:
    return RunPoll(job, link);
  case Command::Write:
    return RunWrite(job, link);
  case Command::Dump:
    return RunDump(job, link);
  case Command::Load:
    return RunLoad(job, link);
  case Command::Info:
    return RunInfo(job, link);
  case Command::Probe:
  case Command::Run:
    break;
  }
  return kExitFailed;
}

int RunCommand(const Options &options) {
  if (options.command == Command::Probe) return RunProbe(options);
  if (options.command == Command::Run) return RunFile(options);
  Job job;
  std::string error;
  if (!PrepareJob(options, &job, &error)) return BadUsage(error);
  if (PrintsData(job) && StdoutWasClosed()) return StdoutFailed(EBADF);
  if (!PassSettings(options)) return kExitFailed;
  // Ctrl-C while polling ends the polling after the transfer under way.
  if (options.command == Command::Poll) CatchInterrupt();
  Link link(SetupOf(options));
  if (int status = link.Open(); status != 0) return OpenFailed(job.what, options, link, status);
  return RunJob(job, link);
}
