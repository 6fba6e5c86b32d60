#include "line_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "a_controller.h"
#include "fx_controller.h"
#include "pacer.h"
#include "tcp_address.h"
#include "tcp_segments.h"

namespace velsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kBaud = 9600;

// Start bit, data bits, parity bit, stop bit: 7E1 and 8O1.
unsigned bitsPerChar(Family family) {
  return family == Family::Fx ? 10 : 11;
}

}  // namespace

std::unique_ptr<Controller> makeController(Family family) {
  if (family == Family::Fx) return std::make_unique<FxController>();
  return std::make_unique<AController>();
}

LineServer::LineServer(Family family) : family_(family), controller_(makeController(family)) {}

LineServer::~LineServer() {
  stop();
  closeClient();
}

void LineServer::serve(int fd) {
  stop();
  {
    std::lock_guard lock(mutex_);
    listen_ = -1;
  }
  start(fd);
}

void LineServer::serveListener(int listenFd) {
  stop();
  int flags = fcntl(listenFd, F_GETFL);
  if (flags < 0 || fcntl(listenFd, F_SETFL, flags | O_NONBLOCK) < 0)
    throw std::runtime_error("velsim: fcntl failed");
  int client;
  {
    std::lock_guard lock(mutex_);
    listen_ = listenFd;
    client = client_;
  }
  start(client);
}

void LineServer::start(int fd) {
  if (fd >= 0) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
      throw std::runtime_error("velsim: fcntl failed");
    std::uint8_t junk[256];
    while (::read(fd, junk, sizeof junk) > 0) {
    }
  }
  struct stat st;
  const bool socket = fd >= 0 && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) throw std::runtime_error("velsim: eventfd failed");
  stopping_ = false;
  {
    std::lock_guard lock(mutex_);
    controller_->lineIdle();
    fd_ = fd;
    isSocket_ = socket;
    processing_ = true;
  }
  thread_ = std::thread([this, wake = wake_] { run(wake); });
}

void LineServer::stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t w = ::write(wake_, &one, sizeof one);
  thread_.join();
  close(wake_);
  wake_ = -1;
  std::lock_guard lock(mutex_);
  fd_ = -1;
}

bool LineServer::closeClient() {
  std::lock_guard lock(mutex_);
  if (client_ < 0) return false;
  close(client_);
  if (fd_ == client_) fd_ = -1;
  client_ = -1;
  return true;
}

std::uint64_t LineServer::segmentsReceived() const {
  std::lock_guard lock(mutex_);
  return client_ < 0 ? 0 : DataSegmentsIn(client_);
}

bool LineServer::hasClient() const {
  std::lock_guard lock(mutex_);
  return client_ >= 0;
}

void LineServer::notify(const std::string &what) {
  std::function<void(const std::string &)> hook;
  {
    std::lock_guard lock(mutex_);
    hook = connectionHook_;
  }
  if (hook) hook(what);
}

void LineServer::endSession(const char *why) {
  std::string name;
  {
    std::lock_guard lock(mutex_);
    if (client_ < 0) return;
    close(client_);
    client_ = fd_ = -1;
    name = clientName_;
    controller_->lineIdle();  // a request cut off by the disconnect is dropped
  }
  notify(std::string(why) + " " + name);
}

