// velctl info: what an FX controller says about itself in its special
// devices: D8001 (model and version), D8002 (program memory) and M8000
// (on while it runs).
#include <cerrno>
#include <string>
#include <vector>

#include "commands.h"
#include "output.h"
#include "settings.h"

namespace {

// D8001 holds the model in its upper digits and the version in the lower
// three, as the public FX sources have it: 24310 is an FX2N of version 3.10.
// Later models report an earlier model's code here for compatibility (the
// FX3U the FX2N's).
struct ModelCode {
  int code;  // D8001 / 1000
  const char *model;
};

const ModelCode kModels[] = {{22, "FX1S"}, {24, "FX2N"}, {26, "FX1N"}};

// D8002: the program memory in thousands of steps; 8 for 8K and more.
std::string MemoryText(int d8002) {
  switch (d8002) {
  case 2:
    return "2K steps";
  case 4:
    return "4K steps";
  case 8:
    return "8K steps or more";
  default:
    return {};
  }
}

std::string Quoted(const std::string &text) {
  return text.empty() ? "null" : "\"" + text + "\"";
}

// The span of the named FX device for the bytes given.
bool SpanOfDevice(const char *name, bool bits, std::uint64_t bytes, operands::Operand *op,
                  operands::Span *span) {
  std::string error;
  auto parsed = operands::ParseOperand(name, operands::Family::Fx, bits, &error);
  if (!parsed) return false;
  auto found = operands::SpanOf(*parsed, bytes, operands::Family::Fx, LegacyFxAreas(), &error);
  if (!found) return false;
  *op = *parsed;
  *span = *found;
  return true;
}

}  // namespace

int RunInfo(const Job &job, Link &link) {
  operands::Operand registers, marker;
  operands::Span registerSpan, markerSpan;
  if (!SpanOfDevice("D8001", false, 4, &registers, &registerSpan) ||
      !SpanOfDevice("M8000", true, 1, &marker, &markerSpan))
    return kExitFailed;
  std::uint8_t codes[4] = {}, running = 0;
  std::int64_t done = 0;
  int status = link.Read(registerSpan, codes, &done);
  if (status == 0) status = link.Read(markerSpan, &running, &done);
  if (status != 0) return TransferFailed(job.what, job.options, link, status);

  const int d8001 = codes[0] | codes[1] << 8, d8002 = codes[2] | codes[3] << 8;
  const int m8000 = running & 1;
  std::string model, version;
  for (const ModelCode &m : kModels) {
    if (d8001 / 1000 == m.code) {
      model = m.model;
      const int v = d8001 % 1000;
      version = std::to_string(v / 100) + "." + std::to_string(v / 10 % 10) + std::to_string(v % 10);
    }
  }
  const std::string memory = MemoryText(d8002);
  const std::string state = m8000 ? "RUN" : "STOP";
  std::string out;
  switch (job.options.format) {
  case Format::Text:
    out = "family: FX\n";
    out += "model:  " + (model.empty() ? "unknown" : model + ", version " + version) +
           " (D8001 = " + std::to_string(d8001) + ")\n";
    out += "memory: " + (memory.empty() ? "unknown" : memory) + " (D8002 = " + std::to_string(d8002) + ")\n";
    out += "state:  " + state + " (M8000 = " + std::to_string(m8000) + ")\n";
    break;
  case Format::Csv:
    out = "name,value\nfamily,fx\nd8001," + std::to_string(d8001) + "\nmodel," + model + "\nversion," +
          version + "\nd8002," + std::to_string(d8002) + "\nmemory," + memory + "\nm8000," +
          std::to_string(m8000) + "\nstate," + state + "\n";
    break;
  case Format::Json:
    out = "{\"family\":\"fx\",\"d8001\":" + std::to_string(d8001) + ",\"model\":" + Quoted(model) +
          ",\"version\":" + Quoted(version) + ",\"d8002\":" + std::to_string(d8002) +
          ",\"memory\":" + Quoted(memory) + ",\"m8000\":" + std::to_string(m8000) + ",\"state\":\"" + state +
          "\"}\n";
    break;
  }
  if (!WriteOut(out)) return StdoutFailed(errno);
  return kExitOk;
}
