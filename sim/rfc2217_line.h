// A simulated controller behind a serial device server that speaks the telnet COM-PORT option (RFC 2217).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tcp_line.h"

namespace velsim {

// How the simulated server departs from a well-behaved one.
struct ServerFault {
  enum class Kind {
    RefuseOption,  // answers WILL COM-PORT-OPTION with DONT
    RefuseBinary,  // refuses binary transmission both ways
    NoAnswer,      // applies `setting` but never answers it
    Refuse,        // leaves `setting` as it is and answers with the value it keeps
    Notify,        // puts a modem-state notification and a NOP inside every answer of the controller
  };
  Kind kind = Kind::Notify;
  std::string setting;  // NoAnswer, Refuse: baud, datasize, parity, stopsize, flow, dtr, rts, purge

  std::string name() const;  // as parseServerFault() takes it
};

// "refuse-option", "refuse-binary", "no-answer=SETTING", "refuse=SETTING", "notify".
std::optional<ServerFault> parseServerFault(const std::string &text, std::string *error);
// The lines of velsim --help that list them.
const char *serverFaultHelp();

// Serves a controller as a device server with an RFC 2217 port does: the client negotiates the COM-PORT
// option and binary transmission, then sets the server's serial line (baud rate, data size, parity, stop
// bits, flow control), drives DTR and RTS and purges the server's buffers; every setting is answered with
// the value then in effect, and 0xFF is doubled both ways. The controller answers only while the line is
// set as its family needs it (9600 7E1 for FX, 9600 8O1 for A-series, no flow control): bytes that cross
// a line set otherwise arrive garbled on a real line, and are lost here. Like a device server's port, the
// line keeps its settings from one client to the next; it starts at 9600 8N1, DTR and RTS on.
class Rfc2217Line : public TcpLine {
 public:
  explicit Rfc2217Line(Family family, const std::string &host = "127.0.0.1", int port = 0);
  ~Rfc2217Line() override;

  // The serial line as the clients set it.
  struct Settings {
    std::uint32_t baud = 9600;
    std::uint8_t dataSize = 8;
    std::uint8_t parity = 1;    // RFC 2217: 1 none, 2 odd, 3 even, 4 mark, 5 space
    std::uint8_t stopSize = 1;  // 1, 2, 3 (1.5)
    std::uint8_t flow = 1;      // SET-CONTROL: 1 none, 2 XON/XOFF, 3 hardware, 17..19 DCD, DTR, DSR
    bool dtr = true;
    bool rts = true;
  };
  Settings settings() const;
  // True while the line carries the family's characters.
  bool lineMatches() const;

  // What the clients did to the line, in order: "connected", "baud rate 9600", "data size 7",
  // "parity even", "stop size 1", "no flow control", "DTR on", "RTS off", "purge 1", ..., each with the
  // number of line bytes received from clients before it. A setting is recorded whenever it is sent,
  // changed or not.
  struct Change {
    std::string what;
    std::uint64_t before;
    std::chrono::steady_clock::time_point at;
  };
  std::vector<Change> changes() const;
  void clearChanges();
  // Line bytes received from clients, and how many of them were lost to a line set otherwise.
  std::uint64_t lineBytes() const;
  std::uint64_t lostBytes() const;

  void setServerFaults(std::vector<ServerFault> faults);

 protected:
  std::size_t fromClient(std::uint8_t *bytes, std::size_t n, std::vector<std::uint8_t> &answer) override;
  void toClient(std::vector<std::uint8_t> &bytes) override;
  void sessionBegins() override;

 private:
  enum class In { Data, Iac, Verb, Sb, SbIac };
  void negotiate(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t> &answer);
  void subnegotiation(std::vector<std::uint8_t> &answer);
  void setting(std::uint8_t command, const std::vector<std::uint8_t> &value,
               std::vector<std::uint8_t> &answer);
  bool faulty(ServerFault::Kind kind, const char *setting = "") const;
  bool familyLine() const;  // lineMatches() with the lock held
  void record(const std::string &what);
  void traceNote(const std::string &text);

  mutable std::mutex rfcMutex_;
  Settings settings_;
  std::vector<Change> changes_;
  std::vector<ServerFault> faults_;
  std::uint64_t lineBytes_ = 0;
  std::uint64_t lostBytes_ = 0;
  bool losing_ = false;             // bytes are being lost; traced once until the line matches again
  std::vector<std::string> notes_;  // trace lines, written after the lock is released
  // The session of the connected client.
  In in_ = In::Data;
  std::uint8_t verb_ = 0;
  std::vector<std::uint8_t> sb_;
  bool comPort_ = false, binaryIn_ = false, binaryOut_ = false, sgaIn_ = false, sgaOut_ = false;
};

}  // namespace velsim
