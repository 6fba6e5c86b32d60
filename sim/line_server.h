// Serves a controller on a file descriptor (pseudo-terminal master, serial device or the clients of a
// listening TCP socket) on a thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
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
  // Serves the clients of the listening socket `listenFd` (not owned) one at a time until stop(): each
  // connection is a session that ends when the client disconnects; a client that connects while
  // another is served is closed at once. A client kept from an earlier serveListener() is served again
  // (bytes it sent while stopped are dropped).
  void serveListener(int listenFd);
  // Stops the thread promptly; the line then stays silent. The controller's state is kept, and so is
  // the connection of a TCP client.
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
  // FX: plays the model (see Controller::setModel); null for a bare memory image.
  void setModel(const Model *model);

  // The largest data block (bytes) the controller takes in one frame, 1..254 (default 254): a larger
  // read or write request is refused as controllers with a small buffer do (FX: NAK; A-series: no
  // answer). Throws std::invalid_argument outside 1..254.
  void setMaxFrame(std::size_t bytes);

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
  // TCP: the data segments the connected client has sent (its connection's
  // TCP_INFO), for counting what a frame costs on a network; 0 without one.
  std::uint64_t segmentsReceived() const;

  // Wire time at 9600 baud in both directions (FX 10 bits a character, A-series 11).
  void setPace(bool on);
  // Quiet time after which a partly received request is dropped (default 250 ms).
  void setIdleGap(std::chrono::milliseconds gap);

  // Runs f on the controller under the lock.
  void withController(const std::function<void(Controller &)> &f);

  // TCP: called on the serving thread with "connected 127.0.0.1:40000", "disconnected ..." and
  // "refused ... (one client at a time)".
  void setConnectionHook(std::function<void(const std::string &)> hook);

 protected:
  // For a subclass that watches its line while idle: the serving thread also polls checkFd() (-1 for
  // none) and calls lineCheck() when it is readable and whenever nothing arrived for checkPeriod()
  // (zero: never). Both are read on the serving thread before each wait.
  virtual int checkFd() const {
    return -1;
  }
  virtual std::chrono::milliseconds checkPeriod() const {
    return std::chrono::milliseconds(0);
  }
  virtual void lineCheck() {}
  // For a line with a protocol of its own around the bytes (the telnet COM-PORT option), called on the
  // serving thread: fromClient() takes the protocol out of what the client sent, in place, and returns
  // how many of the line's bytes are left at the front (those reach the controller); what it answers goes
  // into `answer`. toClient() turns line bytes on their way to the client into the protocol's form.
  // sessionBegins(): a TCP client connected. By default the bytes are the line's as they are.
  virtual std::size_t fromClient(std::uint8_t *, std::size_t n, std::vector<std::uint8_t> &) {
    return n;
  }
  virtual void toClient(std::vector<std::uint8_t> &) {}
  virtual void sessionBegins() {}
  // Records a TraceKind::Server entry with the text (trace and trace hook).
  void note(const std::string &text);
  // TCP: closes the connected client (call while stopped). False if there was none.
  bool closeClient();
  bool hasClient() const;

 private:
  void start(int fd);
  void run(int wake);
  // TCP: takes a pending connection; ends the session of a client that has gone.
  void acceptClient();
  void endSession(const char *why);
  // The TCP client has closed its end (its unread input is all that is left).
  static bool clientGone(int fd);
  void notify(const std::string &what);
  // Writes an answer that is ready at `ready`; paced, its characters follow each other from then on.
  bool sendAll(int fd, int wake, const std::vector<std::uint8_t> &bytes, Pacer &pacer,
               std::optional<Controller::Hold> hold, std::chrono::steady_clock::time_point ready);
  bool sleepUntil(std::chrono::steady_clock::time_point t);
  // Writes all of bytes: 1 when done, 0 when the device went away, -1 when stop() ended the wait.
  int sendRaw(int fd, int wake, bool socket, const std::vector<std::uint8_t> &bytes);
  // Waits ms milliseconds; false if stop() ended the wait.
  bool sleepFor(int ms);

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
  int fd_ = -1;              // the descriptor served, -1 when stopped or while no client is connected
  bool isSocket_ = false;    // fd_ is a socket: answers go out with send(MSG_NOSIGNAL)
  bool processing_ = false;  // the thread is handling input (not waiting in poll)
  int listen_ = -1;          // serveListener(): the listening socket
  int client_ = -1;          // serveListener(): the connected client (owned), -1 for none
  std::string clientName_;   // its address, "127.0.0.1:40000"
  std::function<void(const std::string &)> connectionHook_;
};

std::unique_ptr<Controller> makeController(Family family);

}  // namespace velsim
