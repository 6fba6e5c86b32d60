#include "tcp_line.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tcp_address.h"

namespace velsim {

TcpLine::TcpLine(Family family, const std::string &host, int port) : LineServer(family), host_(host) {
  if (port < 0 || port > 65535) throw std::invalid_argument("velsim: TCP port must be 0..65535");
  listenOn(host, port);
  serveListener(socket_);
}

TcpLine::TcpLine(Family family, const std::string &host, int port, const char *scheme)
    : LineServer(family), scheme_(scheme), host_(host) {
  if (port < 0 || port > 65535) throw std::invalid_argument("velsim: TCP port must be 0..65535");
  listenOn(host, port);
}

TcpLine::~TcpLine() {
  stop();
  closeClient();
  if (socket_ >= 0) close(socket_);
}

void TcpLine::listenOn(const std::string &host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo *found = nullptr;
  const std::string service = std::to_string(port);
  const std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + service;
  if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    throw std::runtime_error("velsim: cannot resolve " + host + ": " + gai_strerror(rc));
  }
  int fd = -1, error = 0;
  for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error = errno;
      continue;
    }
    // The port can be taken again at once after hangup() or a restart, while old connections of
    // the same port linger in TIME_WAIT.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, a->ai_addr, a->ai_addrlen) < 0 || listen(fd, 4) < 0) {
      error = errno;
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) throw std::runtime_error("velsim: cannot listen on " + where + ": " + std::strerror(error));
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
  std::string name = addressName(bound);
  const std::size_t colon = name.rfind(':');
  std::lock_guard lock(tcpMutex_);
  socket_ = fd;
  port_ = std::stoi(name.substr(colon + 1));
  bound_ = name.substr(0, colon);
  if (bound_.size() > 1 && bound_.front() == '[') bound_ = bound_.substr(1, bound_.size() - 2);
}

int TcpLine::port() const {
  std::lock_guard lock(tcpMutex_);
  return port_;
}

std::string TcpLine::hostAddress() const {
  std::lock_guard lock(tcpMutex_);
  return bound_;
}

std::string TcpLine::address() const {
  std::lock_guard lock(tcpMutex_);
  const bool v6 = bound_.find(':') != std::string::npos;
  return scheme_ + (v6 ? "[" + bound_ + "]" : bound_) + ":" + std::to_string(port_);
}

bool TcpLine::connected() const {
  return hasClient();
}

void TcpLine::restart() {
  int fd;
  {
    std::lock_guard lock(tcpMutex_);
    fd = socket_;
  }
  if (fd < 0) throw std::logic_error("velsim: restart after hangup; use reopen");
  serveListener(fd);
}

void TcpLine::disconnect() {
  const bool wasServing = serving();
  stop();
  closeClient();
  if (wasServing) restart();
}

void TcpLine::hangup() {
  stop();
  closeClient();
  std::lock_guard lock(tcpMutex_);
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
}

void TcpLine::reopen() {
  hangup();
  int port;
  {
    std::lock_guard lock(tcpMutex_);
    port = port_;
  }
  listenOn(host_, port);
  restart();
}

}  // namespace velsim
