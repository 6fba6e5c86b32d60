// A-series controller: wake-up handshake, session prefix, binary frames with a length field.
#pragma once

#include <string>

#include "controller.h"

namespace velsim {

// Answers the wake-up handshake (0xAA then 0xB0, at any time between requests) with kHandshakeFirst
// and the session byte, expects that session byte ahead of every request, and answers read and write
// requests. A missing or wrong session prefix and a malformed request (length, marker, command, the
// zero byte, count outside 1..254 or above the frame limit, checksum) count as protocol errors and get no
// answer; after a wrong prefix or an impossible length the controller ignores input until the line has been
// quiet. Before the first handshake there is no session, so every request is refused.
class AController : public Controller {
 public:
  AController() : Controller(Family::A) {}

  std::vector<std::uint8_t> feed(std::uint8_t byte) override;
  using Controller::feed;
  bool midFrame() const override;
  void lineIdle() override;

  static constexpr std::uint8_t kWake = 0xAA, kWakeSecond = 0xB0;
  static constexpr std::uint8_t kHandshakeFirst = 0x5A;  // first reply byte; the library discards it
  static constexpr std::uint8_t kMarker = 0xFF, kRead = 0x02, kWrite = 0x04;

 private:
  enum class State { Idle, AfterWake, ExpectPrefix, Length, Body, Discard };

  std::vector<std::uint8_t> handshake();
  std::vector<std::uint8_t> prefixOrWake(std::uint8_t byte);
  std::vector<std::uint8_t> answerRequest();
  void refuse(const std::string &reason, State next);

  State state_ = State::Idle;
  bool haveSession_ = false;
  std::uint8_t session_ = 0;         // the byte handed out by the last handshake
  bool wakeMaybePrefix_ = false;     // AfterWake: the 0xAA may also have been the session prefix
  std::vector<std::uint8_t> frame_;  // length field .. checksum
};

}  // namespace velsim
