// One link to the controller through the six exports, and transfers over it
// that may run as several calls (to draw progress, or past the library's
// largest count).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "address.h"
#include "value_types.h"

// A run of controller memory as the library addresses it.
struct Region {
  char letter = 'D';       // the operand letter passed to the library
  bool words = false;      // word functions (data registers) or byte functions
  std::int64_t start = 0;  // the library's start: word or byte number, S: controller address
  std::int64_t units = 0;  // words or bytes
  std::int64_t bytes() const {
    return words ? 2 * units : units;
  }
};

// count values of the type from ADDR on: data registers by the word
// functions, all else by the byte functions; bits take the bytes that hold
// them. None, with *error set, when the run would pass the end of the
// controller's memory.
std::optional<Region> ValueRegion(const Address &first, ValueType type, std::uint64_t count, bool fx,
                                  std::string *error);
// Bytes from ADDR on (dump, load): D100 starts at the first byte of D100.
std::optional<Region> ByteRegion(const Address &first, std::uint64_t bytes, bool fx, std::string *error);

struct LinkSetup {
  int port = 0;  // 0..15
  bool fx = true;
  int frameBytes = 254;   // the library's largest frame
  bool progress = false;  // standard error is a terminal and -q was not given
};

class Link {
 public:
  explicit Link(const LinkSetup &setup);
  ~Link();
  Link(const Link &) = delete;
  Link &operator=(const Link &) = delete;

  // 0 or the status of VelOpen.
  int Open();
  // 0 or the status of the first failed call; *done tells the bytes moved
  // before it. A transfer whose wire time exceeds about a second runs as
  // calls of one frame each with a progress bar, when setup.progress allows.
  int Read(const Region &region, std::uint8_t *buffer, std::int64_t *done);
  int Write(const Region &region, std::uint8_t *buffer, std::int64_t *done);

 private:
  int Run(bool write, const Region &region, std::uint8_t *buffer, std::int64_t *done);

  LinkSetup setup_;
  int handle_ = -1;
};