void LineServer::acceptClient() {
  int listenFd, client;
  {
    std::lock_guard lock(mutex_);
    listenFd = listen_;
    client = client_;
  }
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  int c = accept4(listenFd, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (c < 0) {
    // Out of descriptors: the connection stays pending; do not spin on it.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) sleepFor(50);
    return;
  }
  const std::string name = addressName(peer);
  if (client >= 0) {
    // A client that has closed its end is over, even if its end of stream is still unread: a program
    // that closes and connects again at once must not be turned away by its own old connection.
    if (clientGone(client)) {
      endSession("disconnected");
      client = -1;
    }
  }
  if (client >= 0) {
    close(c);
    notify("refused " + name + " (one client at a time)");
    return;
  }
  int one = 1;
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  {
    std::lock_guard lock(mutex_);
    client_ = fd_ = c;
    isSocket_ = true;
    clientName_ = name;
    controller_->lineIdle();
  }
  sessionBegins();
  notify("connected " + name);
}

bool LineServer::clientGone(int fd) {
  pollfd q{fd, POLLRDHUP, 0};
  return poll(&q, 1, 0) > 0 && (q.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

bool LineServer::sleepFor(int ms) {
  pollfd w{wake_, POLLIN, 0};
  return poll(&w, 1, ms) <= 0;
}

bool LineServer::sleepUntil(Clock::time_point t) {
  if (stopping_) return false;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  // steady_clock is CLOCK_MONOTONIC; an absolute deadline keeps pauses from adding up.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
  return !stopping_;
}

bool LineServer::sendAll(int fd, int wake, const std::vector<std::uint8_t> &bytes, Pacer &pacer,
                         std::optional<Controller::Hold> hold, Clock::time_point ready) {
  bool pace, socket;
  {
    std::lock_guard lock(mutex_);
    pace = pace_;
    socket = isSocket_;
  }
  // The whole answer is ready at `ready`; its characters follow each other back to back.
  std::size_t done = 0, logged = 0;
  while (done < bytes.size()) {
    if (hold && done == hold->index) {
      // A delay fault: the rest of the answer goes out late; stop() ends the wait.
      pollfd w{wake, POLLIN, 0};
      if (poll(&w, 1, static_cast<int>(hold->delay.count())) > 0) return false;
      hold.reset();
    }
    Clock::time_point at = Clock::now();
    std::size_t chunk = bytes.size() - done;
    if (hold && done < hold->index) chunk = std::min(chunk, hold->index - done);
    if (pace) {
      at = pacer.next(ready);
      if (!sleepUntil(at)) return false;
      chunk = 1;
    }
    if (logged < done + chunk) {
      // Logged before the write, so a byte the library has received is always in the log.
      std::lock_guard lock(mutex_);
      for (; logged < done + chunk; ++logged)
        if (keepHistory_) wire_.push_back({WireDir::ToLibrary, bytes[logged], at});
    }
    std::vector<std::uint8_t> piece(bytes.begin() + static_cast<std::ptrdiff_t>(done),
                                    bytes.begin() + static_cast<std::ptrdiff_t>(done + chunk));
    toClient(piece);
    const int sent = sendRaw(fd, wake, socket, piece);
    if (sent < 0) return false;
    if (sent == 0) return true;  // the device went away: the answer is lost, as on a cut line
    done += chunk;
  }
  return true;
}

int LineServer::sendRaw(int fd, int wake, bool socket, const std::vector<std::uint8_t> &bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    // A client that has gone must not raise SIGPIPE in the process that serves it.
    ssize_t n = socket ? ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                       : ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The library is not reading and the queue is full: wait for room or for stop().
      pollfd p[2] = {{fd, POLLOUT, 0}, {wake, POLLIN, 0}};
      if (poll(p, 2, -1) < 0 && errno != EINTR) return -1;
      if (p[1].revents) return -1;
      continue;
    }
    if (n <= 0) return 0;
    done += static_cast<std::size_t>(n);
  }
  return 1;
}

void LineServer::note(const std::string &text) {
  std::lock_guard lock(mutex_);
  controller_->note(text);
}

void LineServer::run(int wake) {
  // Wake up at the paced deadlines, not up to the default 50 us after them.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  const unsigned bits = bitsPerChar(family_);
  Pacer in(bits, kBaud);
  Pacer out(bits, kBaud);
  std::uint8_t buf[512];
  for (;;) {
    int fd, listenFd, gapMs;
    bool mid;
    {
      std::lock_guard lock(mutex_);
      fd = fd_;
      listenFd = listen_;
      mid = fd >= 0 && controller_->midFrame();
      gapMs = static_cast<int>(idleGap_.count());
      processing_ = false;
    }
    const auto period = checkPeriod();
    int timeout = -1;
    if (mid) {
      timeout = gapMs;
    } else if (period.count() > 0) {
      timeout = static_cast<int>(period.count());
    }
    // Negative descriptors are left out by poll().
    pollfd p[4] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}, {listenFd, POLLIN, 0}, {checkFd(), POLLIN, 0}};
    int r = poll(p, 4, timeout);
    {
      std::lock_guard lock(mutex_);
      processing_ = true;
    }
    if (r < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents) return;
    if (r == 0) {
      if (mid) {
        std::lock_guard lock(mutex_);
        controller_->lineIdle();
      } else {
        lineCheck();
      }
      continue;
    }
    if (p[3].revents) lineCheck();
    if (p[0].revents) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0 && listenFd >= 0) {
        endSession("disconnected");
        continue;
      }
      if (n <= 0) {
        // Hang-up or error on the device: wait a little (or for stop) instead of spinning.
        if (!sleepFor(50)) return;
        continue;
      }
      {
        std::vector<std::uint8_t> own;
        const bool socket = listenFd >= 0;
        n = static_cast<ssize_t>(fromClient(buf, static_cast<std::size_t>(n), own));
        if (!own.empty() && sendRaw(fd, wake, socket, own) < 0) return;
      }
      const Clock::time_point readAt = Clock::now();
      for (ssize_t i = 0; i < n; ++i) {
        bool pace;
        {
          std::lock_guard lock(mutex_);
          pace = pace_;
        }
        // Paced, a client's input takes a character time a byte; what a
        // client that has gone left queued would hold the next client for
        // as long: drop it with the session.
        if (pace && listenFd >= 0 && clientGone(fd)) {
          endSession("disconnected");
          break;
        }
        Clock::time_point at = readAt;
        if (pace) {
          // The library wrote its bytes at once; a line hands them over one character time apart.
          at = in.next(readAt);
          if (!sleepUntil(at)) return;
        }
        std::vector<std::uint8_t> reply;
        std::optional<Controller::Hold> hold;
        {
          std::lock_guard lock(mutex_);
          if (keepHistory_) wire_.push_back({WireDir::FromLibrary, buf[i], at});
          reply = controller_->feed(buf[i]);
          hold = controller_->takeHold();
        }
        // Paced, the answer starts when the request's last character has crossed the line, however
        // late this thread woke up to take it in.
        if (!reply.empty() && !sendAll(fd, wake, reply, out, hold, pace ? at : Clock::now())) return;
      }
      continue;  // a waiting connection is taken next time, after this client's end of stream
    }
    if (p[2].revents) acceptClient();
  }
}

