#include "cpu_floor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "bench_support.h"

namespace bench {

namespace {

// Reads n characters with one poll() and one read() each; false on a time-out.
bool ReadChars(int fd, int n, std::string *into = nullptr) {
  for (int i = 0; i < n; i++) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 990) <= 0) return false;
    char c;
    if (read(fd, &c, 1) != 1) return false;
    if (into) *into += c;
  }
  return true;
}

bool Send(int fd, const std::string &bytes) {
  return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// The bare loop reads what a paced simulator of the library's family answers to read requests of
// 254 bytes, one poll() and one read() a character, as the library does: the same wake-ups at the
// same pace, without the library. FX requests start with STX (the simulator takes them without
// ENQ); A-series ones with the session byte of one wake-up handshake.
CpuFloor Probe(const std::string &device, Family family, int chars) {
  CpuFloor r;
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return r;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  std::string request;
  int answer;
  if (family == Family::Fx) {
    // STX '0' "1000" "FE" ETX and the checksum of the characters from '0' to ETX.
    request =
        "\x02"
        "01000FE\x03";
    unsigned sum = 0;
    for (std::size_t i = 1; i < request.size(); i++) sum += static_cast<unsigned char>(request[i]);
    request += Format("%02X", sum & 0xFF);
    answer = 1 + 2 * 254 + 1 + 2;  // STX, the data pairs, ETX, the checksum
  } else {
    std::string session;
    if (!Send(fd, "\xAA\xB0") || !ReadChars(fd, 2, &session)) {
      close(fd);
      return r;
    }
    // The session byte, then length 7, FF, 02, address 0x1000, 00, 254, checksum.
    const unsigned char n = 254;
    request = std::string(1, session[1]) + std::string("\x07\x00\xFF\x02\x00\x10\x00", 7) +
              static_cast<char>(n) + static_cast<char>((7 + 0xFF + 0x02 + 0x10 + n) & 0xFF);
    answer = 2 + 2 + 254 + 1;  // length, FF 02, the data, the checksum
  }

  const double cpu0 = ProcessCpuMs(), t0 = NowMs();
  int got = 0;
  while (got < chars && Send(fd, request) && ReadChars(fd, answer)) got += answer;
  const double cpu = ProcessCpuMs() - cpu0, wall = NowMs() - t0;
  close(fd);
  if (got >= chars) r = {100 * cpu / wall, 1000 * cpu / got, true};
  return r;
}

}  // namespace

CpuFloorProbe::CpuFloorProbe(const std::string &device, Family family, int chars) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    close(p[0]);
    const CpuFloor r = Probe(device, family, chars);
    if (write(p[1], &r, sizeof r) != sizeof r) _exit(1);
    _exit(0);  // no destructors of the benchmark's statics in this copy
  }
  close(p[1]);
  out_ = p[0];
}

CpuFloorProbe::~CpuFloorProbe() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
}

CpuFloor CpuFloorProbe::result() {
  CpuFloor r;
  if (pid_ <= 0) return r;
  if (read(out_, &r, sizeof r) != sizeof r) r = CpuFloor{};
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return r;
}

}  // namespace bench
