// FX-series controller: ASCII-hex frames, ENQ/ACK, read '0' and write '1'.
#pragma once

#include <string>

#include "controller.h"

namespace velsim {

// Answers ENQ with ACK, a read request with STX data ETX checksum, a write request with ACK, and a
// request that is malformed in any way (framing, command, lowercase or non-hex characters, count
// outside 1..254 or above the frame limit, field lengths, checksum) with NAK, counting a protocol error. A
// request may also start with STX directly, without ENQ. A NAK from the library between exchanges is traced
// only.
class FxController : public Controller {
 public:
  FxController() : Controller(Family::Fx) {}

  std::vector<std::uint8_t> feed(std::uint8_t byte) override;
  using Controller::feed;
  bool midFrame() const override;
  void lineIdle() override;

  static constexpr std::uint8_t kStx = 0x02, kEtx = 0x03, kEnq = 0x05, kAck = 0x06, kNak = 0x15;
  // Longest request body from the command character to ETX: '1', 4 + 2 characters, 254 data pairs.
  static constexpr std::size_t kMaxBody = 1 + 6 + 2 * 254;

 private:
  enum class State { Idle, ExpectStx, Body, Checksum, Discard };

  std::vector<std::uint8_t> answerEnq();
  std::vector<std::uint8_t> answerRequest();
  std::vector<std::uint8_t> reject(const std::string &reason);
  std::vector<std::uint8_t> readReply(std::uint16_t address, std::size_t n);

  State state_ = State::Idle;
  std::string body_;      // command character .. last character before ETX
  std::string checksum_;  // the two checksum characters
};

}  // namespace velsim
