// The setting of the hazard programs: each takes a private folder for
// VELDRV_DEVICE_DIR as its argument, serves a simulated controller on it,
// does one risky thing to the library, and reports in lines on its standard
// output, which lifecycle_test.cpp reads.
#pragma once
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <cstdarg>
#include <string>

#include "library_settings.h"
#include "sim.h"
#include "veldrv.h"

namespace hazard {

using namespace std::chrono_literals;
using velsim::Family;

inline std::string dir;

inline void Start(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    exit(2);
  }
  dir = argv[1];
  ClearLibrarySettings();
  setenv("VELDRV_DEVICE_DIR", argv[1], 1);
}

// A line to the test, flushed at once.
inline void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
inline void Say(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  putchar('\n');
  fflush(stdout);
}

inline double NowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

inline velsim::Fault Silent() {
  return velsim::Fault{velsim::FaultKind::Silent};
}

}  // namespace hazard
