#include <windows.h>

#include "wait.h"

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
              std::atomic<uint32_t>::is_always_lock_free);

void WaitWhile(const std::atomic<uint32_t> &word, uint32_t value) {
  WaitOnAddress(const_cast<std::atomic<uint32_t> *>(&word), &value, sizeof value, INFINITE);
}

void WakeAll(std::atomic<uint32_t> &word) {
  WakeByAddressAll(&word);
}
