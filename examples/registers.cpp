// registers.cpp - the library from C++: a link class that closes its handle
// when it goes out of scope and turns failures into exceptions. Writes five
// data registers and a marker byte, reads them back and prints them.
//
//   registers [DEVICE] [fx|a]
//
// DEVICE is a serial device (/dev/ttyUSB0, COM3 on Windows) or a serial
// device server (tcp://192.168.0.50:4001); without it the environment
// variable VELDRV_COM1 must name one. The program uses it as port 0 (COM1).
// Exit status: 0 success, 1 failure, 2 bad usage.
#include <veldrv.h>

#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#define set_variable(name, value) _putenv_s(name, value)
#else
#define set_variable(name, value) setenv(name, value, 1)
#endif

namespace plc {

// A failed call of the library, with its status code.
class Error : public std::runtime_error {
 public:
  Error(const std::string &call, int code)
      : std::runtime_error(call + ": " + std::to_string(code) + ", " + Describe(code)), code_(code) {}
  int code() const {
    return code_;
  }

  static const char *Describe(int code) {
    switch (code) {
    case VEL_TIMEOUT:
      return "the controller did not answer";
    case VEL_NO_HANDLE:
      return "all 32 handles are in use";
    case VEL_CHECKSUM:
      return "wrong checksum in a reply";
    case VEL_PORT:
      return "the port cannot be opened";
    case VEL_BAD_ARGUMENT:
      return "bad argument";
    case VEL_WRONG_CHAR:
      return "wrong character received";
    case VEL_BAD_LETTER:
      return "operand letter not valid here";
    case VEL_BAD_HANDLE:
      return "handle not open";
    default:
      return "unexpected status";
    }
  }

 private:
  int code_;
};

// One open handle; moves but does not copy.
class Link {
 public:
  Link(int port, bool fx) : handle_(VelOpen(port, fx ? 1 : 0)) {
    if (handle_ < 0) throw Error("VelOpen", handle_);
  }
  Link(Link &&other) noexcept : handle_(other.handle_) {
    other.handle_ = -1;
  }
  Link(const Link &) = delete;
  Link &operator=(const Link &) = delete;
  Link &operator=(Link &&) = delete;
  ~Link() {
    if (handle_ >= 0) VelClose(handle_);
  }

  std::vector<std::uint16_t> ReadWords(char area, int start, int count) {
    std::vector<std::uint16_t> words(static_cast<std::size_t>(count));
    Check("VelRdW", VelRdW(handle_, area, start, count, words.data()));
    return words;
  }
  void WriteWords(char area, int start, std::vector<std::uint16_t> words) {
    Check("VelWrW", VelWrW(handle_, area, start, static_cast<int>(words.size()), words.data()));
  }
  std::vector<std::uint8_t> ReadBytes(char area, int start, int count) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
    Check("VelRdB", VelRdB(handle_, area, start, count, bytes.data()));
    return bytes;
  }
  void WriteBytes(char area, int start, std::vector<std::uint8_t> bytes) {
    Check("VelWrB", VelWrB(handle_, area, start, static_cast<int>(bytes.size()), bytes.data()));
  }

 private:
  static void Check(const char *call, int status) {
    if (status != VEL_OK) throw Error(call, status);
  }
  int handle_;
};

}  // namespace plc

int main(int argc, char **argv) {
  const char *device = argc > 1 ? argv[1] : std::getenv("VELDRV_COM1");
  const std::string family = argc > 2 ? argv[2] : "fx";
  if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::cout << "usage: registers [DEVICE] [fx|a]   (without DEVICE: VELDRV_COM1)\n"
                 "Writes five data registers and a marker byte, reads them back and prints them.\n";
    return 0;
  }
  if (argc > 3 || device == nullptr || *device == '\0' || (family != "fx" && family != "a")) {
    std::cerr << "usage: registers [DEVICE] [fx|a]   (without DEVICE: VELDRV_COM1)\n";
    return 2;
  }
  if (set_variable("VELDRV_COM1", device) != 0) {
    std::cerr << "registers: cannot set VELDRV_COM1\n";
    return 1;
  }

  try {
    plc::Link link(0, family == "fx");
    const std::vector<std::uint16_t> values{10, 20, 30, 40, 50};
    link.WriteWords('D', 200, values);
    std::vector<std::uint16_t> words = link.ReadWords('D', 200, static_cast<int>(values.size()));
    for (std::size_t i = 0; i < words.size(); ++i) std::cout << "D" << 200 + i << " = " << words[i] << '\n';
    std::cout << "sum = " << std::accumulate(words.begin(), words.end(), 0u) << '\n';

    link.WriteBytes('M', 0, {0x5A});
    std::vector<std::uint8_t> markers = link.ReadBytes('M', 0, 1);
    std::cout << "M0..M7 = 0x" << std::hex << std::uppercase << std::setw(2) << std::setfill('0')
              << unsigned{markers[0]} << '\n';

    if (words != values || markers[0] != 0x5A) {
      std::cerr << "registers: the controller does not hold what was written\n";
      return 1;
    }
    // Inputs cannot be written: the library refuses with VEL_BAD_LETTER.
    try {
      link.WriteBytes('X', 0, {1});
    } catch (const plc::Error &e) {
      if (e.code() != VEL_BAD_LETTER) throw;
      std::cout << "writing inputs refused: " << e.what() << '\n';
    }
  } catch (const plc::Error &e) {
    std::cerr << "registers: " << device << ": " << e.what() << '\n';
    return 1;
  }
  return 0;
}
