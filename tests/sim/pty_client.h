// The library's side of a simulated line for tests: raw bytes in and out of DIR/COMn.
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

 private:
  int fd_ = -1;
};

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
