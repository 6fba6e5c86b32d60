#include "pty_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
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
  ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
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
