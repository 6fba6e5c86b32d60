#include "pty_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace velsim::test {

PtyClient::PtyClient(const std::string &path) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd_, 0) << "cannot open " << path;
  termios t{};
  if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(fd_, TCSANOW, &t);
  }
}

PtyClient::~PtyClient() {
  if (fd_ >= 0) close(fd_);
}

void PtyClient::send(const std::vector<std::uint8_t> &bytes) {
  // A connection the server closed must fail the test, not end it with SIGPIPE.
  ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (n < 0 && errno == ENOTSOCK) n = write(fd_, bytes.data(), bytes.size());
  ASSERT_EQ(n, static_cast<ssize_t>(bytes.size()));
}

std::vector<std::uint8_t> PtyClient::receive(std::size_t n, std::chrono::milliseconds timeout) {
  std::vector<std::uint8_t> out;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < n) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    std::uint8_t buf[600];
    ssize_t got = read(fd_, buf, std::min(sizeof buf, n - out.size()));
    if (got <= 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

std::vector<std::uint8_t> PtyClient::exchange(const std::vector<std::uint8_t> &bytes, std::size_t n) {
  send(bytes);
  return receive(n);
}

std::vector<std::uint8_t> PtyClient::drain(std::chrono::milliseconds window) {
  return receive(100000, window);
}

namespace {

// A connected, non-blocking socket to host:port, or -1 with errno set.
int connectTo(const std::string &host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    errno = EINVAL;
    return -1;
  }
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int error = errno;
  if (fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
    error = errno;
    close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  if (fd < 0) {
    errno = error;
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

}  // namespace

TcpClient::TcpClient(const std::string &host, int port) {
  fd_ = connectTo(host, port);
  EXPECT_GE(fd_, 0) << "cannot connect to " << host << ":" << port << ": " << std::strerror(errno);
}

int ConnectError(const std::string &host, int port) {
  int fd = connectTo(host, port);
  if (fd < 0) return errno;
  close(fd);
  return 0;
}

bool SeesEndOfStream(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
  std::uint8_t b;
  return recv(fd, &b, 1, MSG_DONTWAIT) == 0;
}

TempDir::TempDir() {
  const char *base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/velsim-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace velsim::test
