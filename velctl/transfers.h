// One link to the controller through the exports, and transfers over it that
// may run as several calls (to draw progress, or past the library's largest
// count).
#pragma once

#include <cstdint>
#include <string>

#include "operands.h"

struct LinkSetup {
  int port = 0;  // 0..15
  bool fx = true;
  std::string device;     // -d, for a reason the library does not give
  int frameBytes = 254;   // the library's largest frame
  bool progress = false;  // standard error is a terminal and -q was not given
};

class Link {
 public:
  explicit Link(const LinkSetup &setup);
  ~Link();
  Link(const Link &) = delete;
  Link &operator=(const Link &) = delete;

  // 0 or the status of VelOpen. Open() after Close() opens again. A
  // problem the library tells after an open that succeeded (a trace it
  // could not open) goes to standard error, once.
  int Open();
  // Opens again after Close(), as the same link: the transfers before count
  // (WasFirstTransfer()).
  int Reopen();
  void Close();
  bool IsOpen() const {
    return handle_ >= 0;
  }

  // 0 or the status of the first failed call. *done tells the bytes moved
  // before it. A transfer whose wire time exceeds about a second runs as
  // calls of one frame each with a progress bar, when setup.progress allows.
  int Read(const operands::Span &span, std::uint8_t *buffer, std::int64_t *done);
  int Write(const operands::Span &span, std::uint8_t *buffer, std::int64_t *done);

  // Why the last open or transfer failed with status: the library's reason,
  // "COM1 (/dev/ttyUSB0): what happened".
  std::string Reason(int status) const;
  // The last transfer was the first since the link opened.
  bool WasFirstTransfer() const {
    return transfers_ == 1;
  }

 private:
  int Run(bool write, const operands::Span &span, std::uint8_t *buffer, std::int64_t *done);

  LinkSetup setup_;
  int handle_ = -1;
  std::uint64_t transfers_ = 0;
};
