// Serves a controller on a file descriptor (pseudo-terminal master or serial device) on a thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "controller.h"
#include "pacer.h"

namespace velsim {

// Owns the controller and a serving thread. All accessors are safe to call while the thread serves.
class LineServer {
 public:
  explicit LineServer(Family family);
  virtual ~LineServer();
  LineServer(const LineServer &) = delete;
  LineServer &operator=(const LineServer &) = delete;

  Family family() const {
    return family_;
  }

  // Serves `fd` (not owned; set non-blocking here) until stop(). Bytes waiting on fd are dropped first.
  void serve(int fd);
  // Stops the thread promptly; the line then stays silent. The controller's state is kept.
  void stop();
  bool serving() const {
    return thread_.joinable();
  }
  // Waits until the controller has taken in and answered everything the library sent (nothing unread,
  // the thread idle, for 5 ms). Call before looking at wire() or trace() after a library call.
  // False if that did not happen within the time-out.
  bool settle(std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));

  // Controller memory.
  std::vector<std::uint8_t> read(std::uint16_t address, std::size_t n) const;
  void write(std::uint16_t address, std::span<const std::uint8_t> bytes);
  void write(std::uint16_t address, std::initializer_list<std::uint8_t> bytes);
  void fill(std::uint16_t address, std::size_t n, std::uint8_t value);
  void clear();

  void setFault(const Fault &fault, FaultWhen when = FaultWhen::Always, std::uint64_t frame = 0);
  void addFault(const Fault &fault, FaultWhen when = FaultWhen::Always, std::uint64_t frame = 0);
  void clearFaults();
  void setSessionByte(std::uint8_t byte);

  std::vector<TraceEntry> trace() const;
  void clearTrace();
  void setTraceHook(std::function<void(const TraceEntry &)> hook);
  // Off: the wire log and the trace are not kept, so a server that runs for
  // days does not grow (the trace hook still sees every entry). On by default.
  void setKeepHistory(bool keep);

  // Every byte received from and sent to the library, in order, with the time it crossed the line.
  std::vector<WireEvent> wire() const;
  // Only the bytes of one direction.
  std::vector<std::uint8_t> wireBytes(WireDir dir) const;
  void clearWire();

  std::uint64_t protocolErrors() const;
  std::uint64_t frames() const;

  // Wire time at 9600 baud in both directions (FX 10 bits a character, A-series 11).
  void setPace(bool on);
  // Quiet time after which a partly received request is dropped (default 250 ms).
  void setIdleGap(std::chrono::milliseconds gap);

  // Runs f on the controller under the lock.
  void withController(const std::function<void(Controller &)> &f);

 private:
  void run(int fd, int wake);
  // Writes an answer that is ready at `ready`; paced, its characters follow each other from then on.
  bool sendAll(int fd, int wake, const std::vector<std::uint8_t> &bytes, Pacer &pacer,
               std::optional<Controller::Hold> hold, std::chrono::steady_clock::time_point ready);
  bool sleepUntil(std::chrono::steady_clock::time_point t);

  const Family family_;
  mutable std::mutex mutex_;
  std::unique_ptr<Controller> controller_;
  std::vector<WireEvent> wire_;
  bool pace_ = false;
  bool keepHistory_ = true;
  std::chrono::milliseconds idleGap_{250};
  std::thread thread_;
  int wake_ = -1;  // eventfd that ends the serving thread
  std::atomic<bool> stopping_{false};
  int fd_ = -1;              // the descriptor served, -1 when stopped
  bool processing_ = false;  // the thread is handling input (not waiting in poll)
};

std::unique_ptr<Controller> makeController(Family family);

}  // namespace velsim