bool LineServer::settle(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  const auto quietFor = std::chrono::milliseconds(5);
  auto quietSince = Clock::now();
  for (;;) {
    bool quiet;
    {
      std::lock_guard lock(mutex_);
      int pending = 0;
      quiet = fd_ < 0 || (!processing_ && ioctl(fd_, FIONREAD, &pending) == 0 && pending == 0);
    }
    const auto now = Clock::now();
    if (!quiet) quietSince = now;
    if (now - quietSince >= quietFor) return true;
    if (now > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::vector<std::uint8_t> LineServer::read(std::uint16_t address, std::size_t n) const {
  std::lock_guard lock(mutex_);
  return controller_->read(address, n);
}

void LineServer::write(std::uint16_t address, std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  controller_->write(address, bytes);
}

void LineServer::write(std::uint16_t address, std::initializer_list<std::uint8_t> bytes) {
  write(address, std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
}

void LineServer::fill(std::uint16_t address, std::size_t n, std::uint8_t value) {
  std::lock_guard lock(mutex_);
  controller_->fill(address, n, value);
}

void LineServer::clear() {
  std::lock_guard lock(mutex_);
  controller_->clear();
}

void LineServer::setFault(const Fault &fault, FaultWhen when, std::uint64_t frame) {
  std::lock_guard lock(mutex_);
  controller_->setFault(fault, when, frame);
}

void LineServer::addFault(const Fault &fault, FaultWhen when, std::uint64_t frame) {
  std::lock_guard lock(mutex_);
  controller_->addFault(fault, when, frame);
}

void LineServer::clearFaults() {
  std::lock_guard lock(mutex_);
  controller_->clearFaults();
}

void LineServer::setSessionByte(std::uint8_t byte) {
  std::lock_guard lock(mutex_);
  controller_->setSessionByte(byte);
}

std::vector<TraceEntry> LineServer::trace() const {
  std::lock_guard lock(mutex_);
  return controller_->trace();
}

void LineServer::clearTrace() {
  std::lock_guard lock(mutex_);
  controller_->clearTrace();
}

void LineServer::setKeepHistory(bool keep) {
  std::lock_guard lock(mutex_);
  keepHistory_ = keep;
  controller_->setKeepTrace(keep);
  if (!keep) {
    wire_.clear();
    controller_->clearTrace();
  }
}

void LineServer::setTraceHook(std::function<void(const TraceEntry &)> hook) {
  std::lock_guard lock(mutex_);
  controller_->setTraceHook(std::move(hook));
}

std::vector<WireEvent> LineServer::wire() const {
  std::lock_guard lock(mutex_);
  return wire_;
}

std::vector<std::uint8_t> LineServer::wireBytes(WireDir dir) const {
  std::lock_guard lock(mutex_);
  std::vector<std::uint8_t> out;
  for (const WireEvent &e : wire_) {
    if (e.dir == dir) out.push_back(e.byte);
  }
  return out;
}

void LineServer::clearWire() {
  std::lock_guard lock(mutex_);
  wire_.clear();
}

std::uint64_t LineServer::protocolErrors() const {
  std::lock_guard lock(mutex_);
  return controller_->protocolErrors();
}

std::uint64_t LineServer::frames() const {
  std::lock_guard lock(mutex_);
  return controller_->frames();
}

void LineServer::setPace(bool on) {
  std::lock_guard lock(mutex_);
  pace_ = on;
}

void LineServer::setModel(const Model *model) {
  std::lock_guard lock(mutex_);
  controller_->setModel(model);
}

void LineServer::setMaxFrame(std::size_t bytes) {
  if (bytes < 1 || bytes > 254) throw std::invalid_argument("velsim: frame limit must be 1..254 bytes");
  std::lock_guard lock(mutex_);
  controller_->setMaxFrame(bytes);
}

void LineServer::setConnectionHook(std::function<void(const std::string &)> hook) {
  std::lock_guard lock(mutex_);
  connectionHook_ = std::move(hook);
}

void LineServer::setIdleGap(std::chrono::milliseconds gap) {
  std::lock_guard lock(mutex_);
  idleGap_ = gap;
}

void LineServer::withController(const std::function<void(Controller &)> &f) {
  std::lock_guard lock(mutex_);
  f(*controller_);
}

}  // namespace velsim
