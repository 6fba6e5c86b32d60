// Waiting on a 32-bit word until another thread changes it, with the OS's
// own address wait (a futex on Linux, WaitOnAddress on Windows). The locks
// and the port table use it instead of std::atomic::wait, which in MinGW's
// C++ library can miss a wake-up and sleep for ever.
#pragma once
#include <atomic>
#include <cstdint>

// Returns once word may no longer hold value (or spuriously: check again).
void WaitWhile(const std::atomic<uint32_t> &word, uint32_t value);
// Wakes every thread waiting on word.
void WakeAll(std::atomic<uint32_t> &word);
