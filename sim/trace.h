// Records of what the simulated controller saw and answered.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "family.h"

namespace velsim {

enum class TraceKind {
  Handshake,   // A: wake-up handshake; FX: an ENQ whose answer a fault changed
  Read,        // a valid read request
  Write,       // a valid write request
  Error,       // a malformed request or unexpected byte (counted as a protocol error)
  LibraryNak,  // FX: NAK received from the library outside a frame
  Server,      // the device server's own events (RFC 2217: options, line settings, modem lines)
};

// One decoded request (or handshake) with the answer the controller gave.
struct TraceEntry {
  Family family = Family::Fx;
  TraceKind kind = TraceKind::Error;
  std::uint64_t frame = 0;           // exchange number, 0 outside an exchange
  std::uint16_t address = 0;         // Read/Write
  std::size_t count = 0;             // Read/Write: n
  std::vector<std::uint8_t> data;    // Write: the data received; Read: the memory bytes served
  std::vector<std::uint8_t> answer;  // the bytes actually sent for this request, faults applied
  std::string summary;               // "ACK", "NAK", "C8 00", "none", ...
  std::string faults;                // names of the faults active in this exchange, comma-separated
  std::string error;                 // Error: what was wrong
  std::string text;                  // one printable line, e.g. "FX read  0x1000 n=2 -> C8 00"
};

enum class WireDir { FromLibrary, ToLibrary };

// One byte on the line, as the controller received or sent it.
struct WireEvent {
  WireDir dir;
  std::uint8_t byte;
  std::chrono::steady_clock::time_point at;
};

// "C8 00" (at most `limit` bytes, then "...").
std::string hexList(const std::vector<std::uint8_t> &bytes, std::size_t limit = 16);
// "none" for nothing, "ACK"/"NAK" for those single bytes, otherwise hexList.
std::string summarize(const std::vector<std::uint8_t> &answer);

}  // namespace velsim
