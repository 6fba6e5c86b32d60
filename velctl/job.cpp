#include "job.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "numbers.h"
#include "platform.h"
#include "settings.h"

using operands::Kind;
using operands::Operand;

namespace {

std::string Usage(Command command) {
  switch (command) {
  case Command::Read:
    return "read ADDR COUNT";
  case Command::Write:
    return "write ADDR VALUE...";
  case Command::Poll:
    return "poll ADDR COUNT";
  case Command::Dump:
    return "dump ADDR BYTES -o FILE";
  case Command::Load:
    return "load ADDR FILE";
  case Command::Info:
    return "info";
  case Command::Probe:
    return "probe";
  case Command::Run:
    return "run FILE";
  }
  return {};
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

bool IsTimerOrCounter(const Operand &op) {
  return op.device == 'T' || op.device == 'C';
}

// A type other than bits on bit devices takes whole bytes: the device must be
// the first of its byte.
bool StartsAByte(const Operand &op, const std::string &how, bool typed, std::string *error) {
  const std::uint32_t index = op.number - op.first;
  if (index % 8 == 0) return true;
  const std::uint32_t first = op.first + index / 8 * 8;
  *error = "'" + operands::OperandName(op, op.number) + "' does not start a byte: " + how +
           " whole bytes of eight " + op.what + " (" + operands::OperandName(op, first) + ".." +
           operands::OperandName(op, first + 7) + " is one)" + (typed ? "; -t bits takes single ones" : "");
  return false;
}

// The operand as the type reads it: FX timers and counters name their
// contacts for bits and bytes, their current values otherwise; A-series
// areas count bits for bits. None with *error set when the type does not fit.
std::optional<Operand> OperandFor(const std::string &text, const Options &o, std::optional<ValueType> *type,
                                  std::string *error) {
  const auto family = o.fx ? operands::Family::Fx : operands::Family::A;
  auto op = operands::ParseOperand(text, family, false, error);
  if (!op) return std::nullopt;
  if (!*type) *type = DefaultType(*op);
  const ValueType t = **type;
  const std::string name = TypeName(t);
  bool asBits = false;
  switch (op->kind) {
  case Kind::Word:
  case Kind::Long:
    if ((t == ValueType::Bits || t == ValueType::U8) && IsTimerOrCounter(*op)) {
      asBits = true;  // their contacts
    } else if (t == ValueType::Bits || t == ValueType::U8) {
      *error = "type " + name + " does not fit the " + op->what +
               " (16 bits each): use u16, i16, u32, i32, f32 or hex";
      return std::nullopt;
    } else if (op->kind == Kind::Long &&
               (t == ValueType::U16 || t == ValueType::I16 || t == ValueType::F32)) {
      *error = "type " + name + " does not fit the " + op->what + " (C200..C255): use i32, u32 or hex";
      return std::nullopt;
    }
    break;
  case Kind::Bit:
    if (t == ValueType::F32) {
      *error =
          "type f32 does not fit the " + std::string(op->what) + ": use bits, u8, u16, i16, u32, i32 or hex";
      return std::nullopt;
    }
    break;
  case Kind::Byte:
    if (t == ValueType::Bits && op->letter == 'S') {
      *error = "type bits is for bit devices and areas, not for raw controller memory: use u8 or hex";
      return std::nullopt;
    }
    asBits = t == ValueType::Bits;
    break;
  }
  if (asBits) op = operands::ParseOperand(text, family, true, error);
  if (op && op->kind == Kind::Bit && t != ValueType::Bits &&
      !StartsAByte(*op, "-t " + name + " reads", true, error))
    return std::nullopt;
  return op;
}

}  // namespace

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

bool PrintsData(const Job &job) {
  const Command c = job.options.command;
  return c == Command::Read || c == Command::Poll || c == Command::Info ||
         (c == Command::Dump && job.options.output == "-");
}

bool PrepareJob(const Options &o, Job *job, std::string *error) {
  job->options = o;
  if (job->what.empty()) job->what = Describe(o);
  const size_t operands = o.operands.size();
  const bool shapeOk = o.command == Command::Write  ? operands >= 2
                       : o.command == Command::Info ? operands == 0
                                                    : operands == 2;
  if (!shapeOk) {
    *error = "usage: velctl [options] " + Usage(o.command);
    return false;
  }
  if (o.command == Command::Info) {
    if (!o.fx) {
      *error =
          "info reads the FX special registers D8001, D8002 and M8000: not for -f a (velctl probe tells "
          "which family answers)";
      return false;
    }
    return true;
  }
  if (o.command == Command::Dump && !o.output) {
    *error = "dump needs -o FILE (\"-o -\" for standard output)";
    return false;
  }
  const auto family = o.fx ? operands::Family::Fx : operands::Family::A;
  const bool writes = o.command == Command::Write || o.command == Command::Load;
  std::uint64_t bytes = 0;
  if (o.command == Command::Dump || o.command == Command::Load) {
    auto op = operands::ParseOperand(o.operands[0], family, false, error);
    if (!op) return false;
    if (op->kind == Kind::Bit && !StartsAByte(*op, o.commandName + " takes", false, error)) return false;
    job->operand = *op;
    if (o.command == Command::Dump) {
      auto n = ParseCount(o.operands[1], kMemoryBytes);
      if (!n || *n == 0) {
        *error = "bad byte count '" + o.operands[1] + "': 1 to 65536";
        return false;
      }
      bytes = *n;
    } else {
      if (!ReadFile(o.operands[1], &job->payload, error)) return false;
      bytes = job->payload.size();
    }
  } else {
    std::optional<ValueType> type = o.type;
    auto op = OperandFor(o.operands[0], o, &type, error);
    if (!op) return false;
    job->operand = *op;
    job->type = *type;
    if (o.command == Command::Write) {
      std::vector<std::string> values(o.operands.begin() + 1, o.operands.end());
      auto encoded = EncodeValues(job->type, *op, values, error);
      if (!encoded) return false;
      job->payload = std::move(*encoded);
      job->count = values.size();
    } else {
      auto n = ParseCount(o.operands[1], 8 * kMemoryBytes);
      if (!n || *n == 0) {
        *error = "bad count '" + o.operands[1] + "': a number of values, at least 1";
        return false;
      }
      job->count = *n;
    }
    bytes = job->type == ValueType::Bits
                ? operands::BitBytes(*op, job->count)
                : job->count * static_cast<std::uint64_t>(ValueBytes(job->type, *op));
  }
  if (writes && !job->operand.writable) {
    *error = std::string("the ") + job->operand.what + " (" + job->operand.device + ") can only be read";
    return false;
  }
  auto span = operands::SpanOf(job->operand, bytes, family, LegacyFxAreas(), error);
  if (!span) return false;
  job->span = *span;
  return true;
}
