// The progress bar of a long transfer, on standard error.
#pragma once

#include <chrono>
#include <cstdint>

class Progress {
 public:
  explicit Progress(std::int64_t totalBytes);
  // Redraws the bar: "[#####.....]  508/1000 bytes  211 B/s  2 s left".
  void Update(std::int64_t doneBytes);
  // Removes the bar from the line, so that what follows starts clean.
  void Clear();

 private:
  std::int64_t total_;
  std::chrono::steady_clock::time_point start_;
  bool drawn_ = false;
};

// Seconds the line needs for a transfer of that many bytes in frames of at
// most frameBytes at 9600 baud: FX 10 bits a character, two hex characters a
// byte; A-series 11 bits a character and the 3 ms pauses of each frame.
double WireSeconds(bool fx, std::int64_t bytes, int frameBytes);
