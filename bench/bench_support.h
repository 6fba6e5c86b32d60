// Helpers shared by the benchmarks: the private device folder, clocks, CPU time and statistics.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// The folder VELDRV_DEVICE_DIR points at: made on first use, removed at exit. Every benchmark calls
// it before the library opens anything, so no benchmark ever reaches the machine's serial ports.
const std::string &DeviceDir();

// Monotonic wall time in milliseconds.
double NowMs();
// User plus system CPU time of the whole process, in milliseconds.
double ProcessCpuMs();
// Times the calling thread gave up the CPU to wait (poll, sleep, a blocking read): its wake-ups.
long ThreadWakeUps();

double Median(std::vector<double> values);
double Max(const std::vector<double> &values);
double Min(const std::vector<double> &values);

// A recognisable byte pattern for writes whose read-back is checked.
std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed);

// printf into a std::string.
std::string Format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Progress on stderr, so that stdout carries the table alone.
void Progress(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace bench
