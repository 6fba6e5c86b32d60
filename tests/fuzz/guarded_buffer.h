// A caller's buffer inside a larger block: guard zones before and after it,
// and slack bytes past the part a call may touch. Everything starts as a
// position-dependent pattern; under AddressSanitizer the guards and the
// slack are poisoned during the call, so the first stray access stops the
// run where it happens.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define VELDRV_FUZZ_POISON 1
#endif
#endif

class GuardedBuffer {
 public:
  static constexpr size_t kGuard = 64;  // a multiple of 8: the buffer starts on an ASan granule

  // usable: bytes the call may touch; slack: further bytes it must leave alone.
  GuardedBuffer(size_t usable, size_t slack)
      : usable_(usable), size_(usable + slack), block_(new uint8_t[kGuard + size_ + kGuard]) {
    for (size_t i = 0; i < kGuard + size_ + kGuard; i++) block_[i] = Pattern(i);
  }
  ~GuardedBuffer() {
    Unpoison();
    delete[] block_;
  }
  GuardedBuffer(const GuardedBuffer &) = delete;
  GuardedBuffer &operator=(const GuardedBuffer &) = delete;

  uint8_t *data() {
    return block_ + kGuard;
  }
  size_t usable() const {
    return usable_;
  }
  // What a byte of the usable part held before the call.
  uint8_t Original(size_t i) const {
    return Pattern(kGuard + i);
  }

  void Poison() {
#ifdef VELDRV_FUZZ_POISON
    __asan_poison_memory_region(block_, kGuard);
    __asan_poison_memory_region(block_ + kGuard + usable_, size_ - usable_ + kGuard);
#endif
  }
  void Unpoison() {
#ifdef VELDRV_FUZZ_POISON
    __asan_unpoison_memory_region(block_, kGuard + size_ + kGuard);
#endif
  }

  // Guards and slack still hold the pattern.
  void CheckOutsideUntouched(const char *what) {
    Unpoison();
    for (size_t i = 0; i < kGuard; i++)
      FUZZ_CHECK(block_[i] == Pattern(i), "%s: guard byte %zu before the buffer overwritten", what,
                 kGuard - i);
    for (size_t i = kGuard + usable_; i < kGuard + size_ + kGuard; i++)
      FUZZ_CHECK(block_[i] == Pattern(i), "%s: byte at buffer offset %zu (usable %zu) overwritten", what,
                 i - kGuard, usable_);
  }

 private:
  static uint8_t Pattern(size_t i) {
    return static_cast<uint8_t>(0xA5 ^ (i * 37) ^ (i >> 8));
  }
  size_t usable_;
  size_t size_;
  uint8_t *block_;
};
