// Fault injection for the simulated controllers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "family.h"

namespace velsim {

// What a fault does to the controller's answers. Every exchange (see Controller) has up to two answers:
// the handshake answer (FX: the ACK to ENQ; A: the two reply bytes of the wake-up handshake) and the
// answer to the request frame.
enum class FaultKind {
  Silent,                // no answer at all in this exchange (neither handshake nor request)
  NakToEnq,              // FX: ENQ answered with NAK; the exchange ends
  LowercaseHex,          // FX read reply: the letters a-f of data and checksum sent in lowercase
  PairMissing,           // FX read reply: one data pair too few (checksum over what is sent)
  PairExtra,             // FX read reply: one data pair too many (the byte after the block)
  WrongChecksum,         // FX read reply, A read response: checksum + 1; A write response: last byte 07
  WriteNak,              // FX: write frame answered NAK; A: write response 15 00 FF 04 06; nothing stored
  WrongLength,           // A: read response length n + 4 (checksum over what is sent); write: 04 00 FF 04 06
  SilentAfterHandshake,  // handshake answered normally, the request is not answered
  Truncate,              // request answer cut after `index` bytes (0 = nothing sent)
  Replace,               // byte `index` of the request answer replaced by `value`
  HandshakeTruncate,     // handshake answer cut after `index` bytes
  HandshakeReplace,      // byte `index` of the handshake answer replaced by `value`
  // Line noise: what a disturbed line does to an answer on its way to the library, after the faults
  // above. It hits the request answer, or the handshake answer when `handshake` is set.
  GarbageBefore,  // `bytes` arrive ahead of the answer (also where the controller sends nothing)
  GarbageAfter,   // `bytes` arrive after the answer
  DropByte,       // byte `index` of the answer is lost
  DuplicateByte,  // byte `index` of the answer arrives twice
  DelayByte,      // byte `index` of what is sent (garbage included) and all after it arrive `ms` late
};

struct Fault {
  FaultKind kind = FaultKind::Silent;
  std::size_t index = 0;
  std::uint8_t value = 0;
  std::vector<std::uint8_t> bytes{};  // GarbageBefore, GarbageAfter
  std::uint32_t ms = 0;               // DelayByte
  bool handshake = false;             // noise: on the handshake answer instead of the request answer

  static Fault truncate(std::size_t i) {
    return {FaultKind::Truncate, i, 0};
  }
  static Fault replace(std::size_t i, std::uint8_t v) {
    return {FaultKind::Replace, i, v};
  }
  static Fault handshakeTruncate(std::size_t i) {
    return {FaultKind::HandshakeTruncate, i, 0};
  }
  static Fault handshakeReplace(std::size_t i, std::uint8_t v) {
    return {FaultKind::HandshakeReplace, i, v};
  }
  static Fault garbageBefore(std::vector<std::uint8_t> b, bool onHandshake = false) {
    return {FaultKind::GarbageBefore, 0, 0, std::move(b), 0, onHandshake};
  }
  static Fault garbageAfter(std::vector<std::uint8_t> b, bool onHandshake = false) {
    return {FaultKind::GarbageAfter, 0, 0, std::move(b), 0, onHandshake};
  }
  static Fault drop(std::size_t i, bool onHandshake = false) {
    return {FaultKind::DropByte, i, 0, {}, 0, onHandshake};
  }
  static Fault duplicate(std::size_t i, bool onHandshake = false) {
    return {FaultKind::DuplicateByte, i, 0, {}, 0, onHandshake};
  }
  static Fault delay(std::size_t i, std::uint32_t delayMs, bool onHandshake = false) {
    return {FaultKind::DelayByte, i, 0, {}, delayMs, onHandshake};
  }
  // True for the line-noise kinds (GarbageBefore .. DelayByte).
  bool isNoise() const;

  // The name used on the command line, e.g. "wrong-checksum", "truncate:3", "replace:0=0x15",
  // "garbage-before:4102FF", "handshake-drop:1", "delay:3=1200".
  std::string name() const;
  // False for faults that mean nothing to the family (e.g. nak-to-enq on an A-series line).
  bool appliesTo(Family family) const;
  bool operator==(const Fault &) const = default;
};

// When a fault applies. Exchanges are numbered from 1 (see Controller::frames()).
enum class FaultWhen {
  Once,     // the next exchange to start only
  OnFrame,  // exchange number k only
  Always,   // every exchange
};

struct ScheduledFault {
  Fault fault;
  FaultWhen when = FaultWhen::Always;
  std::uint64_t frame = 0;  // OnFrame: the exchange number
};

// Parses "NAME[@K]": without @K the fault applies always, with @K on exchange K only (K >= 1).
// Numbers are decimal or 0x hex. On failure returns nullopt and sets *error.
std::optional<ScheduledFault> parseFault(std::string_view text, std::string *error);

// Decimal or 0x-prefixed hex, no sign, no trailing characters.
std::optional<std::uint64_t> parseNumber(std::string_view text);

// The list of fault names with a one-line description each, for --help.
const char *faultHelp();

}  // namespace velsim
