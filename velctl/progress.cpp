#include "progress.h"

#include <cstdio>
#include <string>

namespace {

constexpr int kBarWidth = 24;
constexpr int kLineWidth = 72;

}  // namespace

Progress::Progress(std::int64_t totalBytes) : total_(totalBytes), start_(std::chrono::steady_clock::now()) {}

void Progress::Update(std::int64_t done) {
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  int filled = total_ > 0 ? static_cast<int>(kBarWidth * done / total_) : kBarWidth;
  std::string bar = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "]";
  char rate[32] = "-- B/s", left[32] = "";
  if (seconds > 0.01 && done > 0) {
    double perSecond = done / seconds;
    std::snprintf(rate, sizeof rate, "%.0f B/s", perSecond);
    std::snprintf(left, sizeof left, "%.0f s left", (total_ - done) / perSecond + 0.49);
  }
  char line[160];
  int n = std::snprintf(line, sizeof line, "\r%s %lld/%lld bytes  %s  %s", bar.c_str(),
                        static_cast<long long>(done), static_cast<long long>(total_), rate, left);
  // Pad over what a longer earlier line left.
  std::fprintf(stderr, "%s%*s", line, n < kLineWidth ? kLineWidth - n : 0, "");
  std::fflush(stderr);
  drawn_ = true;
}

void Progress::Clear() {
  if (!drawn_) return;
  std::fprintf(stderr, "\r%*s\r", kLineWidth, "");
  std::fflush(stderr);
  drawn_ = false;
}

double WireSeconds(bool fx, std::int64_t bytes, int frameBytes) {
  std::int64_t frames = (bytes + frameBytes - 1) / frameBytes;
  if (fx) {
    // ENQ and its ACK, the request (STX, command, address, count, ETX, sum)
    // and the answer's STX, ETX, sum and ACK: 17 characters around the data.
    return static_cast<double>(2 * bytes + 17 * frames) * 10 / 9600;
  }
  // Session byte, request header and sum, answer header and sum: 15 bytes.
  return static_cast<double>(bytes + 15 * frames) * 11 / 9600 + 0.006 * static_cast<double>(frames);
}
