#include "operands.h"

#include <charconv>
#include <cstdio>

namespace operands {
namespace {

constexpr std::uint32_t kMemoryBytes = 0x10000;

// One block of FX devices that the plain read ('0') and write ('1') commands
// reach, and where it lies; in address order.
struct Block {
  char device;
  std::uint32_t first, last;
  Kind kind;
  bool contacts;  // T and C: the block of their contacts (bits), not their values
  std::uint32_t base;
  char letter;  // the exports' letter of the block, or S
  bool writable;
  const char *what;
};

const Block kFxBlocks[] = {
    {'S', 0, 999, Kind::Bit, false, 0x0000, 'S', true, "state relays"},
    {'X', 0, 0377, Kind::Bit, false, 0x0080, 'X', false, "inputs"},
    {'Y', 0, 0377, Kind::Bit, false, 0x00A0, 'Y', true, "outputs"},
    {'T', 0, 255, Kind::Bit, true, 0x00C0, 'S', true, "timer contacts"},
    {'M', 0, 1023, Kind::Bit, false, 0x0100, 'M', true, "markers"},
    {'C', 0, 255, Kind::Bit, true, 0x01C0, 'S', true, "counter contacts"},
    {'M', 8000, 8255, Kind::Bit, false, 0x01E0, 'S', true, "special markers"},
    {'T', 0, 255, Kind::Word, false, 0x0800, 'S', true, "timer current values"},
    {'C', 0, 199, Kind::Word, false, 0x0A00, 'S', true, "16-bit counter current values"},
    {'C', 200, 255, Kind::Long, false, 0x0C00, 'S', true, "32-bit counter current values"},
    {'D', 8000, 8255, Kind::Word, false, 0x0E00, 'S', true, "special data registers"},
    {'D', 0, 7999, Kind::Word, false, 0x1000, 'D', true, "data registers"},
};

// What the plain commands reach of each FX device.
const char *FxReach(char device) {
  switch (device) {
  case 'S':
    return "S0..S999";
  case 'X':
    return "X0..X377";
  case 'Y':
    return "Y0..Y377";
  case 'T':
    return "T0..T255";
  case 'M':
    return "M0..M1023 and M8000..M8255";
  case 'C':
    return "C0..C255";
  default:
    return "D0..D7999 and D8000..D8255";
  }
}

// A-series areas: the library's letters.
struct Area {
  const char *letters;
  char device;
  std::uint32_t base;
  Kind kind;
  bool writable;
  const char *what;
};

const Area kAreas[] = {
    {"D", 'D', 0x8800, Kind::Word, true, "data registers"},
    {"EIX", 'X', 0x8000, Kind::Byte, false, "inputs"},
    {"AOY", 'Y', 0x8200, Kind::Byte, true, "outputs"},
    {"M", 'M', 0x8400, Kind::Byte, true, "markers"},
};

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::uint32_t UnitBytes(Kind kind) {
  return kind == Kind::Long ? 4 : kind == Kind::Word ? 2 : 1;
}

// Digits in the base, nothing else; at most max.
std::optional<std::uint32_t> Digits(std::string_view text, int base, std::uint32_t max) {
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

// Decimal or 0x hex.
std::optional<std::uint32_t> Number(std::string_view text, std::uint32_t max) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (ec != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
    return static_cast<std::uint32_t>(value);
  }
  return Digits(text, 10, max);
}

std::optional<Operand> Raw(std::string_view text, std::string_view digits, char device, std::string *error) {
  auto address = Number(digits, kMemoryBytes - 1);
  if (!address) {
    *error = "bad address '" + std::string(text) + "': a controller address is 0..0xFFFF, decimal or 0x hex";
    return std::nullopt;
  }
  Operand op;
  op.device = device;
  op.number = *address;
  op.kind = Kind::Byte;
  op.first = 0;
  op.last = kMemoryBytes - 1;
  op.letter = 'S';
  op.what = "controller memory";
  op.reach = "0x0000..0xFFFF";
  return op;
}

std::optional<Operand> ParseFx(std::string_view text, bool bits, std::string *error) {
  const std::string shown(text);
  const char device = Upper(text[0]);
  const std::string_view digits = text.substr(1);
  const bool octal = device == 'X' || device == 'Y';
  bool known = false;
  for (const Block &b : kFxBlocks) known = known || b.device == device;
  if (!known) {
    *error = "bad device '" + shown +
             "': an FX device is X, Y, M, S, T, C or D with its number (X17, M100, D8001), or @ADDRESS for "
             "a raw controller address (@0x1000)";
    return std::nullopt;
  }
  auto number = Digits(digits, octal ? 8 : 10, 0xFFFFFFFF);
  if (!number) {
    *error = "bad device '" + shown + "': " +
             (octal ? std::string(1, device) + " is numbered in octal (" + device + "0.." + device + "7, " +
                          device + "10.." + device + "17, ... " + device + "377)"
                    : std::string(1, device) + " takes a decimal number");
    return std::nullopt;
  }
  if (device == 'D' && bits) {
    *error = "'" + shown + "' is a 16-bit data register, not a bit device";
    return std::nullopt;
  }
  for (const Block &b : kFxBlocks) {
    if (b.device != device || *number < b.first || *number > b.last) continue;
    if ((device == 'T' || device == 'C') && b.contacts != bits) continue;
    Operand op;
    op.device = device;
    op.number = *number;
    op.kind = b.kind;
    op.writable = b.writable;
    op.octal = octal;
    op.first = b.first;
    op.last = b.last;
    op.base = b.base;
    op.letter = b.letter;
    op.what = b.what;
    op.reach = FxReach(device);
    return op;
  }
  *error = "'" + shown +
           "' is beyond what the controller's plain read and write commands reach: " + FxReach(device);
  return std::nullopt;
}

std::optional<Operand> ParseA(std::string_view text, bool bits, std::string *error) {
  const std::string shown(text);
  const char letter = Upper(text[0]);
  if (letter == 'S') return Raw(text, text.substr(1), 'S', error);
  for (const Area &a : kAreas) {
    bool match = false;
    for (const char *l = a.letters; *l; ++l) match = match || *l == letter;
    if (!match) continue;
    auto number = Number(text.substr(1), 0x7FFFFFFF);
    if (!number) {
      *error = "bad address '" + shown + "': " + std::string(1, letter) +
               " must be followed by a number, decimal or 0x hex";
      return std::nullopt;
    }
    if (bits && a.kind == Kind::Word) {
      *error = "'" + shown + "' is a 16-bit data register, not a bit device";
      return std::nullopt;
    }
    Operand op;
    op.device = a.device;
    op.number = *number;
    op.kind = bits ? Kind::Bit : a.kind;
    op.writable = a.writable;
    op.first = 0;
    op.last = 0x7FFFFFFF;
    op.base = a.base;
    op.letter = a.device;
    op.what = a.what;
    op.reach = "the controller's 64 KiB";
    return op;
  }
  *error = "bad address '" + shown + "': the area letter is one of D, X (E, I), Y (A, O), M or S";
  return std::nullopt;
}

std::uint64_t Address64(const Operand &op, std::uint32_t number) {
  const std::uint64_t index = number - op.first;
  return op.base + (op.kind == Kind::Bit ? index / 8 : index * UnitBytes(op.kind));
}

}  // namespace

std::optional<Operand> ParseOperand(std::string_view text, Family family, bool bits, std::string *error) {
  if (text.empty()) {
    *error = "an address is missing";
    return std::nullopt;
  }
  if (text[0] == '@') {
    if (bits) {
      *error = "'" + std::string(text) + "' is a raw address: it is read as bytes or values, not as bits";
      return std::nullopt;
    }
    return Raw(text, text.substr(1), '@', error);
  }
  return family == Family::Fx ? ParseFx(text, bits, error) : ParseA(text, bits, error);
}

std::uint32_t AddressOf(const Operand &op, std::uint32_t number) {
  return static_cast<std::uint32_t>(Address64(op, number));
}

int BitOf(const Operand &op, std::uint32_t number) {
  return op.kind == Kind::Bit ? static_cast<int>((number - op.first) % 8) : 0;
}

std::string OperandName(const Operand &op, std::uint32_t number) {
  char name[32];
  if (op.device == '@' || (op.device == 'S' && op.letter == 'S' && op.kind == Kind::Byte))
    std::snprintf(name, sizeof name, "%c0x%04X", op.device, number);
  else
    std::snprintf(name, sizeof name, op.octal ? "%c%o" : "%c%u", op.device, number);
  return name;
}

std::uint64_t BitBytes(const Operand &op, std::uint64_t count) {
  if (count == 0) return 0;
  const std::uint64_t firstBit = op.number - op.first;
  return (firstBit + count - 1) / 8 - firstBit / 8 + 1;
}

std::optional<Span> SpanOf(const Operand &op, std::uint64_t bytes, Family family, bool legacyFx,
                           std::string *error) {
  Span span;
  const std::uint64_t end = Address64(op, op.number) + bytes;
  const bool fxBlock = family == Family::Fx && op.device != '@';
  const std::uint64_t blockEnd =
      fxBlock ? Address64(op, op.last) + (op.kind == Kind::Bit ? 1 : UnitBytes(op.kind)) : kMemoryBytes;
  if (end > blockEnd || end > kMemoryBytes) {
    const std::string name = OperandName(op, op.number);
    *error = fxBlock ? "'" + name + "' and what follows run past " + OperandName(op, op.last) +
                           ", the last of the " + op.what + " the controller's plain commands reach (" +
                           op.reach + ")"
                     : "'" + name + "' and what follows run past the end of controller memory (0xFFFF)";
    return std::nullopt;
  }
  span.address = AddressOf(op, op.number);
  span.bytes = static_cast<std::uint32_t>(bytes);
  span.letter = op.letter;
  if (legacyFx && family == Family::Fx && (op.letter == 'X' || op.letter == 'Y' || op.letter == 'M'))
    span.letter = 'S';  // the library's legacy letters point elsewhere
  if (span.letter == 'S') {
    span.start = static_cast<std::int32_t>(span.address);
    span.units = static_cast<std::int32_t>(bytes);
    return span;
  }
  const std::uint32_t offset = span.address - op.base;
  span.words = op.letter == 'D' && offset % 2 == 0 && bytes % 2 == 0;
  span.start = static_cast<std::int32_t>(span.words ? offset / 2 : offset);
  span.units = static_cast<std::int32_t>(span.words ? bytes / 2 : bytes);
  return span;
}

std::vector<DeviceRun> FxDevicesAt(std::uint32_t address, std::uint32_t bytes) {
  std::vector<DeviceRun> runs;
  const std::uint64_t from = address, to = std::uint64_t{address} + bytes;
  for (const Block &b : kFxBlocks) {
    const std::uint64_t unit = UnitBytes(b.kind);
    const std::uint64_t devices = b.last - b.first + 1;
    const std::uint64_t end = b.base + (b.kind == Kind::Bit ? (devices + 7) / 8 : devices * unit);
    const std::uint64_t lo = from > b.base ? from : b.base, hi = to < end ? to : end;
    if (lo >= hi) continue;
    DeviceRun run;
    run.device = b.device;
    run.octal = b.device == 'X' || b.device == 'Y';
    run.contacts = b.contacts;
    if (b.kind == Kind::Bit) {
      run.first = b.first + static_cast<std::uint32_t>((lo - b.base) * 8);
      const std::uint64_t last = b.first + (hi - b.base) * 8 - 1;
      run.last = static_cast<std::uint32_t>(last < b.last ? last : b.last);
    } else {
      run.first = b.first + static_cast<std::uint32_t>((lo - b.base) / unit);
      run.last = b.first + static_cast<std::uint32_t>((hi - 1 - b.base) / unit);
    }
    runs.push_back(run);
  }
  return runs;  // the blocks are listed in address order
}

std::string DeviceRunName(const DeviceRun &run) {
  Operand op;
  op.device = run.device;
  op.octal = run.octal;
  op.kind = Kind::Bit;
  std::string name = OperandName(op, run.first);
  if (run.last != run.first) name += ".." + OperandName(op, run.last);
  if (run.contacts) name += " contacts";
  return name;
}

}  // namespace operands
