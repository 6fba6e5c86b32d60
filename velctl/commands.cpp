#include "commands.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "output.h"
#include "platform.h"
#include "status_text.h"
#include "transfers.h"

namespace {

// What the messages call the command: "read D100 3"; a long write is cut.
std::string Describe(const Options &o) {
  std::string what = o.commandName;
  constexpr size_t kShownOperands = 8;
  for (size_t i = 0; i < o.operands.size(); ++i) {
    if (i == kShownOperands && o.operands.size() > kShownOperands + 1) {
      what += " ... (" + std::to_string(o.operands.size() - 1) + " values)";
      break;
    }
    what += " " + o.operands[i];
  }
  return what;
}

// "velctl: read D100 3: time-out: the controller did not answer within 990 ms (-1)"
int Failed(const std::string &what, int status, const std::string &after = {}) {
  std::fprintf(stderr, "velctl: %s: %s (%d)%s\n", what.c_str(), StatusText(status), status, after.c_str());
  return kExitFailed;
}

// What every command needs before it sends anything.
struct Job {
  Options options;
  std::string what;
  Address address;
  ValueType type = ValueType::U8;
  Region region;
  std::uint64_t count = 0;            // values (read, poll, write)
  std::vector<std::uint8_t> payload;  // write: encoded values; load: the file
};

bool Say(const Options &o) {
  return !o.quiet;
}

int WrongOperands(const Options &o) {
  const char *forms[] = {"read ADDR COUNT", "write ADDR VALUE...", "poll ADDR COUNT",
                         "dump ADDR BYTES -o FILE", "load ADDR FILE"};
  return BadUsage(std::string("usage: velctl [options] ") + forms[static_cast<int>(o.command)]);
}

// Reads a whole file ("-": standard input); a file larger than controller
// memory is refused after its first 64 KiB and one byte.
bool ReadFile(const std::string &name, std::vector<std::uint8_t> *bytes, std::string *error) {
  std::FILE *file = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
  if (!file) {
    *error = "cannot read '" + name + "': " + std::strerror(errno);
    return false;
  }
  if (file == stdin) UseBinary(stdin);
  std::uint8_t block[4096];
  size_t n;
  while (bytes->size() <= kMemoryBytes && (n = std::fread(block, 1, sizeof block, file)) > 0)
    bytes->insert(bytes->end(), block, block + n);
  bool failed = std::ferror(file) != 0;
  if (failed) *error = "cannot read '" + name + "': " + std::strerror(errno);
  if (file != stdin) std::fclose(file);
  if (!failed && bytes->empty()) *error = "'" + name + "' is empty: nothing to load";
  if (!failed && bytes->size() > kMemoryBytes) *error = "'" + name + "' is larger than controller memory";
  return error->empty();
}

// Checks the command's operands; false after BadUsage printed the reason.
bool Prepare(Job *job, int *exitStatus) {
  const Options &o = job->options;
  std::string error;
  auto usage = [&](const std::string &message) {
    *exitStatus = BadUsage(message);
    return false;
  };
  size_t operands = o.operands.size();
  bool shapeOk = o.command == Command::Write ? operands >= 2 : operands == 2;
  if (!shapeOk) {
    *exitStatus = WrongOperands(o);
    return false;
  }
  if (o.command == Command::Dump && !o.output)
    return usage("dump needs -o FILE (\"-o -\" for standard output)");

  auto address = ParseAddress(o.operands[0], &error);
  if (!address) return usage(error);
  job->address = *address;
  bool writes = o.command == Command::Write || o.command == Command::Load;
  if (writes && !AreaWritable(address->area))
    return usage(std::string("the ") + AreaWords(address->area) + " (" + address->letter +
                 ") can only be read");

  std::optional<Region> region;
  if (o.command == Command::Dump || o.command == Command::Load) {
    std::uint64_t bytes = 0;
    if (o.command == Command::Dump) {
      auto n = ParseCount(o.operands[1], kMemoryBytes);
      if (!n || *n == 0) return usage("bad byte count '" + o.operands[1] + "': 1 to 65536");
      bytes = *n;
    } else {
      if (!ReadFile(o.operands[1], &job->payload, &error)) return usage(error);
      bytes = job->payload.size();
    }
    region = ByteRegion(*address, bytes, o.fx, &error);
  } else {
    job->type = o.type.value_or(DefaultType(address->area));
    std::string misfit = TypeMisfit(job->type, address->area);
    if (!misfit.empty()) return usage(misfit);
    if (o.command == Command::Write) {
      std::vector<std::string> values(o.operands.begin() + 1, o.operands.end());
      auto encoded = EncodeValues(job->type, address->area, values, &error);
      if (!encoded) return usage(error);
      job->payload = std::move(*encoded);
      job->count = values.size();
    } else {
      auto n = ParseCount(o.operands[1], 8 * kMemoryBytes);
      if (!n || *n == 0) return usage("bad count '" + o.operands[1] + "': a number of values, at least 1");
      job->count = *n;
    }
    region = ValueRegion(*address, job->type, job->count, o.fx, &error);
  }
  if (!region) return usage(error);
  job->region = *region;
  return true;
}

// The largest frame the library sends: --max-frame, else VELDRV_FRAME_BYTES, else 254.
int FrameBytes(const Options &o) {
  if (o.maxFrame) return o.maxFrame;
  const char *setting = std::getenv("VELDRV_FRAME_BYTES");
  if (setting && *setting)
    if (auto n = ParseCount(setting, 254); n && *n > 0) return static_cast<int>(*n);
  return 254;
}

// Hands -d, --trace and --max-frame to the library, which reads them at its open.
bool PassSettings(const Options &o) {
  std::string variable = "VELDRV_COM" + std::to_string(o.port + 1);
  bool ok = true;
  if (!o.device.empty()) ok = SetVariable(variable.c_str(), o.device.c_str()) && ok;
  if (o.trace) ok = SetVariable("VELDRV_TRACE", "stderr") && ok;
  if (o.maxFrame) ok = SetVariable("VELDRV_FRAME_BYTES", std::to_string(o.maxFrame).c_str()) && ok;
  if (!ok) std::fprintf(stderr, "velctl: cannot set the library's settings in the environment\n");
  return ok;
}

std::string PortName(const Options &o) {
  std::string name = "COM" + std::to_string(o.port + 1);
  if (!o.device.empty()) name += " (" + o.device + ")";
  return name;
}

int RunRead(const Job &job, Link &link) {
  std::vector<std::uint8_t> bytes(static_cast<size_t>(job.region.bytes()));
  std::int64_t done = 0;
  int status = link.Read(job.region, bytes.data(), &done);
  if (status != 0) return Failed(job.what, status);
  Printer(job.options.format, job.type, false).Print(DecodeValues(job.address, job.type, job.count, bytes));
  return kExitOk;
}

int RunPoll(const Job &job, Link &link) {
  Printer printer(job.options.format, job.type, true);
  std::vector<std::uint8_t> bytes(static_cast<size_t>(job.region.bytes()));
  auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(job.options.interval));
  auto next = std::chrono::steady_clock::now();
  std::uint64_t succeeded = 0;
  for (std::uint64_t sample = 0; !Interrupted(); ++sample) {
    std::string time = TimeStamp();
    std::int64_t done = 0;
    int status = link.Read(job.region, bytes.data(), &done);
    if (status == 0) {
      printer.Print(DecodeValues(job.address, job.type, job.count, bytes), time);
      succeeded++;
    } else {
      Failed(job.what + ": " + time, status);
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

// Writes the values; bits that do not fill their bytes are merged into the
// bytes as read just before (the other bits keep the value read).
int RunWrite(Job &job, Link &link) {
  std::vector<std::uint8_t> bytes = job.payload;
  std::int64_t done = 0;
  if (job.type == ValueType::Bits) {
    bytes.assign(static_cast<size_t>(job.region.bytes()), 0);
    std::uint32_t offset = job.address.number % 8;
    if (offset != 0 || job.count % 8 != 0) {
      int status = link.Read(job.region, bytes.data(), &done);
      if (status != 0) return Failed(job.what, status, "; nothing was written");
    }
    for (size_t k = 0; k < job.count; ++k) {
      size_t bit = offset + k;
      auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
      bytes[bit / 8] =
          static_cast<std::uint8_t>(job.payload[k] ? bytes[bit / 8] | mask : bytes[bit / 8] & ~mask);
    }
  }
  int status = link.Write(job.region, bytes.data(), &done);
  if (status != 0)
    return Failed(job.what, status,
                  done > 0 ? "; the first " + std::to_string(done) + " bytes were written" : std::string());
  if (Say(job.options)) {
    std::vector<Item> names =
        DecodeValues(job.address, job.type, job.count, job.type == ValueType::Bits ? bytes : job.payload);
    std::string range = names.front().name + (names.size() > 1 ? ".." + names.back().name : "");
    std::string what = job.type == ValueType::Bits ? "bit" : std::string(TypeName(job.type)) + " value";
    std::fprintf(stderr, "wrote %llu %s%s: %s\n", static_cast<unsigned long long>(job.count), what.c_str(),
                 job.count == 1 ? "" : "s", range.c_str());
  }
  return kExitOk;
}

int RunDump(const Job &job, Link &link) {
  std::vector<std::uint8_t> bytes(static_cast<size_t>(job.region.bytes()));
  std::int64_t done = 0;
  int status = link.Read(job.region, bytes.data(), &done);
  if (status != 0) return Failed(job.what, status, "; no file was written");
  const std::string &name = *job.options.output;
  std::FILE *file = name == "-" ? stdout : std::fopen(name.c_str(), "wb");
  if (file == stdout) UseBinary(stdout);
  bool ok = file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  ok = file && (file == stdout ? std::fflush(file) == 0 : std::fclose(file) == 0) && ok;
  if (!ok) {
    std::fprintf(stderr, "velctl: %s: cannot write '%s': %s\n", job.what.c_str(), name.c_str(),
                 std::strerror(errno));
    return kExitFailed;
  }
  if (Say(job.options))
    std::fprintf(stderr, "dumped %zu bytes from %s to %s\n", bytes.size(), job.options.operands[0].c_str(),
                 name == "-" ? "standard output" : name.c_str());
  return kExitOk;
}

int RunLoad(Job &job, Link &link) {
  std::int64_t done = 0;
  int status = link.Write(job.region, job.payload.data(), &done);
  if (status != 0)
    return Failed(job.what, status,
                  done > 0 ? "; the first " + std::to_string(done) + " bytes were written" : std::string());
  if (Say(job.options))
    std::fprintf(stderr, "loaded %zu bytes from %s to %s\n", job.payload.size(),
                 job.options.operands[1] == "-" ? "standard input" : job.options.operands[1].c_str(),
                 job.options.operands[0].c_str());
  return kExitOk;
}

}  // namespace

int BadUsage(const std::string &message) {
  std::fprintf(stderr, "velctl: %s\nTry 'velctl --help' for more information.\n", message.c_str());
  return kExitUsage;
}

int RunCommand(const Options &options) {
  Job job;
  job.options = options;
  job.what = Describe(options);
  int exitStatus = kExitUsage;
  if (!Prepare(&job, &exitStatus)) return exitStatus;
  if (!PassSettings(options)) return kExitFailed;
  // Ctrl-C while polling ends the polling after the transfer under way.
  if (options.command == Command::Poll) CatchInterrupt();

  LinkSetup setup;
  setup.port = options.port;
  setup.fx = options.fx;
  setup.frameBytes = FrameBytes(options);
  setup.progress = !options.quiet && ErrorsGoToTerminal();
  Link link(setup);
  if (int status = link.Open(); status != 0) return Failed(job.what + ": open " + PortName(options), status);
  switch (options.command) {
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
  }
  return kExitFailed;
}
