// The CPU cost of receiving characters one at a time without the library: the floor under the
// library's own figure on this machine, measured in a process of its own while the library runs.
#pragma once

#include <sys/types.h>

#include <string>

#include "wire_time.h"

namespace bench {

struct CpuFloor {
  double percent = 0;    // CPU over wall time
  double usPerChar = 0;  // CPU per character received
  bool ok = false;
};

// Starts a process that runs a bare poll() + read() loop on device, a paced simulator of the family
// of its own, asking for 254-byte frames until `chars` characters came. Call from a process without
// threads.
class CpuFloorProbe {
 public:
  CpuFloorProbe(const std::string &device, Family family, int chars);
  ~CpuFloorProbe();
  CpuFloorProbe(const CpuFloorProbe &) = delete;
  CpuFloorProbe &operator=(const CpuFloorProbe &) = delete;

  // Waits for the probe to finish and returns what it measured (ok false if it failed).
  CpuFloor result();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

}  // namespace bench
