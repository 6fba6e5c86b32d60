#include "bench_support.h"

#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>

#include "library_settings.h"

namespace bench {

const std::string &DeviceDir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/velbench-XXXXXX";
    if (!mkdtemp(tmpl)) {
      std::perror("velbench: mkdtemp");
      std::exit(1);
    }
    ClearLibrarySettings();
    setenv("VELDRV_DEVICE_DIR", tmpl, 1);
    static struct Remover {
      std::string d;
      ~Remover() {
        std::error_code ec;
        std::filesystem::remove_all(d, ec);
      }
    } remover{tmpl};
    return std::string(tmpl);
  }();
  return dir;
}

double NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double ProcessCpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto ms = [](const timeval &t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return ms(u.ru_utime) + ms(u.ru_stime);
}

long ThreadWakeUps() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return u.ru_nvcsw;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Max(const std::vector<double> &values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

double Min(const std::vector<double> &values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> b(n);
  for (std::size_t i = 0; i < n; i++) b[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 8));
  return b;
}

std::string Format(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

void Progress(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::fputs("velbench: ", stderr);
  std::vfprintf(stderr, fmt, ap);
  std::fputc('\n', stderr);
  va_end(ap);
}

}  // namespace bench
