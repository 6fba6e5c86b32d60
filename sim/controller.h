// The simulated controller: a byte-level state machine on the controller side of the line.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "family.h"
#include "fault.h"
#include "model.h"
#include "trace.h"

namespace velsim {

// Bytes go in one at a time with feed(); the bytes the controller sends in reply come out of it.
// An exchange is one frame attempt of the library: FX, an ENQ or a STX received outside an exchange;
// A-series, a wake-up handshake or a session prefix received outside an exchange. Exchanges are
// numbered from 1 and fault schedules refer to these numbers. Not thread-safe: the owner serializes.
class Controller {
 public:
  explicit Controller(Family family) : family_(family) {}
  virtual ~Controller() = default;
  Controller(const Controller &) = delete;
  Controller &operator=(const Controller &) = delete;

  Family family() const {
    return family_;
  }

  // One received byte; returns what the controller sends in reply (often nothing).
  virtual std::vector<std::uint8_t> feed(std::uint8_t byte) = 0;
  std::vector<std::uint8_t> feed(std::span<const std::uint8_t> bytes);
  // True while a request is partly received (or input is being discarded): the line then calls
  // lineIdle() after a quiet gap.
  virtual bool midFrame() const = 0;
  // The line has been quiet: drop a partly received request (a protocol error) and resynchronize.
  virtual void lineIdle() = 0;

  // Memory image of 64 KiB, addressed by the 16-bit controller address; accesses wrap at 0xFFFF.
  std::vector<std::uint8_t> read(std::uint16_t address, std::size_t n) const;
  void write(std::uint16_t address, std::span<const std::uint8_t> bytes);
  void fill(std::uint16_t address, std::size_t n, std::uint8_t value);
  void clear() {
    memory_.fill(0);
  }

  // setFault replaces all faults, addFault adds one. Once applies to the next exchange to start.
  void setFault(const Fault &fault, FaultWhen when = FaultWhen::Always, std::uint64_t frame = 0);
  void addFault(const Fault &fault, FaultWhen when = FaultWhen::Always, std::uint64_t frame = 0);
  void clearFaults() {
    faults_.clear();
  }

  // A-series: the session byte handed out by the wake-up handshake (0x00 allowed). Ignored by FX.
  void setSessionByte(std::uint8_t byte) {
    sessionByte_ = byte;
  }
  std::uint8_t sessionByte() const {
    return sessionByte_;
  }

  // The largest data block a request may carry (1..254, default 254). A larger read or write request
  // is refused like a malformed one, as controllers with a small frame buffer do.
  void setMaxFrame(std::size_t bytes) {
    maxFrame_ = bytes;
  }
  std::size_t maxFrame() const {
    return maxFrame_;
  }

  // FX: plays the model: D8001 and D8002 hold its codes, M8000 (running) is
  // on, timer T0 counts up in steps of 100 ms from now, and the trace names
  // the devices each frame touched. Null: a bare memory image (the default).
  void setModel(const Model *model);
  const Model *model() const {
    return model_;
  }

  const std::vector<TraceEntry> &trace() const {
    return trace_;
  }
  void clearTrace() {
    trace_.clear();
  }
  // An entry of the line's own (TraceKind::Server) with the given text, kept and hooked like the others.
  void note(const std::string &text);
  // Called for every new trace entry.
  // Off: entries go to the hook only and are not kept (a long-running server).
  void setKeepTrace(bool keep) {
    keepTrace_ = keep;
  }
  void setTraceHook(std::function<void(const TraceEntry &)> hook) {
    traceHook_ = std::move(hook);
  }

  std::uint64_t protocolErrors() const {
    return protocolErrors_;
  }
  // Number of exchanges started.
  std::uint64_t frames() const {
    return frames_;
  }

  // A delay fault holds back the tail of an answer: the bytes from `index` on go out `delay` later.
  struct Hold {
    std::size_t index;
    std::chrono::milliseconds delay;
  };
  // The hold for the answer that the last feed(byte) returned, if any; cleared by taking it.
  std::optional<Hold> takeHold() {
    auto h = hold_;
    hold_.reset();
    return h;
  }

 protected:
  // Starts exchange number frames() + 1 and picks the faults active for it.
  void beginExchange();
  bool active(FaultKind kind) const;
  // Applies Silent, truncate and replace faults of the given answer (handshake or request answer).
  std::vector<std::uint8_t> shape(std::vector<std::uint8_t> answer, bool handshake) const;
  // Applies the line noise of the given answer (after shape and any other change of the answer):
  // drop, duplicate, garbage before and after, then the delay, which it leaves for takeHold().
  std::vector<std::uint8_t> noise(std::vector<std::uint8_t> answer, bool handshake);
  // Fills family, frame, faults and the text line ("<family> <what> -> <summary>"), records the entry.
  void record(TraceEntry entry, const std::string &what);
  // Ends the exchange of a decoded request: applies silence after the
  // handshake and line noise to its answer, records it, and returns the bytes.
  std::vector<std::uint8_t> finishRequest(std::vector<std::uint8_t> answer, TraceEntry entry,
                                          const std::string &what);
  // Counts a protocol error and records it.
  void protocolError(const std::string &reason, std::vector<std::uint8_t> answer);
  // With a model: adds the 100 ms steps since the last call to timer T0
  // (which wraps from 32767 to 0), before a request reads or writes memory.
  void runClock();

  Family family_;
  std::array<std::uint8_t, 65536> memory_{};
  std::uint8_t sessionByte_ = 0x31;
  std::size_t maxFrame_ = 254;
  std::uint64_t frames_ = 0;
  bool inExchange_ = false;
  std::vector<Fault> current_;  // faults of the running exchange
  std::optional<Hold> hold_;
  const Model *model_ = nullptr;

 private:
  std::chrono::steady_clock::time_point clock_{};  // T0 counted up to here
  std::vector<ScheduledFault> faults_;
  std::vector<TraceEntry> trace_;
  std::function<void(const TraceEntry &)> traceHook_;
  bool keepTrace_ = true;
  std::uint64_t protocolErrors_ = 0;
};

}  // namespace velsim
