// The library's side of a simulated line for tests: raw bytes in and out of DIR/COMn or a TCP port.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace velsim::test {

class PtyClient {
 public:
  // Opens path raw (9600, VMIN 0, VTIME 0). Fails the test on error.
  explicit PtyClient(const std::string &path);
  ~PtyClient();
  PtyClient(const PtyClient &) = delete;
  PtyClient &operator=(const PtyClient &) = delete;

  int fd() const {
    return fd_;
  }
  void send(const std::vector<std::uint8_t> &bytes);
  // Reads until n bytes have come or the time-out has passed; returns what came.
  std::vector<std::uint8_t> receive(std::size_t n,
                                    std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
  // Sends and receives n bytes.
  std::vector<std::uint8_t> exchange(const std::vector<std::uint8_t> &bytes, std::size_t n);
  // Returns whatever arrives within the window (expected: nothing).
  std::vector<std::uint8_t> drain(std::chrono::milliseconds window = std::chrono::milliseconds(100));

 protected:
  PtyClient() = default;
  int fd_ = -1;
};

// A raw TCP connection to a TcpLine, with the same calls.
class TcpClient : public PtyClient {
 public:
  // Fails the test if the connection cannot be made.
  TcpClient(const std::string &host, int port);
};

// 0 if a TCP connection to host:port can be made (it is closed again), else the errno of connect().
int ConnectError(const std::string &host, int port);

// True if the peer closed the connection (end of stream) within the time-out.
bool SeesEndOfStream(int fd, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

// A fresh private folder under TMPDIR, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const {
    return path_;
  }

 private:
  std::string path_;
};

}  // namespace velsim::test
