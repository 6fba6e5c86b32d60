#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "wait.h"

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
              std::atomic<uint32_t>::is_always_lock_free);

void WaitWhile(const std::atomic<uint32_t> &word, uint32_t value) {
  syscall(SYS_futex, reinterpret_cast<const uint32_t *>(&word), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr,
          0);
}

void WakeAll(std::atomic<uint32_t> &word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}
