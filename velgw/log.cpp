#include "log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "clock.h"
#include "json.h"

namespace velgw {

void Log(const char *format, ...) {
  static const bool journal = getenv("JOURNAL_STREAM") != nullptr;
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::string line = journal ? std::string() : IsoTime(WallNow()) + " ";
  line += text;
  line += '\n';
  // One write per line, so that lines of different threads never mix.
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  const char *p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(2, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace velgw
