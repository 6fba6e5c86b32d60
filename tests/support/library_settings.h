// The library's settings in the environment (VELDRV_COM<n>, VELDRV_DEVICE_DIR,
// VELDRV_TRACE, VELDRV_FRAME_BYTES, VELDRV_FX_AREAS): tests and benchmarks
// start without those of the shell that runs them (a VELDRV_COM1 naming the
// user's adapter, VELDRV_FX_AREAS=legacy) and set what they need. The tests'
// own options (VELDRV_STRESS_SECONDS, VELDRV_LIBRARY) are not the library's
// and stay. tests/support/library_settings.sh does the same for the scripts.
#pragma once
#include <stdlib.h>

#include <string>
#include <string_view>
#include <vector>

extern char **environ;

// An environment entry ("NAME=value") or a name that the library reads.
inline bool IsLibrarySetting(std::string_view entry) {
  const std::string_view name = entry.substr(0, entry.find('='));
  if (name.substr(0, 10) == "VELDRV_COM")
    return name.size() > 10 && name.find_first_not_of("0123456789", 10) == std::string_view::npos;
  return name == "VELDRV_DEVICE_DIR" || name == "VELDRV_TRACE" || name == "VELDRV_FRAME_BYTES" ||
         name == "VELDRV_FX_AREAS";
}

// Removes every library setting from this process's environment.
inline void ClearLibrarySettings() {
  std::vector<std::string> names;
  for (char **e = environ; *e; ++e) {
    std::string_view entry(*e);
    if (IsLibrarySetting(entry)) names.emplace_back(entry.substr(0, entry.find('=')));
  }
  for (const std::string &name : names) unsetenv(name.c_str());
}
