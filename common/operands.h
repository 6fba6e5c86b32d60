// Controller operands as the programs name them, and where each lies in
// controller memory:
//   FX: the controllers' own device names: X17 and Y0 (numbered in octal),
//       M100, M8000, S20, T5, C10, C200, D100, D8001.
//   A-series: an area letter and a number, decimal or 0x hex: D100, X0 (E0,
//       I0), Y0 (A0, O0), M3, and S0x8800 for a raw controller address.
//   Both: @ADDRESS, a raw controller address (@0x1000, @4096).
// Only the devices that the FX controllers' plain read and write commands
// reach have names; anything else is refused with a sentence that says what
// they do reach.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace operands {

enum class Family { Fx, A };

// What one device (one value of its natural type) occupies.
enum class Kind : std::uint8_t {
  Bit,   // eight to a byte: FX X, Y, M, S, T and C contacts; A-series areas read as bits
  Byte,  // A-series inputs, outputs and markers; raw addresses
  Word,  // 16 bits: D, D8000.., T and C0..C199 current values
  Long,  // 32 bits: C200..C255 current values
};

struct Operand {
  char device = 'D';         // D, X, Y, M, S, T, C; '@' for a raw address. A-series: D, X, Y, M, S (raw)
  std::uint32_t number = 0;  // device number (X, Y: the value of the octal digits); raw: the address
  Kind kind = Kind::Word;
  bool writable = true;
  bool octal = false;       // FX X and Y
  std::uint32_t first = 0;  // the range of numbers of the block this device lies in (M0..M1023, ...)
  std::uint32_t last = 0;
  std::uint32_t base = 0;  // controller byte address of device `first` (of its byte, for bits)
  char letter = 'S';       // the exports' letter that reaches the block, or S (raw)
  const char *what = "";   // "markers", "timer current values", ...
  const char *reach = "";  // what the plain commands reach of this device: "M0..M1023 and M8000..M8255"
};

// Parses a name for the family. bits: the caller wants single bits: FX T and
// C name their contacts (else their current values); an A-series X, Y or M
// number counts bits (M13 is bit 5 of marker byte 1). None, with *error
// set to a sentence for the user, when the name is malformed or out of reach.
std::optional<Operand> ParseOperand(std::string_view text, Family family, bool bits, std::string *error);

// Controller byte address of device `number` of the operand's block (for
// bits: the byte that holds it), and the bit in that byte.
std::uint32_t AddressOf(const Operand &op, std::uint32_t number);
int BitOf(const Operand &op, std::uint32_t number);

// The name of device `number` in the operand's block: "X17", "M8001",
// "D100", "@0x1004", A-series "S0x8804".
std::string OperandName(const Operand &op, std::uint32_t number);

// A run of controller memory and how the exports reach it.
struct Span {
  std::uint32_t address = 0;  // controller byte address of the first byte
  std::uint32_t bytes = 0;
  char letter = 'S';       // the exports' letter
  bool words = false;      // the word functions (start and units count words)
  std::int32_t start = 0;  // the exports' start
  std::int32_t units = 0;  // the exports' count
};

// The `bytes` bytes from the first byte of device `op.number` on. Refused
// (none, *error set) when they run past the block's last device or past
// the end of controller memory. legacyFx: the library maps the FX letters X,
// Y and M to the legacy addresses (VELDRV_FX_AREAS=legacy), so those blocks
// are reached by their raw addresses instead.
std::optional<Span> SpanOf(const Operand &op, std::uint64_t bytes, Family family, bool legacyFx,
                           std::string *error);

// The bytes that hold `count` bits from device `op.number` on.
std::uint64_t BitBytes(const Operand &op, std::uint64_t count);

// FX devices of one block that a run of controller memory touches.
struct DeviceRun {
  char device = 'D';
  std::uint32_t first = 0;  // the first and last device touched
  std::uint32_t last = 0;
  bool octal = false;
  bool contacts = false;  // T and C: their contacts, not their current values
};

// The FX devices whose bytes lie in [address, address + bytes), block by
// block in address order; none where no device of the plain commands lies.
std::vector<DeviceRun> FxDevicesAt(std::uint32_t address, std::uint32_t bytes);
// "M24..M31", "X10..X17", "T0..T7 contacts", "D100".
std::string DeviceRunName(const DeviceRun &run);

}  // namespace operands
